// viz256-record's whole work: the options read, the recorders listed or one run done through the
// engine, the reports on stderr and stdout, the exit status.
#include "tools/record_run.h"

#include "acquisition/moteur.h"
#include "device/enregistreurs.h"
#include "recording/console_format.h"
#include "tools/record_options.h"
#include "tools/json_out.h"

#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <iterator>
#include <cstdio>
#include <string>
#include <tuple>

using namespace record_cli;

namespace {

std::atomic<int> signal_recu{0};
static_assert(std::atomic<int>::is_always_lock_free, "the handler's flag must be lock-free");

extern "C" void au_signal(int sig)
{
    signal_recu.store(sig, std::memory_order_relaxed);
}

// The handlers for the time of a run, then those that were there before.
class Signaux {
public:
    Signaux()
    {
        signal_recu.store(0);
        for (size_t i = 0; i < std::size(SIGNAUX); ++i) {
            ::sigaction(SIGNAUX[i], nullptr, &avant_[i]);
            if (SIGNAUX[i] == SIGPIPE) {
                // A reader of --json that goes away must not end the run half-written.
                struct sigaction ignore {};
                ignore.sa_handler = SIG_IGN;
                ::sigaction(SIGPIPE, &ignore, nullptr);
            } else if (avant_[i].sa_handler != SIG_IGN) { // nohup: stays ignored
                struct sigaction a {};
                a.sa_handler = au_signal;
                sigemptyset(&a.sa_mask);
                ::sigaction(SIGNAUX[i], &a, nullptr);
            }
        }
    }
    ~Signaux()
    {
        for (size_t i = 0; i < std::size(SIGNAUX); ++i)
            ::sigaction(SIGNAUX[i], &avant_[i], nullptr);
    }

private:
    static constexpr int SIGNAUX[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    struct sigaction avant_[std::size(SIGNAUX)] {};
};

void ecrit_ligne(std::FILE *f, const std::string &s)
{
    std::fwrite(s.data(), 1, s.size(), f);
    std::fputc('\n', f);
    std::fflush(f);
}

std::string utf8(const QString &s)
{
    return s.toStdString();
}

const char *nom_etat(moteur::Etat e)
{
    switch (e) {
    case moteur::Etat::Ferme: return "closed";
    case moteur::Etat::Repos: return "idle";
    case moteur::Etat::Attente: return "waiting";
    case moteur::Etat::Acquisition: return "streaming";
    case moteur::Etat::Ecriture: return "writing";
    }
    return "closed";
}

const char *nom_raison(moteur::Raison r)
{
    switch (r) {
    case moteur::Raison::SautCompteur: return "counter_gap";
    case moteur::Raison::ReserveMoitie: return "reserve_half_full";
    case moteur::Raison::ReservePleine: return "reserve_full";
    case moteur::Raison::EcritureDonnees: return "data_write_failed";
    case moteur::Raison::PlafondTrames: return "file_frame_limit";
    case moteur::Raison::RefusUsbfs: return "usbfs_refused";
    case moteur::Raison::TransfertExpire: return "transfer_timed_out";
    case moteur::Raison::TransfertEchoue: return "transfer_failed";
    case moteur::Raison::MotCoupe: return "transfer_cut_inside_a_word";
    case moteur::Raison::AppareilDisparu: return "device_gone";
    case moteur::Raison::AppareilMuet: return "device_silent";
    case moteur::Raison::OctetsManquants: return "bytes_missing";
    case moteur::Raison::DeclenchementAbsent: return "trigger_timed_out";
    case moteur::Raison::AppareilAbsent: return "device_absent";
    case moteur::Raison::AppareilOccupe: return "device_busy";
    case moteur::Raison::AppareilSilencieux: return "device_silent_at_probe";
    case moteur::Raison::AppareilDetecte: return "device_ready";
    case moteur::Raison::LimiteUsbfs: return "usbfs_limit_too_low";
    case moteur::Raison::Frequence: return "frequency_set";
    case moteur::Raison::DureeTropLongue: return "duration_too_long";
    case moteur::Raison::PasDeVoie: return "no_channel";
    case moteur::Raison::PasDeFichier: return "no_file";
    case moteur::Raison::FichierDisparu: return "file_gone";
    case moteur::Raison::PlaceInsuffisante: return "disk_too_small";
    case moteur::Raison::EspaceDisque: return "disk_space";
    case moteur::Raison::MemoireTampons: return "no_memory_for_buffers";
    }
    return "unknown";
}

double secondes(int64_t ms)
{
    return double(ms) / 1000.0;
}

// The host of the engine: console lines on stderr, the JSON lines on stdout, the signals.
class Hote : public moteur::Observateur {
public:
    explicit Hote(bool json) : json_(json) {}
    void relie(moteur::Moteur *m) { moteur_ = m; }
    void debut_du_run() { en_run_ = true; prochain_ = std::chrono::steady_clock::now(); }

    void console(const QString &texte, int alerte) override
    {
        (void)alerte; // no box here: an alert is a console line like the others
        QString t = texte;
        t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        while (t.endsWith(u'\n'))
            t.chop(1);
        if (!t.isEmpty())
            ecrit_ligne(stderr, utf8(t));
    }

    // With --json, each report a script may act on is one line: the reason's name and figures.
    void evenement(const moteur::Evenement &e) override
    {
        if (json_)
            ecrit_ligne(stdout, tools::Json::object()("event", nom_raison(e.raison))("a", e.a)("b", e.b).line());
    }

    void pompe() override
    {
        if (!moteur_)
            return;
        const moteur::Etat e = moteur_->etat();
        // Stop and Abort act on a queued or streaming run; a signal before the run is kept
        // until it is one, and one during the write-out changes nothing. Each signal acts once:
        // a stop the recorder left unanswered (the console says so) is sent again by the next.
        if (e == moteur::Etat::Attente || e == moteur::Etat::Acquisition) {
            if (signal_recu.exchange(0, std::memory_order_relaxed) != 0) {
                ++signaux_;
                if (e == moteur::Etat::Attente)
                    moteur_->abandonne();
                else
                    moteur_->arrete();
            }
        } else if (e == moteur::Etat::Ecriture && signal_recu.exchange(0, std::memory_order_relaxed) != 0) {
            // The stream is over and the disk still has the rest to take: a second signal
            // gives that up (the files keep what was written).
            if (signaux_++ > 0)
                moteur_->abandonne_ecriture();
            else
                ecrit_ligne(stderr, "viz256-record: the rest of the run is being written to disk; a second signal gives it up");
        }
        if (json_ && en_run_ && std::chrono::steady_clock::now() >= prochain_) {
            prochain_ += std::chrono::seconds(1);
            if (prochain_ < std::chrono::steady_clock::now())
                prochain_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            const moteur::Instantane i = moteur_->instantane();
            ecrit_ligne(stdout, tools::Json::object()("state", nom_etat(i.etat))("frames", i.trames)("bytes_written", i.octets_ecrits)(
                                    "reserve", i.reserve)("counter_gaps", i.sauts_compteur)("elapsed_s", secondes(i.ecoule_ms))
                                    .line());
        }
    }

    QString reprise() const override { return QStringLiteral("relancer viz256-record"); }

    // A disk that takes nothing is said every few seconds, with what it still has to take.
    void a_ecrire(uint64_t reste, uint64_t, int64_t disque_muet_ms) override
    {
        const int64_t palier = disque_muet_ms / DISQUE_MUET_MS;
        if (palier == 0 || palier == palier_dit_)
            return;
        palier_dit_ = palier;
        ecrit_ligne(stderr, utf8(QStringLiteral("Attente du disque : %1 s, %2 Mo à écrire")
                                     .arg(fmt_N0(uint64_t(disque_muet_ms / 1000)), fmt_N0(reste / 1048576))));
    }

private:
    static constexpr int64_t DISQUE_MUET_MS = 5000;
    bool json_;
    int signaux_ = 0;         // signals that acted in this run
    int64_t palier_dit_ = 0;  // the last disk wait said, in steps of DISQUE_MUET_MS
    moteur::Moteur *moteur_ = nullptr;
    bool en_run_ = false;
    std::chrono::steady_clock::time_point prochain_{};
};

// The status of a run from its summary: a file error before all, then a run that never went
// out or whose transfers the kernel refused (the usbfs memory too low), then lost data.
int statut(const moteur::Bilan &b)
{
    if (b.erreur_fichier)
        return FICHIER;
    if (!b.lance || b.refus_usbfs)
        return APPAREIL;
    if (b.donnees_perdues || b.appareil_perdu)
        return PERTES;
    return PROPRE;
}

std::string bilan_json(const moteur::Bilan &b, int code)
{
    tools::Json j = tools::Json::object();
    j("state", "ended")("status", code)("started", b.lance)("aborted", b.abandonne)("stopped", b.arrete);
    j("bytes_requested", b.demandes)("bytes_received", b.recus)("bytes_written", b.ecrits)("frames", b.trames);
    j("counter_gaps", b.sauts_compteur)("data_lost", b.donnees_perdues)("file_error", b.erreur_fichier);
    return j("device_lost", b.appareil_perdu)("usbfs_refused", b.refus_usbfs)("elapsed_s", secondes(b.duree_ms)).line();
}

const char *texte_etat(enregistreurs::Etat e)
{
    switch (e) {
    case enregistreurs::Etat::Libre: return "free";
    case enregistreurs::Etat::Occupe: return "busy (another program holds it)";
    case enregistreurs::Etat::Interdit: return "not allowed (permissions of its device node)";
    case enregistreurs::Etat::Injoignable: return "unreachable";
    }
    return "unreachable";
}

// --list: every recorder on the bus, as text (one line each) or as one JSON array.
int liste(bool json)
{
    enregistreurs::Bus bus;
    if (bus.erreur() != 0) {
        std::fprintf(stderr, "viz256-record: USB is not available (libusb_init: %d)\n", bus.erreur());
        return APPAREIL;
    }
    std::vector<enregistreurs::Enregistreur> l = bus.liste();
    std::sort(l.begin(), l.end(), [](const auto &a, const auto &b) { return std::tie(a.bus, a.ports) < std::tie(b.bus, b.ports); });
    if (json) {
        tools::Json a = tools::Json::array();
        for (const enregistreurs::Enregistreur &e : l)
            a.push(tools::Json::object()("port", e.chemin)("serial", e.serie ? tools::Json(*e.serie) : tools::Json())("busy", e.occupe()));
        ecrit_ligne(stdout, a.line());
        return PROPRE;
    }
    if (l.empty())
        std::fputs("viz256-record: no recorder (fe27:ac01) on the bus\n", stderr);
    for (const enregistreurs::Enregistreur &e : l)
        std::printf("%-12s serial %-16s %s\n", e.chemin.c_str(), e.serie ? e.serie->c_str() : "(none)", texte_etat(e.etat));
    std::fflush(stdout);
    return PROPRE;
}

} // namespace

int record_cli::execute(const QStringList &arguments)
{
    const auto lu = record_cli::analyse(arguments);
    if (const QString *erreur = std::get_if<QString>(&lu)) {
        std::fprintf(stderr, "viz256-record: %s\n", utf8(*erreur).c_str());
        return USAGE_ERRONE;
    }
    const record_cli::Options &o = std::get<record_cli::Options>(lu);
    if (o.aide) {
        std::fputs(record_cli::USAGE, stdout);
        return PROPRE;
    }
    if (o.liste)
        return liste(o.json);

    if (o.reglages.fichier) {
        if (const std::optional<reglages::Refus> r = moteur::refus_espace(o.reglages)) {
            std::fprintf(stderr, "viz256-record: --out: %s\n", utf8(r->message).c_str());
            return FICHIER;
        }
    }
    if (!o.appareil) {
        // The window opens the first recorder; a script that does not say which of several it
        // means would record one at random.
        enregistreurs::Bus bus;
        if (const size_t n = bus.erreur() ? 0 : bus.liste(false).size(); n > 1) {
            std::fprintf(stderr, "viz256-record: %zu recorders on the bus: choose one with --device PORT|SERIAL (see --list)\n", n);
            return USAGE_ERRONE;
        }
    }
    Signaux signaux;
    Hote hote(o.json);
    moteur::Moteur m(hote);
    hote.relie(&m);
    if (!m.ouvre(o.appareil ? std::optional<std::string>(utf8(*o.appareil)) : std::nullopt))
        return APPAREIL;
    if (signal_recu.load() != 0) {
        std::fputs("viz256-record: interrupted before the run started: nothing recorded\n", stderr);
        return PROPRE;
    }
    hote.debut_du_run();
    const moteur::Bilan b = m.enregistre(o.reglages, o.remplacer);
    const int code = statut(b);
    if (o.json)
        ecrit_ligne(stdout, bilan_json(b, code));
    return code;
}
