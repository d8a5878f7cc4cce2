// A run, from Start to the end: planning, trigger wait, streaming loop, stop, end. No widget:
// the host sees the run through the observer and breathes in Observateur::pompe().
#include "acquisition/moteur_impl.h"

#include "acquisition/anneau.h"
#include "acquisition/planning.h"
#include "device/commands.h"
#include "device/usbfs.h"
#include "recording/console_format.h"
#include "recording/description.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <libusb.h>

#include <cmath>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int ATTENTE_DECLENCHEMENT_MS = 30000;
constexpr int ATTENTE_HOTE_MS = 5; // longest wait of the host's thread between two turns: its own events (a timer, a repaint) wait no longer
// Room for the scheduling of the host and of the recorder's USB side after the first packet filled.
constexpr int MARGE_PREMIER_PAQUET_MS = 500;
constexpr int DISQUE_MUET_MS = 5000;      // a disk that has taken nothing for this long is said not to answer
constexpr int ATTENTE_VISIBLE_MS = 300;   // a wait for the transfers longer than this is shown

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

} // namespace

namespace moteur {

// ------------------------------------------------------------------ sample count
void Moteur::Impl::calcul_count()
{
    if (!lien())
        return;
    if (!clock_def)
        frequence_cliquee(r.entree_frequence, r.delai);
    // The count comes from the duration as set: through the 32-bit duration a long duration
    // would lose its tenths.
    const bool definie = r.duree.has_value();
    const double typee = r.duree.value_or(0.0);
    duree = static_cast<float>(typee);
    if (definie && planning::nb_echantillons_64(typee, frequence) > planning::COMPTE_MAX) {
        // The recorder would keep only the low 32 bits of the count: refused, nothing sent.
        signale({Raison::DureeTropLongue, std::llround(double(duree) * 10.0), int64_t(frequence)}, 1);
        return;
    }
    count = planning::nb_echantillons(typee, frequence, definie);
    appareil.nb_echantillons(count);
    count_def = true;
}

// ------------------------------------------------------------------ the run
// The whole run happens inside this call: planning, the start trigger, streaming and the end
// of run. The host's events are processed from inside it (pompe), so Stop and Abort run nested.
bool Moteur::Impl::run(const reglages::Reglages &reglages)
{
    if (run_en_cours)
        return false;
    r = reglages;
    bilan = Bilan{};
    abandon_demande = false; // an Abort meant for an earlier run
    abandon_envoye = false;
    arret_force = false;
    arret_plafond = false;
    planning::PlanRun plan;
    if (!planifie_run(plan))
        return false;
    if (!lance_run(plan))
        return false;
    bilan.lance = true;
    if (plan.attente_declenchement && !attend_declenchement()) {
        abandonne_run();
        return true;
    }
    boucle_streaming(plan);
    fin_de_run(plan);
    return true;
}

// Checks and configuration before anything is queued. False: the start is refused (the
// reason is on the console) and the engine stays idle.
bool Moteur::Impl::planifie_run(planning::PlanRun &plan)
{
    anneau.fini = false;
    aborted = false;

    if ((!initialisation || !initialisation_FX3()) && !init())
        return false; // the initialisation failed and said why
    // A ring that cannot all be in flight cannot keep up with the recorder: no start.
    if (const std::optional<Evenement> e = limite_usbfs(false)) {
        signale(*e, 1);
        bilan.refus_usbfs = true;
        return false;
    }
    for (uint32_t &a : anneau.a_ecrire)
        a = 0;

    choix_micros(r.voies);
    if (nb_voies() == 0) {
        signale({Raison::PasDeVoie}, 1);
        return false;
    }
    const planning::PasCompteur pas = planning::pas_compteur(nb_voies());
    increment_position = pas.increment_position;
    increment_compteur = pas.increment_compteur;
    dit(QStringLiteral("\r\nNb_voies (micros+compteur) : %1\r\n").arg(fmt_G(int64_t(nb_voies()))), 0);

    if (r.entree_frequence != num_freq)
        frequence_cliquee(r.entree_frequence, r.delai);
    else
        dit(QStringLiteral("Fréquence : %1 Hz\r\n").arg(fmt_N0(double(frequence))), 0);
    if (!count_def)
        calcul_count();
    if (!initialisation_FX3() || !count_def)
        return false; // the link could not be opened, or the duration was refused: the alert has been shown

    plan.definie = r.duree.has_value();
    if (plan.definie)
        dit(QStringLiteral("Durée : %1 s, nb échantillons : %2\r\n").arg(fmt_N1(double(duree)), fmt_N0(uint64_t(count))), 0);
    else
        dit(QStringLiteral("Durée non définie\r\n"), 0);

    plan.demandes = uint64_t(nb_voies()) * 4 * count;
    if (record) {
        if (!file_open)
            hote().demande_fichier();
        if (!file_open) {
            signale({Raison::PasDeFichier}, 1);
            bilan.erreur_fichier = true;
            return false;
        }
        // A file (or its folder) that went away since the choice: data, header or log would
        // go nowhere.
        for (const QString &nom : {acqui_name, Mu->fileName(), log->fileName()}) {
            if (QFileInfo::exists(nom))
                continue;
            signale({Raison::FichierDisparu, 0, 0, nom}, 1);
            ferme_fichiers(false);
            bilan.erreur_fichier = true;
            return false;
        }
        plan.utilisable = planning::espace_utilisable(espace_libre(acqui_name));
        const Evenement espace{Raison::EspaceDisque, int64_t(plan.utilisable), octets_par_s()};
        // An open-ended run must have room to reach its own stop before the disk is full.
        if (planning::place_insuffisante(count, plan.demandes, plan.utilisable)) {
            signale({Raison::PlaceInsuffisante}, 1);
            signale(espace);
            bilan.erreur_fichier = true;
            return false;
        }
        if (count == 0)
            signale(espace);
    }
    return true;
}

// From the data-type command to the start command: the run state, and the ring queued.
// False when the buffers cannot be had (the engine is idle again).
bool Moteur::Impl::lance_run(planning::PlanRun &plan)
{
    type_float = r.flottant;
    disposition.floats = type_float;
    disposition.frequency = double(frequence);
    appareil.type_echantillons(type_float);
    header_file.type_float = type_float ? 1 : 0;

    // Packet budget; an open-ended recorded run stops on its own before the disk is full.
    if (plan.definie) {
        n_pkt = planning::paquets_definis(plan.demandes);
        if (test) {
            if (plan.demandes % Anneau::TAILLE_PAQUET != 0)
                dit(QStringLiteral("%1 octets, soit %2 paquets de %3 octets et un paquet de %4 octets\r\n")
                        .arg(fmt_N0(plan.demandes), fmt_N0(uint64_t(n_pkt - 1)), fmt_N0(uint64_t(Anneau::TAILLE_PAQUET)),
                             fmt_N0(plan.demandes % Anneau::TAILLE_PAQUET)),
                    0);
            else
                dit(QStringLiteral("%1 octets, soit %2 paquets de %3 octets\r\n")
                        .arg(fmt_N0(plan.demandes), fmt_N0(uint64_t(n_pkt)), fmt_N0(uint64_t(Anneau::TAILLE_PAQUET))),
                    0);
        }
    } else {
        if (test)
            dit(QStringLiteral("Nombre d'échantillons non fixé ; paquets de %1 octets\r\n").arg(fmt_N0(uint64_t(Anneau::TAILLE_PAQUET))), 0);
        n_pkt = record ? planning::paquets_ouverts(plan.utilisable) : planning::SANS_LIMITE;
    }
    plan.attente_declenchement = r.start.externe();
    run_en_cours = true;
    hote().lancement(plan.definie, n_pkt, duree, plan.attente_declenchement);
    // An open-ended recorded run (a duration shorter than one sample period is open-ended too)
    // stops on its own before the disk is full, and before its frame count passes what the
    // header holds.
    const planning::BudgetArret budget = planning::budget_arret(record, count, plan.utilisable, nb_voies(), trames_max);
    plan.budget_arret = budget.arret;
    plan.budget_trames = budget.trames;

    TimeOut = planning::timeout_run(nb_voies(), frequence);
    if (test)
        dit(QStringLiteral("TimeOut = %1 ms\r\n").arg(fmt_N0(uint64_t(TimeOut))), 0);
    if (plan.attente_declenchement) {
        TimeOut += planning::MARGE_DECLENCHEMENT_MS;
        if (test)
            dit(QStringLiteral("En attente de déclenchement externe, le TimeOut est ajusté. \r\n"), 0);
        dit(QStringLiteral("Le déclenchement doit intervenir avant %1 s \r\n").arg(fmt_G(int64_t(30))), 0);
    }

    Anneau::Parametres par = parametres_anneau(false);
    if (plan.attente_declenchement)
        par.premier_paquet = Anneau::PREMIER_PAQUET_DECLENCHEMENT;
    if (record && test)
        dit(QStringLiteral("Réserve en mémoire : %1 paquets (%2 Mo), %3 s d'acquisition\r\n")
                .arg(fmt_N0(uint64_t(par.paquets_file)), fmt_N0(uint64_t(par.paquets_file) * par.taille / 1048576),
                     fmt_N1(double(par.paquets_file) * par.taille / (double(nb_voies()) * 4.0 * double(frequence)))),
            0);
    // An open-ended run stops itself MARGE_ARRET packets before its budget; the data path
    // counts it in bytes, whatever the size of its transfers.
    arret_budget_octets = plan.budget_arret == planning::SANS_LIMITE || count != 0
                              ? UINT64_MAX
                              : (uint64_t(plan.budget_arret) > planning::MARGE_ARRET
                                     ? (uint64_t(plan.budget_arret) - planning::MARGE_ARRET) * Anneau::TAILLE_PAQUET
                                     : 0);
    arret_budget_trames = plan.budget_arret == plan.budget_trames;
    octets_trame = uint32_t(nb_voies()) * 4;
    const bool tampons = anneau.prepare(appareil.handle(), static_cast<unsigned int>(TimeOut), par);
    const uint8_t octet = r.start.octet();
    // From here until the ring is freed, nothing may wait for the operator: an alert box
    // is shown once the transfers are back.
    hote().transferts(true);
    const bool refus = tampons && anneau.soumet() == LIBUSB_ERROR_NO_MEM;
    if (refus) { // the ring cannot all be in flight: take back what went out, start nothing
        anneau.annule_tout(false);
        vidange_anneau();
        anneau.libere();
        hote().transferts(false);
        bilan.refus_usbfs = true;
        signale(*limite_usbfs(true), 1);
    }
    if (!tampons || refus) {
        hote().transferts(false);
        if (!tampons)
            signale({Raison::MemoireTampons}, 1);
        TimeOut = planning::timeout_run(nb_voies(), frequence);
        run_en_cours = false;
        passe_a(Etat::Repos);
        return false;
    }
    hote().niveaux(true);
    header_file.date_heure = maintenant();
    passe_a(plan.attente_declenchement ? Etat::Attente : Etat::Acquisition);
    // A soft start's stream begins with its command, whose own event handling may already
    // reap packets (a recorder faster than real time can send the whole run meanwhile).
    if (!plan.attente_declenchement)
        plan.debut.start();
    lance_donnees(octet); // from here on the data path services the ring, from its start request
    return true;
}

// Waits for the external start trigger. usbfs copies the data into an ordinary buffer only when
// its transfer is reaped (device memory aside), so nothing can be seen in a transfer still in
// flight: the first completion is the trigger, for every kind of buffer. The ring's first
// transfer is one USB packet, which the recorder fills within a fraction of a second after the
// trigger at every rate, and the limit counts that time on top of the 30 s: a trigger that
// fires within 30 s of the start is never abandoned. The events are serviced in short waits, so
// Abort answers at once. False when the wait was abandoned (Abort, or the limit).
bool Moteur::Impl::attend_declenchement()
{
    const double octets_par_s = double(nb_voies()) * 4.0 * double(frequence);
    const qint64 remplissage_ms =
        octets_par_s > 0 ? qint64(std::ceil(1000.0 * Anneau::PREMIER_PAQUET_DECLENCHEMENT / octets_par_s)) : 0;
    const qint64 limite_ms = ATTENTE_DECLENCHEMENT_MS + remplissage_ms + MARGE_PREMIER_PAQUET_MS;
    QElapsedTimer attente;
    attente.start();
    bool declenche = false;
    while (!aborted && !declenche) {
        if (attente.elapsed() > limite_ms) {
            signale({Raison::DeclenchementAbsent});
            abort_demande();
        }
        if (abandon_demande.exchange(false) && !aborted)
            abort_demande();
        hote().pompe();
        if (aborted)
            break;
        attend_hote(ATTENTE_HOTE_MS);
        declenche = anneau.etat.num_pkt.load() > 0 || anneau.etat.fini.load() || erreur_usb.load();
    }
    if (aborted) {
        arrete_donnees();
        return false;
    }
    TimeOut = planning::timeout_run(nb_voies(), frequence);
    return true;
}

// A run abandoned before its trigger: the recorder is reset, the ring cancelled and drained,
// the files stay on disk empty, and the engine is idle again.
void Moteur::Impl::abandonne_run()
{
    if (abandon_envoye) {
        // The data path reset the recorder and cancelled the ring (abandon_donnees).
        if (initialisation_FX3())
            micros_remis();
    } else {
        if (initialisation_FX3())
            reset_micros();
        annule_avant_declenchement();
    }
    abandon_envoye = false;
    anneau.fini = false;
    if (vidange_anneau() == Anneau::Vidange::echec_usb)
        dit(QStringLiteral("ERREUR \r\n"), 0);
    attend_ecriture(false); // an abandoned run leaves its description empty
    if (record)
        ferme_fichiers(false);
    file_open = false;
    anneau.libere();
    hote().transferts(false);
    started = false;
    stopped = false;
    anneau.fini = false;
    bilan.abandonne = true;
    bilan.demandes = uint64_t(nb_voies()) * 4 * count;
    hote().niveaux(false);
    run_en_cours = false;
    passe_a(Etat::Repos);
}

// Streaming: the data path services the ring and stops the run when it must; the host's
// thread takes its reports, Stop and the elapsed time, the progress, the live levels and the
// run's description, until the ring is over. A host that stalls holds none of it up.
void Moteur::Impl::boucle_streaming(planning::PlanRun &plan)
{
    started = true;
    stopped = false;
    passe_a(Etat::Acquisition);
    if (test)
        dit(QStringLiteral("Paquet : \r\n"), 0);
    if (!plan.debut.isValid())
        plan.debut.start(); // a triggered run: from its trigger
    debut_streaming_ms = QDateTime::currentMSecsSinceEpoch();
    // The run's description is on disk from the first sample and kept up to date, so that a
    // kill, a lost display or a full disk cannot take it away.
    description_ok = !record || ecrit_description(true, true);
    QElapsedTimer mise_a_jour;
    mise_a_jour.start();
    ecriture_signalee = false;
    en_flux = true; // the data path's own stops from now on
    int64_t dit_ms = -100;
    uint64_t dit_paquets = UINT64_MAX;

    for (;;) {
        hote().pompe();
        attend_hote(ATTENTE_HOTE_MS);
        const bool fini = anneau.etat.fini.load(std::memory_order_acquire);
        if (erreur_usb.load()) {
            dit(QStringLiteral("\r\nERREUR \r\n"), 0);
            break;
        }
        const uint64_t ntr = anneau.etat.ntr.load(std::memory_order_relaxed);
        // Progress in packets of the budget, whatever the size of the transfers.
        const uint64_t paquets = (ntr + Anneau::TAILLE_PAQUET - 1) / Anneau::TAILLE_PAQUET;
        // Told when they change (the elapsed time in tenths of a second), not at every turn.
        if (const int64_t ms = plan.debut.elapsed(); ms / 100 != dit_ms / 100) {
            hote().ecoule(ms);
            dit_ms = ms;
        }
        if (paquets <= n_pkt && count != 0 && paquets != dit_paquets) {
            hote().progression(uint32_t(paquets), n_pkt);
            dit_paquets = paquets;
        }
        std::optional<Niveaux> n;
        {
            std::lock_guard<std::mutex> l(niveaux_mu);
            n.swap(niveaux_prets);
        }
        if (n && !stopped)
            hote().niveaux_mesures(*n);
        if (record && mise_a_jour.hasExpired(description::PERIODE_MS)) {
            tient_description();
            mise_a_jour.restart();
        }
        if (fini)
            break;
    }
    arrete_donnees();
    hote();
}

// The run's header and log brought up to the bytes written so far; a failure is said once.
void Moteur::Impl::tient_description()
{
    if (!ecrit_description(false, description_ok))
        description_ok = false;
}

// What the ring needs to know of this use: the run's frame and flags, or the probe's.
Anneau::Parametres Moteur::Impl::parametres_anneau(bool sonde) const
{
    Anneau::Parametres p;
    p.nb_voies = nb_voies();
    p.compteur = compteur;
    p.record = record;
    p.test = test;
    p.test_init = sonde;
    p.increment_position = increment_position;
    p.increment_compteur = increment_compteur;
    p.octets_par_s = double(nb_voies()) * 4.0 * double(frequence);
    if (!sonde) {
        const planning::DimensionAnneau dim = planning::dimension_anneau(p.octets_par_s);
        p.taille = dim.taille;
        p.nb_slots = dim.nb;
    }
    if (!sonde && record) {
        p.octets_max = planning::octets_max_trames(nb_voies(), trames_max);
        const uint64_t memoire = Moteur::memoire_physique_hook ? Moteur::memoire_physique_hook()
                                                               : uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGESIZE));
        p.paquets_file = planning::paquets_file(p.octets_par_s, memoire, p.taille);
    }
    return p;
}

// A failed write to the data file, reported once per run with the alert. True when one failed.
bool Moteur::Impl::signale_ecriture()
{
    const int e = anneau.echec_ecriture();
    if (e != 0 && !ecriture_signalee) {
        ecriture_signalee = true;
        dit(QStringLiteral("\r\n"), 0);
        signale({Raison::EcritureDonnees, e, 0, acqui_name}, 1); // the host holds the box back until the end of the ring
    }
    return e != 0;
}

// The ring is over: the writer still empties its queue. The host is told how much is left (and,
// when the disk stops taking data, for how long it has not), keeps answering, and the run's
// description follows the bytes written (with `decrit`).
void Moteur::Impl::attend_ecriture(bool decrit)
{
    const uint64_t total = anneau.ecrivain.octets_en_file();
    if (total > 0)
        passe_a(Etat::Ecriture);
    QElapsedTimer mise_a_jour, immobile;
    mise_a_jour.start();
    immobile.start();
    uint64_t ecrits = anneau.ntw.load();
    ecriture_abandonnee = false;
    anneau.vide_file([&] {
        if (ecriture_abandonnee)
            abandonne_file();
        const uint64_t reste = anneau.ecrivain.octets_en_file();
        if (const uint64_t n = anneau.ntw.load(); n != ecrits) {
            ecrits = n;
            immobile.restart();
        }
        hote().a_ecrire(reste, total, immobile.elapsed() >= DISQUE_MUET_MS ? immobile.elapsed() : 0);
        if (decrit && record && mise_a_jour.hasExpired(description::PERIODE_MS)) {
            tient_description();
            mise_a_jour.restart();
        }
        hote().pompe();
    });
}

// Waits for the ring's cancelled transfers; past a moment the host is told what it waits for.
Anneau::Vidange Moteur::Impl::vidange_anneau()
{
    bool affiche = false;
    const Anneau::Vidange v = anneau.vidange(TimeOut, [&](qint64 ms) {
        if (ms >= ATTENTE_VISIBLE_MS && !affiche) {
            affiche = true;
            hote().attente_transferts(true);
        }
        hote().pompe();
    });
    if (affiche)
        hote().attente_transferts(false);
    return v;
}

// End of run: every transfer back, header totals from the bytes written, the account, the
// idle state, and the files written and closed.
void Moteur::Impl::fin_de_run(const planning::PlanRun &plan)
{
    const qint64 duree_ms = plan.debut.elapsed();
    hote().flux_fini();
    if (!anneau.fini) {
        // Left on an event failure: nothing more belongs to this run.
        for (bool &a : anneau.transf_arret)
            a = true;
        anneau.annule_tout(false);
    }
    const bool revenus = vidange_anneau() == Anneau::Vidange::complete;
    if (!revenus)
        dit(QStringLiteral("Des transferts USB ne sont pas revenus ; ils seront libérés à leur retour\r\n"), 0);
    anneau.fini = true; // nothing of the ring is left to stop while the queue is written out
    attend_ecriture();
    signale_ecriture(); // a failure of the last writes is reported too
    const uint64_t ntr = anneau.ntr, ntw = anneau.ntw.load();
    fixe_totaux(header_file, ntw, nb_voies(), frequence);
    anneau.libere();
    hote().transferts(false);

    if (test) {
        if (record && count != 0)
            dit(QStringLiteral("\r\nTransfert total : %1 octets demandés,  %2 octets acquis, %3 octets écrits\r\n")
                    .arg(fmt_N0(plan.demandes), fmt_N0(ntr), fmt_N0(ntw)),
                0);
        else if (record)
            dit(QStringLiteral("\r\nTransfert total : %1 octets acquis, %2 écrits\r\n").arg(fmt_N0(ntr), fmt_N0(ntw)), 0);
        else if (count != 0)
            dit(QStringLiteral("\r\nTransfert total : %1 octets demandés %2 octets acquis\r\n").arg(fmt_N0(plan.demandes), fmt_N0(ntr)), 0);
        else
            dit(QStringLiteral("\r\nTransfert total : %1 octets acquis\r\n").arg(fmt_N0(ntr)), 0);
    }
    // A recorded run accounts for what its data file holds, as its header does.
    const uint64_t octets_compte = record ? ntw : ntr;
    dit(QStringLiteral("Fin du transfert : %1 Mo en %2 s")
            .arg(fmt_N1(double(octets_compte / 1024) / 1024.0), fmt_N1(double(duree_ms) / 1000.0)),
        0);
    if (!stopped && plan.definie)
        dit(QStringLiteral("\r\n"), 0);
    else
        dit(QStringLiteral(" soit %1 échantillons\r\n").arg(fmt_N0(octets_compte / (uint64_t(nb_voies()) * 4))), 0);
    const bool manquent = count != 0 && plan.demandes != ntr && !stopped;
    if (manquent)
        signale({Raison::OctetsManquants, int64_t(plan.demandes) - int64_t(ntr)});
    bool perdu = false;
    if (anneau.appareil_perdu()) {
        signale({Raison::AppareilDisparu, 0, 0, appareil.reprise});
        initialisation = false;
        perdu = true;
    } else if (!anneau.flux_termine() && !stopped) {
        // Silent or stalled: the next start initialises the recorder again (resets, probe).
        signale({Raison::AppareilMuet});
        initialisation = false;
        perdu = true;
    }

    bilan.arrete = stopped;
    bilan.demandes = plan.demandes;
    bilan.recus = ntr;
    bilan.ecrits = record ? ntw : 0;
    bilan.trames = octets_compte / (uint64_t(nb_voies()) * 4);
    bilan.sauts_compteur = anneau.sauts_compteur;
    bilan.appareil_perdu = perdu;
    bilan.erreur_fichier = bilan.erreur_fichier || anneau.echec_ecriture() != 0 || !description_ok;
    bilan.donnees_perdues = anneau.erreur_compteur || manquent || perdu || !revenus || (record && ntw < anneau.gardes) ||
                            anneau.refus_usbfs();
    bilan.refus_usbfs = bilan.refus_usbfs || anneau.refus_usbfs();
    bilan.plafond = arret_plafond;
    if (arret_force)
        initialisation = false; // it may stream on: the next start resets and probes it again
    bilan.duree_ms = duree_ms;

    started = false;
    stopped = false;
    anneau.fini = false;
    hote().niveaux(false);
    if (record)
        ferme_fichiers(true);
    run_en_cours = false;
    passe_a(Etat::Repos);
}

} // namespace moteur
