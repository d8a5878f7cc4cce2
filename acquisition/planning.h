#pragma once
// Arithmetic of a run: sample count, packet budget, transfer time-out, counter-check steps,
// usable disk space. Pure functions, no window, no device.
#include <QElapsedTimer>

#include <cstdint>

namespace planning {

constexpr uint32_t TAILLE_PAQUET = 8388608;    // bytes in one bulk transfer
constexpr uint32_t MOTS_PAQUET = 2097152;      // 32-bit words in one bulk transfer
constexpr uint64_t RESERVE_DISQUE = 1000000000; // bytes always left free on the disk
constexpr uint32_t SANS_LIMITE = 4294967295u;  // packet budget of an unrecorded open-ended run
constexpr uint32_t MARGE_ARRET = 16;           // an open-ended run stops this many packets early

// Frames requested for a duration: floor(floor(duree x 10 x frequence) / 10), low 32 bits;
// 0 when no duration is fixed. A duration within rounding of a whole number of tenths of a
// second (what the spinner gives) counts as exactly that many tenths.
uint32_t nb_echantillons(double duree, float frequence, bool definie);
// The same count before it is cut to 32 bits (0 for a duration of 0 or less).
uint64_t nb_echantillons_64(double duree, float frequence);
// The recorder takes the count on 32 bits, and 0 there means "no fixed count".
constexpr uint64_t COMPTE_MAX = 4294967295u;

// Longest duration the duration spinner offers at a frequency: the largest whole number of
// tenths of a second whose count, computed as above from the spinner's value, fits 32 bits.
double duree_max(float frequence);

// Packets of a fixed-count run of `demandes` bytes (the last one may be partial).
uint32_t paquets_definis(uint64_t demandes);

// Packets an open-ended recorded run may fill: whole packets that fit, less one.
// Returns 0 when fewer than two fit (the caller refuses such a run).
uint32_t paquets_ouverts(uint64_t utilisable);

// Packets an open-ended recorded run may receive before its frame count could pass `trames`
// (2^32 - 1, the largest count the header holds): whole packets whose frames all fit.
uint32_t paquets_max_trames(int32_t nb_voies, uint64_t trames = UINT32_MAX);

// Packets after which a run without a fixed count stops itself (the stop goes out MARGE_ARRET
// packets before): none for a run that is not recorded or has a count; for a recorded one,
// the disk's budget (paquets_ouverts) or, when smaller, the header's frame count (`trames`).
struct BudgetArret {
    uint32_t arret = SANS_LIMITE;
    uint32_t trames = SANS_LIMITE;
};
BudgetArret budget_arret(bool record, uint32_t count, uint64_t utilisable, int32_t nb_voies,
                         uint64_t trames = UINT32_MAX);

// Bytes a recorded run's data file may receive at most: `trames` whole frames.
uint64_t octets_max_trames(int32_t nb_voies, uint64_t trames = UINT32_MAX);

// Smallest usable space in which an open-ended recorded run can reach its automatic stop.
constexpr uint64_t ESPACE_MIN_OUVERT = uint64_t(MARGE_ARRET + 2) * TAILLE_PAQUET;

// Free space available to the user less the reserve, never below 0.
uint64_t espace_utilisable(uint64_t libre);
// A recorded run of `count` frames (0: open-ended) of `demandes` bytes does not fit in
// `utilisable` bytes; an open-ended one must have room to reach its own stop.
constexpr bool place_insuffisante(uint32_t count, uint64_t demandes, uint64_t utilisable)
{
    return count != 0 ? demandes > utilisable : utilisable < ESPACE_MIN_OUVERT;
}

// Time the recorder takes to fill the eight transfers, in milliseconds.
double duree_anneau_ms(int32_t nb_voies, float frequence);
// Time-out of the run's transfers and requests: ring time + 1000 ms, at least 2000 ms.
int32_t timeout_run(int32_t nb_voies, float frequence);
constexpr int32_t MARGE_DECLENCHEMENT_MS = 30000; // added while an external start is awaited

// Counter check: how far the first frame start moves from one packet to the next, and how
// many frames begin in a packet.
struct PasCompteur {
    int32_t increment_position;
    int32_t increment_compteur;
};
PasCompteur pas_compteur(int32_t nb_voies);

// One step of the counter check from one packet's first frame start to the next.
// Returns the new position; `attendu` becomes the counter value expected there.
uint32_t avance_compteur(uint32_t position, int32_t &attendu, const PasCompteur &pas, int32_t nb_voies);

// Packets the data-file writer may hold in memory ahead of the disk: about 20 s of the run's
// data rate (bytes per second), at least 16, bounded by a quarter of the physical memory.
constexpr double RESERVE_SECONDES = 20.0;
constexpr uint32_t RESERVE_MIN_PAQUETS = 16;
// (`taille`: bytes of one of the ring's transfers, whose buffers the queue holds.)
uint32_t paquets_file(double octets_par_s, uint64_t memoire_physique, uint32_t taille = TAILLE_PAQUET);

// The ring's transfers for a data rate: about DUREE_TRANSFERT_S of data each, a multiple of
// 4096 bytes (at least one such block), so that data reach the program soon after they are
// sampled at every rate; enough of them to keep at least EN_VOL_S of data in flight. Where
// that would take more than three quarters of the usbfs budget of NB_BUDGET x TAILLE_PAQUET
// (the top rates), the ring is eight transfers of one packet. A rate of 0 (not known: the probe) gets that too.
constexpr double DUREE_TRANSFERT_S = 0.1;
constexpr double EN_VOL_S = 1.3;
constexpr int NB_BUDGET = 8;
constexpr int NB_TRANSFERTS_MAX = 32;
struct DimensionAnneau {
    uint32_t taille = TAILLE_PAQUET; // bytes of one transfer
    int nb = NB_BUDGET;              // transfers in flight
};
DimensionAnneau dimension_anneau(double octets_par_s);

// What the start handler decides for one run and carries from stage to stage.
struct PlanRun {
    bool definie = false;               // a duration is fixed
    uint64_t demandes = 0;              // bytes requested (0 when no count is fixed)
    uint64_t utilisable = 0;            // usable disk space (0 when not recording)
    uint32_t budget_arret = SANS_LIMITE; // packets after which an open-ended run stops itself (+ margin)
    uint32_t budget_trames = SANS_LIMITE; // the part of that budget set by the header's frame count
    bool attente_declenchement = false; // the start waits for an external trigger
    QElapsedTimer debut;                // start of streaming
};

} // namespace planning
