// The handlers that drive the engine, the window's settings of a run, and the engine's reports
// shown on the controls.
#include "app/principale.h"

#include "recording/console_format.h"

#include <QApplication>
#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimer>

#include <algorithm>
#include <initializer_list>

namespace {

bool coche(const QAbstractButton *b)
{
    return b && b->isChecked();
}

// Index of the first ticked button (0 when none is).
int premier_coche(std::initializer_list<const QAbstractButton *> boutons)
{
    int i = 0;
    for (const QAbstractButton *b : boutons) {
        if (coche(b))
            return i;
        ++i;
    }
    return 0;
}

void montre(QWidget *w, bool visible)
{
    if (w)
        w->setVisible(visible);
}

// The duration spinner offers at most `max` seconds; a longer duration already set is
// brought down to it, and the console says so.
void borne_duree(QDoubleSpinBox *spin, double max, float frequence)
{
    if (!spin)
        return;
    if (spin->value() > max)
        Principale::call_verb(QStringLiteral("Durée ramenée à %1 s, la plus longue à %2 Hz\r\n")
                                  .arg(fmt_N1(max), fmt_N0(double(frequence))),
                              0);
    spin->setMaximum(max);
}

} // namespace

// ------------------------------------------------------------------ the settings the controls hold
int Principale::entree_frequence() const
{
    if (!listBox_Freq)
        return 0;
    const QModelIndex haut = listBox_Freq->indexAt(QPoint(2, 2));
    return haut.isValid() ? haut.row() : 0;
}

namespace {
// The source is tested in the order Soft, Trig1, Trig2; the condition in the order rising
// edge, falling edge, high level, low level.
reglages::Declenchement declenchement(std::initializer_list<const QAbstractButton *> sources,
                                      std::initializer_list<const QAbstractButton *> conditions)
{
    reglages::Declenchement d;
    d.source = static_cast<reglages::Source>(premier_coche(sources));
    d.condition = static_cast<reglages::Condition>(premier_coche(conditions));
    return d;
}
} // namespace

reglages::Declenchement Principale::declenchement_start() const
{
    return declenchement({radioButton_Start_Soft, radioButton_Start_Trig1, radioButton_Start_Trig2},
                         {radioButton_Start_FM, radioButton_Start_FD, radioButton_Start_EH, radioButton_Start_EB});
}

reglages::Declenchement Principale::declenchement_stop() const
{
    return declenchement({radioButton_Stop_Soft, radioButton_Stop_Trig1, radioButton_Stop_Trig2},
                         {radioButton_Stop_FM, radioButton_Stop_FD, radioButton_Stop_EH, radioButton_Stop_EB});
}

reglages::Voies Principale::voies_fenetre() const
{
    reglages::Voies v;
    for (int b = 0; b < selection::NB_FAISCEAUX; ++b)
        for (int m = 0; m < selection::NB_MICROS_FAISCEAU; ++m)
            v.micros[b][m] = grid[b][m]->isChecked();
    for (int n = 0; n < selection::NB_VA; ++n)
        v.va[n] = grid_VA[n]->isChecked();
    v.compteur = checkBox_Compteur->isChecked();
    v.status = checkBox_Status->isChecked();
    return v;
}

std::optional<int> Principale::delai_fenetre() const
{
    if (moteur.diagnostic().test && numericUpDown_Delay)
        return numericUpDown_Delay->value();
    return std::nullopt;
}

reglages::Reglages Principale::reglages_fenetre() const
{
    reglages::Reglages r;
    r.entree_frequence = entree_frequence();
    r.voies = voies_fenetre();
    r.flottant = coche(radioButton_Float);
    if (coche(checkBox_Definie))
        r.duree = numericUpDown_Duree->value();
    r.start = declenchement_start();
    r.stop = declenchement_stop();
    r.delai = delai_fenetre();
    return r;
}

// ------------------------------------------------------------------ handlers
void Principale::button_Init_Click()
{
    for (bool &e : enabled)
        e = false;
    enable();
    moteur.init(); // the state it reports sets the controls
}

// The whole run happens inside this handler; window events are processed from inside it
// (pompe), so Stop and Abort run nested.
void Principale::button_Start_Click()
{
    if (moteur.diagnostic().run_en_cours)
        return;
    moteur.demarre(reglages_fenetre());
}

void Principale::button_Stop_Click()
{
    montre(panel_Stop, false);
    stop_du_bouton = true;
    moteur.arrete(declenchement_stop());
    stop_du_bouton = false;
}

// The stop side shows the soft stop: the one the window's close and the run's own stops send.
void Principale::coche_stop_soft()
{
    if (radioButton_Stop_Soft && !radioButton_Stop_Soft->isChecked()) {
        radioButton_Stop_Soft->setChecked(true);
        radioButton_Stop_Soft_CheckedChanged();
    }
}

void Principale::arret()
{
    coche_stop_soft();
    button_Stop_Click();
}

void Principale::button_Abort_Click()
{
    moteur.abandonne();
}

void Principale::button_Reset_FX3_Click()
{
    moteur.reset_fx3();
}

void Principale::button_Reset_PH_Click()
{
    moteur.reset_ph();
}

void Principale::button_Reset_Micros_Click()
{
    moteur.reset_micros();
}

void Principale::listBox_Freq_Click()
{
    if (listBox_Freq)
        listBox_Freq->clearSelection();
    moteur.choisit_frequence(entree_frequence(), delai_fenetre());
}

// The duration spinner offers what the entry at the top of the list allows, from the moment
// the window opens and as the list scrolls (a scrolled entry is applied at the next start).
void Principale::suit_frequence_affichee()
{
    const float f = horloge::frequence_entree(entree_frequence());
    borne_duree(numericUpDown_Duree, planning::duree_max(f), f);
}

void Principale::numericUpDown_Delay_ValueChanged()
{
    moteur.envoie_delai(entree_frequence(), delai_fenetre());
}

void Principale::numericUpDown_Duree_ValueChanged()
{
    moteur.duree_changee();
}

void Principale::checkBox_Definie_CheckedChanged()
{
    const bool definie = coche(checkBox_Definie);
    montre(panel_Duree, definie);
    if (definie && radioButton_Stop_Soft)
        radioButton_Stop_Soft->setChecked(true);
    moteur.duree_changee();
}

void Principale::radioButton_Start_Soft_CheckedChanged()
{
    if (groupBox_Start_Trig_Mode && radioButton_Start_Soft)
        groupBox_Start_Trig_Mode->setVisible(!radioButton_Start_Soft->isChecked());
}

void Principale::radioButton_Stop_Soft_CheckedChanged()
{
    if (groupBox_Stop_Trig_Mode && radioButton_Stop_Soft)
        groupBox_Stop_Trig_Mode->setVisible(!radioButton_Stop_Soft->isChecked());
}

void Principale::calcul_count()
{
    moteur.envoie_compte(reglages_fenetre());
}

void Principale::choix_micros()
{
    moteur.choisit_voies(voies_fenetre());
}

// ------------------------------------------------------------------ the engine's reports
void Principale::console(const QString &texte, int alerte)
{
    call_verb(texte, alerte);
}

void Principale::pompe()
{
    QApplication::processEvents();
}

void Principale::etat(moteur::Etat e)
{
    switch (e) {
    case moteur::Etat::Ferme:
        applique_etat_verrouille();
        break;
    case moteur::Etat::Repos:
        applique_etat_repos();
        if (vue_run)
            fin_de_run_fenetre();
        break;
    case moteur::Etat::Attente:
        montre(button_Stop, false);
        montre(panel_Stop, false);
        montre(button_Abort, true);
        break;
    case moteur::Etat::Acquisition:
        montre(button_Abort, false);
        if (moteur.diagnostic().started) {
            montre(button_Stop, true);
            montre(panel_Stop, !run_definie);
            if (groupBox_Stop_Trig_Mode)
                groupBox_Stop_Trig_Mode->setVisible(!coche(radioButton_Stop_Soft));
        }
        break;
    case moteur::Etat::Ecriture:
        montre(button_Stop, false);
        montre(panel_Stop, false);
        progressBar_Progress->setMaximum(1000);
        progressBar_Progress->setValue(0);
        montre(panel_Progress, true);
        montre(label_Duree_Ecoulee, true);
        break;
    }
}

// The idle view after a run (ended, abandoned, or refused once queued), then the alerts held
// back while the transfers were out; a close asked for meanwhile happens now.
void Principale::fin_de_run_fenetre()
{
    vue_run = false;
    montre(button_Start, true);
    montre(button_Stop, false);
    montre(panel_Stop, false);
    montre(button_Abort, false);
    montre(label_Duree_Ecoulee, false);
    montre(panel_Progress, false);
    montre_alertes_retenues(!fermeture_demandee); // a closing program waits for no one
    if (fermeture_demandee)
        QTimer::singleShot(0, this, &QWidget::close);
}

void Principale::lancement(bool definie, uint32_t paquets, float duree, bool attente)
{
    for (bool &e : enabled)
        e = false;
    enabled[10] = true;
    enable();
    vue_run = true;
    run_definie = definie;
    if (definie) {
        montre(panel_Progress, true);
        progressBar_Progress->setValue(0);
        progressBar_Progress->setMaximum(static_cast<int>(std::min<uint32_t>(paquets, INT32_MAX)));
        if (duree > 59.9f) {
            label_Duree_Ecoulee->setText(QStringLiteral("Durée écoulée : 0 s"));
            montre(label_Duree_Ecoulee, true);
        }
    } else {
        label_Duree_Ecoulee->setText(QStringLiteral("Durée écoulée : 0 s"));
        montre(label_Duree_Ecoulee, true);
    }
    if (attente)
        montre(button_Abort, true);
}

void Principale::flux_fini()
{
    montre(label_Duree_Ecoulee, false);
    montre(panel_Progress, false);
}

void Principale::transferts(bool en_vol)
{
    retiens_alertes(en_vol);
}

void Principale::niveaux(bool actifs)
{
    affiche_cases(actifs);
}

void Principale::progression(uint32_t paquets, uint32_t)
{
    progressBar_Progress->setValue(static_cast<int>(std::min<uint32_t>(paquets, INT32_MAX)));
}

void Principale::ecoule(int64_t ms)
{
    label_Duree_Ecoulee->setText(QStringLiteral("Durée écoulée : %1 s").arg(fmt_N0(uint64_t(ms / 1000))));
}

void Principale::a_ecrire(uint64_t reste, uint64_t total, int64_t disque_muet_ms)
{
    if (disque_muet_ms > 0)
        label_Duree_Ecoulee->setText(QStringLiteral("Attente du disque : %1 s").arg(fmt_N0(uint64_t(disque_muet_ms / 1000))));
    else
        label_Duree_Ecoulee->setText(QStringLiteral("À écrire : %1 Mo").arg(fmt_N0(reste / 1048576)));
    if (total > 0)
        progressBar_Progress->setValue(static_cast<int>(1000 - std::min<uint64_t>(reste, total) * 1000 / total));
}

void Principale::niveaux_mesures(const moteur::Niveaux &n)
{
    passe_niveaux(n);
}

void Principale::arret(moteur::Arret resultat)
{
    switch (resultat) {
    case moteur::Arret::SansReponse:
        // The run goes on, and Stop stays for another try; after a stop of the run's own (a
        // failing disk, a counter gap...) the operator's next try is the soft stop it sent.
        if (!stop_du_bouton)
            coche_stop_soft();
        montre(panel_Stop, !run_definie);
        break;
    case moteur::Arret::Arrete:
        montre(panel_Stop, false);
        montre(button_Stop, false);
        coche_stop_soft();
        break;
    case moteur::Arret::EnAttenteTrig:
        montre(panel_Stop, false);
        radioButton_Stop_Soft->setChecked(true);
        break;
    }
}

void Principale::abandon()
{
    montre(button_Abort, false);
}

void Principale::attente_transferts(bool longue)
{
    if (longue)
        label_Duree_Ecoulee->setText(QStringLiteral("Attente des transferts USB"));
    montre(label_Duree_Ecoulee, longue);
}

void Principale::duree_max(double max, float frequence)
{
    borne_duree(numericUpDown_Duree, max, frequence);
}

void Principale::demande_fichier()
{
    button_Fichier_Click();
}
