// What the engine shows of its state (Moteur::diagnostic) and the seams its tests act through.
#include "acquisition/moteur_impl.h"

#include <QFile>

namespace moteur {

Diagnostic Moteur::diagnostic() const
{
    const Impl &m = *d;
    const Anneau &a = m.anneau;
    Diagnostic g;
    g.lien = m.initialisation_FX3();
    g.initialisation = m.initialisation;
    g.clock_def = m.clock_def;
    g.count_def = m.count_def;
    g.num_freq = m.num_freq;
    g.frequence = m.frequence;
    g.duree_max = m.duree_max;
    g.count = m.count;
    g.n_pkt = m.n_pkt;
    g.timeout_ms = m.TimeOut;
    g.trames_max = m.trames_max;
    g.nb_voies = m.nb_voies();
    g.nb_micros = m.nb_micros();
    g.micros = m.disposition.mics;
    g.compteur = m.compteur;
    g.record = m.record;
    g.test = m.test;

    g.run_en_cours = m.run_en_cours;
    g.started = m.started;
    g.stopped = m.stopped;
    g.bilan = m.bilan;

    // While the data path runs, the ring is its own: what it last published.
    const bool flux = m.fil_donnees.joinable();
    g.octets_recus = flux ? a.etat.ntr.load() : a.ntr;
    g.octets_ecrits = a.ntw.load();
    g.paquets = flux ? a.etat.num_pkt.load() : a.num_pkt;
    g.en_vol = flux ? -1 : a.en_vol;
    for (int i = 0; i < Anneau::NB_SLOTS_MAX && !flux; ++i) {
        g.transferts_alloues += a.transfert[i] != nullptr;
        g.tampons_alloues += a.buffers[i] != nullptr;
    }
    g.fini = a.etat.fini.load();
    g.flux_termine = !flux && a.flux_termine();
    g.memoire_appareil = a.memoire_appareil();
    g.ecriture_directe = a.ecrivain.direct.load();
    g.file_max = a.ecrivain.file_max();
    g.en_file = a.ecrivain.en_file();
    g.capacite = a.ecrivain.capacite();
    g.cpu_donnees_ns = a.etat.cpu_donnees_ns.load();
    g.cpu_ecriture_ns = a.ecrivain.cpu_ns.load();

    g.fichiers_ouverts = m.file_open;
    g.nom_fichier = m.acqui_name;
    g.donnees_ouvert = a.Filep != nullptr;
    g.entete_ouvert = m.Mu != nullptr;
    g.log_ouvert = m.log != nullptr;
    g.entete = m.header_file;
    g.commentaire = m.commentaire;
    return g;
}

void Moteur::plafonne_trames(uint32_t trames)
{
    d->trames_max = trames;
}

void Moteur::decrit(const type_header_file &entete, const FrameLayout &disposition)
{
    d->header_file = entete;
    d->disposition = disposition;
}

} // namespace moteur
