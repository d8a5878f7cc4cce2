// The engine: the recorder's initialisation and probe, its resets, the frequency, the channel
// choice, the files of a recorded run and their description, and the calls of its hosts.
#include "acquisition/moteur_impl.h"

#include "device/commands.h"
#include "device/horloge.h"
#include "device/usbfs.h"
#include "recording/commentaire.h"
#include "recording/console_format.h"
#include "recording/description.h"
#include "recording/fichiers.h"
#include "recording/log_text.h"

#include <QDateTime>
#include <QFile>
#include <QThread>

#include <libusb.h>

#include <cerrno>
#include <cstring>

namespace moteur {

std::function<uint64_t(const QString &)> Moteur::espace_libre_hook;
std::function<uint64_t()> Moteur::memoire_physique_hook;
std::function<QString(const QString &)> Moteur::compagnon_hook;

namespace {
constexpr unsigned int TIMEOUT_SONDE_MS = 500;
constexpr uint64_t OCTETS_SONDE = 255 * 8 * 4; // 255 frames of one beam of 8 microphones

QString raison_systeme(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}
} // namespace

Moteur::Impl::Impl(Observateur &o)
    : obs(o)
{
    appareil.journal = [this](const QString &t, int f) { dit(t, f); };
    appareil.reprise = obs.reprise();
    appareil.echec = [this](Appareil::Echec e) {
        if (e == Appareil::Echec::Occupe)
            signale({Raison::AppareilOccupe, 0, 0, appareil.reprise}, 1);
        else
            signale({Raison::AppareilAbsent}, 1);
    };
    anneau.journal = [this](const QString &t, int f) { dit(t, f); };
    anneau.rapport = [this](const Evenement &e) { signale(e); };
    std::memset(header_file.texte_commentaire, ' ', sizeof header_file.texte_commentaire);
    std::memset(header_file.compteurs_actifs, 0, sizeof header_file.compteurs_actifs);
    std::memset(header_file.va_actives, 0, sizeof header_file.va_actives);
    std::memset(header_file.micros_actifs, 0, sizeof header_file.micros_actifs);
}

// Teardown: with a device open, reset the microphones, release interface 0 and close it.
Moteur::Impl::~Impl()
{
    arrete_donnees();
    ferme_USB();
    ferme_fichiers(false);
}

void Moteur::Impl::passe_a(Etat e)
{
    etat_courant = e;
    hote().etat(e);
}

// ------------------------------------------------------------------ the link
int32_t Moteur::Impl::init_USB()
{
    const int32_t r = appareil.ouvre(choix_appareil);
    anneau.contexte = appareil.contexte();
    // One tap per open recorder; a tap that cannot be made leaves the runs without one.
    if (r == 0 && (!publieur || port_publie != appareil.port())) {
        publieur.reset();
        std::string erreur;
        publieur = tap::Publisher::create(appareil.port(), appareil.serie(), erreur);
        port_publie = publieur ? appareil.port() : std::string();
    }
    return r;
}

void Moteur::Impl::ferme_USB()
{
    if (!appareil.ouvert())
        return;
    reset_micros();
    appareil.ferme();
    anneau.contexte = nullptr;
    publieur.reset();
    port_publie.clear();
}

// ------------------------------------------------------------------ initialisation and probe
// The usbfs cap against the ring's need: the report when the ring cannot all be in flight
// (with `refusee`, a submission was refused all the same: the cap as it is read now).
std::optional<Evenement> Moteur::Impl::limite_usbfs(bool refusee)
{
    const uint32_t limite = usbfs::lit_limite_mo();
    const uint32_t besoin = usbfs::besoin_mo(Anneau::NB_SLOTS, Anneau::TAILLE_PAQUET);
    if (!refusee && usbfs::suffit(limite, besoin))
        return std::nullopt;
    return Evenement{Raison::LimiteUsbfs, limite, besoin};
}

int32_t Moteur::Impl::initialise()
{
    envoie_reset(&Appareil::reset_fx3, QStringLiteral("Reset FX3\r\n"));
    if (!initialisation_FX3())
        return -1;
    QThread::msleep(10);
    envoie_reset(&Appareil::reset_ph, QStringLiteral("Reset Pseudo Hard (C4)\r\n"));
    QThread::msleep(10);
    if (initialisation_FX3())
        reset_micros();
    QThread::msleep(10);
    envoie_reset(&Appareil::reset_ph, QStringLiteral("Reset Pseudo Hard (C4)\r\n"));
    QThread::msleep(10);
    envoie_reset(&Appareil::reset_fx3, QStringLiteral("Reset FX3\r\n"));
    QThread::msleep(10);

    if (const int32_t res = test_boitier(); res != 0) {
        if (res == -1) // -2: the probe's ring could not be queued, and the alert said why
            signale({Raison::AppareilSilencieux}, 1);
        return -1;
    }
    signale({Raison::AppareilDetecte});
    clock_def = false;
    num_freq = -1;
    count_def = false;
    started = false;
    stopped = false;
    // The files of an earlier choice are abandoned (left empty on disk) and closed, and the
    // operator told so.
    if (file_open)
        dit(QStringLiteral("Fichier %1 abandonné par l'initialisation : le choisir à nouveau pour enregistrer\r\n").arg(acqui_name), 0);
    ferme_fichiers(false);
    return 0;
}

// The probe: 255 frames of beam 0 at 50 000 Hz must come back as exactly 8160 bytes.
// -2 when its ring cannot all be in flight under the usbfs cap (the alert has been shown).
int32_t Moteur::Impl::test_boitier()
{
    if (const std::optional<Evenement> e = limite_usbfs(false)) {
        signale(*e, 1);
        return -2;
    }
    const bool record_voulu = record;
    compteur = false;
    record = false;

    appareil.horloge(9);
    appareil.nb_echantillons(255);
    appareil.masque_voies(0, 0xFF); // beam 0 alone
    for (int b = 1; b < 32; ++b)
        appareil.masque_voies(static_cast<uint8_t>(b), 0);
    appareil.masque_aux(0);

    bool ok = anneau.prepare(appareil.handle(), TIMEOUT_SONDE_MS, parametres_anneau(true));
    bool refus = false; // a submission refused for lack of usbfs memory: no start, no probe
    if (ok) {
        refus = anneau.soumet() == LIBUSB_ERROR_NO_MEM;
        if (refus) {
            anneau.annule_tout(false);
        } else {
            appareil.start(0);
            while (anneau.en_vol > 0) {
                QThread::msleep(1);
                if (anneau.service(100) != 0)
                    break;
            }
        }
        anneau.vidange(TimeOut);
        anneau.libere();
    }

    compteur = true;
    record = record_voulu;
    if (refus) {
        signale(*limite_usbfs(true), 1);
        return -2;
    }
    if (!ok || anneau.err_timeout || anneau.ntr != OCTETS_SONDE)
        return -1;
    return 0;
}

int32_t Moteur::Impl::reset_micros()
{
    if (!lien())
        return -1;
    if (test)
        dit(QStringLiteral("\r\nReset B0\r\n"), 0);
    const int res = appareil.reset_micros();
    micros_remis();
    return res == 1 ? 0 : -1;
}

// What a microphone reset leaves: the recorder initialised, its clock and count to send again.
void Moteur::Impl::micros_remis()
{
    initialisation = true;
    clock_def = false;
    count_def = false;
    started = false;
}

// The two controller resets: open the link if needed, then one request without data.
void Moteur::Impl::envoie_reset(int32_t (Appareil::*reset)(), const QString &message)
{
    if (!lien())
        return;
    (appareil.*reset)();
    if (test)
        dit(message, 0);
}

// ------------------------------------------------------------------ frequency and delay
void Moteur::Impl::frequence_cliquee(int entree, std::optional<int> delai)
{
    if (!initialisation && initialise() == -1)
        return;
    num_freq = entree;
    const uint8_t division = horloge::octet_entree(entree);
    appareil.horloge(division);
    QThread::msleep(500);
    frequence = horloge::frequence_pour_octet(division);
    header_file.freq = frequence;
    // Rounded down to the tenth the duration box shows, so that no duration it offers wraps the count.
    const double max = planning::duree_max(frequence);
    duree_max = static_cast<float>(max);
    hote().duree_max(max, frequence);
    if (test)
        dit(QStringLiteral("Clock division : %1.  ").arg(fmt_G(int64_t(division))), 0);
    signale({Raison::Frequence, int64_t(frequence)});
    clock_def = true;
    count_def = false;
    delai_change(entree, delai);
}

void Moteur::Impl::delai_change(int entree, std::optional<int> delai)
{
    if (!appareil.ouvert())
        return; // nothing to configure before the link is open
    const int v = delai.value_or(horloge::DELAIS[size_t(entree)]);
    if (test)
        dit(QStringLiteral("N_DELAY : %1  \r\n").arg(fmt_G(int64_t(v))), 0);
    appareil.delai(static_cast<uint8_t>(v));
}

// ------------------------------------------------------------------ channels
// Rewrites the recorder's whole channel configuration (beam 0..31, then the auxiliary group),
// the channel list, the frame width and the selection flags of the header record.
void Moteur::Impl::choix_micros(const reglages::Voies &v)
{
    const selection::Choix c = v.choix();
    // What a frame holds follows from the masks the recorder receives, and only from them.
    disposition = FrameLayout::from_masks(c.masques.data(), c.masque_aux, r.flottant, double(frequence));
    for (int b = 0; b < selection::NB_FAISCEAUX; ++b) {
        for (int m = 0; m < selection::NB_MICROS_FAISCEAU; ++m)
            header_file.micros_actifs[b][m] = v.micros[b][m] ? 1 : 0;
        appareil.masque_voies(static_cast<uint8_t>(b), c.masques[b]);
    }
    compteur = disposition.counter;
    header_file.compteurs_actifs[0] = compteur ? 1 : 0;
    for (int n = 0; n < selection::NB_VA; ++n)
        header_file.va_actives[0][n] = v.va[size_t(n)] ? 1 : 0;

    appareil.masque_aux(c.masque_aux);
    QThread::msleep(300);
}

// ------------------------------------------------------------------ files
namespace {
// Writes the whole block over the file, in place, and cuts the file to it; on failure, says
// why on the console and returns false.
bool ecrit_tout(Moteur::Impl &m, QFile *f, const QByteArray &octets)
{
    QString raison;
    if (description::ecrit_en_place(*f, octets, true, &raison))
        return true;
    m.dit(QStringLiteral("Erreur d'écriture du fichier %1 : %2\r\n").arg(f->fileName(), raison), 0);
    return false;
}
} // namespace

// Header file, then log file, from the record of the run that just ended. A failure is the
// run's file error: the files on disk do not hold its final description.
void Moteur::Impl::ecrit_log()
{
    const auto image = serialise(header_file);
    const bool entete = ecrit_tout(*this, Mu, QByteArray(reinterpret_cast<const char *>(image.data()), TAILLE_HEADER));
    const bool texte = ecrit_tout(*this, log, texte_log(header_file, nb_voies(), nb_micros(), commentaire));
    if (!entete || !texte)
        bilan.erreur_fichier = true;
}

// Header and log of the run in progress, describing the frames written so far. The first
// call of a run also reserves the log's room.
bool Moteur::Impl::ecrit_description(bool debut, bool signale)
{
    if (!Mu || !log || !Mu->isOpen() || !log->isOpen())
        return true;
    type_header_file h = header_file;
    fixe_totaux(h, anneau.ntw.load(), nb_voies(), frequence);
    const auto image = serialise(h);
    const QByteArray texte = texte_log(h, nb_voies(), nb_micros(), commentaire);
    if (debut)
        description::reserve(*log, texte.size() + description::MARGE_LOG);
    QString raison;
    QFile *rate = nullptr;
    if (!description::ecrit_en_place(*Mu, QByteArray(reinterpret_cast<const char *>(image.data()), TAILLE_HEADER), false, &raison))
        rate = Mu;
    else if (!description::ecrit_en_place(*log, texte, false, &raison))
        rate = log;
    if (rate && signale)
        dit(QStringLiteral("Erreur d'écriture du fichier %1 : %2\r\n").arg(rate->fileName(), raison), 0);
    return rate == nullptr;
}

// Creates (or empties) the data file and its two companions. On failure nothing stays open.
bool Moteur::Impl::ouvre_fichiers(const QString &chemin)
{
    ferme_fichiers(false);
    const NomsCompagnons noms = noms_compagnons(chemin);

    if (!anneau.ouvre_donnees(chemin)) {
        dit(QStringLiteral("Impossible de créer le fichier %1 : %2\r\n").arg(chemin, raison_systeme(errno)), 1);
        return false;
    }

    const auto ouvre = [this](QFile *&f, const QString &nom) {
        f = new QFile(Moteur::compagnon_hook ? Moteur::compagnon_hook(nom) : nom);
        if (f->open(QIODevice::WriteOnly | QIODevice::Truncate))
            return true;
        dit(QStringLiteral("Impossible de créer le fichier %1 : %2\r\n").arg(f->fileName(), f->errorString()), 1);
        return false;
    };
    if (!ouvre(Mu, noms.entete) || !ouvre(log, noms.log)) {
        // The choice fails as a whole: the files it did create, still empty, go again.
        const bool entete_cree = Mu->isOpen();
        ferme_fichiers(false);
        QFile::remove(chemin);
        if (entete_cree)
            QFile::remove(noms.entete);
        return false;
    }
    return true;
}

// Closes the data file, then (with `ecrire`) writes the header and log files, and closes
// them. Does nothing for files that are not open.
void Moteur::Impl::ferme_fichiers(bool ecrire)
{
    if (anneau.Filep && !anneau.ferme_donnees()) {
        dit(QStringLiteral("Erreur d'écriture du fichier %1 : %2\r\n").arg(acqui_name, raison_systeme(errno)), 0);
        bilan.erreur_fichier = true;
    }
    if (ecrire && Mu && log && Mu->isOpen() && log->isOpen())
        ecrit_log();
    delete log; // QFile closes on destruction
    log = nullptr;
    delete Mu;
    Mu = nullptr;
    file_open = false;
}

// The files of a run that never went out: closed and removed.
void Moteur::Impl::retire_fichiers(const QString &chemin)
{
    ferme_fichiers(false);
    file_open = false;
    const NomsCompagnons noms = noms_compagnons(chemin);
    for (const QString &nom : {chemin, noms.entete, noms.log})
        QFile::remove(nom);
}

bool Moteur::Impl::choisit_fichier(const QString &chemin)
{
    acqui_name = chemin;
    dit(QStringLiteral("Nom du fichier d'acquisition : ") + acqui_name + QStringLiteral("\r\n"), 0);
    file_open = ouvre_fichiers(acqui_name);
    return file_open;
}

// ------------------------------------------------------------------ the hosts' calls
Moteur::Moteur(Observateur &obs)
    : d(new Impl(obs))
{
}

Moteur::~Moteur()
{
    delete d;
}

bool Moteur::Impl::init()
{
    if (init_USB() == -1 || initialise() == -1) {
        passe_a(Etat::Ferme);
        return false;
    }
    passe_a(Etat::Repos);
    return true;
}

bool Moteur::init()
{
    return d->init();
}

bool Moteur::ouvre_lien()
{
    return d->init_USB() == 0;
}

bool Moteur::ouvre(const std::optional<std::string> &appareil)
{
    d->choix_appareil = appareil;
    return init();
}

void Moteur::choisit_frequence(int entree, std::optional<int> delai)
{
    d->frequence_cliquee(entree, delai);
}

void Moteur::envoie_delai(int entree, std::optional<int> delai)
{
    d->delai_change(entree, delai);
}

void Moteur::duree_changee()
{
    d->count_def = false;
}

void Moteur::envoie_compte(const reglages::Reglages &r)
{
    d->r = r;
    d->calcul_count();
}

void Moteur::choisit_voies(const reglages::Voies &v)
{
    d->choix_micros(v);
}

void Moteur::reset_fx3()
{
    d->envoie_reset(&Appareil::reset_fx3, QStringLiteral("Reset FX3\r\n"));
}

void Moteur::reset_ph()
{
    d->envoie_reset(&Appareil::reset_ph, QStringLiteral("Reset Pseudo Hard (C4)\r\n"));
}

void Moteur::reset_micros()
{
    if (d->initialisation_FX3())
        d->reset_micros();
}

bool Moteur::choisit_fichier(const QString &chemin)
{
    return d->choisit_fichier(chemin);
}

void Moteur::ferme_fichiers(bool ecrire)
{
    d->ferme_fichiers(ecrire);
}

void Moteur::commente(const QString &texte)
{
    d->commentaire = commentaire_complete(texte);
    const auto champ = champ_commentaire(*d->commentaire);
    std::memcpy(d->header_file.texte_commentaire, champ.data(), champ.size());
}

void Moteur::enregistrement(bool oui)
{
    d->record = oui;
}

void Moteur::mode_avance(bool oui)
{
    d->test = oui;
}

bool Moteur::demarre(const reglages::Reglages &r)
{
    return d->run(r);
}

Arret Moteur::arrete(const reglages::Declenchement &stop)
{
    return d->demande_stop(stop);
}

void Moteur::arrete()
{
    if (d->run_en_cours && d->started && !d->stopped && !d->anneau.etat.fini.load())
        d->demande_stop({});
}

void Moteur::abandonne()
{
    if (!d->run_en_cours || d->started || d->aborted)
        return;
    if (std::this_thread::get_id() == d->fil_hote)
        d->abort_demande();
    else
        d->abandon_demande = true; // the data path gives the wait up (abandon_donnees), the host's thread ends the run
}

void Moteur::abandonne_ecriture()
{
    if (d->etat_courant == Etat::Ecriture)
        d->ecriture_abandonnee = true;
}

Bilan Moteur::enregistre(const reglages::Reglages &r, bool remplacer)
{
    // A refusal before anything is queued: the console says why, the host is told the end.
    Bilan refuse;
    const auto refuse_par = [&](const std::optional<reglages::Refus> &refus) {
        d->dit(refus->message + QStringLiteral("\r\n"), 1);
        refuse.erreur_fichier = refus->champ == reglages::Champ::Fichier;
        d->hote().fin(refuse);
        return refuse;
    };
    if (d->run_en_cours)
        return refuse; // a run is in progress (a call from inside the host's pompe): nothing is touched
    // Settings and files are checked before the recorder is opened: a refused run sends it nothing.
    if (const std::optional<reglages::Refus> refus = reglages::verifie(r))
        return refuse_par(refus);
    if (r.fichier) {
        if (const std::optional<reglages::Refus> refus = reglages::verifie_fichiers(*r.fichier, remplacer))
            return refuse_par(refus);
        if (const std::optional<reglages::Refus> refus = refus_espace(r))
            return refuse_par(refus);
    }
    // Initialised once but the link lost since (an Init that failed): opened again, or refused.
    if ((!d->initialisation || !d->initialisation_FX3()) && !d->init()) {
        refuse.appareil_perdu = true;
        d->hote().fin(refuse);
        return refuse;
    }
    d->record = r.fichier.has_value();
    if (d->record) {
        if (!d->choisit_fichier(*r.fichier)) {
            refuse.erreur_fichier = true;
            d->hote().fin(refuse);
            return refuse;
        }
        if (r.commentaire)
            commente(*r.commentaire);
    }
    d->frequence_cliquee(r.entree_frequence, r.delai);
    d->count_def = false;
    const bool lance = d->run(r);
    if (!lance && d->record)
        d->retire_fichiers(*r.fichier); // a refused run leaves nothing behind
    Bilan b = d->bilan;
    b.lance = b.lance && lance;
    if (!lance && !d->initialisation_FX3() && !b.refus_usbfs)
        b.appareil_perdu = true;
    d->hote().fin(b);
    return b;
}

Etat Moteur::etat() const
{
    return d->etat_courant;
}

Instantane Moteur::instantane() const
{
    Instantane i;
    i.etat = d->etat_courant;
    const uint64_t trame = std::max<uint32_t>(d->octets_trame.load(), 4);
    i.trames = d->run_en_cours ? d->anneau.etat.ntr.load() / trame : 0;
    i.octets_ecrits = d->anneau.ntw.load(std::memory_order_relaxed);
    const uint32_t capacite = d->anneau.ecrivain.capacite();
    i.reserve = capacite ? double(d->anneau.ecrivain.en_file()) / double(capacite) : 0.0;
    i.sauts_compteur = d->anneau.etat.sauts_compteur.load();
    const int64_t debut = d->debut_streaming_ms.load();
    i.ecoule_ms = d->started && debut >= 0 ? QDateTime::currentMSecsSinceEpoch() - debut : 0;
    return i;
}

} // namespace moteur
