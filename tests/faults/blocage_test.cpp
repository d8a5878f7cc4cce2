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
    // blocked for longer than the ring (a stopped display, a debugger) costs nothing. The run
    // is open-ended and stopped afterwards; its files are as after any Stop, and the window
    // answers again. A machine too busy to schedule the data path may still lose frames: then
    // the loss is reported and the file shows it, never more than the recorder lost.
    prepare(true);
    rec->set_paced(true);
    w->checkBox_Definie->setChecked(false);
    for (const int bloc_ms : {2600, 10000}) {
        SCOPED_TRACE(bloc_ms);
        const QString nom = QStringLiteral("bloc%1.dat").arg(bloc_ms);
        chemin_choisi = chemin(nom);
        const qsizetype marque = console().size();
        const uint64_t perdues_avant = rec->frames_dropped();
        dans(800, [ms = bloc_ms] { QThread::msleep(ms); });
        // Stopped a second after the window came back.
        dans(800 + bloc_ms + 1000, [this] { w->button_Stop->click(); });
        demarre(bloc_ms + 30000);
        const uint64_t perdues = rec->frames_dropped() - perdues_avant;
        const QString c = console_depuis(marque);
        verifie_apres({.nom = nom, .console = perdues ? QStringList{QStringLiteral("Erreur sur le compteur paquet")} : QStringList{},
                       .rien_perdu = false});

        const QByteArray dat = lit(chemin(nom));
        const uint64_t trames = uint64_t(dat.size()) / (257 * 4);
        const auto *p = reinterpret_cast<const uchar *>(dat.constData());
        uint64_t sauts = 0, sautees = 0;
        for (uint64_t f = 1; f < trames; ++f) {
            const uint32_t ecart = qFromLittleEndian<uint32_t>(p + f * 1028) - qFromLittleEndian<uint32_t>(p + (f - 1) * 1028);
            if (ecart != 1) {
                ++sauts;
                sautees += ecart - 1;
            }
        }
        std::printf("[ measure  ] window blocked %d ms: %llu frames lost, %llu frames on disk\n", bloc_ms,
                    (unsigned long long)perdues, (unsigned long long)trames);
        EXPECT_GT(trames, uint64_t(bloc_ms) * 50); // the frames sampled while the window was blocked are there
        if (perdues == 0) {
            EXPECT_EQ(sauts, 0u);
            EXPECT_FALSE(c.contains(QStringLiteral("Erreur sur le compteur paquet"))) << c.toStdString();
        } else {
            EXPECT_GE(sauts, 1u);
            EXPECT_LE(sautees, perdues);
        }
    }
}
