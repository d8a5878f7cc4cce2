#pragma once
// Fault cases against the real window and the emulated recorder, and the checks that follow
// every case: the program still answers, the window is usable, the files on disk agree with
// what the run counted, every byte the recorder sent was kept, and the console said why.
#include "tests/support/emule.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

class Fautes : public FenetreEmulee {
protected:
    // What the case should have left behind.
    struct Attendu {
        QString nom;                // data file in the test's folder; empty: nothing recorded
        bool entete = true;         // header and log written (false: all three files left empty)
        QStringList console = {};   // texts the console must hold
        bool fenetre_ouverte = true;
        bool tout_garde = true;     // every byte the recorder streamed during the run was written
        bool rien_perdu = true;     // the paced recorder's buffer never overflowed (no frame lost)
        bool disque_plein = false;  // the data file stops where the disk filled up, short of what was received
    };

    // Init, the recording switch and the file the save dialog answers; the recorder paced.
    void prepare(bool enregistre, const QString &nom = QStringLiteral("essai.dat"));
    // Clicks Start and returns when the click handler (the whole run) returns. A run still going
    // `garde_ms` after the click is stopped by a watchdog and the test fails.
    void demarre(int garde_ms = 60000);
    // Calls f `ms` milliseconds from now, inside the run's own event processing.
    void dans(int ms, std::function<void()> f);

    void verifie_apres(const Attendu &a);

    static QByteArray lit(const QString &chemin);
    // Open file descriptors of this process.
    static int descripteurs();
    // Resident memory of this process, in KiB.
    static long memoire_ko();

    uint64_t flux_avant = 0; // recorder's stream counter when Start was clicked
    uint64_t perdues_avant = 0; // frames the recorder had lost then
    bool garde_declenchee = false;
};
