// A host whose thread stops answering mid-run while the recorder streams in real time into its
// own finite buffer.
#include "tests/faults/verification.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QThread>
#include <QtEndian>

#include <cstdio>

TEST_F(Fautes, WindowThreadBlockedMidRun)
{
    // 257 words at 50 kHz: the ring holds 8 x 8 160 frames (1.31 s), the recorder's buffer 5 ms
    // more. The ring is served by the engine's data path, not the window's thread: a window
    // blocked for longer than the ring (a stopped display, a debugger) loses nothing. The run
    // is open-ended and stopped afterwards; its files are as after any Stop, and the window
    // answers again.
    prepare(true);
    rec->set_paced(true);
    w->checkBox_Definie->setChecked(false);
    for (const int bloc_ms : {2600, 10000}) {
        SCOPED_TRACE(bloc_ms);
        const QString nom = QStringLiteral("bloc%1.dat").arg(bloc_ms);
        chemin_choisi = chemin(nom);
        const uint64_t perdues_avant = rec->frames_dropped();
        QElapsedTimer bloque;
        dans(800, [&] {
            bloque.start();
            QThread::msleep(bloc_ms);
        });
        // Stopped a second after the window came back.
        dans(800 + bloc_ms + 1000, [this] { w->button_Stop->click(); });
        demarre(bloc_ms + 30000);
        const uint64_t perdues = rec->frames_dropped() - perdues_avant;
        verifie_apres({.nom = nom});

        // The counter in the file: unbroken.
        const QByteArray dat = lit(chemin(nom));
        const uint64_t trames = uint64_t(dat.size()) / (257 * 4);
        const auto *p = reinterpret_cast<const uchar *>(dat.constData());
        uint64_t sauts = 0;
        for (uint64_t f = 1; f < trames; ++f)
            sauts += qFromLittleEndian<uint32_t>(p + f * 1028) - qFromLittleEndian<uint32_t>(p + (f - 1) * 1028) != 1;
        std::printf("[ measure  ] window blocked %d ms: %llu frames lost, %llu frames on disk\n", bloc_ms,
                    (unsigned long long)perdues, (unsigned long long)trames);
        EXPECT_EQ(perdues, 0u);
        EXPECT_EQ(sauts, 0u);
        EXPECT_GT(trames, uint64_t(bloc_ms) * 50); // the frames sampled while the window was blocked are there
        EXPECT_FALSE(console().contains(QStringLiteral("Erreur sur le compteur paquet")));
    }
}
