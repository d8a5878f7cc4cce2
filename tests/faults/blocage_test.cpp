// A host that stops serving the ring: the window's thread blocked mid-run while the recorder
// streams in real time into its own finite buffer.
#include "tests/faults/verification.h"

#include <QDoubleSpinBox>
#include <QThread>
#include <QtEndian>

#include <cstdio>

TEST_F(Fautes, WindowThreadBlockedMidRun)
{
    // 257 words at 50 kHz: the ring holds 8 x 8 160 frames (1.31 s), the recorder's buffer 5 ms
    // more. A block longer than that loses frames; a shorter one loses none on an idle machine,
    // but a busy one may hold the thread longer. Whatever was lost is reported (the counter check
    // finds the first gap and the run stops) and the file shows it: its counter jumps where
    // frames were lost, by no more than the recorder lost; a run that lost nothing is whole.
    prepare(true);
    rec->set_paced(true);
    w->numericUpDown_Duree->setValue(4.0);
    for (const auto &[bloc_ms, perte_sure] : {std::pair{600, false}, {1800, true}, {2600, true}}) {
        SCOPED_TRACE(bloc_ms);
        const QString nom = QStringLiteral("bloc%1.dat").arg(bloc_ms);
        chemin_choisi = chemin(nom);
        const qsizetype marque = console().size();
        const uint64_t perdues_avant = rec->frames_dropped();
        dans(800, [ms = bloc_ms] { QThread::msleep(ms); });
        demarre(30000);
        const uint64_t perdues = rec->frames_dropped() - perdues_avant;
        const bool perte = perdues > 0;
        const QString c = console_depuis(marque);
        QStringList messages;
        if (perte)
            messages << QStringLiteral("Erreur sur le compteur paquet") << QStringLiteral("Acquisition stoppée avant la fin");
        verifie_apres({.nom = nom, .console = messages, .rien_perdu = false});

        // The counter in the file: unbroken but where frames were lost.
        const QByteArray dat = lit(chemin(nom));
        const uint64_t trames = uint64_t(dat.size()) / (257 * 4);
        const auto *p = reinterpret_cast<const uchar *>(dat.constData());
        uint64_t sauts = 0, sautees = 0, premier_saut = 0;
        for (uint64_t f = 1; f < trames; ++f) {
            const uint32_t ecart = qFromLittleEndian<uint32_t>(p + f * 1028) - qFromLittleEndian<uint32_t>(p + (f - 1) * 1028);
            if (ecart != 1) {
                if (sauts++ == 0)
                    premier_saut = f;
                sautees += ecart - 1;
            }
        }
        std::printf("[ measure  ] window blocked %d ms: %llu frames lost, high-water %llu bytes\n", bloc_ms,
                    (unsigned long long)perdues, (unsigned long long)rec->device_buffer_high_water());
        if (perte_sure) {
            EXPECT_TRUE(perte);
        }
        if (!perte) {
            EXPECT_EQ(c.count(QStringLiteral("Erreur sur le compteur paquet")), 0) << c.toStdString();
            EXPECT_EQ(sauts, 0u);
            EXPECT_EQ(w->anneau.ntw.load(), 257ull * 4 * 200000);
            continue;
        }
        EXPECT_GE(sauts, 1u);
        EXPECT_LE(sautees, perdues);
        // The check looks at the first frame that begins in each packet: the first packet whose
        // first frame lies past the first gap reports it.
        uint32_t paquet = 1;
        while ((uint64_t(paquet) * 2097152 + 256) / 257 < premier_saut)
            ++paquet;
        EXPECT_TRUE(c.contains(QStringLiteral("\r\nErreur sur le compteur paquet : %1\r\n").arg(paquet))) << c.toStdString();
    }
}
