#pragma once
// The reports a host may act on, as typed values: a reason code and its figures. Those of a run,
// and those of the recorder's initialisation, the frequency setting and a start's planning.
// The console's French line is made from them here and nowhere else; the window shows it,
// viz256-record prints it, a host that acts on the reason reads the code.
#include <QString>

#include <cstdint>
#include <utility>

namespace moteur {

enum class Raison : int {
    SautCompteur = 1,    // the counter jumped: a = transfer number
    ReserveMoitie,       // the disk is slower than the recorder: a = MiB waiting to be written
    ReservePleine,       // the reserve is 90 % full: the run stops
    EcritureDonnees,     // a write to the data file failed: a = errno, objet = the file; the run stops
    PlafondTrames,       // the data file nears the most frames it may hold: a = frames; the run stops
    RefusUsbfs,          // usbfs memory refused a transfer mid-run: a = limit (MiB, 0: none), b = needed (MiB)
    TransfertExpire,     // a transfer timed out: a = transfer number
    TransfertEchoue,     // a transfer failed: a = transfer number, b = libusb status
    MotCoupe,            // a transfer ended inside a word: a = transfer number, b = its bytes
    AppareilDisparu,     // the recorder left the bus: objet = what the operator does then (none: press Init)
    AppareilMuet,        // the recorder stopped answering: the run ends with what it sent
    OctetsManquants,     // a fixed-count run ended short: a = bytes missing
    DeclenchementAbsent, // the external start did not come in time
    // ---- initialisation, frequency, planning of a start (a refusal sends nothing more)
    AppareilAbsent,      // no recorder could be opened
    AppareilOccupe,      // another program holds the recorder: objet = what the operator does then
    AppareilSilencieux,  // the recorder did not answer the probe (check its power)
    AppareilDetecte,     // the probe came back whole: the recorder is ready
    LimiteUsbfs,         // the kernel's usbfs cap cannot hold the ring: a = cap (MiB, 0: none), b = need (MiB)
    Frequence,           // the frequency is set: a = Hz (the longest duration follows from it)
    DureeTropLongue,     // the duration's count passes 32 bits, nothing sent: a = duration (tenths of s), b = Hz
    PasDeVoie,           // no channel chosen: the start is refused
    PasDeFichier,        // a recorded start with no files chosen: refused
    FichierDisparu,      // objet = a file of the choice that no longer exists: refused
    PlaceInsuffisante,   // the disk cannot hold the run: refused (EspaceDisque follows)
    EspaceDisque,        // the room for a recorded run: a = usable bytes, b = bytes a second
    MemoireTampons,      // the ring's buffers could not be had: refused
};

struct Evenement {
    Evenement(Raison r, int64_t a_ = 0, int64_t b_ = 0, QString objet_ = {}) : raison(r), a(a_), b(b_), objet(std::move(objet_)) {}
    Raison raison;
    int64_t a = 0, b = 0; // its figures (see Raison)
    QString objet;        // a file, where the reason has one
};

// The console line of an event, exactly as the window shows it.
QString texte(const Evenement &e);
// "N Go disponibles sur le disque, soit S s" (below one gigabyte, in megabytes).
QString ligne_espace(uint64_t utilisable, double octets_par_s);

} // namespace moteur
