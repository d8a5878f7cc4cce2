// The transfer ring, its completion routine, and the hand-over of received packets to the
// data-file writer.
#include "acquisition/anneau.h"

#include "acquisition/planning.h"
#include "recording/console_format.h"
#include "device/usbfs.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <libusb.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace {
constexpr unsigned char ENDPOINT = 0x81;
} // namespace

Anneau::Anneau()
    : ntw(ecrivain.ecrits)
{
    for (int i = 0; i < NB_SLOTS_MAX; ++i)
        places[i] = {this, i};
    // A slot waiting for a buffer goes out as soon as the writer frees one, not at the end of
    // the data path's wait for USB events.
    ecrivain.tampons_rendus = [this] {
        if (attend_tampon.load(std::memory_order_relaxed) && contexte)
            libusb_interrupt_event_handler(contexte);
    };
}

Anneau::~Anneau()
{
    ecrivain.arrete();
    bool dehors = false;
    for (bool e : en_attente)
        dehors = dehors || e;
    if (!dehors)
        libere();
    if (Filep)
        std::fclose(Filep);
}

void Anneau::dit(const QString &texte) const
{
    if (journal)
        journal(texte, 0);
}

void Anneau::signale(const moteur::Evenement &e) const
{
    if (rapport)
        rapport(e);
    else
        dit(moteur::texte(e));
}

bool Anneau::tous_finis() const
{
    for (int i = 0; i < nb_slots(); ++i)
        if (!transf_arret[i])
            return false;
    return true;
}

// ------------------------------------------------------------------ one use of the ring
// Device memory for every slot, all or none (a kernel that cannot give it refuses).
bool Anneau::alloue_memoire_usb(libusb_device_handle *handle)
{
    // A refusal is an ordinary answer here: libusb would log it as an error.
    libusb_set_option(contexte, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_NONE);
    taille_usb = taille();
    int n = 0;
    for (; n < nb_slots() && handle; ++n)
        if (!(usb[n] = libusb_dev_mem_alloc(handle, taille_usb)))
            break;
    libusb_set_option(contexte, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_INFO);
    if (n == nb_slots())
        return true;
    for (int i = 0; i < n; ++i) {
        libusb_dev_mem_free(handle, usb[i], taille_usb);
        usb[i] = nullptr;
    }
    return false;
}

bool Anneau::prepare(libusb_device_handle *handle, unsigned int timeout_ms, const Parametres &p)
{
    par = p;
    par.nb_slots = std::clamp(par.nb_slots, 1, NB_SLOTS_MAX);
    if (par.taille == 0 || par.taille > TAILLE_PAQUET)
        par.taille = TAILLE_PAQUET;
    poignee = handle;
    const bool file = par.record && Filep;
    ecrivain.dimensionne(uint32_t(nb_slots()) + (file ? par.paquets_file : 0), file ? par.paquets_file : 0, taille());
    a_copier.clear();
    memoire_usb = alloue_memoire_usb(handle);
    for (int i = 0; i < nb_slots(); ++i) {
        transfert[i] = libusb_alloc_transfer(0);
        buffers[i] = memoire_usb ? usb[i] : ecrivain.prend();
        if (!transfert[i] || !buffers[i]) {
            libere();
            return false;
        }
        transf_arret[i] = false;
        en_attente[i] = false;
        sans_tampon[i] = false;
        libusb_fill_bulk_transfer(transfert[i], handle, ENDPOINT, buffers[i], static_cast<int>(taille()),
                                  &Anneau::fn_callback, &places[i], timeout_ms);
    }
    return true;
}

int Anneau::soumet()
{
    int premier_refus = 0;
    num_pkt = 0;
    ntr = 0;
    gardes = 0;
    plafond = false;
    refus_memoire = false;
    en_vol = 0;
    fini = false;
    fin_de_flux = false;
    sans_appareil = false;
    erreur_compteur = false;
    sauts_compteur = 0;
    blocs = 0;
    err_timeout = false;
    verifie = par.compteur;
    publie_etat();
    dit_moitie = dit_pleine = dit_relance = false;
    horloge.start();
    retard_ms = 0;
    retard_octets = 0;
    for (int i = 0; i < nb_slots(); ++i) {
        transf_arret[i] = false;
        a_ecrire[i] = 0;
    }
    if (par.record && Filep)
        ecrivain.demarre(fileno(Filep));
    if (par.premier_paquet > 0 && par.premier_paquet < taille())
        transfert[0]->length = static_cast<int>(par.premier_paquet);
    for (int i = 0; i < nb_slots(); ++i) {
        if (const int r = libusb_submit_transfer(transfert[i]); r != 0) {
            if (premier_refus == 0)
                premier_refus = r;
            dit(QStringLiteral("Erreur lancement transfert du paquet %1\r\n").arg(fmt_G(int64_t(i))));
            // A slot that never went out never comes back: it counts as finished.
            transf_arret[i] = true;
        } else {
            en_attente[i] = true;
            ++en_vol;
        }
    }
    return premier_refus;
}

void Anneau::publie_etat()
{
    etat.num_pkt.store(num_pkt, std::memory_order_relaxed);
    etat.ntr.store(ntr, std::memory_order_relaxed);
    etat.sauts_compteur.store(sauts_compteur, std::memory_order_relaxed);
    etat.fini.store(fini, std::memory_order_release);
}

int Anneau::service(int timeout_ms)
{
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    const int r = libusb_handle_events_timeout_completed(contexte, &tv, nullptr);
    publie_etat();
    // A signal that interrupts the wait (the program's own stop on SIGTERM) is no USB failure.
    return r == LIBUSB_ERROR_INTERRUPTED ? 0 : r;
}

void Anneau::annule_tout(bool verbeux)
{
    for (int i = 0; i < nb_slots(); ++i) {
        if (!en_attente[i])
            continue;
        const int r = libusb_cancel_transfer(transfert[i]);
        if (verbeux && par.test)
            dit(QStringLiteral("Anulation du transfert %1 retour %2 \r\n").arg(fmt_G(int64_t(i)), fmt_G(int64_t(r))));
    }
}

void Anneau::relance()
{
    copie_en_attente();
    bool attend = false;
    for (int i = 0; i < nb_slots(); ++i) {
        if (sans_tampon[i] && !transf_arret[i])
            envoie(i);
        attend = attend || (sans_tampon[i] && !transf_arret[i]);
    }
    attend_tampon.store(attend || !a_copier.empty(), std::memory_order_relaxed);
}

namespace {
// A transfer the ring stopped waiting for: it is freed, with its buffer, when it comes back.
void LIBUSB_CALL libere_au_retour(libusb_transfer *t)
{
    std::free(t->buffer);
    libusb_free_transfer(t);
}
// Its user data then holds the size of its device memory.
void LIBUSB_CALL libere_memoire_usb_au_retour(libusb_transfer *t)
{
    const size_t *taille = static_cast<const size_t *>(t->user_data);
    libusb_dev_mem_free(t->dev_handle, t->buffer, *taille);
    delete taille;
    libusb_free_transfer(t);
}
} // namespace

// Hands the transfers still out over to the library for good: none of them belongs to the
// ring any more, and its slot gets a new transfer at the next use of the ring.
void Anneau::abandonne_restants()
{
    for (int i = 0; i < nb_slots(); ++i) {
        if (!en_attente[i])
            continue;
        ecrivain.oublie(buffers[i]);
        transfert[i]->callback = memoire_usb ? libere_memoire_usb_au_retour : libere_au_retour;
        if (memoire_usb)
            transfert[i]->user_data = new size_t(taille_usb);
        transfert[i] = nullptr;
        buffers[i] = nullptr;
        usb[i] = nullptr;
        en_attente[i] = false;
        --en_vol;
    }
}

Anneau::Vidange Anneau::vidange(int timeout_ms, const std::function<void(qint64)> &attente)
{
    QElapsedTimer t;
    t.start();
    bool relance_faite = false;
    const qint64 relance_ms = std::min(std::max(timeout_ms, 0), RETOUR_MS);
    while (en_vol > 0) {
        // When event handling fails, waiting longer only holds the window: stop at once.
        if (service(20) != 0) {
            abandonne_restants();
            return Vidange::echec_usb;
        }
        if (en_vol == 0)
            break;
        if (attente)
            attente(t.elapsed());
        // A transfer still out well after its cancellation: cancel it again, once; then give
        // up waiting rather than hold the window.
        if (!relance_faite && t.elapsed() > relance_ms) {
            for (int i = 0; i < nb_slots(); ++i)
                if (en_attente[i])
                    libusb_cancel_transfer(transfert[i]);
            relance_faite = true;
        }
        if (t.elapsed() > ABANDON_MS) {
            abandonne_restants();
            return Vidange::delai_depasse;
        }
    }
    return Vidange::complete;
}

void Anneau::libere()
{
    ecrivain.arrete();
    const unsigned char *garde[NB_SLOTS_MAX] = {};
    for (int i = 0; i < nb_slots(); ++i) {
        sans_tampon[i] = false;
        if (en_attente[i]) {
            garde[i] = buffers[i]; // still with the library: never free it under its feet
            continue;
        }
        if (transfert[i]) {
            libusb_free_transfer(transfert[i]);
            transfert[i] = nullptr;
        }
        if (usb[i])
            libusb_dev_mem_free(poignee, usb[i], taille_usb);
        usb[i] = nullptr;
        buffers[i] = nullptr;
    }
    a_copier.clear();
    ecrivain.libere(garde, nb_slots());
}


// ------------------------------------------------------------------ completion routine
void Anneau::fn_callback(libusb_transfer *t)
{
    const Slot *slot = static_cast<const Slot *>(t->user_data);
    slot->anneau->complete(slot->index, t);
}

bool Anneau::slot_perdu(int s)
{
    // A slot that will not come back counts as finished, so a ring whose slots all died ends.
    transf_arret[s] = true;
    return tous_finis();
}

// Counts the bytes received and, when recording, hands the buffer to the writer.
void Anneau::garde_donnees(int s, uint32_t len)
{
    ntr += len;
    if (!par.record || !Filep || len == 0)
        return;
    // The data file takes no more than its description can count, however many completions
    // one event-handling call reaps.
    if (par.octets_max != 0) {
        const uint64_t reste = par.octets_max > gardes ? par.octets_max - gardes : 0;
        if (len >= reste) {
            plafond = true;
            len = static_cast<uint32_t>(reste);
        }
        if (len == 0)
            return; // the buffer stays with its slot
    }
    gardes += len;
    if (memoire_usb) { // the device memory stays with its slot: the writer gets a copy
        a_copier.emplace_back(s, len);
        copie_en_attente();
        return;
    }
    ecrivain.depose(buffers[s], len);
    buffers[s] = nullptr; // the slot goes out again with a free buffer
}

// Copies the packets that wait in device memory, in the order they came, into free buffers of
// the writer's pool; stops at the first that finds none (relance() goes on later).
void Anneau::copie_en_attente()
{
    while (!a_copier.empty()) {
        const auto [s, len] = a_copier.front();
        unsigned char *copie = ecrivain.prend(reserve_utile());
        if (!copie)
            return;
        std::memcpy(copie, usb[s], len);
        ecrivain.depose(copie, len);
        a_copier.pop_front();
    }
}

// Whether the writer's pool may grow now. While the queue holds no more than a recorder at its
// own rate can have sent since the queue was last seen empty (twice that, plus a ring's worth of
// transfers for the ones that complete together after a pause, plus two of the writer's calls,
// so that it always has the next one ready), the disk is slower than the
// recorder, and the pool grows into the reserve that keeps every frame. A queue beyond that
// means data that come faster than any recorder sends them (an emulated recorder that does not
// pace its stream): the ring waits for the buffers the writer frees, and nothing is lost, since
// such a recorder only sends what the ring asks for. Buffers are then reused, not made: each
// new one costs its pages, and a pool as large as the reserve costs its memory.
bool Anneau::reserve_utile() const
{
    const uint64_t file = ecrivain.octets_en_file();
    if (file == 0)
        return true;
    const double duree = std::max(0.0, double(horloge.elapsed() - retard_ms) / 1000.0);
    const int marge = nb_slots() + 2 * Ecrivain::LOT + 2; // the ring, and the writer's call being made and the next
    return double(file) <= 2.0 * par.octets_par_s * duree + double(marge) * double(taille());
}

// Slot s still holds a packet the writer has not had: it cannot go out again yet.
bool Anneau::attend_copie(int s) const
{
    for (const auto &a : a_copier)
        if (a.first == s)
            return true;
    return false;
}

void Anneau::verifie_compteur(const unsigned char *data, uint32_t len)
{
    // Packets need not all be whole (the first one of a triggered run is short): the first
    // frame that begins in this one follows from the bytes received before it.
    const uint64_t trame = uint64_t(par.nb_voies) * 4;
    if (ntr == 0) {
        position_compteur = 0;
        std::memcpy(&val_compteur, data, 4);
        premier_compteur = val_compteur;
        return;
    }
    const uint64_t octet = (trame - ntr % trame) % trame;
    position_compteur = static_cast<uint32_t>(octet / 4);
    val_compteur = static_cast<int32_t>(static_cast<uint32_t>(premier_compteur) + static_cast<uint32_t>((ntr + octet) / trame));
    if (octet + 4 > len)
        return; // never read past what the recorder delivered
    int32_t lu;
    std::memcpy(&lu, data + octet, 4);
    if (lu != val_compteur) {
        signale({moteur::Raison::SautCompteur, int64_t(num_pkt)});
        erreur_compteur = true;
        ++sauts_compteur;
        // The check goes on from the value read: each later gap is counted too.
        premier_compteur = static_cast<int32_t>(static_cast<uint32_t>(premier_compteur) +
                                                (static_cast<uint32_t>(lu) - static_cast<uint32_t>(val_compteur)));
    }
}

// A block of the stream: its place in the run, told before its buffer is handed over.
void Anneau::passe_bloc(int s, uint32_t len)
{
    if (!bloc || par.test_init || len == 0)
        return;
    tap::BlockPlace place;
    place.sequence = blocs++;
    place.byte_offset = ntr;
    place.bytes = len;
    place.completed_ns = tap::monotonic_ns();
    bloc(buffers[s], place);
}

// Sends slot s out again; a slot without a buffer takes a free one, or waits for one.
void Anneau::envoie(int s)
{
    transfert[s]->length = static_cast<int>(taille());
    if (memoire_usb && attend_copie(s)) {
        sans_tampon[s] = true; // its packet waits for a free buffer of the writer: relance() sends it later
        attend_tampon.store(true, std::memory_order_relaxed);
        return;
    }
    if (!buffers[s]) {
        buffers[s] = ecrivain.prend(reserve_utile());
        if (!buffers[s]) {
            sans_tampon[s] = true; // every buffer waits for the disk: relance() sends it later
            attend_tampon.store(true, std::memory_order_relaxed);
            return;
        }
        transfert[s]->buffer = buffers[s];
    }
    sans_tampon[s] = false;
    const int r = libusb_submit_transfer(transfert[s]);
    if (r == 0) {
        en_attente[s] = true;
        ++en_vol;
        return;
    }
    // Said for the first refused transfer of the run only: the others fail alike.
    if (!dit_relance)
        dit(QStringLiteral("Erreur lancement transfert du paquet %1, retour : %2\r\n").arg(fmt_N0(uint64_t(num_pkt) + 8), fmt_G(int64_t(r))));
    dit_relance = true;
    // A recorder that has left the bus refuses the submission itself.
    if (r == LIBUSB_ERROR_NO_DEVICE)
        sans_appareil = true;
    // Another program took part of the usbfs memory: said once, and the run stops.
    if (r == LIBUSB_ERROR_NO_MEM && !refus_memoire)
        signale({moteur::Raison::RefusUsbfs, int64_t(usbfs::lit_limite_mo()), int64_t(usbfs::besoin_mo(NB_SLOTS, TAILLE_PAQUET))});
    refus_memoire = refus_memoire || r == LIBUSB_ERROR_NO_MEM;
    fini = slot_perdu(s);
}

void Anneau::complete(int s, libusb_transfer *t)
{
    en_attente[s] = false;
    --en_vol;

    if (par.test)
        dit(QStringLiteral(" %1 ").arg(fmt_G(int64_t(num_pkt))));

    if (t->status == LIBUSB_TRANSFER_CANCELLED) {
        transf_arret[s] = true;
        fini = tous_finis();
        if (par.test)
            dit(QStringLiteral(" status == LIBUSB_TRANSFER_CANCELLED -> Tâche %1 annulée \r\n").arg(fmt_G(int64_t(s))));
        ++num_pkt;
        return;
    }

    if (t->status != LIBUSB_TRANSFER_COMPLETED) {
        if (t->status == LIBUSB_TRANSFER_TIMED_OUT) {
            err_timeout = true;
            if (!par.test_init)
                signale({moteur::Raison::TransfertExpire, int64_t(num_pkt)});
        } else {
            if (t->status == LIBUSB_TRANSFER_NO_DEVICE)
                sans_appareil = true;
            signale({moteur::Raison::TransfertEchoue, int64_t(num_pkt), int64_t(t->status)});
        }
        // What arrived before the failure is part of the stream, in order: keep it.
        if (!par.test_init && !transf_arret[s] && t->actual_length > 0) {
            passe_bloc(s, static_cast<uint32_t>(t->actual_length));
            garde_donnees(s, static_cast<uint32_t>(t->actual_length));
        }
        fini = slot_perdu(s);
        ++num_pkt;
        return;
    }

    const uint32_t len = t->actual_length > 0 ? static_cast<uint32_t>(t->actual_length) : 0u;
    const uint32_t longueur = static_cast<uint32_t>(t->length); // what this transfer asked for
    // A transfer that completed before its cancellation could take effect comes back
    // completed, not cancelled, into a slot already finished.
    const bool deja_fini = transf_arret[s];
    a_ecrire[s] = len;
    if (len != longueur && par.test)
        dit(QStringLiteral(" - %1 octets de moins qu'un paquet\r\n").arg(fmt_N0(uint64_t(longueur - len))));

    if (!transf_arret[s]) {
        if (verifie && par.nb_voies > 0 && len >= 4 && (ntr == 0 || uint64_t(len) > uint64_t(par.nb_voies) * 16))
            verifie_compteur(buffers[s], len);
        passe_bloc(s, len);
        garde_donnees(s, len);
    }

    // The recorder sends whole 32-bit words in every transfer and ends its stream with a short
    // one: a transfer that stops in the middle of a word is a fault, not the end. The stream
    // goes on (nothing is dropped); the counter check, which assumes whole packets, is off for
    // the rest of the run. Each transfer is judged by its own length.
    const bool hors_mot = !par.test_init && !transf_arret[s] && len % 4 != 0;
    if (hors_mot) {
        signale({moteur::Raison::MotCoupe, int64_t(num_pkt), int64_t(len)});
        verifie = false;
    }

    if (len < longueur && !hors_mot) {
        if (len != 0 && par.test)
            dit(QStringLiteral("   fin en cours \r\n"));
        transf_arret[s] = true;
        fin_de_flux = true;
        for (int i = 0; i < nb_slots(); ++i) {
            if (transf_arret[i])
                continue;
            if (en_attente[i]) {
                const int r = libusb_cancel_transfer(transfert[i]);
                if (par.test)
                    dit(QStringLiteral("Arrêt du transfert %1 retour %2 status : %3\r\n")
                            .arg(fmt_G(int64_t(i)), fmt_G(int64_t(r)), fmt_G(int64_t(transfert[i]->status))));
            }
            transf_arret[i] = true;
        }
        // No cancellation will come back to raise the end: the ring is over now.
        if (en_vol == 0)
            fini = true;
    }

    if (!transf_arret[s])
        envoie(s);
    // Such a late completion also ends the ring, as its cancellation would have.
    if (deja_fini)
        fini = tous_finis();
    ++num_pkt;
}
