#pragma once
// The main window of viz256: the operator's view of the engine (moteur::Moteur, which owns the
// recorder, the ring, the files and every run). The window maps its controls to the engine's
// calls and settings (reglages_fenetre) and shows its reports: the console and the alert box,
// the grid and the live levels, the progress bar, the elapsed time and the control states.
//
// The routines of this class:
//   app/principale.cpp  construction, teardown, console, the engine's reports
//   app/layout.cpp      the fixed controls        app/etats.cpp      control states
//   app/grille.cpp      selection grid and rules  app/niveaux.cpp    colour bar, live levels
//   app/commandes.cpp   the handlers that drive the engine
//   app/fichiers.cpp    file choice, recording switch, comment box

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>

#include "acquisition/moteur.h"
#include "acquisition/planning.h"
#include "device/horloge.h"

class QCheckBox;
class QCloseEvent;
class QDoubleSpinBox;
class QGroupBox;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QWidget;
class QFrame;

class Principale : public QMainWindow, public moteur::Observateur {
    Q_OBJECT

public:
    explicit Principale(QWidget *parent = nullptr);
    ~Principale() override;

    // ---------------------------------------------------------------- class-wide tables
    static constexpr const std::array<int32_t, horloge::NB_ENTREES> &FREQ = horloge::DIVISIONS;  // clock division of each entry
    static constexpr const std::array<int32_t, horloge::NB_ENTREES> &DELAY = horloge::DELAIS;    // default delay setting of each entry
    static bool enabled[12];        // control-state table, applied by enable()

    // Bytes in one bulk transfer at the top rates.
    static constexpr uint32_t TAILLE_PAQUET = planning::TAILLE_PAQUET;

    static QPlainTextEdit *txtBox_Info;
    static QString console_text; // every character ever appended to the console, unchanged

    // ---------------------------------------------------------------- the engine
    moteur::Moteur moteur{*this}; // what the views show of it: its reports, and moteur.diagnostic()

    // The settings of a run as the controls hold them.
    reglages::Reglages reglages_fenetre() const;

    // ---------------------------------------------------------------- console
    // Appends text to the console; flag 1 also shows the modal alert box.
    static void call_verb(const QString &verbose, int flag);
    // While transfers are in flight nothing may wait for the operator: with `oui`, the boxes
    // of flag 1 wait (their console lines do not); without, they wait until
    // montre_alertes_retenues(), which shows them in order (only to the test seam, when `boite`
    // is false: the program is closing).
    static void retiens_alertes(bool oui);
    static void montre_alertes_retenues(bool boite = true);
    // Seam for tests: when set, called with the box's text instead of showing the modal box.
    static std::function<void(const QString &text)> alert_hook;
    // Seam for tests: when set, replaces the save dialog; returns the chosen path or an
    // empty string for a cancelled dialog.
    static std::function<QString()> save_dialog_hook;

    // ---------------------------------------------------------------- what the window reads
    int entree_frequence() const; // index of the frequency-list entry scrolled to the top
    void suit_frequence_affichee(); // the duration spinner's maximum follows that entry
    reglages::Declenchement declenchement_start() const; // from the start-side buttons
    reglages::Declenchement declenchement_stop() const;  // from the stop-side buttons
    reglages::Voies voies_fenetre() const;               // the grid and the channel boxes
    std::optional<int> delai_fenetre() const;            // the advanced mode's delay, when shown

    // ---------------------------------------------------------------- channels
    void creation_cases();
    void creation_cases_VA();
    void choix_micros(); // the grid's channel choice sent to the recorder (the engine's)
    void init_colorbar();
    void affiche_cases(bool niv);
    void passe_niveaux(const moteur::Niveaux &n); // the level cells painted from the engine's levels
    void arret();         // the stop that the window's close asks for (soft)
    void coche_stop_soft(); // the stop side shows the soft stop
    void calcul_count();  // the sample count of the duration the controls show, sent to the recorder

    // ---------------------------------------------------------------- control states (app/)
    void enable();
    void applique_etat_verrouille(); // only Init
    void applique_etat_repos();      // all but the stop controls

    // ---------------------------------------------------------------- the engine's reports
    void console(const QString &texte, int alerte) override;
    void etat(moteur::Etat e) override;
    void progression(uint32_t paquets, uint32_t total) override;
    void ecoule(int64_t ms) override;
    void a_ecrire(uint64_t reste, uint64_t total, int64_t disque_muet_ms) override;
    void niveaux_mesures(const moteur::Niveaux &n) override;
    void pompe() override;
    void lancement(bool definie, uint32_t paquets, float duree, bool attente) override;
    void transferts(bool en_vol) override;
    void niveaux(bool actifs) override;
    void arret(moteur::Arret resultat) override;
    void abandon() override;
    void attente_transferts(bool longue) override;
    void duree_max(double max, float frequence) override;
    void demande_fichier() override;
    void flux_fini() override;

    // ---------------------------------------------------------------- handlers
public slots:
    void button_Init_Click();
    void button_Start_Click();
    void button_Stop_Click();
    void button_Abort_Click();
    void button_Fichier_Click();
    void button_Comment_Click();
    void button_Reset_FX3_Click();
    void button_Reset_PH_Click();
    void button_Reset_Micros_Click();
    void listBox_Freq_Click();
    void numericUpDown_Delay_ValueChanged();
    void numericUpDown_Duree_ValueChanged();
    void checkBox_Definie_CheckedChanged();
    void checkBox_Record_CheckedChanged();
    void checkBox_Test_CheckedChanged();
    void radioButton_Start_Soft_CheckedChanged();
    void radioButton_Stop_Soft_CheckedChanged();
    void micro_valide(int b, int m);
    void faisceaux_valide(int b);
    void blocs_valide(int k);
    void tout_valide();

public:
    // ---------------------------------------------------------------- per-window state
    int32_t *R_jet = nullptr;           // 128 entries each
    int32_t *V_jet = nullptr;
    int32_t *B_jet = nullptr;
    bool vue_run = false;               // the controls show a run (from its launch to the idle view)
    bool run_definie = false;           // the run shown has a fixed duration (no Stop side then)
    bool fermeture_demandee = false;    // the window was asked to close during a run
    bool stop_du_bouton = false;        // the stop command going out is the operator's Stop
    bool commentaires = false;          // the comment box is open

    // ---------------------------------------------------------------- controls (object names as below)
    QPlainTextEdit *textBox_Info = nullptr;
    QPushButton *button_Init = nullptr;
    QPushButton *button_Start = nullptr;
    QPushButton *button_Stop = nullptr;
    QPushButton *button_Abort = nullptr;
    QPushButton *button_Fichier = nullptr;
    QPushButton *button_Comment = nullptr;
    QPushButton *button_Reset_PH = nullptr;
    QPushButton *button_Reset_FX3 = nullptr;
    QPushButton *button_Reset_Micros = nullptr;
    QWidget *panel_Init = nullptr;
    QLabel *label_Init = nullptr;
    QListWidget *listBox_Freq = nullptr;
    QWidget *panel_Duree = nullptr;
    QLabel *label_Duree = nullptr;
    QDoubleSpinBox *numericUpDown_Duree = nullptr;
    QCheckBox *checkBox_Definie = nullptr;
    QWidget *panel_Start = nullptr;
    QGroupBox *groupBox_Start_Trig = nullptr;
    QGroupBox *groupBox_Start_Trig_Mode = nullptr;
    QRadioButton *radioButton_Start_Soft = nullptr;
    QRadioButton *radioButton_Start_Trig1 = nullptr;
    QRadioButton *radioButton_Start_Trig2 = nullptr;
    QRadioButton *radioButton_Start_FM = nullptr;
    QRadioButton *radioButton_Start_FD = nullptr;
    QRadioButton *radioButton_Start_EH = nullptr;
    QRadioButton *radioButton_Start_EB = nullptr;
    QWidget *panel_Stop = nullptr;
    QGroupBox *groupBox_Stop_Trig = nullptr;
    QGroupBox *groupBox_Stop_Trig_Mode = nullptr;
    QRadioButton *radioButton_Stop_Soft = nullptr;
    QRadioButton *radioButton_Stop_Trig1 = nullptr;
    QRadioButton *radioButton_Stop_Trig2 = nullptr;
    QRadioButton *radioButton_Stop_FM = nullptr;
    QRadioButton *radioButton_Stop_FD = nullptr;
    QRadioButton *radioButton_Stop_EH = nullptr;
    QRadioButton *radioButton_Stop_EB = nullptr;
    QCheckBox *checkBox_Record = nullptr;
    QCheckBox *checkBox_Test = nullptr;
    QGroupBox *groupBox_Test = nullptr;
    QGroupBox *groupBox_Delay = nullptr;
    QSpinBox *numericUpDown_Delay = nullptr;
    QCheckBox *checkBox_Status = nullptr;
    QCheckBox *checkBox_Compteur = nullptr;
    QGroupBox *groupBox_Data_Type = nullptr;
    QRadioButton *radioButton_Float = nullptr;
    QRadioButton *radioButton_Integer = nullptr;
    QGroupBox *groupBox_Micros = nullptr;
    QLabel *label_Faisceaux = nullptr;
    QLabel *label_Micros_1 = nullptr;
    QWidget *panel_dB = nullptr;
    QLabel *pictureBox_ColorBar = nullptr;
    QLabel *label_120 = nullptr;
    QLabel *label_60 = nullptr;
    QLabel *label1 = nullptr;
    QGroupBox *groupBox_VA = nullptr;
    QGroupBox *groupBox_Comment = nullptr;
    QPlainTextEdit *textBox_Comment = nullptr;
    QLabel *label_Duree_Ecoulee = nullptr;
    QWidget *panel_Progress = nullptr;
    QProgressBar *progressBar_Progress = nullptr;
    QLabel *label_Progress = nullptr;
    QLabel *pictureBox_Palumet = nullptr;
    QLabel *pictureBox_Oruvel = nullptr;

    // Selection grid (created by creation_cases / creation_cases_VA).
    QCheckBox *grid[32][8] = {};
    QFrame *grid_n[32][8] = {};
    QCheckBox *faisceaux_T[32] = {};
    QCheckBox *bloc_T[4] = {};
    QCheckBox *paq_T = nullptr;
    QLabel *num_faisceaux[32] = {};
    QLabel *num_micros[9] = {};
    QCheckBox *grid_VA[4] = {};

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    static void montre_alerte(const QString &texte); // the box itself (or the test seam)
    static bool alertes_retenues_actif;
    static QStringList alertes_retenues;
    void InitializeComponent();
    void fin_de_run_fenetre(); // the idle view after a run, and the alerts held back
};
