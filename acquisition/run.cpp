// A run, from the Start click to the end: planning, trigger wait, streaming loop, stop, end.
#include "acquisition/anneau.h"
#include "acquisition/planning.h"
#include "app/console_format.h"
#include "app/principale.h"
#include "device/commands.h"
#include "device/usbfs.h"
#include "recording/description.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QTimer>

#include <libusb.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <unistd.h>
#include <initializer_list>

namespace {

constexpr int ATTENTE_DECLENCHEMENT_MS = 30000;
constexpr int ATTENTE_USB_MS = 20; // longest wait for USB events before the window is served again
// Room for the scheduling of the host and of the recorder's USB side after the first packet filled.
constexpr int MARGE_PREMIER_PAQUET_MS = 500;
constexpr int DISQUE_MUET_MS = 5000;      // a disk that has taken nothing for this long is said not to answer
constexpr int ATTENTE_VISIBLE_MS = 300;   // a wait for the transfers longer than this is shown

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

SystemTime maintenant()
{
    const QDateTime t = QDateTime::currentDateTime();
    SystemTime s;
    s.wYear = static_cast<uint16_t>(t.date().year());
    s.wMonth = static_cast<uint16_t>(t.date().month());
    s.wDayOfWeek = static_cast<uint16_t>(t.date().dayOfWeek() % 7); // 0 = Sunday
    s.wDay = static_cast<uint16_t>(t.date().day());
    s.wHour = static_cast<uint16_t>(t.time().hour());
    s.wMinute = static_cast<uint16_t>(t.time().minute());
    s.wSecond = static_cast<uint16_t>(t.time().second());
    s.wMilliseconds = static_cast<uint16_t>(t.time().msec());
    return s;
}

uint64_t espace_libre(const QString &chemin)
{
    if (Principale::espace_libre_hook)
        return Principale::espace_libre_hook(chemin);
    std::error_code ec;
    const std::filesystem::path dossier(QFile::encodeName(QFileInfo(chemin).absolutePath()).toStdString());
    const std::filesystem::space_info si = std::filesystem::space(dossier, ec);
    if (ec)
        return 0;
    return si.available;
}

void montre(QWidget *w, bool visible)
{
    if (w)
        w->setVisible(visible);
}

} // namespace

// The source is tested in the order Soft, Trig1, Trig2; the condition in the order rising
// edge, falling edge, high level, low level.
uint8_t Principale::octet_start() const
{
    return cmd::octet_declenchement(
        premier_coche({radioButton_Start_Soft, radioButton_Start_Trig1, radioButton_Start_Trig2}),
        premier_coche({radioButton_Start_FM, radioButton_Start_FD, radioButton_Start_EH, radioButton_Start_EB}));
}

uint8_t Principale::octet_stop() const
{
    return cmd::octet_declenchement(
        premier_coche({radioButton_Stop_Soft, radioButton_Stop_Trig1, radioButton_Stop_Trig2}),
        premier_coche({radioButton_Stop_FM, radioButton_Stop_FD, radioButton_Stop_EH, radioButton_Stop_EB}));
}

// ------------------------------------------------------------------ sample count
void Principale::calcul_count()
{
    if (!initialisation_FX3)
        init_USB();
    if (!initialisation_FX3)
        return;
    if (!clock_def)
        listBox_Freq_Click();
    // The count comes from the spinner's own value: through the 32-bit duration a long
    // duration would lose its tenths.
    const double typee = numericUpDown_Duree->value();
    duree = static_cast<float>(typee);
    if (coche(checkBox_Definie) && planning::nb_echantillons_64(typee, frequence) > planning::COMPTE_MAX) {
        // The recorder would keep only the low 32 bits of the count: refused, nothing sent.
        call_verb(QStringLiteral("Durée trop longue : %1 s, au plus %2 s à %3 Hz\r\n")
                      .arg(fmt_N1(double(duree)), fmt_N1(planning::duree_max(frequence)), fmt_N0(double(frequence))),
                  1);
        return;
    }
    count = planning::nb_echantillons(typee, frequence, coche(checkBox_Definie));
    buf[0] = cmd::NB_ECH;
    buf[1] = static_cast<unsigned char>(count & 0xFF);
    buf[2] = static_cast<unsigned char>((count >> 8) & 0xFF);
    buf[3] = static_cast<unsigned char>((count >> 16) & 0xFF);
    buf[4] = static_cast<unsigned char>((count >> 24) & 0xFF);
    commande(4);
    count_def = true;
}

void Principale::numericUpDown_Duree_ValueChanged()
{
    count_def = false;
    if (numericUpDown_Duree)
        duree = static_cast<float>(numericUpDown_Duree->value());
}

void Principale::checkBox_Definie_CheckedChanged()
{
    const bool definie = coche(checkBox_Definie);
    montre(panel_Duree, definie);
    if (definie && radioButton_Stop_Soft)
        radioButton_Stop_Soft->setChecked(true);
    count_def = false;
}

// ------------------------------------------------------------------ stop and abort
void Principale::button_Stop_Click()
{
    montre(panel_Stop, false);
    buf[0] = cmd::STOP;
    buf[1] = octet_stop();
    if (commande(1) == LIBUSB_ERROR_TIMEOUT) {
        // Not answered (the console says so): the run goes on, and Stop stays for another try.
        montre(panel_Stop, !coche(checkBox_Definie));
        return;
    }
    if (coche(radioButton_Stop_Soft)) {
        stopped = true;
        montre(button_Stop, false);
    } else {
        call_verb(QStringLiteral("Arrêt en attente de trig\r\n"), 0);
        radioButton_Stop_Soft->setChecked(true);
    }
    if (count != 0)
        call_verb(QStringLiteral("\r\nAcquisition stoppée avant la fin\r\n"), 0);
    else if (test)
        call_verb(QStringLiteral("\r\nStopped\r\n"), 0);
    QThread::msleep(1);
}

void Principale::arret()
{
    if (radioButton_Stop_Soft && !radioButton_Stop_Soft->isChecked()) {
        radioButton_Stop_Soft->setChecked(true);
        radioButton_Stop_Soft_CheckedChanged();
    }
    button_Stop_Click();
}

void Principale::button_Abort_Click()
{
    aborted = true;
    montre(button_Abort, false);
    if (test)
        call_verb(QStringLiteral("  Aborted\r\n"), 0);
}

// ------------------------------------------------------------------ the run
// The whole run happens inside this handler: planning, the start trigger, streaming and the
// end of run. Window events are processed from inside it, so Stop and Abort run nested.
void Principale::button_Start_Click()
{
    if (run_en_cours)
        return;
    planning::PlanRun plan;
    if (!planifie_run(plan))
        return;
    if (!lance_run(plan))
        return;
    if (plan.attente_declenchement && !attend_declenchement()) {
        abandonne_run();
        return;
    }
    boucle_streaming(plan);
    fin_de_run(plan);
}

// Checks and configuration before anything is queued. False: the start is refused (the
// reason is on the console) and the window keeps its idle state.
bool Principale::planifie_run(planning::PlanRun &plan)
{
    anneau.fini = false;
    aborted = false;

    if (!initialisation) {
        button_Init_Click();
        if (!enabled[9])
            return false; // the initialisation failed and said why; the window is locked
    }
    // A ring that cannot all be in flight cannot keep up with the recorder: no start.
    if (!usbfs::verifie(NB_SLOTS, TAILLE_PAQUET))
        return false;
    for (uint32_t &a : anneau.a_ecrire)
        a = 0;

    choix_micros();
    if (nb_voies == 0) {
        call_verb(QStringLiteral("Pas de voie choisie !\r\n"), 1);
        return false;
    }
    const planning::PasCompteur pas = planning::pas_compteur(nb_voies);
    increment_position = pas.increment_position;
    increment_compteur = pas.increment_compteur;
    call_verb(QStringLiteral("\r\nNb_voies (micros+compteur) : %1\r\n").arg(fmt_G(int64_t(nb_voies))), 0);

    if (entree_frequence() != num_freq)
        listBox_Freq_Click();
    else
        call_verb(QStringLiteral("Fréquence : %1 Hz\r\n").arg(fmt_N0(double(frequence))), 0);
    if (!count_def)
        calcul_count();
    if (!initialisation_FX3 || !count_def)
        return false; // the link could not be opened, or the duration was refused: the alert has been shown

    plan.definie = coche(checkBox_Definie);
    if (plan.definie)
        call_verb(QStringLiteral("Durée : %1 s, nb échantillons : %2\r\n").arg(fmt_N1(double(duree)), fmt_N0(uint64_t(count))), 0);
    else
        call_verb(QStringLiteral("Durée non définie\r\n"), 0);

    plan.demandes = uint64_t(nb_voies) * 4 * count;
    if (record) {
        if (!file_open)
            button_Fichier_Click();
        if (!file_open) {
            call_verb(QStringLiteral("Pas de fichier choisi\r\n"), 1);
            return false;
        }
        // A file (or its folder) that went away since the choice: data, header or log would
        // go nowhere.
        for (const QString &nom : {acqui_name, Mu->fileName(), log->fileName()}) {
            if (QFileInfo::exists(nom))
                continue;
            call_verb(QStringLiteral("Le fichier %1 n'existe plus : choisir un nouveau fichier\r\n").arg(nom), 1);
            ferme_fichiers(false);
            return false;
        }
        plan.utilisable = planning::espace_utilisable(espace_libre(acqui_name));
        const QString ligne_espace = QStringLiteral("%1 Go disponibles sur le disque, soit %2 s\r\n")
                                         .arg(fmt_N0(uint64_t(plan.utilisable / 1073741824u)),
                                              fmt_N1(double(plan.utilisable) / (double(nb_voies) * 4.0 * double(frequence))));
        // An open-ended run must have room to reach its own stop before the disk is full.
        const bool trop_petit = count != 0 ? plan.demandes > plan.utilisable : plan.utilisable < planning::ESPACE_MIN_OUVERT;
        if (trop_petit) {
            call_verb(QStringLiteral("Pas suffisamment de place sur le disque !\r\n"), 1);
            call_verb(ligne_espace, 0);
            return false;
        }
        if (count == 0)
            call_verb(ligne_espace, 0);
    }
    return true;
}

// From the data-type command to the start command: the window enters the run state and the
// ring is queued. False when the buffers cannot be had (the window is idle again).
bool Principale::lance_run(planning::PlanRun &plan)
{
    buf[0] = cmd::TYPE;
    type_float = coche(radioButton_Float);
    buf[1] = type_float ? 1 : 0;
    commande(1);
    header_file.type_float = type_float ? 1 : 0;

    for (bool &e : enabled)
        e = false;
    enabled[10] = true;
    enable();
    run_en_cours = true;

    // Packet budget; an open-ended recorded run stops on its own before the disk is full.
    if (plan.definie) {
        montre(panel_Progress, true);
        progressBar_Progress->setValue(0);
        n_pkt = planning::paquets_definis(plan.demandes);
        if (test) {
            if (plan.demandes % TAILLE_PAQUET != 0)
                call_verb(QStringLiteral("%1 octets, soit %2 paquets de %3 octets et un paquet de %4 octets\r\n")
                              .arg(fmt_N0(plan.demandes), fmt_N0(uint64_t(n_pkt - 1)), fmt_N0(uint64_t(TAILLE_PAQUET)),
                                   fmt_N0(plan.demandes % TAILLE_PAQUET)),
                          0);
            else
                call_verb(QStringLiteral("%1 octets, soit %2 paquets de %3 octets\r\n")
                              .arg(fmt_N0(plan.demandes), fmt_N0(uint64_t(n_pkt)), fmt_N0(uint64_t(TAILLE_PAQUET))),
                          0);
        }
        progressBar_Progress->setMaximum(static_cast<int>(std::min<uint32_t>(n_pkt, INT32_MAX)));
        if (duree > 59.9f) {
            label_Duree_Ecoulee->setText(QStringLiteral("Durée écoulée : 0 s"));
            montre(label_Duree_Ecoulee, true);
        }
    } else {
        if (test)
            call_verb(QStringLiteral("Nombre d'échantillons non fixé ; paquets de %1 octets\r\n").arg(fmt_N0(uint64_t(TAILLE_PAQUET))), 0);
        n_pkt = record ? planning::paquets_ouverts(plan.utilisable) : planning::SANS_LIMITE;
        label_Duree_Ecoulee->setText(QStringLiteral("Durée écoulée : 0 s"));
        montre(label_Duree_Ecoulee, true);
    }
    // An open-ended recorded run (a duration shorter than one sample period is open-ended too)
    // stops on its own before the disk is full, and before its frame count passes what the
    // header holds.
    const planning::BudgetArret budget = planning::budget_arret(record, count, plan.utilisable, nb_voies, trames_max);
    plan.budget_arret = budget.arret;
    plan.budget_trames = budget.trames;

    TimeOut = planning::timeout_run(nb_voies, frequence);
    if (test)
        call_verb(QStringLiteral("TimeOut = %1 ms\r\n").arg(fmt_N0(uint64_t(TimeOut))), 0);
    plan.attente_declenchement = !coche(radioButton_Start_Soft);
    if (plan.attente_declenchement) {
        TimeOut += planning::MARGE_DECLENCHEMENT_MS;
        if (test)
            call_verb(QStringLiteral("En attente de déclenchement externe, le TimeOut est ajusté. \r\n"), 0);
        call_verb(QStringLiteral("Le déclenchement doit intervenir avant %1 s \r\n").arg(fmt_G(int64_t(30))), 0);
        montre(button_Abort, true);
    }

    Anneau::Parametres par = parametres_anneau(false);
    if (plan.attente_declenchement)
        par.premier_paquet = Anneau::PREMIER_PAQUET_DECLENCHEMENT;
    if (record && test)
        call_verb(QStringLiteral("Réserve en mémoire : %1 paquets (%2 Mo), %3 s d'acquisition\r\n")
                      .arg(fmt_N0(uint64_t(par.paquets_file)), fmt_N0(uint64_t(par.paquets_file) * TAILLE_PAQUET / 1048576),
                           fmt_N1(double(par.paquets_file) * TAILLE_PAQUET / (double(nb_voies) * 4.0 * double(frequence)))),
                  0);
    const bool tampons = anneau.prepare(handle, static_cast<unsigned int>(TimeOut), par);
    const uint8_t octet = octet_start();
    // From here until the ring is freed, nothing may wait for the operator: an alert box
    // is shown once the transfers are back.
    retiens_alertes(true);
    const bool refus = tampons && anneau.soumet() == LIBUSB_ERROR_NO_MEM;
    if (refus) { // the ring cannot all be in flight: take back what went out, start nothing
        anneau.annule_tout(false);
        vidange_anneau();
        anneau.libere();
        montre_alertes_retenues();
        usbfs::alerte_refus(NB_SLOTS, TAILLE_PAQUET);
    }
    if (!tampons || refus) {
        retiens_alertes(false);
        if (!tampons)
            call_verb(QStringLiteral("Mémoire insuffisante pour les tampons d'acquisition\r\n"), 1);
        TimeOut = planning::timeout_run(nb_voies, frequence);
        montre(button_Abort, false);
        montre(label_Duree_Ecoulee, false);
        montre(panel_Progress, false);
        run_en_cours = false;
        applique_etat_repos();
        return false;
    }
    affiche_cases(true);
    header_file.date_heure = maintenant();
    buf[0] = cmd::START;
    buf[1] = octet;
    commande(1);
    return true;
}

// Waits for the external start trigger. usbfs copies the data into an ordinary buffer only when
// its transfer is reaped (device memory aside), so nothing can be seen in a transfer still in
// flight: the first completion is the trigger, for every kind of buffer. The ring's first
// transfer is one USB packet, which the recorder fills within a fraction of a second after the
// trigger at every rate, and the limit counts that time on top of the 30 s: a trigger that
// fires within 30 s of the start is never abandoned. The events are serviced in short waits, so
// Abort answers at once. False when the wait was abandoned (Abort, or the limit).
bool Principale::attend_declenchement()
{
    const double octets_par_s = double(nb_voies) * 4.0 * double(frequence);
    const qint64 remplissage_ms =
        octets_par_s > 0 ? qint64(std::ceil(1000.0 * Anneau::PREMIER_PAQUET_DECLENCHEMENT / octets_par_s)) : 0;
    const qint64 limite_ms = ATTENTE_DECLENCHEMENT_MS + remplissage_ms + MARGE_PREMIER_PAQUET_MS;
    QElapsedTimer attente;
    attente.start();
    montre(button_Stop, false);
    montre(panel_Stop, false);
    montre(button_Abort, true);
    bool declenche = false;
    while (!aborted && !declenche) {
        if (attente.elapsed() > limite_ms) {
            call_verb(QStringLiteral("Temps d'attente dépassé...    "), 0);
            button_Abort_Click();
        }
        QApplication::processEvents();
        Anneau::service(ATTENTE_USB_MS);
        declenche = anneau.num_pkt > 0 || anneau.fini;
    }
    if (aborted)
        return false;
    TimeOut = planning::timeout_run(nb_voies, frequence);
    montre(button_Abort, false);
    return true;
}

// A run abandoned before its trigger: the recorder is reset, the ring cancelled and drained,
// the files stay on disk empty, and the window is idle again.
void Principale::abandonne_run()
{
    button_Reset_Micros_Click();
    QThread::msleep(10);
    call_verb(QStringLiteral("Acquisition arrêtée avant le déclenchement \r\n"), 0);
    for (bool &a : anneau.transf_arret)
        a = true; // nothing more belongs to this run
    anneau.annule_tout(true);
    anneau.fini = false;
    if (vidange_anneau() == Anneau::Vidange::echec_usb)
        call_verb(QStringLiteral("ERREUR \r\n"), 0);
    attend_ecriture(false); // an abandoned run leaves its description empty
    if (record)
        ferme_fichiers(false);
    file_open = false;
    anneau.libere();
    retiens_alertes(false);
    started = false;
    stopped = false;
    anneau.fini = false;
    affiche_cases(false);
    applique_etat_repos();
    montre(label_Duree_Ecoulee, false);
    montre(panel_Progress, false);
    montre(button_Abort, false);
    run_en_cours = false;
    montre_alertes_retenues(!fermeture_demandee); // a closing program waits for no one
    if (fermeture_demandee)
        QTimer::singleShot(0, this, &QWidget::close);
}

// Streaming: window events, the automatic stops, a bounded wait for USB events (so Stop and
// the elapsed time answer at every rate), progress and live levels; until the ring is over.
void Principale::boucle_streaming(planning::PlanRun &plan)
{
    montre(button_Stop, true);
    montre(panel_Stop, !plan.definie);
    if (groupBox_Stop_Trig_Mode)
        groupBox_Stop_Trig_Mode->setVisible(!coche(radioButton_Stop_Soft));
    started = true;
    stopped = false;
    if (test)
        call_verb(QStringLiteral("Paquet : \r\n"), 0);
    plan.debut.start();
    // The run's description is on disk from the first sample and kept up to date, so that a
    // kill, a lost display or a full disk cannot take it away.
    description_ok = !record || ecrit_description(true, true);
    QElapsedTimer mise_a_jour;
    mise_a_jour.start();
    ecriture_signalee = false;

    int r = 0;
    uint32_t dernier_niveau = UINT32_MAX; // packet of the last level pass: one pass per packet
    while (r == 0) {
        QApplication::processEvents();
        // A disk so slow that the reserve in memory is nearly full: the run stops while every
        // frame received can still be kept.
        if (anneau.surveille_ecriture() && !stopped)
            arret();
        if ((anneau.erreur_compteur || signale_ecriture() || anneau.refus_usbfs()) && !stopped)
            arret();
        const bool plafond = anneau.plafond_atteint();
        if (!stopped && (plafond || (count == 0 && uint64_t(anneau.num_pkt) + planning::MARGE_ARRET >= plan.budget_arret))) {
            if (plafond || plan.budget_arret == plan.budget_trames)
                call_verb(QStringLiteral("\r\nNombre maximal d'échantillons d'un fichier (%1) bientôt atteint : arrêt de l'acquisition\r\n")
                              .arg(fmt_N0(uint64_t(trames_max))),
                          0);
            arret();
        }
        anneau.relance();
        QThread::msleep(1);
        r = Anneau::service(ATTENTE_USB_MS);
        if (r != 0) {
            call_verb(QStringLiteral("\r\nERREUR \r\n"), 0);
            break;
        }
        const uint32_t num_pkt = anneau.num_pkt;
        label_Duree_Ecoulee->setText(QStringLiteral("Durée écoulée : %1 s").arg(fmt_N0(uint64_t(plan.debut.elapsed() / 1000))));
        if (num_pkt <= n_pkt && count != 0)
            progressBar_Progress->setValue(static_cast<int>(std::min<uint32_t>(num_pkt, INT32_MAX)));
        if (nb_micros != 0 && num_pkt != 0 && num_pkt < n_pkt) {
            num_pkt_aff = num_pkt - 1;
            if (!stopped && num_pkt_aff != dernier_niveau && anneau.dernier_num == num_pkt_aff &&
                uint64_t(anneau.dernier_len) > uint64_t(nb_voies) * 2001 * 4) {
                passe_niveaux();
                dernier_niveau = num_pkt_aff;
            }
        }
        if (record && mise_a_jour.hasExpired(description::PERIODE_MS)) {
            tient_description();
            mise_a_jour.restart();
        }
        if (anneau.fini)
            break;
    }
}

// The run's header and log brought up to the bytes written so far; a failure is said once.
void Principale::tient_description()
{
    if (!ecrit_description(false, description_ok))
        description_ok = false;
}

// What the ring needs to know of this use: the run's frame and flags, or the probe's.
Anneau::Parametres Principale::parametres_anneau(bool sonde) const
{
    Anneau::Parametres p;
    p.nb_voies = nb_voies;
    p.compteur = compteur;
    p.record = record;
    p.test = test;
    p.test_init = sonde;
    p.increment_position = increment_position;
    p.increment_compteur = increment_compteur;
    p.octets_par_s = double(nb_voies) * 4.0 * double(frequence);
    if (!sonde && record) {
        p.octets_max = planning::octets_max_trames(nb_voies, trames_max);
        const uint64_t memoire = memoire_physique_hook ? memoire_physique_hook()
                                                       : uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGESIZE));
        p.paquets_file = planning::paquets_file(p.octets_par_s, memoire);
    }
    return p;
}

// A failed write to the data file, reported once per run with the alert. True when one failed.
bool Principale::signale_ecriture()
{
    const int e = anneau.echec_ecriture();
    if (e != 0 && !ecriture_signalee) {
        ecriture_signalee = true;
        call_verb(QStringLiteral("\r\n"), 0);
        call_verb(QStringLiteral("Erreur d'écriture du fichier de données %1 (%2) : arrêt de l'acquisition\r\n")
                      .arg(acqui_name, QString::fromLocal8Bit(std::strerror(e))),
                  1); // the box waits for the end of the ring (retiens_alertes)
    }
    return e != 0;
}

// The ring is over: the writer still empties its queue. The window shows how much is left
// (and, when the disk stops taking data, for how long it has not), keeps answering, and keeps
// the run's description up to the bytes written (with `decrit`).
void Principale::attend_ecriture(bool decrit)
{
    const uint64_t total = anneau.ecrivain.octets_en_file();
    const bool montre_progres = total > 0;
    if (montre_progres) {
        montre(button_Stop, false);
        montre(panel_Stop, false);
        progressBar_Progress->setMaximum(1000);
        progressBar_Progress->setValue(0);
        montre(panel_Progress, true);
        montre(label_Duree_Ecoulee, true);
    }
    QElapsedTimer mise_a_jour, immobile;
    mise_a_jour.start();
    immobile.start();
    uint64_t ecrits = anneau.ntw.load();
    anneau.vide_file([&] {
        const uint64_t reste = anneau.ecrivain.octets_en_file();
        if (const uint64_t n = anneau.ntw.load(); n != ecrits) {
            ecrits = n;
            immobile.restart();
        }
        if (immobile.elapsed() >= DISQUE_MUET_MS)
            label_Duree_Ecoulee->setText(QStringLiteral("Attente du disque : %1 s").arg(fmt_N0(uint64_t(immobile.elapsed() / 1000))));
        else
            label_Duree_Ecoulee->setText(QStringLiteral("À écrire : %1 Mo").arg(fmt_N0(reste / 1048576)));
        if (total > 0)
            progressBar_Progress->setValue(static_cast<int>(1000 - std::min<uint64_t>(reste, total) * 1000 / total));
        if (decrit && record && mise_a_jour.hasExpired(description::PERIODE_MS)) {
            tient_description();
            mise_a_jour.restart();
        }
        QApplication::processEvents();
    });
    if (montre_progres) {
        montre(panel_Progress, false);
        montre(label_Duree_Ecoulee, false);
    }
}

// Waits for the ring's cancelled transfers; past a moment the window says what it waits for.
Anneau::Vidange Principale::vidange_anneau()
{
    bool affiche = false;
    const Anneau::Vidange v = anneau.vidange(TimeOut, [&](qint64 ms) {
        if (ms >= ATTENTE_VISIBLE_MS && !affiche) {
            affiche = true;
            label_Duree_Ecoulee->setText(QStringLiteral("Attente des transferts USB"));
            montre(label_Duree_Ecoulee, true);
        }
        QApplication::processEvents();
    });
    if (affiche)
        montre(label_Duree_Ecoulee, false);
    return v;
}

// End of run: every transfer back, header totals from the bytes written, the account, the
// idle state, and the files written and closed.
void Principale::fin_de_run(const planning::PlanRun &plan)
{
    const qint64 duree_ms = plan.debut.elapsed();
    montre(label_Duree_Ecoulee, false);
    montre(panel_Progress, false);
    if (!anneau.fini) {
        // Left on an event failure: nothing more belongs to this run.
        for (bool &a : anneau.transf_arret)
            a = true;
        anneau.annule_tout(false);
    }
    if (vidange_anneau() != Anneau::Vidange::complete)
        call_verb(QStringLiteral("Des transferts USB ne sont pas revenus ; ils seront libérés à leur retour\r\n"), 0);
    anneau.fini = true; // nothing of the ring is left to stop while the queue is written out
    attend_ecriture();
    signale_ecriture(); // a failure of the last writes is reported too
    const uint64_t ntr = anneau.ntr, ntw = anneau.ntw.load();
    fixe_totaux(header_file, ntw, nb_voies, frequence);
    anneau.libere();
    retiens_alertes(false);

    if (test) {
        if (record && count != 0)
            call_verb(QStringLiteral("\r\nTransfert total : %1 octets demandés,  %2 octets acquis, %3 octets écrits\r\n")
                          .arg(fmt_N0(plan.demandes), fmt_N0(ntr), fmt_N0(ntw)),
                      0);
        else if (record)
            call_verb(QStringLiteral("\r\nTransfert total : %1 octets acquis, %2 écrits\r\n").arg(fmt_N0(ntr), fmt_N0(ntw)), 0);
        else if (count != 0)
            call_verb(QStringLiteral("\r\nTransfert total : %1 octets demandés %2 octets acquis\r\n").arg(fmt_N0(plan.demandes), fmt_N0(ntr)), 0);
        else
            call_verb(QStringLiteral("\r\nTransfert total : %1 octets acquis\r\n").arg(fmt_N0(ntr)), 0);
    }
    // A recorded run accounts for what its data file holds, as its header does.
    const uint64_t octets_compte = record ? ntw : ntr;
    call_verb(QStringLiteral("Fin du transfert : %1 Mo en %2 s")
                  .arg(fmt_N1(double(octets_compte / 1024) / 1024.0), fmt_N1(double(duree_ms) / 1000.0)),
              0);
    if (!stopped && plan.definie)
        call_verb(QStringLiteral("\r\n"), 0);
    else
        call_verb(QStringLiteral(" soit %1 échantillons\r\n").arg(fmt_N0(octets_compte / (uint64_t(nb_voies) * 4))), 0);
    if (count != 0 && plan.demandes != ntr && !stopped)
        call_verb(QStringLiteral("Manquent %1 octets dans l'acquisition !\r\n").arg(fmt_G(int64_t(plan.demandes) - int64_t(ntr))), 0);
    if (anneau.appareil_perdu()) {
        call_verb(QStringLiteral("Le Velmarix a disparu du bus USB : vérifier le câble et l'alimentation, puis appuyer sur Init.\r\n"), 0);
        initialisation = false;
    } else if (!anneau.flux_termine() && !stopped) {
        // Silent or stalled: the next start initialises the recorder again (resets, probe).
        call_verb(QStringLiteral("Le Velmarix ne répond plus : acquisition interrompue, les données reçues sont conservées. "
                                 "Il sera réinitialisé au prochain Start.\r\n"),
                  0);
        initialisation = false;
    }

    started = false;
    stopped = false;
    anneau.fini = false;
    applique_etat_repos();
    montre(button_Start, true);
    affiche_cases(false);
    montre(button_Stop, false);
    montre(panel_Stop, false);
    if (record)
        ferme_fichiers(true);
    run_en_cours = false;
    montre_alertes_retenues(!fermeture_demandee); // a closing program waits for no one
    if (fermeture_demandee)
        QTimer::singleShot(0, this, &QWidget::close);
}
