// Whole runs through the real window against the emulated recorder: planning, streaming,
// stop, trigger wait, abort, end of run and the three files.
#include "tests/support/emule.h"

#include "acquisition/planning.h"

#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTimer>
#include <QtEndian>

#include <csignal>
#include <sys/resource.h>

namespace {

QByteArray lit(const QString &chemin)
{
    QFile f(chemin);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// Every complete frame's word 0 grows by one from the first frame on; returns the number of
// complete frames.
uint64_t verifie_compteur(const QByteArray &dat, int nb_voies)
{
    const uint64_t trame = uint64_t(nb_voies) * 4;
    const uint64_t n = uint64_t(dat.size()) / trame;
    if (n == 0)
        return 0;
    const auto *p = reinterpret_cast<const uchar *>(dat.constData());
    const uint32_t premier = qFromLittleEndian<uint32_t>(p);
    for (uint64_t i = 1; i < n; ++i) {
        const uint32_t v = qFromLittleEndian<uint32_t>(p + i * trame);
        if (v != premier + uint32_t(i)) {
            ADD_FAILURE() << "counter broken at frame " << i << ": " << v << " instead of " << premier + uint32_t(i);
            break;
        }
    }
    return n;
}

} // namespace

class Run : public FenetreEmulee {
protected:
    // Init, the recording switch and the name the save dialog answers.
    void prepare(bool enregistre, const QString &nom = QStringLiteral("essai.dat"))
    {
        initialise_ok();
        w->checkBox_Record->setChecked(enregistre);
        chemin_choisi = chemin(nom);
    }
    // Clicks a button `ms` milliseconds from now (inside the run's own event processing).
    void clic_dans(int ms, QAbstractButton *b)
    {
        QTimer::singleShot(ms, w.get(), [b] { b->click(); });
    }
    type_header_file entete(const QString &nom)
    {
        const QByteArray b = lit(chemin(nom));
        EXPECT_EQ(b.size(), TAILLE_HEADER);
        std::array<uint8_t, TAILLE_HEADER> a{};
        if (b.size() == TAILLE_HEADER)
            std::memcpy(a.data(), b.constData(), TAILLE_HEADER);
        return deserialise(a);
    }
    bool repos() const
    {
        return etat_repos() && !w->moteur.diagnostic().run_en_cours && !w->moteur.diagnostic().started && w->button_Init->isEnabled() && w->button_Start->isEnabled();
    }
};

TEST_F(Run, FiveSecondsOfAllMicrophonesAt50kHz)
{
    prepare(true);
    w->checkBox_Test->setChecked(true);
    clic(w->button_Start);

    EXPECT_TRUE(alertes.isEmpty()) << alertes.join("|").toStdString();
    EXPECT_EQ(w->moteur.diagnostic().nb_voies, 257);
    EXPECT_EQ(w->moteur.diagnostic().count, 250000u);
    EXPECT_EQ(w->moteur.diagnostic().n_pkt, 31u);
    EXPECT_EQ(w->moteur.diagnostic().octets_recus, 257000000u);
    EXPECT_EQ(w->moteur.diagnostic().octets_ecrits, 257000000u);
    EXPECT_EQ(w->moteur.diagnostic().paquets, 38u); // 31 packets and 7 cancellations
    EXPECT_EQ(w->moteur.diagnostic().timeout_ms, 2305);
    EXPECT_EQ(w->moteur.diagnostic().en_vol, 0);
    EXPECT_EQ(rec->pending_transfers(), 0);

    const QString c = console();
    const QString s = QLocale().groupSeparator();
    EXPECT_TRUE(c.contains(QStringLiteral("\r\nNb_voies (micros+compteur) : 257\r\n")));
    EXPECT_TRUE(c.contains(QStringLiteral("Durée : 5,0 s, nb échantillons : 250") + s + QStringLiteral("000\r\n")));
    EXPECT_TRUE(c.contains(QStringLiteral("257%1000%1000 octets, soit 30 paquets de 8%1388%1608 octets et un paquet de 5%1341%1760 octets\r\n")
                               .replace(QStringLiteral("%1"), s)))
        << c.toStdString();
    EXPECT_TRUE(c.contains(QStringLiteral("TimeOut = 2") + s + QStringLiteral("305 ms\r\n")));
    // Completion 30, in slot 6, carries the last 5 341 760 bytes and ends the stream; slots
    // 7, 0, 1, ..., 5 are then cancelled.
    EXPECT_TRUE(c.contains(QStringLiteral(" 30  - 3") + s + QStringLiteral("046") + s + QStringLiteral("848 octets de moins qu'un paquet\r\n   fin en cours \r\n")))
        << c.toStdString();
    EXPECT_TRUE(c.contains(QStringLiteral(" 31  status == LIBUSB_TRANSFER_CANCELLED -> Tâche 7 annulée \r\n")));
    EXPECT_TRUE(c.contains(QStringLiteral(" 37  status == LIBUSB_TRANSFER_CANCELLED -> Tâche 5 annulée \r\n")));
    EXPECT_TRUE(c.contains(QStringLiteral("Fin du transfert : 245,1 Mo en "))) << c.toStdString();
    EXPECT_FALSE(c.contains(QStringLiteral("Manquent")));
    EXPECT_FALSE(c.contains(QStringLiteral("Erreur sur le compteur")));

    // The three files.
    const QByteArray dat = lit(chemin("essai.dat"));
    EXPECT_EQ(dat.size(), 257000000);
    EXPECT_EQ(verifie_compteur(dat, 257), 250000u);
    const type_header_file h = entete("essai.Vlx");
    EXPECT_EQ(h.nb_ech, 250000u);
    EXPECT_FLOAT_EQ(h.duree_acquise, 5.0f);
    EXPECT_FLOAT_EQ(h.freq, 50000.0f);
    EXPECT_EQ(h.compteurs_actifs[0], 1);
    EXPECT_EQ(h.micros_actifs[31][7], 1);
    EXPECT_EQ(h.type_float, 0);
    const QString log = QString::fromUtf8(lit(chemin("essai.log")));
    EXPECT_TRUE(log.contains(QStringLiteral("Nb_ech = 250000\r\n")));
    EXPECT_TRUE(log.contains(QStringLiteral("Nb_voies = 257\r\n")));

    // Back to idle, the files closed: the next recorded start asks for a new file.
    EXPECT_TRUE(repos());
    EXPECT_FALSE(w->moteur.diagnostic().fichiers_ouverts);
    EXPECT_FALSE(w->button_Stop->isVisible());
    EXPECT_FALSE(w->panel_Progress->isVisible());
    EXPECT_TRUE(w->grid[0][0]->isVisible());
    EXPECT_FALSE(w->grid_n[0][0]->isVisible());
}

TEST_F(Run, CommandsOfAStartInOrder)
{
    prepare(false);
    w->checkBox_Definie->setChecked(true);
    w->numericUpDown_Duree->setValue(0.5);
    rec->clear_requests();
    clic(w->button_Start);
    std::vector<std::string> attendu;
    for (int b = 0; b < 32; ++b) {
        char t[32];
        std::snprintf(t, sizeof t, "B3:05 00 %02X FF", b);
        attendu.push_back(t);
    }
    attendu.push_back("B3:05 00 FF 80");
    attendu.push_back("B1:01 09");            // first start after Init applies the frequency
    attendu.push_back("B1:07 0A");
    attendu.push_back("B4:04 A8 61 00 00");   // 25 000 frames
    attendu.push_back("B1:09 00");            // integer samples
    attendu.push_back("B1:02 00");            // start, software trigger
    EXPECT_EQ(requetes(), attendu);
    EXPECT_TRUE(repos());

    // A second start with nothing changed sends neither frequency nor count again.
    rec->clear_requests();
    w->radioButton_Float->setChecked(true);
    clic(w->button_Start);
    const auto r = requetes();
    ASSERT_EQ(r.size(), 35u);
    EXPECT_EQ(r[33], "B1:09 01");
    EXPECT_EQ(r[34], "B1:02 00");
    EXPECT_TRUE(rec->float_samples());
}

TEST_F(Run, StoppedMidwayCountsOnlyCompleteFrames)
{
    prepare(true);
    rec->set_paced(true);
    w->numericUpDown_Duree->setValue(20.0);
    clic_dans(1500, w->button_Stop);
    clic(w->button_Start);

    EXPECT_EQ(requetes().back(), "B1:03 00"); // the stop, and nothing after it
    const QString c = console();
    EXPECT_TRUE(c.contains(QStringLiteral("\r\nAcquisition stoppée avant la fin\r\n")));
    EXPECT_TRUE(c.contains(QStringLiteral(" échantillons\r\n"))) << c.toStdString();
    EXPECT_FALSE(c.contains(QStringLiteral("Manquent")));
    const QByteArray dat = lit(chemin("essai.dat"));
    EXPECT_GT(dat.size(), 0);
    EXPECT_EQ(uint64_t(dat.size()), w->moteur.diagnostic().octets_ecrits);
    EXPECT_LT(uint64_t(dat.size()), 257ull * 4 * 1000000);
    const uint64_t trames = verifie_compteur(dat, 257);
    EXPECT_EQ(entete("essai.Vlx").nb_ech, trames);
    EXPECT_FLOAT_EQ(entete("essai.Vlx").duree_acquise, float(trames) / 50000.0f);
    EXPECT_TRUE(repos());
}

TEST_F(Run, ExternalStartTriggerFiredByTheRecorder)
{
    prepare(true);
    w->numericUpDown_Duree->setValue(1.0);
    w->radioButton_Start_Trig1->setChecked(true);
    w->radioButton_Start_FD->setChecked(true);
    bool abort_visible = false;
    QTimer::singleShot(400, w.get(), [&] {
        abort_visible = w->button_Abort->isVisible() && w->button_Abort->isEnabled();
        rec->fire_trigger(1);
    });
    clic(w->button_Start);
    EXPECT_TRUE(abort_visible);
    EXPECT_EQ(rec->start_trigger(), 0x41);
    EXPECT_TRUE(console().contains(QStringLiteral("Le déclenchement doit intervenir avant 30 s \r\n")));
    EXPECT_EQ(w->moteur.diagnostic().octets_ecrits, 257ull * 4 * 50000);
    EXPECT_EQ(entete("essai.Vlx").nb_ech, 50000u);
    EXPECT_EQ(w->moteur.diagnostic().timeout_ms, 2305); // recomputed without the trigger margin
    EXPECT_FALSE(w->button_Abort->isVisible());
    EXPECT_TRUE(repos());
}

TEST_F(Run, AbortWhileWaitingForTheTriggerKeepsEmptyFiles)
{
    prepare(true);
    w->checkBox_Test->setChecked(true);
    w->radioButton_Start_Trig2->setChecked(true);
    int32_t timeout_attente = 0;
    QTimer::singleShot(300, w.get(), [&] {
        timeout_attente = w->moteur.diagnostic().timeout_ms;
        w->button_Abort->click();
    });
    rec->clear_requests();
    clic(w->button_Start);
    // Requests after the run wait as long as the run's own did, as after any run.
    EXPECT_GT(timeout_attente, 30000);
    EXPECT_EQ(w->moteur.diagnostic().timeout_ms, timeout_attente);
    const QString c = console();
    EXPECT_TRUE(c.contains(QStringLiteral("  Aborted\r\n")));
    EXPECT_TRUE(c.contains(QStringLiteral("\r\nReset B0\r\nAcquisition arrêtée avant le déclenchement \r\n")));
    EXPECT_TRUE(c.contains(QStringLiteral("Anulation du transfert 0 retour 0 \r\n")));
    EXPECT_EQ(requetes().back(), "B0:00");
    for (const char *nom : {"essai.dat", "essai.Vlx", "essai.log"}) {
        EXPECT_TRUE(QFileInfo::exists(chemin(nom))) << nom;
        EXPECT_EQ(QFileInfo(chemin(nom)).size(), 0) << nom;
    }
    EXPECT_FALSE(w->moteur.diagnostic().fichiers_ouverts);
    EXPECT_TRUE(repos());
    EXPECT_EQ(w->moteur.diagnostic().en_vol, 0);
    EXPECT_EQ(rec->pending_transfers(), 0);

    // The next recorded start asks for a file again.
    const int avant = dialogues;
    chemin_choisi.clear();
    clic(w->button_Start);
    EXPECT_EQ(dialogues, avant + 1);
    EXPECT_EQ(alertes.back(), QStringLiteral("Alerte : Pas de fichier choisi\r\n"));
}

TEST_F(Run, TriggerThatNeverComesIsAbandonedAfterThirtySeconds)
{
    prepare(true);
    w->radioButton_Start_Trig1->setChecked(true);
    int32_t timeout_attente = 0;
    QTimer::singleShot(1000, w.get(), [&] { timeout_attente = w->moteur.diagnostic().timeout_ms; });
    clic(w->button_Start);
    EXPECT_GT(timeout_attente, 30000);
    EXPECT_EQ(w->moteur.diagnostic().timeout_ms, timeout_attente);
    const QString c = console();
    EXPECT_TRUE(c.contains(QStringLiteral("Temps d'attente dépassé...    Acquisition arrêtée avant le déclenchement \r\n")))
        << c.toStdString();
    EXPECT_EQ(QFileInfo(chemin("essai.dat")).size(), 0);
    EXPECT_EQ(QFileInfo(chemin("essai.Vlx")).size(), 0);
    EXPECT_FALSE(w->moteur.diagnostic().fichiers_ouverts);
    EXPECT_TRUE(repos());
}

TEST_F(Run, StopArmedOnTriggerThenSoftStop)
{
    prepare(false);
    rec->set_paced(true);
    w->checkBox_Definie->setChecked(false);
    w->radioButton_Stop_Trig1->setChecked(true);
    w->radioButton_Stop_EH->setChecked(true);
    bool groupe_visible = false, stop_visible = false;
    QTimer::singleShot(500, w.get(), [&] {
        groupe_visible = w->groupBox_Stop_Trig_Mode->isVisible();
        w->button_Stop->click();
        stop_visible = w->button_Stop->isVisible();
    });
    clic_dans(1200, w->button_Stop);
    rec->clear_requests();
    clic(w->button_Start);
    EXPECT_TRUE(groupe_visible);
    EXPECT_TRUE(stop_visible);
    EXPECT_TRUE(console().contains(QStringLiteral("Arrêt en attente de trig\r\n")));
    const auto r = requetes();
    EXPECT_NE(std::find(r.begin(), r.end(), "B1:03 81"), r.end());
    EXPECT_NE(std::find(r.begin(), r.end(), "B1:03 00"), r.end());
    EXPECT_TRUE(w->radioButton_Stop_Soft->isChecked());
    EXPECT_TRUE(console().contains(QStringLiteral(" échantillons\r\n")));
    EXPECT_TRUE(repos());
}

TEST_F(Run, CounterJumpStopsTheRunOnce)
{
    prepare(true);
    rec->fault_counter_jump_at_frame(20000);
    w->numericUpDown_Duree->setValue(10.0);
    clic(w->button_Start);
    const QString c = console();
    EXPECT_EQ(c.count(QStringLiteral("Erreur sur le compteur paquet")), 1) << c.toStdString();
    // Frame 20 000 lies in packet 2; the check looks at the first frame of each packet, so
    // packet 3 (whose first frame is frame 24 481) is the first to show the jump.
    EXPECT_TRUE(c.contains(QStringLiteral("\r\nErreur sur le compteur paquet : 3\r\n"))) << c.toStdString();
    EXPECT_EQ(c.count(QStringLiteral("Acquisition stoppée avant la fin")), 1);
    EXPECT_LT(w->moteur.diagnostic().octets_ecrits, 257ull * 4 * 500000);
    EXPECT_EQ(QFileInfo(chemin("essai.dat")).size(), qint64(w->moteur.diagnostic().octets_ecrits));
    EXPECT_TRUE(repos());
}

TEST_F(Run, OpenEndedRunStopsBeforeTheDiskBudget)
{
    prepare(true);
    rec->set_paced(true);
    choisit_frequence(9); // 12 500 Hz: a packet every 0.65 s, so the stop's packet is unambiguous
    w->checkBox_Definie->setChecked(false);
    // 21 packets of room: the budget is 20, and the stop goes out sixteen packets before it,
    // once the recorder has delivered 4 packets' worth of its transfers (about 100 ms each).
    moteur::Moteur::espace_libre_hook = [](const QString &) { return 1000000000ull + 21ull * 8388608; };
    const uint64_t avant = rec->transfers_completed();
    clic(w->button_Start);
    moteur::Moteur::espace_libre_hook = nullptr;
    EXPECT_EQ(w->moteur.diagnostic().n_pkt, 20u);
    const QString c = console();
    EXPECT_TRUE(c.contains(QStringLiteral("\r\n168 Mo disponibles sur le disque, soit "))) << c.toStdString(); // below 1 Go, in Mo
    EXPECT_TRUE(c.contains(QStringLiteral(" échantillons\r\n")));
    const auto r = rec->requests();
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(en_texte(r.back()), "B1:03 00");
    const uint64_t transfert = planning::dimension_anneau(257 * 4 * 12500.0).taille;
    EXPECT_EQ(r.back().transfers_before - avant, (4ull * 8388608 + transfert - 1) / transfert);
    EXPECT_GE(w->moteur.diagnostic().octets_ecrits, 4ull * 8388608);
    EXPECT_LT(w->moteur.diagnostic().octets_ecrits, 5ull * 8388608);
    EXPECT_EQ(QFileInfo(chemin("essai.dat")).size(), qint64(w->moteur.diagnostic().octets_ecrits));
    EXPECT_TRUE(repos());
}

// Many completions reaped in one event-handling call (a recorder as fast as the host): the
// data file takes no frame past what its header counts (2^32 - 1, lowered here to a few of the
// run's transfers, so the stop comes late, as it does then).
TEST_F(Run, TheDataFileNeverHoldsMoreFramesThanTheHeaderCounts)
{
    prepare(true);
    clic(w->paq_T); // one microphone and the counter: 8-byte frames
    clic(w->grid[0][0]);
    w->checkBox_Definie->setChecked(false);
    w->moteur.plafonne_trames(3 * planning::dimension_anneau(8 * 50000.0).taille / 8 + 1000);
    clic(w->button_Start);
    EXPECT_GT(w->moteur.diagnostic().octets_recus, 8ull * w->moteur.diagnostic().trames_max);
    const QByteArray dat = lit(chemin("essai.dat"));
    EXPECT_EQ(verifie_compteur(dat, 2) * 8, uint64_t(dat.size()));
    EXPECT_EQ(entete("essai.Vlx").nb_ech * 8ull, uint64_t(dat.size()));
    EXPECT_EQ(uint64_t(dat.size()), 8ull * w->moteur.diagnostic().trames_max);
    EXPECT_EQ(console().count(QStringLiteral("Nombre maximal d'échantillons d'un fichier")), 1);
    // The frames the recorder sent past the cap were never asked for: nothing is lost.
    EXPECT_TRUE(w->moteur.diagnostic().bilan.plafond);
    EXPECT_FALSE(w->moteur.diagnostic().bilan.donnees_perdues);
}

// Init pressed again after a file was chosen drops the choice, and says so.
TEST_F(Run, InitAfterAFileChoiceSaysTheChoiceIsDropped)
{
    prepare(true);
    clic(w->button_Fichier);
    ASSERT_TRUE(w->moteur.diagnostic().fichiers_ouverts);
    clic(w->button_Init);
    EXPECT_FALSE(w->moteur.diagnostic().fichiers_ouverts);
    EXPECT_TRUE(console().contains(QStringLiteral("Fichier %1 abandonné par l'initialisation").arg(chemin("essai.dat"))))
        << console().toStdString();
}

TEST_F(Run, RefusedWhenTheDiskCannotHoldTheRun)
{
    prepare(true);
    // Open-ended with room for fewer than 17 packets: refused instead of filling the disk.
    w->checkBox_Definie->setChecked(false);
    moteur::Moteur::espace_libre_hook = [](const QString &) { return 1000000000ull + 10ull * 8388608; };
    rec->clear_requests();
    clic(w->button_Start);
    ASSERT_EQ(alertes.size(), 1);
    EXPECT_EQ(alertes[0], QStringLiteral("Alerte : Pas suffisamment de place sur le disque !\r\n"));
    EXPECT_TRUE(console().endsWith(QStringLiteral(" s\r\n")));
    for (const auto &r : requetes())
        EXPECT_NE(r.substr(0, 5), "B1:02") << "the recorder was started";
    EXPECT_TRUE(w->moteur.diagnostic().fichiers_ouverts); // the chosen files stay open for the next start
    EXPECT_TRUE(repos());

    // A fixed duration that does not fit is refused too.
    w->checkBox_Definie->setChecked(true);
    w->numericUpDown_Duree->setValue(300.0);
    moteur::Moteur::espace_libre_hook = [](const QString &) { return 1000000000ull + 1000ull * 8388608; };
    clic(w->button_Start);
    moteur::Moteur::espace_libre_hook = nullptr;
    EXPECT_EQ(alertes.size(), 2);
    EXPECT_EQ(QFileInfo(chemin("essai.dat")).size(), 0);
}

TEST_F(Run, NothingSelectedIsRefused)
{
    prepare(false);
    w->checkBox_Test->setChecked(true);
    clic(w->paq_T); // untick every microphone
    w->checkBox_Compteur->setChecked(false);
    clic(w->button_Start);
    ASSERT_EQ(alertes.size(), 1);
    EXPECT_EQ(alertes[0], QStringLiteral("Alerte : Pas de voie choisie !\r\n"));
    EXPECT_EQ(w->moteur.diagnostic().nb_voies, 0);
    EXPECT_TRUE(repos());
}

TEST_F(Run, DiskFullMidRunIsReportedAndTheHeaderCountsWhatWasWritten)
{
    // A disk full for every file: header and log must live on what they hold from the start.
    DisquePlein plein(50ull * 1000 * 1000, chemin("plein"));
    prepare(true, QStringLiteral("plein/essai.dat"));
    // Paced, so the disk fills while the recorder still streams (unpaced, the whole run can
    // reach the writer's queue before the disk is full, and then there is nothing to stop).
    rec->set_paced(true);
    clic(w->button_Start);

    const QString c = console();
    EXPECT_EQ(c.count(QStringLiteral("Erreur d'écriture du fichier de données")), 1) << c.toStdString();
    EXPECT_TRUE(c.contains(QStringLiteral("Acquisition stoppée avant la fin")));
    EXPECT_FALSE(c.contains(QStringLiteral("Erreur d'écriture du fichier ") + chemin("plein/essai."))) << c.toStdString();
    const qint64 taille = QFileInfo(chemin("plein/essai.dat")).size();
    EXPECT_EQ(taille, qint64(w->moteur.diagnostic().octets_ecrits));
    EXPECT_LE(taille, 50 * 1000 * 1000);
    EXPECT_LT(w->moteur.diagnostic().octets_ecrits, w->moteur.diagnostic().octets_recus);
    EXPECT_EQ(entete("plein/essai.Vlx").nb_ech, uint32_t(w->moteur.diagnostic().octets_ecrits / 4 / 257));
    EXPECT_TRUE(lit(chemin("plein/essai.log")).contains(QByteArray("\n[OPTIONNAL]\r\n"))) << lit(chemin("plein/essai.log")).toStdString() << c.toStdString();
    EXPECT_TRUE(repos());
}

TEST_F(Run, VanishedRecorderEndsTheRunAndKeepsTheData)
{
    prepare(true);
    rec->fault_vanish_at_byte(30ull * 1000 * 1000);
    clic(w->button_Start);
    const QString c = console();
    EXPECT_TRUE(c.contains(QStringLiteral("Le Velmarix a disparu du bus USB"))) << c.toStdString();
    const qint64 taille = QFileInfo(chemin("essai.dat")).size();
    EXPECT_EQ(taille, qint64(w->moteur.diagnostic().octets_ecrits));
    EXPECT_GT(taille, 0);
    EXPECT_EQ(entete("essai.Vlx").nb_ech, uint32_t(w->moteur.diagnostic().octets_ecrits / 4 / 257));
    EXPECT_TRUE(QString::fromUtf8(lit(chemin("essai.log"))).contains(QStringLiteral("[OPTIONNAL]")));
    EXPECT_TRUE(repos());
    EXPECT_EQ(w->moteur.diagnostic().en_vol, 0);
}

TEST_F(Run, ClosingTheWindowDuringARunEndsItAndWritesTheFiles)
{
    prepare(true);
    rec->set_paced(true);
    w->checkBox_Definie->setChecked(false);
    // Starting takes about 0.8 s (channel selection and clock settle): close well after.
    QTimer::singleShot(2000, w.get(), [this] { w->close(); });
    clic(w->button_Start);
    attend(100);
    EXPECT_FALSE(w->isVisible()) << console().toStdString();
    EXPECT_GT(QFileInfo(chemin("essai.dat")).size(), 0) << console().toStdString();
    EXPECT_EQ(QFileInfo(chemin("essai.Vlx")).size(), TAILLE_HEADER);
    EXPECT_EQ(QFileInfo(chemin("essai.dat")).size(), qint64(w->moteur.diagnostic().octets_ecrits));
}

TEST_F(Run, StopAnswersPromptlyAt2kHz)
{
    prepare(false);
    rec->set_paced(true);
    choisit_frequence(16);
    w->checkBox_Definie->setChecked(false);
    QElapsedTimer t;
    qint64 clic_ms = 0;
    QTimer::singleShot(1000, w.get(), [&] {
        clic_ms = t.elapsed();
        w->button_Stop->click();
    });
    t.start();
    clic(w->button_Start);
    const qint64 fin_ms = t.elapsed();
    // At 2 kHz one packet takes seconds to fill: the run must still end right after Stop.
    EXPECT_GT(clic_ms, 0);
    EXPECT_LT(fin_ms - clic_ms, 3000);
    EXPECT_TRUE(repos());
    EXPECT_TRUE(w->label_Duree_Ecoulee->isHidden());
}
