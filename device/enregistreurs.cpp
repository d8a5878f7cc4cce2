#include "device/enregistreurs.h"

#include <chrono>
#include <thread>

#include <libusb.h>

#include <algorithm>

namespace enregistreurs {

namespace {

bool est_enregistreur(libusb_device *d)
{
    libusb_device_descriptor desc{};
    return libusb_get_device_descriptor(d, &desc) == 0 && desc.idVendor == VENDOR_ID && desc.idProduct == PRODUCT_ID;
}

std::vector<uint8_t> ports_de(libusb_device *d)
{
    uint8_t ports[8]; // USB allows 7 tiers of hubs
    const int n = libusb_get_port_numbers(d, ports, sizeof ports);
    return std::vector<uint8_t>(ports, ports + std::max(n, 0));
}

std::string chemin_de(libusb_device *d)
{
    return chemin_port(libusb_get_bus_number(d), ports_de(d));
}

std::string noms(const std::vector<Enregistreur> &liste)
{
    std::string s;
    for (const Enregistreur &e : liste) {
        s += (s.empty() ? "" : ", ") + e.chemin;
        if (e.serie)
            s += " (série " + *e.serie + ")";
    }
    return s;
}

} // namespace

std::optional<std::string> serie_de(libusb_device *d, libusb_device_handle *h)
{
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(d, &desc) != 0 || desc.iSerialNumber == 0)
        return std::nullopt;
    unsigned char texte[256];
    const int n = libusb_get_string_descriptor_ascii(h, desc.iSerialNumber, texte, sizeof texte);
    if (n <= 0)
        return std::nullopt;
    return std::string(reinterpret_cast<const char *>(texte), size_t(n));
}

std::string chemin_port(int bus, const std::vector<uint8_t> &ports)
{
    std::string s = std::to_string(bus);
    for (size_t i = 0; i < ports.size(); ++i)
        s += (i == 0 ? "-" : ".") + std::to_string(ports[i]);
    return s;
}

Bus::Bus()
{
    // libusb's init fails when its hot-plug monitor cannot bind its socket, which a program
    // started at the same instant as another can meet (under umockdev, whose stand-in for
    // that socket is named after its descriptor number, two programs may ask for the same
    // name): a few more tries, a few milliseconds apart, before the bus counts as unusable.
    for (int essai = 0;; ++essai) {
        erreur_ = libusb_init(&ctx_);
        if (erreur_ == 0)
            return;
        ctx_ = nullptr; // after a failed init there is no context to use or to free
        if (essai == 4)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + 10 * essai));
    }
}

Bus::~Bus()
{
    if (ctx_)
        libusb_exit(ctx_);
}

std::vector<Enregistreur> Bus::liste(bool qui_le_tient)
{
    std::vector<Enregistreur> trouves;
    if (!ctx_)
        return trouves;
    libusb_device **l = nullptr;
    const ssize_t n = libusb_get_device_list(ctx_, &l);
    for (ssize_t i = 0; i < n; ++i) {
        if (!est_enregistreur(l[i]))
            continue;
        Enregistreur e;
        e.bus = libusb_get_bus_number(l[i]);
        e.ports = ports_de(l[i]);
        e.chemin = chemin_port(e.bus, e.ports);
        libusb_device_handle *h = nullptr;
        const int r = libusb_open(l[i], &h);
        if (r == LIBUSB_ERROR_ACCESS)
            e.etat = Etat::Interdit;
        if (h) {
            e.serie = serie_de(l[i], h);
            const int c = qui_le_tient ? libusb_claim_interface(h, 0) : LIBUSB_ERROR_NOT_FOUND;
            e.etat = c == 0 || !qui_le_tient ? Etat::Libre : c == LIBUSB_ERROR_BUSY ? Etat::Occupe : Etat::Injoignable;
            if (c == 0)
                libusb_release_interface(h, 0);
            libusb_close(h);
        }
        trouves.push_back(std::move(e));
    }
    if (n >= 0)
        libusb_free_device_list(l, 1);
    return trouves;
}

libusb_device_handle *Bus::ouvre(const std::string &chemin, int *erreur)
{
    int r = LIBUSB_ERROR_NO_DEVICE;
    libusb_device_handle *pris = nullptr;
    libusb_device **l = nullptr;
    const ssize_t n = ctx_ ? libusb_get_device_list(ctx_, &l) : 0;
    for (ssize_t i = 0; i < n; ++i) {
        if (!est_enregistreur(l[i]) || chemin_de(l[i]) != chemin)
            continue;
        libusb_device_handle *h = nullptr;
        r = libusb_open(l[i], &h);
        if (r == 0) {
            r = libusb_claim_interface(h, 0);
            if (r == 0)
                pris = h;
            else
                libusb_close(h);
        }
        break;
    }
    if (n > 0)
        libusb_free_device_list(l, 1);
    if (erreur)
        *erreur = r;
    return pris;
}

Choix choisit(const std::vector<Enregistreur> &liste, const std::optional<std::string> &voulu)
{
    if (liste.empty())
        return {-1, "Pas de détection de Velmarix !"};
    if (!voulu) {
        if (liste.size() == 1)
            return {0, {}};
        return {-1, "Plusieurs Velmarix sur le bus (" + noms(liste) + ") : choisir l'un d'eux par son port ou son numéro de série"};
    }
    for (size_t i = 0; i < liste.size(); ++i)
        if (liste[i].chemin == *voulu)
            return {int(i), {}};
    int trouve = -1;
    for (size_t i = 0; i < liste.size(); ++i) {
        if (liste[i].serie != *voulu)
            continue;
        if (trouve >= 0)
            return {-1, "Plusieurs Velmarix portent le numéro de série " + *voulu + " : choisir par le port (" + noms(liste) + ")"};
        trouve = int(i);
    }
    if (trouve >= 0)
        return {trouve, {}};
    return {-1, "Aucun Velmarix au port ou de numéro de série « " + *voulu + " » ; sur le bus : " + noms(liste)};
}

} // namespace enregistreurs
