// A data file slower than the recorder: the writer stalls (a seam of the writer thread), and
// the reserve in memory rides it out, or stops the run before any frame is lost.
#include "tests/faults/verification.h"

#include "acquisition/ecrivain.h"
#include "recording/description.h"

#include <QDoubleSpinBox>
#include <QLabel>
#include <QTimer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <QtEndian>

#include <atomic>
#include <sys/stat.h>


namespace {

const QString MOITIE = QStringLiteral("Le disque est plus lent que l'enregistreur : la réserve en mémoire est à moitié pleine");
const QString PLEINE = QStringLiteral("Réserve en mémoire pleine à 90 % : le disque ne suit pas, arrêt de l'acquisition.");

class Reserve : public Fautes {
protected:
    void TearDown() override
    {
        Ecrivain::avant_ecriture = nullptr;
        moteur::Moteur::memoire_physique_hook = nullptr;
        Fautes::TearDown();
    }
    // The writer stops for `ms` before its first write; the reserve holds `paquets` packets.
    void cale(int ms, uint32_t paquets = 0)
    {
        Ecrivain::avant_ecriture = [ms](uint64_t position) {
            if (position == 0)
                QThread::msleep(ms);
        };
        if (paquets)
            moteur::Moteur::memoire_physique_hook = [paquets] { return 4ull * paquets * Principale::TAILLE_PAQUET; };
    }
    // Paced run of all microphones at 50 kHz.
    void lance(double secondes, const QString &nom = QStringLiteral("essai.dat"))
    {
        prepare(true, nom);
        rec->set_paced(true);
        w->numericUpDown_Duree->setValue(secondes);
        demarre(90000);
    }
};

} // namespace

TEST_F(Reserve, StallsShorterThanTheReserveLoseNothing)
{
    for (int ms : {500, 5000}) {
        SCOPED_TRACE(ms);
        cale(ms);
        const QString nom = QStringLiteral("essai%1.dat").arg(ms);
        lance(ms / 1000.0 + 2.0, nom);
        verifie_apres({.nom = nom});
        EXPECT_EQ(w->moteur.diagnostic().octets_ecrits, 257ull * 4 * w->moteur.diagnostic().count);
        const QString c = console();
        EXPECT_FALSE(c.contains(QStringLiteral("Erreur sur le compteur"))) << c.toStdString();
        EXPECT_FALSE(c.contains(MOITIE));
        EXPECT_GE(w->moteur.diagnostic().file_max, uint32_t(ms * 51.4e3 / Principale::TAILLE_PAQUET) - 1)
            << "the stall did not hold the queue";
    }
}

// Closing the window (or a signal) while the queue is written out after a run that ended by
// itself waits for the files: no stop goes to a recorder that has finished. Meanwhile the
// window answers and, once the disk has taken nothing for a while, says so.
TEST_F(Reserve, ClosingWhileTheQueueIsWrittenOutLetsTheRunEndByItself)
{
    cale(7000);
    QTimer guette;
    bool ferme = false;
    QObject::connect(&guette, &QTimer::timeout, [&] {
        if (!ferme && w->label_Duree_Ecoulee->text() == QStringLiteral("Attente du disque : 5 s")) {
            ferme = true;
            w->close();
        }
    });
    guette.start(20);
    lance(1.0);
    ASSERT_TRUE(ferme) << "the wait for the disk was never shown";
    verifie_apres({.nom = QStringLiteral("essai.dat"), .fenetre_ouverte = false});
    EXPECT_EQ(w->moteur.diagnostic().octets_ecrits, 257ull * 4 * w->moteur.diagnostic().count);
    EXPECT_FALSE(console().contains(QStringLiteral("Acquisition stoppée avant la fin"))) << console().toStdString();
}

// The header and log on disk follow the data file write by write, through the write-out after
// the stop too: never ahead of what the file holds (they count bytes written, not received),
// never more than a period behind; and the log's room is reserved from the start.
TEST_F(Reserve, TheDescriptionFollowsEveryWriteToTheLastOne)
{
    std::atomic<int> apres_le_flux{0};
    Ecrivain::avant_ecriture = [&](uint64_t position) {
        struct stat st {};
        ::stat(QFile::encodeName(chemin(QStringLiteral("essai.log"))).constData(), &st);
        EXPECT_GE(st.st_blocks * 512, st.st_size + description::MARGE_LOG) << "the log's room is not reserved";
        QThread::msleep(1000); // two periods of the description
        const QByteArray h = lit(chemin(QStringLiteral("essai.Vlx")));
        ASSERT_EQ(h.size(), TAILLE_HEADER);
        EXPECT_EQ(qFromLittleEndian<uint32_t>(h.constData() + 1064), position / (257 * 4)) << "nb_ech at byte " << position;
        apres_le_flux += rec->streaming() ? 0 : 1;
    };
    lance(1.0);
    verifie_apres({.nom = QStringLiteral("essai.dat")});
    EXPECT_GE(apres_le_flux.load(), 1) << "nothing was left to write after the stream";
}

TEST_F(Reserve, StallLongerThanTheReserveStopsTheRunAndKeepsEveryFrame)
{
    cale(6000, 20); // 20 packets: 3.3 s of the stream
    lance(20.0);
    verifie_apres({.nom = QStringLiteral("essai.dat"), .console = {MOITIE, PLEINE, QStringLiteral("Acquisition stoppée avant la fin")}});
    EXPECT_LT(w->moteur.diagnostic().octets_recus, 257ull * 4 * w->moteur.diagnostic().count);
    EXPECT_EQ(console().count(MOITIE), 1);
    EXPECT_EQ(console().count(PLEINE), 1);
    EXPECT_FALSE(console().contains(QStringLiteral("Erreur sur le compteur")));
}

TEST_F(Reserve, DiskFullWithAFullReserve)
{
    cale(6000, 20);
    DisquePlein plein(50ull * 1000 * 1000, chemin(QStringLiteral("plein")));
    lance(20.0, QStringLiteral("plein/essai.dat"));

    const QString c = console();
    EXPECT_TRUE(c.contains(PLEINE)) << c.toStdString();
    EXPECT_EQ(c.count(QStringLiteral("Erreur d'écriture du fichier de données")), 1) << c.toStdString();
    // The file holds the unbroken start of the stream, and the header says how much.
    const qint64 taille = QFileInfo(chemin(QStringLiteral("plein/essai.dat"))).size();
    EXPECT_EQ(taille, qint64(w->moteur.diagnostic().octets_ecrits));
    EXPECT_LE(taille, 50 * 1000 * 1000);
    EXPECT_GT(taille, 40 * 1000 * 1000);
    EXPECT_LT(w->moteur.diagnostic().octets_ecrits, w->moteur.diagnostic().octets_recus);
    EXPECT_FALSE(w->moteur.diagnostic().run_en_cours);
    EXPECT_TRUE(etat_repos());
    const QByteArray h = lit(chemin(QStringLiteral("plein/essai.Vlx")));
    ASSERT_EQ(h.size(), TAILLE_HEADER);
    std::array<uint8_t, TAILLE_HEADER> b{};
    std::memcpy(b.data(), h.constData(), TAILLE_HEADER);
    EXPECT_EQ(deserialise(b).nb_ech, uint32_t(w->moteur.diagnostic().octets_ecrits / 4 / 257));
    verifie_apres({.nom = QStringLiteral("plein/essai.dat"), .disque_plein = true}); // the log too
}

TEST_F(Reserve, RecorderVanishesWhileTheReserveHoldsData)
{
    cale(2500);
    prepare(true);
    rec->set_paced(true);
    w->numericUpDown_Duree->setValue(10.0);
    dans(1500, [this] { rec->fault_vanish_at_byte(rec->bytes_streamed() + 1000000); });
    demarre(60000);
    verifie_apres({.nom = QStringLiteral("essai.dat"),
                   .console = {QStringLiteral("Le Velmarix a disparu du bus USB")}});
    EXPECT_GT(w->moteur.diagnostic().file_max, 2u) << "the queue held nothing when the recorder left";
}

TEST_F(Reserve, UnpacedRecorderFasterThanTheDiskWaitsForIt)
{
    // The writer holds its first packet until the queue holds more than the reserve, and a
    // second more (the ring has no free buffer meanwhile), then writes at the disk's speed. At
    // 5 kHz the recorder's own rate is 5 MB/s: the unpaced recorder fills the reserve far faster
    // than a real-time one could, even slowed many times by a loaded machine, so the ring waits
    // for free buffers instead of stopping the run.
    Ecrivain::avant_ecriture = [this](uint64_t position) {
        QElapsedTimer t;
        t.start();
        while (position == 0 && w->moteur.instantane().reserve <= 1.0 && t.elapsed() < 60000) // the writer's thread: the snapshot
            QThread::msleep(5);
        if (position == 0)
            QThread::msleep(1000);
    };
    moteur::Moteur::memoire_physique_hook = [] { return 4ull * 20 * Principale::TAILLE_PAQUET; };
    prepare(true);
    rec->set_paced(false);
    choisit_frequence(12);
    w->numericUpDown_Duree->setValue(120.0);
    demarre(120000);
    verifie_apres({.nom = QStringLiteral("essai.dat")});
    EXPECT_EQ(w->moteur.diagnostic().octets_ecrits, 257ull * 4 * w->moteur.diagnostic().count);
    EXPECT_FALSE(console().contains(PLEINE));
    // The queue held more than the reserve: the ring's own eight buffers come on top of it.
    EXPECT_GT(w->moteur.diagnostic().file_max, w->moteur.diagnostic().capacite);
}
