#pragma once
// The engine: a whole run of one recorder without any widget, QApplication or message box
// (QtCore only). It owns the device object (its own libusb context), the ring and the writer,
// the three files and their description updates, and drives the stages: initialisation and
// probe, configuration, trigger wait, streaming, stop or abort, end of run.
//
// Hosts: the window (app/), which maps its controls to the calls below and shows the reports,
// and viz256-record (tools/). This header is all they see of it: what a view or a test reads
// of its state is a Diagnostic, taken by value. It reports through an Observateur, always on
// the host's thread (the one that calls it). While a run's transfers are out, a thread of the engine's own (the
// data path) services them: completions, resubmission, the counter check, the hand-over to
// the writer, the run's own stops; the host's thread only takes the reports, and may stall
// for as long as the writer's reserve holds without losing a frame. Where a run lets its host
// breathe (the window's nested event processing, a command line's signal flags), it calls
// Observateur::pompe(); Stop and Abort may be called from inside it, or from any thread.
#include "acquisition/evenements.h"
#include "acquisition/reglages.h"
#include "recording/header_record.h"

#include <functional>

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct FrameLayout;

namespace moteur {

// What the engine is doing; the host shows its controls from it.
enum class Etat {
    Ferme,       // no recorder open, or its initialisation failed
    Repos,       // initialised and idle
    Attente,     // the run is queued and waits for its external start trigger (only Abort acts)
    Acquisition, // streaming (Stop acts)
    Ecriture,    // the ring is over; the writer empties its queue onto the disk
};

// What became of a stop command.
enum class Arret {
    SansReponse,   // the recorder did not answer it: the run goes on, a new Stop may be tried
    Arrete,        // soft stop: the run ends with what the recorder still sends
    EnAttenteTrig, // the recorder stops on its stop trigger
};

// A view of the run at one moment, for a host that reports on its own rhythm.
struct Instantane {
    Etat etat = Etat::Ferme;
    uint64_t trames = 0;          // frames received
    uint64_t octets_ecrits = 0;   // bytes on the data file
    double reserve = 0;           // share of the writer's queue in use, 0..1
    uint64_t sauts_compteur = 0;  // counter gaps seen (frames lost by the recorder)
    int64_t ecoule_ms = 0;        // since the first sample
};

// The end of a run.
struct Bilan {
    bool lance = false;           // the run was queued (false: refused before anything went out)
    bool abandonne = false;       // given up before its trigger (Abort or the time limit)
    bool arrete = false;          // ended by Stop before its count, or an open-ended run stopped
    uint64_t demandes = 0;        // bytes requested (0: no fixed count)
    uint64_t recus = 0;           // bytes received
    uint64_t ecrits = 0;          // bytes on the data file
    uint64_t trames = 0;          // frames the run keeps (written when recorded, received otherwise)
    uint64_t sauts_compteur = 0;
    bool donnees_perdues = false; // a counter gap, missing bytes, or data received and not written
    bool erreur_fichier = false;  // a file could not be created or a write failed
    bool appareil_perdu = false;  // the recorder vanished or stopped answering
    bool refus_usbfs = false;     // the kernel's usbfs memory could not hold the ring (at the start or later)
    bool plafond = false;         // stopped at the most frames a data file's description counts
    int64_t duree_ms = 0;
};

// What the engine holds at one moment, for a host's views and for tests: plain values, taken on
// the host's thread. While the data path services the ring, the ring's counters are those it
// last published (and the transfers in flight are not known: en_vol is -1).
struct Diagnostic {
    // ---- the recorder and the settings sent to it
    bool lien = false;             // the recorder is open
    bool initialisation = false;   // it was reset and probed
    bool clock_def = false;        // a frequency was sent since
    bool count_def = false;        // the sample count was sent since
    int32_t num_freq = -1;         // the frequency list's entry sent (-1: none)
    float frequence = 0;           // Hz
    float duree_max = 1;           // the longest duration at that frequency (s)
    uint32_t count = 0;            // frames of the run (0: no fixed count)
    uint32_t n_pkt = 0;            // the run's packet budget
    int32_t timeout_ms = 0;        // the time-out of the run's transfers and requests
    uint32_t trames_max = 0;       // frames a recorded data file may hold
    int32_t nb_voies = 0;          // words of a frame (from the channel choice)
    int32_t nb_micros = 0;         // microphones of a frame
    std::vector<int> micros;       // their channels (8 x beam + microphone), increasing
    bool compteur = false;         // the counter is recorded (and checked)
    bool record = false;           // runs are recorded to files
    bool test = false;             // advanced mode
    // ---- the run
    bool run_en_cours = false;     // from the start's planning to the end of run
    bool started = false;          // streaming (the trigger came)
    bool stopped = false;          // a stop went out
    Bilan bilan;                   // the run in progress or the last one
    // ---- the ring
    uint64_t octets_recus = 0;
    uint64_t octets_ecrits = 0;    // on the data file
    uint32_t paquets = 0;          // completions handled (data and cancellations)
    int en_vol = 0;                // transfers with the library (-1: not known, the data path runs)
    int transferts_alloues = 0;    // transfer records still held
    int tampons_alloues = 0;       // buffers still held by the slots
    bool fini = false;             // the ring is over (as the data path last published it)
    bool flux_termine = false;     // a short transfer ended the stream
    bool memoire_appareil = false; // the slots' buffers are device memory
    bool ecriture_directe = false; // the writer goes round the page cache
    uint32_t file_max = 0;         // largest queue of the writer in this run (packets)
    uint32_t en_file = 0;          // packets queued or being written
    uint32_t capacite = 0;         // packets the queue may hold
    uint64_t cpu_donnees_ns = 0;   // CPU time of the data path's thread in the last run, once it has ended
    uint64_t cpu_ecriture_ns = 0;  // of the writer's thread, likewise
    // ---- the files of a recorded run
    bool fichiers_ouverts = false; // chosen and open
    QString nom_fichier;           // the data file chosen
    bool donnees_ouvert = false, entete_ouvert = false, log_ouvert = false;
    type_header_file entete;       // the header record as it stands
    std::optional<QString> commentaire; // the comment as the header holds it (none: not entered)
};

// The live levels: the mean square of each recorded microphone over one window of frames.
struct Niveaux {
    std::vector<int> canaux;         // the microphones' channels (8 x beam + microphone)
    std::vector<double> moyennes_carres;
    uint64_t premiere_trame = 0;     // the window's first frame in the run
};

class Observateur {
public:
    virtual ~Observateur() = default;
    // A console line exactly as the window shows it; `alerte` 1 also asks for the alert box
    // (the window holds it back while transfers are in flight).
    virtual void console(const QString &texte, int alerte) = 0;
    // A report a host may act on (a reason code and its figures); its console line follows
    // at once through console().
    virtual void evenement(const Evenement &e) { (void)e; }
    virtual void etat(Etat) {}
    virtual void progression(uint32_t paquets, uint32_t total) { (void)paquets; (void)total; }
    virtual void ecoule(int64_t ms) { (void)ms; }
    // The write-out after the ring: bytes left, of `total`, and how long the disk has taken nothing.
    virtual void a_ecrire(uint64_t reste, uint64_t total, int64_t disque_muet_ms) { (void)reste; (void)total; (void)disque_muet_ms; }
    // The latest live levels, from the frames received (more than 2001 of them); a host that
    // has not taken one before the next is ready gets only the latest.
    virtual void niveaux_mesures(const Niveaux &n) { (void)n; }
    // The end of every enregistre() (a refused one too; not a call refused because a run is in
    // progress), before it returns.
    virtual void fin(const Bilan &) {}
    // The host's turn; called at least every few tens of milliseconds during every wait.
    virtual void pompe() {}
    // What the operator does to try again after the recorder was busy or lost, as the console
    // says it ("fermer cet autre programme, puis ...").
    virtual QString reprise() const { return QStringLiteral("appuyer sur Init"); }

    // ---- what a window shows besides (a host without controls may ignore them)
    // The run is about to be queued: a fixed duration (`definie`, `duree` s, `paquets` packets
    // for the progress bar) or not, and whether its start waits for an external trigger.
    virtual void lancement(bool definie, uint32_t paquets, float duree, bool attente) { (void)definie; (void)paquets; (void)duree; (void)attente; }
    // The ring's transfers are in flight (true) or back (false): meanwhile no box may wait for the
    // operator (nothing would receive the recorder's data), so a host holds its alerts back.
    virtual void transferts(bool en_vol) { (void)en_vol; }
    // The live levels take the place of the channel choice (true), or give it back.
    virtual void niveaux(bool actifs) { (void)actifs; }
    // The stop command went out (or was not answered).
    virtual void arret(Arret resultat) { (void)resultat; }
    // The ring is over: the run's account, the write-out and the files follow.
    virtual void flux_fini() {}
    // The trigger wait is given up (Abort, or the time limit).
    virtual void abandon() {}
    // A wait for cancelled transfers that lasts (true), and its end (false).
    virtual void attente_transferts(bool longue) { (void)longue; }
    // The frequency just set allows durations up to `max` seconds (the window bounds its duration box).
    virtual void duree_max(double max, float frequence) { (void)max; (void)frequence; }
    // A recorded run is started with no files chosen: the host may let the operator choose them
    // now (Moteur::choisit_fichier).
    virtual void demande_fichier() {}
};

// The disk space a recorded run needs, known from its settings alone (the free space of its
// folder less the reserve): a host checks it before the recorder is opened, so a run refused
// for it sends nothing and creates no file; enregistre() checks it too.
std::optional<reglages::Refus> refus_espace(const reglages::Reglages &r);

class Moteur {
public:
    explicit Moteur(Observateur &obs);
    // An open recorder is reset (microphones) and closed; the observer is still told (it must
    // outlive the engine).
    ~Moteur();
    Moteur(const Moteur &) = delete;
    Moteur &operator=(const Moteur &) = delete;

    // Opens the recorder `appareil` designates (port path or serial; none: the first on the
    // bus, as the window does), then initialises and probes it. False when it is absent, busy,
    // silent or the usbfs limit too low: the console said why.
    bool ouvre(const std::optional<std::string> &appareil = std::nullopt);

    // One whole run with these settings (validated by reglages::verifie before; the files are
    // created here, refused when they exist unless `remplacer`). Returns when the run is over.
    // Settings or files refused: nothing is sent to the recorder and no file is touched.
    Bilan enregistre(const reglages::Reglages &r, bool remplacer = false);

    // Stop (the soft stop command; the run ends with what the recorder still sends) and Abort (a
    // trigger wait given up). Callable from any thread, inside Observateur::pompe() too. Stop
    // acts while the run streams (etat Acquisition): the data path sends it within a few tens
    // of milliseconds whatever the host's thread does. Abort acts while the run waits for its
    // trigger (etat Attente): from another thread the data path resets the recorder and
    // cancels the ring within a few tens of milliseconds too, and the host's thread ends the run
    // at its next turn. Each does nothing otherwise.
    void arrete();
    void abandonne();
    // Gives up the write-out after the stream (etat Ecriture; nothing otherwise): what the
    // disk has not taken yet is dropped, the console says how much, the files keep what was
    // written and describe it. The run then counts as one with data lost.
    void abandonne_ecriture();

    Etat etat() const;
    // Cheap; from any thread.
    Instantane instantane() const;
    // On the host's thread.
    Diagnostic diagnostic() const;

    // ---- the window's granular calls (each sends exactly what the window's control sends)
    // Init: opens the first recorder if needed, resets and probes it. Reports etat Repos or Ferme.
    bool init();
    // Opens the link alone (closed first when open): no reset, no probe. False when the
    // recorder is absent or busy (the console said why).
    bool ouvre_lien();
    // A click on the frequency list's entry `entree`: the clock command, 500 ms, the delay
    // command (`delai`: the advanced mode's own value; none: the entry's default).
    void choisit_frequence(int entree, std::optional<int> delai);
    // The delay setting alone (the advanced mode's spinner), after the clock of entry `entree`.
    void envoie_delai(int entree, std::optional<int> delai);
    // The duration (or its being fixed) changed: the sample count goes out again at the next start.
    void duree_changee();
    // The sample count of these settings' duration sent now (the frequency first when none
    // was); a count past 32 bits is refused with the alert, nothing sent.
    void envoie_compte(const reglages::Reglages &r);
    // The channel choice sent now: the 33 mask commands, the frame's layout and the header's flags.
    void choisit_voies(const reglages::Voies &v);
    void reset_fx3();
    void reset_ph();
    void reset_micros();
    // Files of a recorded run: "Nom du fichier d'acquisition", the three files created (or
    // emptied). False, with the alert, when they cannot be; closes earlier ones first.
    bool choisit_fichier(const QString &chemin);
    void ferme_fichiers(bool ecrire);
    // The comment as typed (stored as the header holds it).
    void commente(const QString &texte);
    void enregistrement(bool oui); // record the runs to files
    void mode_avance(bool oui);    // verbose console (and the advanced mode's delay)
    // Start: one whole run with the window's settings (the files chosen beforehand, or asked for
    // through Observateur::demande_fichier). Returns when the run is over; false when it was
    // refused before anything was queued.
    bool demarre(const reglages::Reglages &r);
    // The Stop button with the stop trigger it shows (on the host's thread: the answer is known
    // and reported when it returns).
    Arret arrete(const reglages::Declenchement &stop);

    // Seams: the free bytes of the volume holding a path, the machine's physical memory, the
    // path a companion file (header, log) is created at from its usual one.
    static std::function<uint64_t(const QString &chemin)> espace_libre_hook;
    static std::function<uint64_t()> memoire_physique_hook;
    static std::function<QString(const QString &chemin)> compagnon_hook;
    // Seams for tests: the most frames a recorded data file may hold (what its header counts,
    // 2^32 - 1); the description the files get when they close (ferme_fichiers(true)), as if
    // a run of that frame had just ended.
    void plafonne_trames(uint32_t trames);
    void decrit(const type_header_file &entete, const FrameLayout &disposition);

    struct Impl; // acquisition/moteur_impl.h, private to acquisition/

private:
    Impl *d;
};

} // namespace moteur
