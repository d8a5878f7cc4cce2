#pragma once
// One recorder on the USB bus: a libusb context of its own (never libusb's default one), the
// open handle with interface 0 claimed, and the recorder's commands as typed calls (the wire
// protocol is device/commands.h) with their bound on an unanswered request. It reports console lines (the window's
// texts, with their alert flag) through `journal`.
#include "device/commands.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct libusb_context;
struct libusb_device_handle;

namespace enregistreurs {
class Bus;
}

class Appareil {
public:
    Appareil();
    ~Appareil(); // closes what is open (no command sent: the owner resets the microphones first)
    Appareil(const Appareil &) = delete;
    Appareil &operator=(const Appareil &) = delete;

    // Where the console lines go (text, 1: also the alert box).
    std::function<void(const QString &, int)> journal;
    // What the operator does to try again, as the console says it: the window's button, or a
    // command line run again.
    QString reprise = QStringLiteral("appuyer sur Init");
    // Why ouvre() found no recorder it could use, as a code: none on the bus (or none it can
    // reach), or one another program holds. The owner reports it (its console line included).
    enum class Echec { Absent, Occupe };
    std::function<void(Echec)> echec;

    // Opens the recorder `choix` designates (port path or serial number, enregistreurs::choisit),
    // or with none the first fe27:ac01 on the bus, and claims interface 0. A handle already
    // open is closed first. 0, or -1 when none could be opened (echec or the console said why).
    int32_t ouvre(const std::optional<std::string> &choix = std::nullopt);
    // Releases interface 0, closes the handle and the context.
    void ferme();
    bool ouvert() const { return handle_ != nullptr; }
    libusb_device_handle *handle() const { return handle_; }
    libusb_context *contexte() const;
    // Of the recorder open: its port path ("1-2.3") and its serial number (empty when unknown).
    const std::string &port() const { return port_; }
    const std::string &serie() const { return serie_; }

    // The recorder's commands (device/commands.h encodes them). Each is one vendor request
    // whose time-out is the shorter of `timeout_ms` (the run's) and 2000 ms, 50 ms while the
    // recorder does not answer; the first unanswered request is said on the console. libusb's
    // result: the bytes of the data stage sent, or an error (the link missing, a time-out, a
    // refusal on the way, a stall).
    int32_t horloge(uint8_t division_moins_un) { return envoie(cmd::horloge(division_moins_un)); }
    int32_t masque_voies(uint8_t faisceau, uint8_t masque) { return envoie(cmd::voies(faisceau, masque)); }
    int32_t masque_aux(uint8_t masque) { return envoie(cmd::voies(cmd::GROUPE_AUX, masque)); } // counter, status, analogue
    int32_t start(uint8_t declenchement) { return envoie(cmd::start(declenchement)); }
    int32_t stop(uint8_t declenchement) { return envoie(cmd::stop(declenchement)); }
    int32_t nb_echantillons(uint32_t n) { return envoie(cmd::nb_echantillons(n)); }
    int32_t delai(uint8_t reglage) { return envoie(cmd::delai(reglage)); }
    int32_t type_echantillons(bool flottant) { return envoie(cmd::type_echantillons(flottant)); }
    int32_t reset_micros() { return envoie(cmd::reset_micros()); }
    int32_t reset_fx3() { return envoie(cmd::reset_fx3()); }
    int32_t reset_ph() { return envoie(cmd::reset_ph()); }
    int32_t envoie(cmd::Requete r);

    int32_t timeout_ms = 2000;  // the run's time-out, which also bounds a request

private:
    void signale(Echec e) const;
    void dit(const QString &texte, int flag) const;
    bool present_mais_interdit() const;
    void relache(); // interface released, handle closed
    std::unique_ptr<enregistreurs::Bus> bus_;
    libusb_device_handle *handle_ = nullptr;
    bool muet_ = false; // the last request went unanswered
    std::string port_, serie_;
};
