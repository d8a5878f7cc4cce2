// The window against the recorder on a host as strict as Linux: the data of a transfer in
// ordinary memory are seen only when it is reaped, device memory is filled in place, and a
// recorder may stop answering its vendor requests.
#include "tests/support/emule.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <QtEndian>

#include <fcntl.h>
#include <unistd.h>

class Hote : public FenetreEmulee {
protected:
    // `faisceaux` whole beams with the counter (0: the counter and microphone 0.0).
    void choisit_voies(int faisceaux)
    {
        if (!w->paq_T->isChecked())
            clic(w->paq_T); // every microphone ticked, then none
        clic(w->paq_T);
        for (int b = 0; b < faisceaux; ++b)
            clic(w->faisceaux_T[b]);
        if (faisceaux == 0)
            clic(w->grid[0][0]);
    }
};

TEST_F(Hote, TriggerFiredFiveSecondsAfterStartStreamsFromTheFrameAfterIt)
{
    // At 2 kHz with 33 words one 8 MiB transfer takes 32 s to fill: the trigger must be seen
    // without waiting for it. Each run stops soon after it streams.
    const struct {
        int entree, faisceaux, nb_voies;
        bool memoire;
    } cas[] = {{16, 4, 33, false}, {16, 4, 33, true}, {0, 32, 257, false}, {0, 32, 257, true}};
    initialise_ok();
    rec->set_paced(true);
    w->checkBox_Record->setChecked(true);
    w->checkBox_Definie->setChecked(false);
    w->radioButton_Start_Trig1->setChecked(true);
    const int essai = ::open(QFile::encodeName(chemin(QStringLiteral("o_direct"))).constData(), O_WRONLY | O_CREAT | O_DIRECT, 0644);
    const bool direct_possible = essai >= 0 && ::close(essai) == 0;
    int n = 0;
    for (const auto &c : cas) {
        if (c.memoire && !emu::Recorder::device_memory_possible())
            continue;
        SCOPED_TRACE(testing::Message() << c.nb_voies << " words, device memory " << c.memoire);
        rec->set_device_memory(c.memoire);
        choisit_frequence(c.entree);
        choisit_voies(c.faisceaux);
        chemin_choisi = chemin(QStringLiteral("d%1.dat").arg(n++));
        QElapsedTimer t;
        qint64 declenche_ms = -1, vu_ms = -1;
        bool memoire = false, direct = false;
        QTimer::singleShot(5000, w.get(), [&] {
            declenche_ms = t.elapsed();
            rec->fire_trigger(1);
        });
        QTimer sonde;
        QObject::connect(&sonde, &QTimer::timeout, w.get(), [&] {
            if (vu_ms < 0 && w->moteur.diagnostic().paquets > 0) {
                vu_ms = t.elapsed();
                memoire = w->moteur.diagnostic().memoire_appareil;
                QTimer::singleShot(300, w.get(), [&] {
                    direct = w->moteur.diagnostic().ecriture_directe;
                    w->button_Stop->click();
                });
            }
        });
        sonde.start(1);
        const qsizetype marque = console().size();
        t.start();
        clic(w->button_Start);
        sonde.stop();
        const QString c_run = console_depuis(marque);
        EXPECT_FALSE(c_run.contains(QStringLiteral("Temps d'attente dépassé"))) << c_run.toStdString();
        EXPECT_TRUE(c_run.contains(QStringLiteral(" échantillons\r\n"))) << c_run.toStdString();
        ASSERT_TRUE(declenche_ms >= 0 && vu_ms >= declenche_ms);
        EXPECT_EQ(memoire, c.memoire);
        EXPECT_EQ(direct, direct_possible) << "the short first packet keeps the data file's writes direct";
        std::printf("[ measure  ] %d words at entry %d, device memory %d: trigger to first data %lld ms\n",
                    c.nb_voies, c.entree, int(c.memoire), static_cast<long long>(vu_ms - declenche_ms));
        // The data begin with the frame sampled at the trigger, and go on unbroken.
        QFile f(chemin_choisi);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray d = f.readAll();
        const qsizetype trame = c.nb_voies * 4;
        ASSERT_GE(d.size(), 2 * trame);
        const auto *p = reinterpret_cast<const uchar *>(d.constData());
        for (qsizetype i = 0; i + trame <= d.size(); i += trame)
            ASSERT_EQ(qFromLittleEndian<uint32_t>(p + i), uint32_t(i / trame)) << "frame " << i / trame;
        EXPECT_EQ(rec->frames_dropped(), 0u);
        EXPECT_EQ(rec->usbfs_in_use(), 0u) << "the ring's memory, device memory included, is given back";
    }
}

TEST_F(Hote, RequestUnansweredDuringARunHoldsTheWindowSecondsNotTheRingTime)
{
    // 2 kHz with the counter and one microphone: the ring holds 70 min of data, and its
    // transfers wait as long. A Stop the recorder does not answer comes back in seconds.
    initialise_ok();
    rec->set_paced(true);
    w->checkBox_Record->setChecked(false);
    w->checkBox_Definie->setChecked(false);
    choisit_frequence(16);
    choisit_voies(0);
    qint64 duree_stop = -1;
    QString ligne;
    QTimer::singleShot(800, w.get(), [&] {
        rec->fault_controls_unanswered(true);
        const qsizetype marque = console().size();
        QElapsedTimer t;
        t.start();
        w->button_Stop->click();
        duree_stop = t.elapsed();
        ligne = console_depuis(marque);
        rec->fault_controls_unanswered(false);
        // the recorder answers again: the next Stop ends the run
        QTimer::singleShot(200, w.get(), [&] { w->button_Stop->click(); });
    });
    clic(w->button_Start);
    EXPECT_GT(w->moteur.diagnostic().timeout_ms, 60 * 60 * 1000);
    EXPECT_GE(duree_stop, 0);
    EXPECT_LT(duree_stop, 5000);
    EXPECT_TRUE(ligne.startsWith(QStringLiteral("Le Velmarix ne répond pas : requête B1h sans réponse après 2000 ms."))) << ligne.toStdString();
    EXPECT_TRUE(console().contains(QStringLiteral(" échantillons\r\n")));
}
