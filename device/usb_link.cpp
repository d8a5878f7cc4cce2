// The USB link with the recorder: opening it, one vendor request, one framed command.
#include "app/principale.h"
#include "device/commands.h"

#include <libusb.h>

#include <algorithm>

namespace {
constexpr uint16_t VENDOR_ID = 0xFE27;
constexpr uint16_t PRODUCT_ID = 0xAC01;
bool bibliotheque_ouverte = false; // libusb's default context exists

// A vendor request is answered within milliseconds; one that is not answered in this time will
// not be. The run's transfers keep their own, longer time-out.
constexpr unsigned int DELAI_REQUETE_MS = 2000;
// After a request went unanswered, the next ones wait this long, until one is answered again:
// a sequence of requests (Init, Start) to a recorder that stopped answering ends in seconds.
constexpr unsigned int DELAI_REQUETE_MUET_MS = 50;
bool recorder_muet = false;

// The recorder is on the bus but the system refuses to open it (device node permissions).
bool present_mais_interdit()
{
    libusb_device **liste = nullptr;
    const ssize_t n = libusb_get_device_list(nullptr, &liste);
    bool interdit = false;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(liste[i], &d) != 0 || d.idVendor != VENDOR_ID || d.idProduct != PRODUCT_ID)
            continue;
        libusb_device_handle *h = nullptr;
        const int r = libusb_open(liste[i], &h);
        if (r == LIBUSB_ERROR_ACCESS)
            interdit = true;
        if (h)
            libusb_close(h);
        break;
    }
    if (n >= 0)
        libusb_free_device_list(liste, 1);
    return interdit;
}
} // namespace

int32_t Principale::init_USB()
{
    if (handle) {
        libusb_release_interface(handle, 0);
        libusb_close(handle);
    }
    initialisation_FX3 = false;
    handle = nullptr;
    recorder_muet = false;

    // After a failed init there is no default context and any further call would crash:
    // that counts as "no recorder", and the next attempt tries the init again.
    if (!bibliotheque_ouverte) {
        if (libusb_init(nullptr) != 0) {
            call_verb(QStringLiteral("Pas de détection de Velmarix !\r\n"), 1);
            return -1;
        }
        bibliotheque_ouverte = true;
    }
    libusb_set_option(nullptr, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_INFO);

    libusb_device_handle *h = libusb_open_device_with_vid_pid(nullptr, VENDOR_ID, PRODUCT_ID);
    if (h) {
        const int r = libusb_claim_interface(h, 0);
        if (r == LIBUSB_ERROR_BUSY) {
            // Another program holds the recorder: vendor requests would still reach it (they
            // need no claim) and reset it under that program's run. Send nothing.
            libusb_close(h);
            call_verb(QStringLiteral("Le Velmarix est déjà utilisé par un autre programme : "
                                     "fermer cet autre programme, puis appuyer sur Init.\r\n"),
                      1);
            return -1;
        }
        handle = h;
        call_verb(QStringLiteral("Liaison USB activée !\r\n"), 0);
        if (r != 0)
            call_verb(QStringLiteral("Interface du Velmarix non disponible (%1) : un autre programme l'utilise-t-il ?\r\n")
                          .arg(QString::fromUtf8(libusb_strerror(r))),
                      0);
        initialisation_FX3 = true;
        return 0;
    }
    call_verb(QStringLiteral("Pas de détection de Velmarix !\r\n"), 1);
    if (present_mais_interdit())
        call_verb(QStringLiteral("Le Velmarix est branché mais le système refuse de l'ouvrir (droits d'accès) : "
                                 "installer la règle udev du programme, puis débrancher et rebrancher le Velmarix.\r\n"),
                  0);
    return -1;
}

int32_t Principale::write_command(libusb_device_handle *udh, int32_t request, unsigned char *data, int32_t length)
{
    const unsigned int delai = std::min(static_cast<unsigned int>(std::max(TimeOut, 1)),
                                        recorder_muet ? DELAI_REQUETE_MUET_MS : DELAI_REQUETE_MS);
    const int r = libusb_control_transfer(udh, cmd::TYPE_REQUETE, static_cast<uint8_t>(request & 0xFF), 0, 0,
                                          length > 0 ? data : nullptr, static_cast<uint16_t>(length & 0xFFFF), delai);
    if (r == LIBUSB_ERROR_TIMEOUT) {
        if (!recorder_muet)
            call_verb(QStringLiteral("Le Velmarix ne répond pas : requête %1h sans réponse après %2 ms. "
                                     "Vérifier le câble et l'alimentation.\r\n")
                          .arg(QString::number(request & 0xFF, 16).toUpper(), QString::number(delai)),
                      0);
        recorder_muet = true;
    } else if (r >= 0) {
        recorder_muet = false;
    }
    return r;
}

int32_t Principale::commande(int32_t nb_arg)
{
    return write_command(handle, cmd::requete_commande(nb_arg), buf, cmd::longueur_commande(nb_arg));
}

void Principale::ferme_USB()
{
    if (!handle)
        return;
    reset_micros();
    libusb_release_interface(handle, 0);
    libusb_close(handle);
    handle = nullptr;
    initialisation_FX3 = false;
    libusb_exit(nullptr);
    bibliotheque_ouverte = false;
}
