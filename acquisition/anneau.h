#pragma once
// The transfer ring of the engine (moteur::Moteur): the ring of bulk transfers on endpoint 0x81, its
// completion routine and counters, the data file and its writer. The probe and every run use
// it; it needs no window, so it can be driven (and tested) on its own.
//
// Its transfers are sized to the run's data rate (planning::dimension_anneau): about 100 ms of
// data each, more of them in flight where they are small; eight of one packet (8 MiB) at the
// top rates and for the probe. During a run one thread alone drives it (the engine's data
// path); what other threads read of it goes through the atomics of Etat.
//
// Each slot owns a transfer record and, at any time, one buffer of the writer's pool.
// The transfer's user data leads the completion routine back to this object and the slot.
// While a run is recorded, a completed packet's buffer goes to the writer's queue and the
// transfer goes out again at once with a free buffer: the ring never waits for the disk.
//
// Where the kernel offers it, the slots' buffers are device memory (libusb_dev_mem_alloc, a
// usbfs mapping): the controller fills them in place, so the kernel copies nothing at the reap.
// Such a buffer stays with its slot (direct writes cannot take it: the kernel cannot pin device
// memory), and the writer gets a copy of each packet.
#include "acquisition/ecrivain.h"
#include "acquisition/evenements.h"
#include "tap/block.h"

#include <QElapsedTimer>
#include <QString>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <utility>

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;

class Anneau {
public:
    // The usbfs budget of one ring: eight transfers of one packet. A ring of smaller transfers
    // has more of them (at most NB_SLOTS_MAX) within the same budget.
    static constexpr int NB_SLOTS = 8;
    static constexpr uint32_t TAILLE_PAQUET = 8388608; // bytes in one bulk transfer at the top rates
    static constexpr int NB_SLOTS_MAX = 32;

    // What one use of the ring is.
    struct Parametres {
        int32_t nb_voies = 0;
        bool compteur = false;        // the counter is recorded: check it
        bool record = false;          // write the data to the data file
        bool test = false;            // advanced mode: diagnostic lines
        bool test_init = false;       // the device probe: no time-out message, nothing kept
        int32_t increment_position = 0;
        int32_t increment_compteur = 0;
        uint32_t paquets_file = 0;    // packets the writer's queue may hold (recording)
        double octets_par_s = 0;      // the recorder's data rate
        uint32_t premier_paquet = 0;  // bytes of slot 0's first transfer; 0: a whole packet
        uint64_t octets_max = 0;      // bytes the data file may receive at most (0: no cap)
        uint32_t taille = TAILLE_PAQUET; // bytes of one transfer
        int nb_slots = NB_SLOTS;      // transfers in flight
    };
    // What another thread may read of the ring while a run streams (the data path writes it).
    struct Etat {
        std::atomic<uint32_t> num_pkt{0};
        std::atomic<uint64_t> ntr{0};
        std::atomic<bool> fini{false};
        std::atomic<uint64_t> sauts_compteur{0};
        std::atomic<uint64_t> cpu_donnees_ns{0}; // CPU time of the data path's thread of the last run, once it has ended
    };
    Etat etat;
    void publie_etat(); // the counters into Etat (the data path, after each change)
    // Called on the data path for every block of the stream, before its buffer is handed over:
    // the bytes and where they lie in the run (valid during the call only).
    std::function<void(const unsigned char *, const tap::BlockPlace &)> bloc;
    // The first transfer of a run that waits for an external trigger: a few USB packets of the
    // bulk endpoint, which the recorder fills within half a second at every rate and channel
    // count (0.5 s at 2 kHz with one word, 80 µs at 50 kHz with 257). Its completion is how the
    // host learns that the trigger came: usbfs copies ordinary memory at the reap, so nothing
    // is seen in a transfer still in flight. One block of direct writes, so that the data
    // file's offset stays aligned and the writer keeps writing round the page cache.
    static constexpr uint32_t PREMIER_PAQUET_DECLENCHEMENT = Ecrivain::BLOC_DIRECT;

    Anneau();
    ~Anneau();
    Anneau(const Anneau &) = delete;
    Anneau &operator=(const Anneau &) = delete;

    // Where the routine's console lines go (text, flag as for the window's console).
    std::function<void(const QString &, int)> journal;
    // Where its typed reports go (none: their console line goes to journal).
    std::function<void(const moteur::Evenement &)> rapport;

    // ---------------------------------------------------------------- the ring
    // Allocates and fills the transfers (bulk IN 0x81, time-out in ms). False, with
    // every allocation undone, when memory is short.
    bool prepare(libusb_device_handle *handle, unsigned int timeout_ms, const Parametres &p);
    // Resets the counters, starts the writer when recording, and submits every slot in
    // order. A failed submission is reported and leaves its slot finished. Returns libusb's
    // result of the first failed submission, 0 when all went out.
    int soumet();
    // One bounded wait for USB events of the ring's libusb context (completions run inside
    // it). Returns libusb's result.
    int service(int timeout_ms);
    // The libusb context of the device the ring reads (the device object's own, never
    // libusb's default one).
    libusb_context *contexte = nullptr;
    // Sends again, with a buffer the writer has freed, the slots that found none.
    void relance();
    // Services events until every submitted transfer has come back. The transfers have been
    // cancelled (or have ended the stream), and a cancelled transfer comes back at once: one
    // still out after RETOUR_MS (or `timeout_ms`, when shorter) is cancelled again, and after
    // ABANDON_MS in all, or when event handling fails, the transfers still out are left to the
    // library, which frees each of them (and its buffer) when it comes back. `attente` is
    // called now and then meanwhile with the time waited (the host keeps answering).
    static constexpr int RETOUR_MS = 2000;
    static constexpr int ABANDON_MS = 5000;
    enum class Vidange { complete, echec_usb, delai_depasse };
    Vidange vidange(int timeout_ms, const std::function<void(qint64 ms)> &attente = {});
    // Waits until the writer has written its whole queue and stops it; `attente` is called
    // now and then meanwhile (the host shows the progress).
    void vide_file(const std::function<void()> &attente);
    // Watches the writer from the engine's thread. While the writer is slower than the
    // recorder, the queue passing half full is said once; the queue 90 % full is said once and
    // returns true: the run must stop now, while the queue can still take what the recorder
    // sends until the end of its stream. (A write failure is the engine's to report:
    // echec_ecriture().)
    bool surveille_ecriture();
    // Frees the records and buffers of the slots whose transfers have come back.
    void libere();
    // Cancels every slot still with the library.
    void annule_tout(bool verbeux);
    bool tous_finis() const;
    bool memoire_appareil() const { return memoire_usb; } // the slots' buffers are device memory
    bool flux_termine() const { return fin_de_flux; }     // a short transfer ended the stream
    // The data file has received the most it may hold (Parametres::octets_max): what comes
    // after is not kept, and the run must stop.
    bool plafond_atteint() const { return plafond; }
    // A transfer could not go out again for lack of usbfs memory (said once): the run must stop.
    bool refus_usbfs() const { return refus_memoire; }
    bool appareil_perdu() const { return sans_appareil; } // a transfer came back "no device"
    // The system's error number of the data-file write that failed in this use of the ring, 0
    // when none did.
    int echec_ecriture() const { return ecrivain.erreur.load() ? ecrivain.erreur_errno.load() : 0; }

    // The completion routine registered in every transfer of the ring.
    static void fn_callback(libusb_transfer *t);
    void complete(int s, libusb_transfer *t);

    // ---------------------------------------------------------------- the data file
    bool ouvre_donnees(const QString &chemin); // fopen "wb+", unbuffered; errno on failure
    bool ferme_donnees();                      // true when closed without error; errno otherwise
    FILE *Filep = nullptr;

    // ---------------------------------------------------------------- state
    Ecrivain ecrivain; // the data-file writer, its queue and the pool of buffers
    Parametres par;
    int nb_slots() const { return par.nb_slots; }
    uint32_t taille() const { return par.taille; }
    libusb_transfer *transfert[NB_SLOTS_MAX] = {};
    unsigned char *buffers[NB_SLOTS_MAX] = {};
    bool transf_arret[NB_SLOTS_MAX] = {};
    uint32_t a_ecrire[NB_SLOTS_MAX] = {};
    bool en_attente[NB_SLOTS_MAX] = {}; // slot i's transfer is with the library
    int en_vol = 0; // transfers submitted whose completion has not been handled yet

    uint32_t num_pkt = 0;
    uint64_t ntr = 0;    // bytes received
    uint64_t gardes = 0; // bytes handed to the writer (at most Parametres::octets_max)
    std::atomic<uint64_t> &ntw; // bytes that reached the data file (the writer counts them)
    bool fini = false;
    bool erreur_compteur = false;
    uint64_t sauts_compteur = 0; // counter gaps (the check goes on from the value after each)
    uint64_t blocs = 0;          // blocks of the stream so far
    uint32_t position_compteur = 0;
    int32_t val_compteur = 0;
    bool err_timeout = false;

private:
    struct Slot {
        Anneau *anneau;
        int index;
    };
    bool slot_perdu(int s);
    void garde_donnees(int s, uint32_t len);
    void verifie_compteur(const unsigned char *data, uint32_t len);
    void passe_bloc(int s, uint32_t len);
    void envoie(int s);
    void dit(const QString &texte) const;
    void signale(const moteur::Evenement &e) const;
    void abandonne_restants();
    bool alloue_memoire_usb(libusb_device_handle *handle);
    void copie_en_attente();
    bool attend_copie(int s) const;
    bool reserve_utile() const;

    Slot places[NB_SLOTS_MAX];
    bool sans_tampon[NB_SLOTS_MAX] = {}; // slot i waits for a free buffer
    std::atomic<bool> attend_tampon{false}; // some slot does: the writer wakes the data path when it frees one
    bool fin_de_flux = false;
    bool sans_appareil = false;
    bool plafond = false;
    bool refus_memoire = false;
    bool verifie = false; // the counter check is on for this use
    bool dit_moitie = false, dit_pleine = false;
    bool dit_relance = false; // a refused resubmission has been said in this use
    bool memoire_usb = false;                 // buffers[] are device memory
    unsigned char *usb[NB_SLOTS_MAX] = {};    // the device memory of each slot
    uint32_t taille_usb = 0;                  // and its size
    libusb_device_handle *poignee = nullptr;
    std::deque<std::pair<int, uint32_t>> a_copier; // packets in device memory not yet copied for the writer, in order
    int32_t premier_compteur = 0;             // counter value of the stream's first frame
    QElapsedTimer horloge;   // since the ring was submitted
    qint64 retard_ms = 0;    // when the writer's queue was last seen empty
    uint64_t retard_octets = 0; // bytes written then
};
