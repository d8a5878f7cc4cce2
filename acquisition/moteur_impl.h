#pragma once
// The state of the engine (moteur::Moteur) and the stages of a run. Its hosts read it for their
// views (the window's grid and levels, its tests); only the engine writes it.
#include "acquisition/anneau.h"
#include "acquisition/moteur.h"
#include "acquisition/planning.h"
#include "device/appareil.h"
#include "recording/header_record.h"

#include <QElapsedTimer>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

class QFile;

namespace moteur {

struct Moteur::Impl {
    explicit Impl(Observateur &o);
    ~Impl();

    Observateur &obs;
    Appareil appareil;
    Anneau anneau; // the transfer ring, its counters, the data file and its writer
    int32_t &TimeOut = appareil.timeout_ms; // time-out of the run's transfers and requests

    // ---------------------------------------------------------------- settings and state
    reglages::Reglages r;         // the settings of the run being started or in progress
    Etat etat_courant = Etat::Ferme;
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
    int32_t nb_voies = 0;
    int32_t nb_micros = 0;
    std::array<int32_t, 256> num_mic_valid{}; // the selected microphones' channels (first nb_micros)
    bool compteur = false;
    int32_t increment_position = 0;
    int32_t increment_compteur = 0;
    bool record = false;
    bool test = false;   // advanced mode: verbose console
    bool type_float = false;

    bool started = false;
    bool stopped = false;
    bool aborted = false;
    bool run_en_cours = false;      // from the start's planning to the end of run
    bool ecriture_signalee = false; // this run's data-file write failure has been reported
    bool description_ok = true;     // no write of this run's header or log has failed yet
    bool ecriture_abandonnee = false; // the host gave up the write-out (abandonne_ecriture)
    Bilan bilan;
    std::optional<std::string> choix_appareil; // port path or serial; none: the first recorder
    QElapsedTimer debut_streaming;

    // ---------------------------------------------------------------- files
    type_header_file header_file; // the header record (.Vlx image)
    bool file_open = false;
    QString acqui_name;
    QFile *Mu = nullptr;  // header file
    QFile *log = nullptr; // log file
    std::optional<QString> commentaire;

    // ---------------------------------------------------------------- the stages
    void dit(const QString &texte, int flag) { obs.console(texte, flag); }
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
    void envoie_reset(int32_t (Appareil::*reset)(), const QString &message);
    void frequence_cliquee(int entree, std::optional<int> delai);
    void delai_change(int entree, std::optional<int> delai);
    void choix_micros(const reglages::Voies &v);
    void calcul_count();
    Arret stop(const reglages::Declenchement &d);
    void abort_demande();

    static uint64_t espace_libre(const QString &chemin);
    static QString ligne_espace(uint64_t utilisable, double octets_par_s);
    void retire_fichiers(const QString &chemin);
    bool run(const reglages::Reglages &reglages);
    bool planifie_run(planning::PlanRun &plan);
    bool lance_run(planning::PlanRun &plan);
    Anneau::Parametres parametres_anneau(bool sonde) const;
    bool attend_declenchement();
    void abandonne_run();
    void boucle_streaming(planning::PlanRun &plan);
    bool arret_du_run(const planning::PlanRun &plan);
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
