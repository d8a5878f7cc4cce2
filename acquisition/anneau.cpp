// The transfer ring and its completion routine.
#include "acquisition/anneau.h"

#include "acquisition/planning.h"
#include "app/console_format.h"
#include "app/principale.h"
#include "device/usbfs.h"

#include <QElapsedTimer>
#include <libusb.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace {
constexpr unsigned char ENDPOINT = 0x81;
bool en_attente[Principale::NB_SLOTS] = {}; // slot i's transfer is with the library
bool fin_de_flux = false;                    // a short transfer ended the stream
bool sans_appareil = false;                  // a transfer came back with "no device"
bool compteur_suspendu = false;              // a transfer cut a word: the counter check is off
int raison_ecriture = 0;                     // errno of the data-file write that failed
} // namespace

namespace anneau {

bool flux_termine()
{
    return fin_de_flux;
}

bool appareil_perdu()
{
    return sans_appareil;
}

int echec_ecriture()
{
    return raison_ecriture;
}

bool tous_finis()
{
    for (bool arret : Principale::transf_arret)
        if (!arret)
            return false;
    return true;
}

bool prepare(libusb_device_handle *handle, unsigned int timeout_ms)
{
    for (int i = 0; i < Principale::NB_SLOTS; ++i) {
        Principale::transfert[i] = libusb_alloc_transfer(0);
        Principale::buffers[i] = new (std::nothrow) unsigned char[Principale::TAILLE_PAQUET];
        if (!Principale::transfert[i] || !Principale::buffers[i]) {
            libere();
            return false;
        }
        Principale::transf_arret[i] = false;
        en_attente[i] = false;
        libusb_fill_bulk_transfer(Principale::transfert[i], handle, ENDPOINT, Principale::buffers[i],
                                  static_cast<int>(Principale::TAILLE_PAQUET), Principale::fn_callback,
                                  reinterpret_cast<void *>(static_cast<intptr_t>(i)), timeout_ms);
    }
    return true;
}

int soumet()
{
    int premier_refus = 0;
    Principale::num_pkt = 0;
    Principale::ntr = 0;
    Principale::ntw = 0;
    Principale::en_vol = 0;
    fin_de_flux = false;
    sans_appareil = false;
    compteur_suspendu = false;
    raison_ecriture = 0;
    for (int i = 0; i < Principale::NB_SLOTS; ++i) {
        Principale::transf_arret[i] = false;
        Principale::a_ecrire[i] = 0;
    }
    for (int i = 0; i < Principale::NB_SLOTS; ++i) {
        if (const int r = libusb_submit_transfer(Principale::transfert[i]); r != 0) {
            if (premier_refus == 0)
                premier_refus = r;
            Principale::call_verb(QStringLiteral("Erreur lancement transfert du paquet %1\r\n").arg(fmt_G(int64_t(i))), 0);
            // A slot that never went out never comes back: it counts as finished.
            Principale::transf_arret[i] = true;
        } else {
            en_attente[i] = true;
            ++Principale::en_vol;
        }
    }
    return premier_refus;
}

int service(int timeout_ms)
{
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int r = libusb_handle_events_timeout_completed(nullptr, &tv, nullptr);
    // A signal that interrupts the wait (the program's own stop on SIGTERM) is no USB failure.
    return r == LIBUSB_ERROR_INTERRUPTED ? 0 : r;
}

void annule_tout(bool verbeux)
{
    for (int i = 0; i < Principale::NB_SLOTS; ++i) {
        if (!en_attente[i])
            continue;
        const int r = libusb_cancel_transfer(Principale::transfert[i]);
        if (verbeux && Principale::test)
            Principale::call_verb(QStringLiteral("Anulation du transfert %1 retour %2 \r\n").arg(fmt_G(int64_t(i)), fmt_G(int64_t(r))), 0);
    }
}

// A transfer the ring stopped waiting for: it is freed, with its buffer, when it comes back.
void LIBUSB_CALL libere_au_retour(libusb_transfer *t)
{
    delete[] t->buffer;
    libusb_free_transfer(t);
}

// Hands the transfers still out over to the library for good: none of them belongs to the
// ring any more, and its slot gets a new transfer at the next use of the ring.
void abandonne_restants()
{
    for (int i = 0; i < Principale::NB_SLOTS; ++i) {
        if (!en_attente[i])
            continue;
        Principale::transfert[i]->callback = libere_au_retour;
        Principale::transfert[i] = nullptr;
        Principale::buffers[i] = nullptr;
        en_attente[i] = false;
        --Principale::en_vol;
    }
}

Vidange vidange()
{
    QElapsedTimer t;
    t.start();
    bool relance = false;
    while (Principale::en_vol > 0) {
        // When event handling fails, waiting longer only holds the window: stop at once.
        if (service(20) != 0) {
            abandonne_restants();
            return Vidange::echec_usb;
        }
        // A transfer still out long after its own time-out: cancel it again, once; then
        // give up waiting rather than hang the window.
        const qint64 limite = static_cast<qint64>(Principale::TimeOut) + 2000;
        if (!relance && t.elapsed() > limite) {
            for (int i = 0; i < Principale::NB_SLOTS; ++i)
                if (en_attente[i])
                    libusb_cancel_transfer(Principale::transfert[i]);
            relance = true;
        }
        if (t.elapsed() > 2 * limite + 5000) {
            abandonne_restants();
            return Vidange::delai_depasse;
        }
    }
    return Vidange::complete;
}

void libere()
{
    for (int i = 0; i < Principale::NB_SLOTS; ++i) {
        if (en_attente[i])
            continue; // still with the library: never free it under its feet
        if (Principale::transfert[i]) {
            libusb_free_transfer(Principale::transfert[i]);
            Principale::transfert[i] = nullptr;
        }
        delete[] Principale::buffers[i];
        Principale::buffers[i] = nullptr;
    }
}

} // namespace anneau

// ------------------------------------------------------------------ completion routine
namespace {

bool slot_perdu(int s)
{
    // A slot that will not come back counts as finished, so a ring whose slots all died ends.
    Principale::transf_arret[s] = true;
    return anneau::tous_finis();
}

// Counts the bytes received and, when recording, writes them to the data file. After a failed
// write nothing more is appended: the file would go on past a gap in the stream. The
// streaming loop reports the failure.
void garde_donnees(const unsigned char *data, uint32_t len)
{
    Principale::ntr += len;
    if (!Principale::record || !Principale::Filep || len == 0 || Principale::erreur_ecriture)
        return;
    errno = 0;
    const size_t ecrit = std::fwrite(data, 1, len, Principale::Filep);
    Principale::ntw += ecrit;
    if (ecrit != len) {
        Principale::erreur_ecriture = true;
        raison_ecriture = errno != 0 ? errno : EIO;
    }
}

void verifie_compteur(const unsigned char *data, uint32_t len)
{
    const int32_t nb = Principale::nb_voies;
    if (Principale::num_pkt == 0) {
        Principale::position_compteur = 0;
        std::memcpy(&Principale::val_compteur, data, 4);
        return;
    }
    const planning::PasCompteur pas{Principale::increment_position, Principale::increment_compteur};
    Principale::position_compteur = planning::avance_compteur(Principale::position_compteur, Principale::val_compteur, pas, nb);
    const uint64_t octet = uint64_t(Principale::position_compteur) * 4;
    if (octet + 4 > len)
        return; // never read past what the recorder delivered
    int32_t lu;
    std::memcpy(&lu, data + octet, 4);
    if (lu != Principale::val_compteur) {
        Principale::call_verb(QStringLiteral("\r\nErreur sur le compteur paquet : %1\r\n").arg(fmt_N0(uint64_t(Principale::num_pkt))), 0);
        Principale::erreur_compteur = true;
    }
}

} // namespace

void Principale::fn_callback(libusb_transfer *t)
{
    const int s = static_cast<int>(reinterpret_cast<intptr_t>(t->user_data)) & (NB_SLOTS - 1);
    en_attente[s] = false;
    --en_vol;

    if (test)
        call_verb(QStringLiteral(" %1 ").arg(fmt_G(int64_t(num_pkt))), 0);

    if (t->status == LIBUSB_TRANSFER_CANCELLED) {
        transf_arret[s] = true;
        fini = anneau::tous_finis();
        if (test)
            call_verb(QStringLiteral(" status == LIBUSB_TRANSFER_CANCELLED -> Tâche %1 annulée \r\n").arg(fmt_G(int64_t(s))), 0);
        ++num_pkt;
        return;
    }

    if (t->status != LIBUSB_TRANSFER_COMPLETED) {
        if (t->status == LIBUSB_TRANSFER_TIMED_OUT) {
            err_timeout = true;
            if (!test_init)
                call_verb(QStringLiteral("TIMEOUT lors du transfert du paquet %1\r\n").arg(fmt_N0(uint64_t(num_pkt))), 0);
        } else {
            if (t->status == LIBUSB_TRANSFER_NO_DEVICE)
                sans_appareil = true;
            call_verb(QStringLiteral("Erreur lors du transfert du paquet %1 status %2\r\n")
                          .arg(fmt_N0(uint64_t(num_pkt)), fmt_G(int64_t(t->status))),
                      0);
        }
        // What arrived before the failure is part of the stream, in order: keep it.
        if (!test_init && !transf_arret[s] && t->actual_length > 0)
            garde_donnees(buffers[s], static_cast<uint32_t>(t->actual_length));
        fini = slot_perdu(s);
        ++num_pkt;
        return;
    }

    const uint32_t len = t->actual_length > 0 ? static_cast<uint32_t>(t->actual_length) : 0u;
    // A transfer that completed before its cancellation could take effect comes back
    // completed, not cancelled, into a slot already finished.
    const bool deja_fini = transf_arret[s];
    a_ecrire[s] = len;
    if (len != TAILLE_PAQUET && test)
        call_verb(QStringLiteral(" - %1 octets de moins qu'un paquet\r\n").arg(fmt_N0(uint64_t(TAILLE_PAQUET - len))), 0);

    if (!transf_arret[s]) {
        garde_donnees(buffers[s], len);
        if (!erreur_compteur && !compteur_suspendu && compteur && nb_voies > 0 && uint64_t(len) > uint64_t(nb_voies) * 16)
            verifie_compteur(buffers[s], len);
    }

    // The recorder sends whole 32-bit words in every transfer and ends its stream with a short
    // one: a transfer that stops in the middle of a word is a fault, not the end. The stream
    // goes on (nothing is dropped); the counter check, which assumes whole packets, is off for
    // the rest of the run. Each transfer is judged by its own length.
    const bool hors_mot = !test_init && !transf_arret[s] && len % 4 != 0;
    if (hors_mot) {
        call_verb(QStringLiteral("\r\nPaquet %1 incomplet : %2 octets, pas un nombre entier de mots. Données conservées, "
                                 "contrôle du compteur suspendu pour cette acquisition\r\n")
                      .arg(fmt_N0(uint64_t(num_pkt)), fmt_N0(uint64_t(len))),
                  0);
        compteur_suspendu = true;
    }

    if (len < TAILLE_PAQUET && !hors_mot) {
        if (len != 0 && test)
            call_verb(QStringLiteral("   fin en cours \r\n"), 0);
        transf_arret[s] = true;
        fin_de_flux = true;
        for (int i = 0; i < NB_SLOTS; ++i) {
            if (transf_arret[i])
                continue;
            const int r = libusb_cancel_transfer(transfert[i]);
            if (test)
                call_verb(QStringLiteral("Arrêt du transfert %1 retour %2 status : %3\r\n")
                              .arg(fmt_G(int64_t(i)), fmt_G(int64_t(r)), fmt_G(int64_t(transfert[i]->status))),
                          0);
            transf_arret[i] = true;
        }
        // No cancellation will come back to raise the end: the ring is over now.
        if (en_vol == 0)
            fini = true;
    }

    if (!transf_arret[s]) {
        const int r = libusb_submit_transfer(t);
        if (r == 0) {
            en_attente[s] = true;
            ++en_vol;
        } else {
            call_verb(QStringLiteral("Erreur lancement transfert du paquet %1, retour : %2\r\n")
                          .arg(fmt_N0(uint64_t(num_pkt) + 8), fmt_G(int64_t(r))),
                      0);
            if (r == LIBUSB_ERROR_NO_MEM)
                usbfs::alerte_refus(NB_SLOTS, TAILLE_PAQUET, 0);
            fini = slot_perdu(s);
        }
    }
    // Such a late completion also ends the ring, as its cancellation would have.
    if (deja_fini)
        fini = anneau::tous_finis();
    ++num_pkt;
}
