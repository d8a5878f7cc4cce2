// The data path: the thread that services the ring while a run's transfers are out, the stops
// it sends on its own or on request, and the reports it leaves for the host's thread.
#include "acquisition/moteur_impl.h"

#include "device/commands.h"
#include "recording/console_format.h"

#include <chrono>
#include <pthread.h>

namespace moteur {

namespace {
constexpr int ATTENTE_USB_MS = 10;   // one wait for USB events on the data path
constexpr int ATTENTE_ARRET_MS = 10000; // bound of the host's wait for a stop it asked for
} // namespace

void Moteur::Impl::poste(std::function<void(Observateur &)> f)
{
    {
        std::lock_guard<std::mutex> l(boite_mu);
        boite.push_back(std::move(f));
        reveil = true;
    }
    boite_cv.notify_all();
}

Observateur &Moteur::Impl::hote()
{
    // One report at a time, outside the lock: a report may show a box, or call the engine.
    for (;;) {
        std::function<void(Observateur &)> f;
        {
            std::lock_guard<std::mutex> l(boite_mu);
            if (boite.empty())
                break;
            f = std::move(boite.front());
            boite.pop_front();
        }
        f(obs);
    }
    return obs;
}

void Moteur::Impl::dit(const QString &texte, int flag)
{
    if (std::this_thread::get_id() != fil_hote) {
        poste([texte, flag](Observateur &o) { o.console(texte, flag); });
        return;
    }
    hote().console(texte, flag);
}

void Moteur::Impl::signale(const Evenement &e, int flag)
{
    rapporte([e](Observateur &o) { o.evenement(e); });
    dit(texte(e), flag);
}

void Moteur::Impl::rapporte(std::function<void(Observateur &)> f)
{
    if (std::this_thread::get_id() != fil_hote)
        poste(std::move(f));
    else
        f(hote());
}

// Every block to the live tap, from the data path (the publisher never waits for a reader).
void Moteur::Impl::publie_bloc(const unsigned char *donnees, const tap::BlockPlace &place)
{
    if (publieur)
        publieur->publish(donnees, place);
}

void Moteur::Impl::attend_hote(int ms)
{
    std::unique_lock<std::mutex> l(boite_mu);
    boite_cv.wait_for(l, std::chrono::milliseconds(ms), [this] { return reveil; });
    reveil = false;
}

// ------------------------------------------------------------------ the thread
void Moteur::Impl::lance_donnees(uint8_t depart)
{
    arrete_donnees();
    fil_hote = std::this_thread::get_id();
    quitte_donnees = false;
    {
        std::lock_guard<std::mutex> l(boite_mu);
        donnees_finies = false;
    }
    erreur_usb = false;
    en_flux = false;
    {
        std::lock_guard<std::mutex> l(niveaux_mu);
        niveaux_prets.reset();
    }
    if (publieur)
        publieur->begin_run(disposition);
    fenetre_niveaux.debut(disposition.words(), int32_t(disposition.mics.size()), disposition.counter, disposition.floats);
    anneau.bloc = [this](const unsigned char *d, const tap::BlockPlace &p) { bloc_recu(d, p); };
    fil_donnees = std::thread([this, depart] { boucle_donnees(depart); });
}

void Moteur::Impl::arrete_donnees()
{
    if (!fil_donnees.joinable())
        return;
    quitte_donnees = true;
    fil_donnees.join();
    anneau.bloc = nullptr;
    if (publieur)
        publieur->end_run();
    en_flux = false;
}

void Moteur::Impl::boucle_donnees(uint8_t depart)
{
    pthread_setname_np(pthread_self(), "viz256-donnees");
    appareil.start(depart);
    while (!quitte_donnees.load()) {
        anneau.relance();
        if (anneau.service(ATTENTE_USB_MS) != 0) {
            erreur_usb = true;
            break;
        }
        if (en_flux.load()) {
            tour_donnees();
            anneau.publie_etat();
        } else if (abandon_demande.load() && abandon_donnees()) {
            break; // the host's thread drains the cancelled ring
        }
        if (anneau.fini)
            break;
    }
    // Completions also run inside the data path's own requests (a stop): what they changed
    // is published too.
    anneau.publie_etat();
    {
        // The ring is over: a stop asked for meanwhile has nothing left to stop.
        std::lock_guard<std::mutex> l(boite_mu);
        if (arret_voulu) {
            arret_voulu.reset();
            arret_fait = stopped.load() ? Arret::Arrete : Arret::SansReponse;
        }
        donnees_finies = true;
        reveil = true;
    }
    anneau.etat.cpu_donnees_ns.store(Ecrivain::cpu_fil_ns(), std::memory_order_relaxed);
    boite_cv.notify_all();
}

// A turn of the data path while the run streams: the run's own stops, and a stop asked for.
void Moteur::Impl::tour_donnees()
{
    if (!stopped && arret_du_run() && !arret_automatique())
        return; // the recorder cannot be told to stop: the ring is being given up
    std::optional<reglages::Declenchement> voulu;
    {
        std::lock_guard<std::mutex> l(boite_mu);
        voulu.swap(arret_voulu);
    }
    if (voulu) {
        const Arret a = stopped || anneau.fini ? Arret::Arrete : stop(*voulu);
        {
            std::lock_guard<std::mutex> l(boite_mu);
            arret_fait = a;
            reveil = true;
        }
        boite_cv.notify_all();
    }
}

// A stop while the data path runs: it sends it (the host's thread, the caller, may be any);
// the host's thread waits for the answer and takes the reports.
Arret Moteur::Impl::demande_stop(const reglages::Declenchement &d)
{
    if (!fil_donnees.joinable() || !en_flux.load()) {
        if (std::this_thread::get_id() == fil_hote)
            return stop(d);
        return Arret::SansReponse;
    }
    const bool attend = std::this_thread::get_id() == fil_hote;
    std::unique_lock<std::mutex> l(boite_mu);
    if (donnees_finies) // the ring is over: nothing is left to stop
        return stopped.load() ? Arret::Arrete : Arret::SansReponse;
    arret_voulu = d;
    arret_fait.reset();
    if (!attend)
        return Arret::SansReponse; // the answer comes as a report
    const auto limite = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATTENTE_ARRET_MS);
    while (!arret_fait && std::chrono::steady_clock::now() < limite)
        boite_cv.wait_until(l, limite);
    const Arret a = arret_fait.value_or(Arret::SansReponse);
    arret_fait.reset();
    arret_voulu.reset();
    l.unlock();
    hote();
    return a;
}

// ------------------------------------------------------------------ the blocks
// Every block of the stream, on the data path, before the writer has it: the live levels
// gather it, and publie_bloc() is where the live tap takes it.
void Moteur::Impl::bloc_recu(const unsigned char *donnees, const tap::BlockPlace &place)
{
    publie_bloc(donnees, place);
    if (stopped.load() || disposition.mics.empty())
        return;
    double ms[256];
    uint64_t premiere = 0;
    if (!fenetre_niveaux.ajoute(donnees, place, ms, &premiere))
        return;
    Niveaux n;
    n.premiere_trame = premiere;
    const size_t nb = std::min<size_t>(disposition.mics.size(), 256);
    n.canaux.assign(disposition.mics.begin(), disposition.mics.begin() + nb);
    n.moyennes_carres.assign(ms, ms + nb);
    std::lock_guard<std::mutex> l(niveaux_mu);
    niveaux_prets = std::move(n);
}

} // namespace moteur
