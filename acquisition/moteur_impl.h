#pragma once
// The state of the engine (moteur::Moteur) and the stages of a run: private to acquisition/.
// Its hosts and their tests see it only through moteur.h (Moteur::diagnostic() and the calls).
#include "acquisition/anneau.h"
#include "acquisition/moteur.h"
#include "acquisition/planning.h"
#include "channels/fenetre_niveaux.h"
#include "device/appareil.h"
#include "recording/frame_layout.h"
#include "recording/header_record.h"
#include "tap/publisher.h"

#include <QElapsedTimer>
#include <QString>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class QFile;

namespace moteur {

struct Moteur::Impl {
    explicit Impl(Observateur &o);
    ~Impl();

    Observateur &obs; // only through hote(), on the host's thread
    Appareil appareil;
    Anneau anneau; // the transfer ring, its counters, the data file and its writer
    // The live tap of the recorder open (none when it could not be made: runs go on without).
    std::unique_ptr<tap::Publisher> publieur;
    std::string port_publie;
    int32_t &TimeOut = appareil.timeout_ms; // time-out of the run's transfers and requests

    // ---------------------------------------------------------------- settings and state
    reglages::Reglages r;         // the settings of the run being started or in progress
    std::atomic<Etat> etat_courant{Etat::Ferme};
    std::atomic<uint32_t> octets_trame{4}; // of the run in progress (for instantane() from any thread)
    bool initialisation = false;  // the recorder was reset and probed
    bool clock_def = false;
    bool count_def = false;
    int32_t num_freq = -1;
    float frequence = 0.0f;
    float duree_max = 1.0f;
    float duree = 0.0f;
    uint32_t count = 0;
    uint32_t trames_max = UINT32_MAX; // frames a recorded data file may hold: what the header counts
    uint32_t n_pkt = 0;
    FrameLayout disposition;      // what a frame of the run holds (from the activation masks)
    int32_t nb_voies() const { return disposition.words(); }
    int32_t nb_micros() const { return int32_t(disposition.mics.size()); }
    bool compteur = false;
    int32_t increment_position = 0;
    int32_t increment_compteur = 0;
    bool record = false;
    bool test = false;   // advanced mode: verbose console
    bool type_float = false;

    // Read from any thread (Stop and Abort may come from anywhere; the data path stops too).
    std::atomic<bool> started{false};
    std::atomic<bool> stopped{false};
    std::atomic<bool> aborted{false};
    std::atomic<bool> run_en_cours{false}; // from the start's planning to the end of run
    bool ecriture_signalee = false; // this run's data-file write failure has been reported
    bool description_ok = true;     // no write of this run's header or log has failed yet
    bool ecriture_abandonnee = false; // the host gave up the write-out (abandonne_ecriture)
    Bilan bilan;
    std::optional<std::string> choix_appareil; // port path or serial; none: the first recorder
    std::atomic<int64_t> debut_streaming_ms{-1}; // when the run began streaming (ms since the epoch)

    // ---------------------------------------------------------------- files
    type_header_file header_file; // the header record (.Vlx image)
    bool file_open = false;
    QString acqui_name;
    QFile *Mu = nullptr;  // header file
    QFile *log = nullptr; // log file
    std::optional<QString> commentaire;

    // ---------------------------------------------------------------- threads
    // The host's thread (the one that calls the engine) takes every report; the data path's
    // thread services the ring while a run's transfers are out and queues its reports, which
    // the host takes, in order, before any report of its own (hote()).
    std::thread::id fil_hote = std::this_thread::get_id();
    std::thread fil_donnees;
    std::atomic<bool> quitte_donnees{false};
    std::atomic<bool> en_flux{false};       // streaming: the data path may stop the run
    std::atomic<bool> erreur_usb{false};    // event handling failed: the ring is given up
    std::atomic<bool> abandon_demande{false}; // Abort from another thread, for the data path
    bool abandon_envoye = false; // the data path reset the recorder and cancelled the ring (read after the join)
    std::atomic<bool> arret_force{false};   // the recorder could not be told to stop: the ring was given up
    std::atomic<bool> arret_plafond{false}; // the run stopped at the data file's frame cap
    std::mutex boite_mu;
    std::condition_variable boite_cv;
    std::deque<std::function<void(Observateur &)>> boite; // reports of the data path, in order
    bool reveil = false;                    // something for the host (under boite_mu)
    bool donnees_finies = false;            // the data path has ended (under boite_mu)
    // A stop asked of the data path (under boite_mu), and its answer.
    std::optional<reglages::Declenchement> arret_voulu;
    std::optional<Arret> arret_fait;
    uint64_t arret_budget_octets = UINT64_MAX; // an open-ended run stops itself past these bytes
    bool arret_budget_trames = false;          // ... because of the header's frame count
    // The live levels: the data path gathers frames and leaves the latest mean squares here.
    niveaux::Fenetre fenetre_niveaux;       // the data path's only
    std::mutex niveaux_mu;
    std::optional<Niveaux> niveaux_prets;
    void bloc_recu(const unsigned char *donnees, const tap::BlockPlace &place); // on the data path

    bool sur_fil_donnees() const { return fil_donnees.joinable() && std::this_thread::get_id() == fil_donnees.get_id(); }
    void poste(std::function<void(Observateur &)> f);
    Observateur &hote(); // the reports queued so far delivered; the host's own follow
    void rapporte(std::function<void(Observateur &)> f); // now on the host's thread, else queued
    void publie_bloc(const unsigned char *donnees, const tap::BlockPlace &place);
    void attend_hote(int ms); // the host's wait between two turns (woken by a report)
    // The data path starts, and sends the start request itself: the request's own event
    // handling reaps the stream's first packets, which only the data path may complete.
    void lance_donnees(uint8_t depart);
    void arrete_donnees();
    void boucle_donnees(uint8_t depart);
    void tour_donnees();
    bool abandon_donnees(); // on the data path: an Abort asked from another thread
    Arret demande_stop(const reglages::Declenchement &d);

    // ---------------------------------------------------------------- the stages
    void dit(const QString &texte, int flag);
    void signale(const Evenement &e, int flag = 0); // the typed report, then its console line
    void passe_a(Etat e);
    bool initialisation_FX3() const { return appareil.ouvert(); }
    bool lien() // the link with the recorder, opened if it is not
    {
        if (!initialisation_FX3())
            init_USB();
        return initialisation_FX3();
    }
    int32_t init_USB();
    void ferme_USB(); // microphone reset, release, close
    int32_t initialise();
    bool init(); // the link opened, the recorder reset and probed: etat Repos, else Ferme
    int32_t test_boitier();
    int32_t reset_micros();
    void micros_remis();
    void envoie_reset(int32_t (Appareil::*reset)(), const QString &message);
    void frequence_cliquee(int entree, std::optional<int> delai);
    void delai_change(int entree, std::optional<int> delai);
    void choix_micros(const reglages::Voies &v);
    void calcul_count();
    Arret stop(const reglages::Declenchement &d);
    void abort_demande();

    static uint64_t espace_libre(const QString &chemin);
    static std::optional<Evenement> limite_usbfs(bool refusee);
    int64_t octets_par_s() const { return int64_t(nb_voies()) * 4 * int64_t(frequence); }
    void retire_fichiers(const QString &chemin);
    bool run(const reglages::Reglages &reglages);
    bool planifie_run(planning::PlanRun &plan);
    bool lance_run(planning::PlanRun &plan);
    Anneau::Parametres parametres_anneau(bool sonde) const;
    bool attend_declenchement();
    void annule_avant_declenchement(); // said, and the ring cancelled (the recorder reset before)
    void abandonne_run();
    void boucle_streaming(planning::PlanRun &plan);
    bool arret_du_run();
    bool arret_automatique();
    bool signale_ecriture();
    void tient_description();
    void attend_ecriture(bool decrit = true);
    void abandonne_file();
    Anneau::Vidange vidange_anneau();
    void fin_de_run(const planning::PlanRun &plan);

    void ecrit_log();
    bool ecrit_description(bool debut, bool signale);
    bool ouvre_fichiers(const QString &chemin);
    void ferme_fichiers(bool ecrire);
    bool choisit_fichier(const QString &chemin);
};

} // namespace moteur
