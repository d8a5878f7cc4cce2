#pragma once
// The recorders on the bus (every fe27:ac01), found through a libusb context of our own: where
// each is plugged, its serial number when it reports one, whether another program holds it;
// and the choice of one of them by port path or serial number.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;

namespace enregistreurs {

constexpr uint16_t VENDOR_ID = 0xFE27;
constexpr uint16_t PRODUCT_ID = 0xAC01;

enum class Etat {
    Libre,       // we could claim its interface 0 (and gave it back at once)
    Occupe,      // another program holds interface 0
    Interdit,    // the system refuses to open it (device node permissions)
    Injoignable, // gone, or it cannot be opened for another reason
};

struct Enregistreur {
    int bus = 0;
    std::vector<uint8_t> ports;       // from the root hub down
    std::string chemin;               // "1-2.3": bus, then ports, as the system names it
    std::optional<std::string> serie; // the string descriptor iSerialNumber, when there is one
    Etat etat = Etat::Injoignable;
    bool occupe() const { return etat == Etat::Occupe; }
};

// "bus-port.port...", or the bus alone for a device with no port numbers.
std::string chemin_port(int bus, const std::vector<uint8_t> &ports);
// The serial number of an open recorder, none when it has none (or does not say it).
std::optional<std::string> serie_de(libusb_device *d, libusb_device_handle *h);

// A libusb context of our own (never libusb's default one), for the life of the object.
class Bus {
public:
    Bus();
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    // 0, or the libusb error of libusb_init: then there is no context and nothing is found.
    int erreur() const { return erreur_; }
    libusb_context *contexte() const { return ctx_; }

    // Every recorder on the bus, in the bus's order. With `qui_le_tient`, to learn whether one
    // is held, its interface 0 is claimed and released at once (nothing is sent to a recorder);
    // that claim, however short, makes another program opening that recorder at the same instant
    // find it busy, so a program about to open one lists them without it (state Libre unless the
    // system refuses to open it).
    std::vector<Enregistreur> liste(bool qui_le_tient = true);

    // Opens the recorder at `chemin` and claims its interface 0. nullptr and a libusb error
    // (LIBUSB_ERROR_NO_DEVICE when none is there, LIBUSB_ERROR_BUSY when held) otherwise.
    libusb_device_handle *ouvre(const std::string &chemin, int *erreur);

private:
    libusb_context *ctx_ = nullptr;
    int erreur_ = 0;
};

// Which recorder of the list `voulu` designates: its port path, else its serial number. With
// nothing asked for, the only recorder on the bus. The index, or the reason (one line, no line end).
struct Choix {
    int index = -1;
    std::string raison;
};
Choix choisit(const std::vector<Enregistreur> &liste, const std::optional<std::string> &voulu);

} // namespace enregistreurs
