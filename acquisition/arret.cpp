// How a run stops before its end: the stop request (Stop, or the stop trigger it arms), the
// abort of a trigger wait, the run's own stops and what happens when the recorder cannot be
// told, and a write-out given up by the host.
#include "acquisition/moteur_impl.h"

#include "recording/console_format.h"

#include <QThread>

#include <libusb.h>

namespace moteur {

Arret Moteur::Impl::stop(const reglages::Declenchement &d)
{
    if (const int r = appareil.stop(d.octet()); r < 0) {
        // Not answered, or refused on the way (no usbfs memory for it, the device gone): the
        // recorder streams on. The run goes on, and Stop stays for another try.
        if (r != LIBUSB_ERROR_TIMEOUT) // a time-out is said by the device object
            dit(QStringLiteral("Demande d'arrêt non transmise au Velmarix : %1\r\n").arg(QString::fromUtf8(libusb_strerror(r))), 0);
        rapporte([](Observateur &o) { o.arret(Arret::SansReponse); });
        return Arret::SansReponse;
    }
    Arret res;
    if (!d.externe()) {
        stopped = true;
        res = Arret::Arrete;
    } else {
        dit(QStringLiteral("Arrêt en attente de trig\r\n"), 0);
        res = Arret::EnAttenteTrig;
    }
    rapporte([res](Observateur &o) { o.arret(res); });
    if (count != 0)
        dit(QStringLiteral("\r\nAcquisition stoppée avant la fin\r\n"), 0);
    else if (test)
        dit(QStringLiteral("\r\nStopped\r\n"), 0);
    QThread::msleep(1);
    return res;
}

void Moteur::Impl::abort_demande()
{
    if (aborted.exchange(true))
        return; // the data path gave the wait up already
    hote().abandon();
    if (test)
        dit(QStringLiteral("  Aborted\r\n"), 0);
}

// The run given up before its trigger, once the recorder is reset: said, and every transfer
// cancelled (nothing more belongs to this run).
void Moteur::Impl::annule_avant_declenchement()
{
    QThread::msleep(10);
    dit(QStringLiteral("Acquisition arrêtée avant le déclenchement \r\n"), 0);
    for (bool &a : anneau.transf_arret)
        a = true;
    anneau.annule_tout(true);
}

// An Abort asked from another thread while the run waits for its trigger, on the data path:
// the recorder is reset and the ring cancelled now, whatever the host's thread is doing, with
// the console lines of an abort in their order; the host's thread ends the run at its next
// turn (abandonne_run). False when there is nothing to give up: the trigger came first.
bool Moteur::Impl::abandon_donnees()
{
    if (!abandon_demande.exchange(false) || anneau.num_pkt > 0 || anneau.fini)
        return false;
    bool attendu = false;
    if (!aborted.compare_exchange_strong(attendu, true))
        return false; // the host's thread gives the wait up itself
    const bool verbeux = anneau.par.test;
    rapporte([](Observateur &o) { o.abandon(); });
    if (verbeux)
        dit(QStringLiteral("  Aborted\r\n"), 0);
    if (appareil.ouvert()) {
        if (verbeux)
            dit(QStringLiteral("\r\nReset B0\r\n"), 0);
        appareil.reset_micros();
    }
    annule_avant_declenchement();
    abandon_envoye = true;
    return true;
}

// Whether the run must stop by itself now (on the data path): a disk so slow that the reserve
// in memory is nearly full (the run stops while every frame received can still be kept), a
// counter gap, a failed write, transfers the kernel refuses, the data file's frame cap or the
// disk budget.
bool Moteur::Impl::arret_du_run()
{
    const bool reserve = anneau.surveille_ecriture(); // said while the run goes on, stop or not
    if (reserve || anneau.erreur_compteur || signale_ecriture() || anneau.refus_usbfs())
        return true;
    const bool plafond = anneau.plafond_atteint();
    if (!plafond && anneau.ntr < arret_budget_octets)
        return false;
    if (plafond || arret_budget_trames) {
        signale({Raison::PlafondTrames, int64_t(trames_max)});
        arret_plafond = true;
    }
    return true;
}

// The run's own stop (on the data path). When the recorder cannot be told (its stop request
// failed, whatever the reason), nothing would end its stream: what is in flight is cancelled
// and the run ends with what was received, its files whole. False then.
bool Moteur::Impl::arret_automatique()
{
    if (stop({}) != Arret::SansReponse)
        return true;
    dit(QStringLiteral("Le Velmarix n'a pas pu être arrêté : les transferts en cours sont annulés, "
                       "l'acquisition se termine avec les données reçues\r\n"),
        1);
    stopped = true;
    arret_force = true; // it may stream on: the next start resets and probes it again
    for (bool &a : anneau.transf_arret)
        a = true;
    anneau.annule_tout(false);
    if (anneau.en_vol == 0)
        anneau.fini = true;
    return false;
}

// The write-out given up by the host: said once, with what the data file will not get.
void Moteur::Impl::abandonne_file()
{
    if (anneau.ecrivain.abandon.load())
        return;
    dit(QStringLiteral("Écriture abandonnée : %1 Mo reçus ne sont pas écrits dans %2\r\n")
            .arg(fmt_N1(double(anneau.ecrivain.octets_en_file()) / 1048576.0), acqui_name),
        0);
    anneau.ecrivain.abandonne();
}

} // namespace moteur
