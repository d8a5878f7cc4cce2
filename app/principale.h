#pragma once
// The main window of viz256: the handlers, the controls and what they show, the run's settings.
// The acquisition engine (the transfer ring, its counters, the data file and its writer
// thread) is the object `anneau` the window owns (acquisition/anneau.h).
//
// The routines of this class live with their subsystem:
//   app/          construction, teardown, console, layout (InitializeComponent), control states
//   device/       USB link, command framing, initialisation and probe, resets, frequency
//   channels/     selection grid, click rules, channel selection, colour map, level display
//   acquisition/  run planning, transfer ring and completion, stop and end of run, streaming
//   recording/    data file, header record and log, file choice and comment

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>

#include "acquisition/anneau.h"
#include "recording/header_record.h"

struct libusb_device_handle;
struct libusb_transfer;
namespace planning {
struct PlanRun;
}

class QCheckBox;
class QCloseEvent;
class QDoubleSpinBox;
class QFile;
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

class Principale : public QMainWindow {
    Q_OBJECT

public:
    explicit Principale(QWidget *parent = nullptr);
    ~Principale() override;

    // ---------------------------------------------------------------- class-wide tables
    static const int32_t FREQ[17];  // clock division of each frequency-list entry
    static const int32_t DELAY[17]; // default delay setting of each entry
    static bool enabled[12];        // control-state table, applied by enable()

    // Transfer ring: eight slots of one packet (the ring itself is `anneau`, below).
    static constexpr int NB_SLOTS = Anneau::NB_SLOTS;
    static constexpr uint32_t TAILLE_PAQUET = Anneau::TAILLE_PAQUET;

    // Run settings the routines of several subsystems share.
    static bool compteur;
    static int32_t increment_position;
    static int32_t increment_compteur;
    static bool record;
    static bool test;
    static int32_t nb_voies;
    static int32_t TimeOut;
    static QPlainTextEdit *txtBox_Info;
    static QString console_text; // every character ever appended to the console, unchanged

    // The program-wide header record (.Vlx image).
    static type_header_file header_file;

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
    // Seam for tests: when set, gives the free bytes of the volume holding a path.
    static std::function<uint64_t(const QString &chemin)> espace_libre_hook;
    // Seam for tests: when set, gives the machine's physical memory in bytes.
    static std::function<uint64_t()> memoire_physique_hook;

    // ---------------------------------------------------------------- device link (device/)
    int32_t init_USB();
    void ferme_USB(); // teardown of an open link: microphone reset, release, close, library exit
    static int32_t write_command(libusb_device_handle *udh, int32_t request, unsigned char *data, int32_t length);
    int32_t commande(int32_t nb_arg);
    int32_t initialise();
    int32_t test_boitier();
    int32_t reset_micros();
    void envoie_reset(int requete, const QString &message); // Reset FX3 / Reset PH
    int entree_frequence() const; // index of the frequency-list entry scrolled to the top
    void suit_frequence_affichee(); // the duration spinner's maximum follows that entry

    // ---------------------------------------------------------------- channels (channels/)
    void creation_cases();
    void creation_cases_VA();
    void choix_micros();
    void init_colorbar();
    void affiche_cases(bool niv);
    void passe_niveaux(); // the level pass on packet num_pkt_aff

    // ---------------------------------------------------------------- acquisition (acquisition/)
    void calcul_count();
    void arret();
    uint8_t octet_start() const; // trigger byte of the start command, from the start-side buttons
    uint8_t octet_stop() const;  // trigger byte of the stop command, from the stop-side buttons

    // ---------------------------------------------------------------- recording (recording/)
    void ecrit_log();
    // Header and log of the run in progress, in place; the first call of a run (`debut`) also
    // reserves the log's room. False when a write failed (said on the console with `signale`).
    bool ecrit_description(bool debut, bool signale);
    bool ouvre_fichiers(const QString &chemin); // creates the three files; false (and alert) on failure
    void ferme_fichiers(bool ecrire);           // closes the three files, writing header and log when asked

    // ---------------------------------------------------------------- control states (app/)
    void enable();
    void applique_etat_verrouille(); // only Init
    void applique_etat_repos();      // all but the stop controls

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
    // The acquisition engine: the transfer ring, its counters, the data file and its writer.
    Anneau anneau;
    libusb_device_handle *handle = nullptr;
    bool initialisation_FX3 = false;
    bool initialisation = false;
    unsigned char *buf = nullptr;       // command buffer, 16 bytes
    int32_t *num_mic_valid = nullptr;   // 256 entries
    int32_t *R_jet = nullptr;           // 128 entries each
    int32_t *V_jet = nullptr;
    int32_t *B_jet = nullptr;

    bool clock_def = false;
    bool count_def = false;
    int32_t num_freq = -1;
    float frequence = 0.0f;
    float duree_max = 1.0f;
    float duree = 0.0f;
    uint32_t count = 0;
    uint32_t trames_max = UINT32_MAX; // frames a recorded data file may hold: what the header counts
    uint32_t n_pkt = 0;
    uint32_t num_pkt_aff = 0;
    int32_t nb_micros = 0;
    bool type_float = false;

    bool started = false;
    bool stopped = false;
    bool aborted = false;
    bool run_en_cours = false;      // inside button_Start_Click, between planning and end of run
    bool fermeture_demandee = false; // the window was asked to close during a run
    bool ecriture_signalee = false;  // this run's data-file write failure has been reported
    bool description_ok = true;      // no write of this run's header or log has failed yet

    bool file_open = false;
    QString acqui_name;
    QFile *Mu = nullptr;  // header file
    QFile *log = nullptr; // log file
    bool commentaires = false;
    std::optional<QString> commentaire;

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
    // Stages of a run (acquisition/run.cpp).
    bool planifie_run(planning::PlanRun &plan);
    bool lance_run(planning::PlanRun &plan);
    Anneau::Parametres parametres_anneau(bool sonde) const;
    bool attend_declenchement();
    void abandonne_run();
    void boucle_streaming(planning::PlanRun &plan);
    bool signale_ecriture();
    void tient_description();
    void attend_ecriture(bool decrit = true);
    Anneau::Vidange vidange_anneau();
    void fin_de_run(const planning::PlanRun &plan);
};
