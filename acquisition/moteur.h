#pragma once
// The engine: a whole run of one recorder without any widget, QApplication or message box
// (QtCore only). It owns the device object (its own libusb context), the ring and the writer,
// the three files and their description updates, and drives the stages: initialisation and
// probe, configuration, trigger wait, streaming, stop or abort, end of run.
//
// Hosts: the window (app/), which maps its controls to the calls below and shows the reports,
// and viz256-record (tools/). It reports through an Observateur. Where a run must let its host
// breathe (the window's nested event processing, a command line's signal flags), it calls
// Observateur::pompe(); Stop and Abort may be called from inside it.
#include "acquisition/reglages.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

namespace moteur {

// What the engine is doing; the host shows its controls from it.
enum class Etat {
    Ferme,       // no recorder open, or its initialisation failed
    Repos,       // initialised and idle
    Attente,     // the run is queued and waits for its external start trigger (only Abort acts)
    Acquisition, // streaming (Stop acts)
    Ecriture,    // the ring is over; the writer empties its queue onto the disk
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
    int64_t duree_ms = 0;
};

class Observateur {
public:
    virtual ~Observateur() = default;
    // A console line exactly as the window shows it; `alerte` 1 also asks for the alert box
    // (the window holds it back while transfers are in flight).
    virtual void console(const QString &texte, int alerte) = 0;
    virtual void etat(Etat) {}
    virtual void progression(uint32_t paquets, uint32_t total) { (void)paquets; (void)total; }
    virtual void ecoule(int64_t ms) { (void)ms; }
    // The write-out after the ring: bytes left, of `total`, and how long the disk has taken nothing.
    virtual void a_ecrire(uint64_t reste, uint64_t total, int64_t disque_muet_ms) { (void)reste; (void)total; (void)disque_muet_ms; }
    // The latest packet received, for live levels (valid during the call only).
    virtual void paquet(const unsigned char *donnees, uint32_t octets, uint32_t num) { (void)donnees; (void)octets; (void)num; }
    virtual void fin(const Bilan &) {}
    // The host's turn; called at least every few tens of milliseconds during every wait.
    virtual void pompe() {}
};

class Moteur {
public:
    explicit Moteur(Observateur &obs);
    ~Moteur(); // an open recorder is reset (microphones) and closed
    Moteur(const Moteur &) = delete;
    Moteur &operator=(const Moteur &) = delete;

    // Opens the recorder `appareil` designates (port path or serial; none: the first on the
    // bus, as the window does), then initialises and probes it. False when it is absent, busy,
    // silent or the usbfs limit too low: the console said why.
    bool ouvre(const std::optional<std::string> &appareil = std::nullopt);

    // One whole run with these settings (validated by reglages::verifie before; the files are
    // created here, refused when they exist unless `remplacer`). Returns when the run is over.
    Bilan enregistre(const reglages::Reglages &r, bool remplacer = false);

    // Stop (the stop command; the run ends with what the recorder still sends) and Abort (a
    // trigger wait given up). Callable from inside Observateur::pompe().
    void arrete();
    void abandonne();

    Etat etat() const;
    Instantane instantane() const;

    struct Impl;

private:
    Impl *d;
};

} // namespace moteur
