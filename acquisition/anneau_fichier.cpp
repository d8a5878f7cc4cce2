// The ring's side of the data file: opening and closing it, the watch on the writer's queue
// (a disk slower than the recorder is said, and stops the run before anything is lost), and
// the queue emptied at the end of a run.
#include "acquisition/anneau.h"

#include <QFile>
#include <QThread>

#include <cerrno>
#include <cstdint>
#include <cstdio>

void Anneau::vide_file(const std::function<void()> &attente)
{
    while (!a_copier.empty() || ecrivain.en_file() > 0) {
        copie_en_attente();
        if (attente)
            attente();
        QThread::msleep(20);
    }
    ecrivain.arrete();
}

bool Anneau::surveille_ecriture()
{
    const uint64_t n = ecrivain.en_file(), capacite = ecrivain.capacite();
    if (capacite == 0)
        return false;
    // Since the queue was last seen empty the writer has been busy all the time: what it
    // wrote since then is what the disk takes. A disk that takes the recorder's rate needs no
    // warning and no stop. Neither does a queue that holds more than a real-time recorder can
    // have sent in that time: the data come faster than the recorder's own rate (an emulated
    // recorder that does not pace its stream), and the ring simply waits for free buffers.
    const qint64 t = horloge.elapsed();
    const uint64_t ecrits = ecrivain.ecrits.load();
    if (n == 0) {
        retard_ms = t;
        retard_octets = ecrits;
        return false;
    }
    const double duree = double(t - retard_ms) / 1000.0;
    const double debit = duree > 0 ? double(ecrits - retard_octets) / duree : 0.0;
    const bool temps_reel = double(ecrivain.octets_en_file()) <= 2.0 * par.octets_par_s * duree + 2.0 * taille();
    if (debit >= par.octets_par_s || !temps_reel)
        return false;
    if (!dit_moitie && 2 * n > capacite) {
        dit_moitie = true;
        signale({moteur::Raison::ReserveMoitie, int64_t(ecrivain.octets_en_file() / 1048576)});
    }
    if (!dit_pleine && 10 * n >= 9 * capacite) {
        dit_pleine = true;
        signale({moteur::Raison::ReservePleine});
        return true;
    }
    return false;
}

// ------------------------------------------------------------------ the data file
bool Anneau::ouvre_donnees(const QString &chemin)
{
    ferme_donnees();
    errno = 0;
    Filep = std::fopen(QFile::encodeName(chemin).constData(), "wb+");
    if (!Filep)
        return false;
    // The writer thread writes the descriptor itself, in whole packets: no stream buffer.
    std::setvbuf(Filep, nullptr, _IONBF, 0);
    return true;
}

bool Anneau::ferme_donnees()
{
    if (!Filep)
        return true;
    ecrivain.arrete();
    errno = 0;
    const bool ok = std::fclose(Filep) == 0;
    Filep = nullptr;
    return ok;
}
