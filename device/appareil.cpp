// The USB link with one recorder: opening it, one vendor request, one framed command.
#include "device/appareil.h"

#include "device/commands.h"
#include "device/enregistreurs.h"

#include <libusb.h>

#include <algorithm>

namespace {
// A vendor request is answered within milliseconds; one that is not answered in this time will
// not be. The run's transfers keep their own, longer time-out.
constexpr unsigned int DELAI_REQUETE_MS = 2000;
// After a request went unanswered, the next ones wait this long, until one is answered again:
// a sequence of requests (Init, Start) to a recorder that stopped answering ends in seconds.
constexpr unsigned int DELAI_REQUETE_MUET_MS = 50;
} // namespace

Appareil::Appareil() = default;

Appareil::~Appareil()
{
    ferme();
}

libusb_context *Appareil::contexte() const
{
    return bus_ ? bus_->contexte() : nullptr;
}

void Appareil::dit(const QString &texte, int flag) const
{
    if (journal)
        journal(texte, flag);
}

void Appareil::signale(Echec e) const
{
    if (echec)
        echec(e);
}

// A recorder is on the bus but the system refuses to open it (device node permissions).
bool Appareil::present_mais_interdit() const
{
    const std::vector<enregistreurs::Enregistreur> liste = bus_->liste(false);
    return std::any_of(liste.begin(), liste.end(),
                       [](const enregistreurs::Enregistreur &e) { return e.etat == enregistreurs::Etat::Interdit; });
}

void Appareil::relache()
{
    if (!handle_)
        return;
    libusb_release_interface(handle_, 0);
    libusb_close(handle_);
    handle_ = nullptr;
}

int32_t Appareil::ouvre(const std::optional<std::string> &choix)
{
    relache();
    muet_ = false;

    // A context whose init failed is no context: that counts as "no recorder", and the next
    // attempt tries the init again.
    if (!bus_ || bus_->erreur() != 0)
        bus_ = std::make_unique<enregistreurs::Bus>();
    if (bus_->erreur() != 0) {
        bus_.reset();
        signale(Echec::Absent);
        return -1;
    }
    libusb_set_option(contexte(), LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_INFO);

    libusb_device_handle *h = nullptr;
    int r = 0;
    if (choix) {
        // Listed without claiming: a claim here would make another program opening one of
        // them at this instant (two runs started together on two recorders) find it busy.
        const std::vector<enregistreurs::Enregistreur> liste = bus_->liste(false);
        const enregistreurs::Choix c = enregistreurs::choisit(liste, choix);
        if (c.index < 0) {
            dit(QString::fromStdString(c.raison) + QStringLiteral("\r\n"), 1);
            return -1;
        }
        h = bus_->ouvre(liste[size_t(c.index)].chemin, &r); // interface 0 claimed, or why not
        serie_ = liste[size_t(c.index)].serie.value_or(std::string());
    } else {
        serie_.clear();
        h = libusb_open_device_with_vid_pid(contexte(), enregistreurs::VENDOR_ID, enregistreurs::PRODUCT_ID);
        if (h) {
            r = libusb_claim_interface(h, 0);
            serie_ = enregistreurs::serie_de(libusb_get_device(h), h).value_or(std::string());
        } else {
            r = LIBUSB_ERROR_NO_DEVICE;
        }
    }
    if (r == LIBUSB_ERROR_BUSY) {
        // Another program holds the recorder: vendor requests would still reach it (they
        // need no claim) and reset it under that program's run. Send nothing.
        if (h)
            libusb_close(h);
        signale(Echec::Occupe);
        return -1;
    }
    if (h) {
        handle_ = h;
        libusb_device *d = libusb_get_device(h);
        uint8_t ports[8];
        const int n = libusb_get_port_numbers(d, ports, int(sizeof ports));
        port_ = enregistreurs::chemin_port(libusb_get_bus_number(d), std::vector<uint8_t>(ports, ports + std::max(n, 0)));
        dit(QStringLiteral("Liaison USB activée !\r\n"), 0);
        if (r != 0)
            dit(QStringLiteral("Interface du Velmarix non disponible (%1) : un autre programme l'utilise-t-il ?\r\n")
                    .arg(QString::fromUtf8(libusb_strerror(r))),
                0);
        return 0;
    }
    signale(Echec::Absent);
    if (choix ? r == LIBUSB_ERROR_ACCESS : present_mais_interdit())
        dit(QStringLiteral("Le Velmarix est branché mais le système refuse de l'ouvrir (droits d'accès) : "
                           "installer la règle udev du programme, puis débrancher et rebrancher le Velmarix.\r\n"),
            0);
    return -1;
}

void Appareil::ferme()
{
    relache();
    bus_.reset();
}

int32_t Appareil::envoie(cmd::Requete r)
{
    if (!handle_)
        return LIBUSB_ERROR_NO_DEVICE; // no link: libusb would take the missing handle for one
    const unsigned int delai = std::min(static_cast<unsigned int>(std::max(timeout_ms, 1)),
                                        muet_ ? DELAI_REQUETE_MUET_MS : DELAI_REQUETE_MS);
    const int res = libusb_control_transfer(handle_, cmd::TYPE_REQUETE, r.code, 0, 0, r.longueur > 0 ? r.donnees.data() : nullptr,
                                            r.longueur, delai);
    if (res == LIBUSB_ERROR_TIMEOUT) {
        if (!muet_)
            dit(QStringLiteral("Le Velmarix ne répond pas : requête %1h sans réponse après %2 ms. "
                               "Vérifier le câble et l'alimentation.\r\n")
                    .arg(QString::number(r.code, 16).toUpper(), QString::number(delai)),
                0);
        muet_ = true;
    } else if (res >= 0) {
        muet_ = false;
    }
    return res;
}
