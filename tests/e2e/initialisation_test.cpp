// Init, the probe, the resets, the delay and the frequency choice against the emulated recorder.
#include "tests/support/emule.h"

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QSpinBox>

#include <libusb.h>

#include <functional>
#include <utility>

namespace {

std::vector<std::string> sequence_init()
{
    std::vector<std::string> v = {"C0:", "C4:", "B0:00", "C4:", "C0:", "B1:01 09", "B4:04 FF 00 00 00", "B3:05 00 00 FF"};
    char tmp[32];
    for (int b = 1; b < 32; ++b) {
        std::snprintf(tmp, sizeof tmp, "B3:05 00 %02X 00", b);
        v.push_back(tmp);
    }
    v.push_back("B3:05 00 FF 00");
    v.push_back("B1:02 00");
    return v;
}

const QString PAS_DE_REPONSE = QStringLiteral("Velmarix 256 ne répond pas ! \r\nVérifier l'alimentation !\r\n");

} // namespace

using Initialisation = FenetreEmulee;

TEST_F(Initialisation, HealthyRecorderIsResetProbedAndUnlocksTheWindow)
{
    initialise_ok();
    EXPECT_EQ(requetes(), sequence_init());
    EXPECT_EQ(console(), QStringLiteral("Liaison USB activée !\r\nVelmarix 256 détecté `\r\n\r\n"));
    EXPECT_TRUE(etat_repos());
    EXPECT_TRUE(w->moteur.diagnostic().initialisation);
    EXPECT_EQ(w->moteur.diagnostic().num_freq, -1);
    EXPECT_FALSE(w->moteur.diagnostic().clock_def);
    EXPECT_EQ(w->moteur.diagnostic().octets_recus, 8160u);
    // The probe's ring is freed: nothing of it is left with the library.
    EXPECT_EQ(w->moteur.diagnostic().en_vol, 0);
    EXPECT_EQ(w->moteur.diagnostic().transferts_alloues, 0);
    EXPECT_EQ(w->moteur.diagnostic().tampons_alloues, 0);
    EXPECT_EQ(rec->pending_transfers(), 0);

    // A second Init closes and reopens the link and runs the whole sequence again.
    rec->clear_requests();
    initialise_ok();
    EXPECT_EQ(requetes(), sequence_init());
    EXPECT_EQ(console().count(QStringLiteral("Liaison USB activée !\r\n")), 2);
}

TEST_F(Initialisation, AdvancedModeShowsResetsPacketsAndCancellations)
{
    w->checkBox_Test->setChecked(true);
    initialise_ok();
    const QString c = console();
    const QString attendu_debut = QStringLiteral("Liaison USB activée !\r\nReset FX3\r\nReset Pseudo Hard (C4)\r\n\r\nReset B0\r\n"
                                                 "Reset Pseudo Hard (C4)\r\nReset FX3\r\n");
    EXPECT_TRUE(c.startsWith(attendu_debut)) << c.toStdString();
    // Completion 0 carries the 8160 bytes and ends the stream; the seven others are cancelled
    // and come back in slot order.
    EXPECT_TRUE(c.contains(QStringLiteral(" 0  - ") + QLocale().toString(8388608 - 8160) + QStringLiteral(" octets de moins qu'un paquet\r\n   fin en cours \r\n")))
        << c.toStdString();
    for (int i = 1; i < 8; ++i) {
        EXPECT_TRUE(c.contains(QStringLiteral("Arrêt du transfert %1 retour 0 status : ").arg(i))) << i;
        EXPECT_TRUE(c.contains(QStringLiteral(" %1  status == LIBUSB_TRANSFER_CANCELLED -> Tâche %1 annulée \r\n").arg(i))) << i;
    }
    EXPECT_TRUE(c.endsWith(QStringLiteral("Velmarix 256 détecté `\r\n\r\n")));
}

TEST_F(Initialisation, WrongProbeSizesAreRefused)
{
    for (int taille : {8156, 8164}) {
        alertes.clear();
        rec->fault_probe_size(taille);
        clic(w->button_Init);
        ASSERT_EQ(alertes.size(), 1) << taille;
        EXPECT_EQ(alertes[0], QStringLiteral("Alerte : ") + PAS_DE_REPONSE);
        EXPECT_TRUE(etat_verrouille());
        EXPECT_EQ(w->moteur.diagnostic().en_vol, 0);
    }
    // A healthy answer afterwards unlocks the window.
    rec->fault_probe_size(0);
    alertes.clear();
    initialise_ok();
    EXPECT_TRUE(etat_repos());
}

TEST_F(Initialisation, SilentRecorderTimesOutQuietly)
{
    rec->fault_silence(true);
    QElapsedTimer t;
    t.start();
    clic(w->button_Init);
    const qint64 ms = t.elapsed();
    ASSERT_EQ(alertes.size(), 1);
    EXPECT_EQ(alertes[0], QStringLiteral("Alerte : ") + PAS_DE_REPONSE);
    EXPECT_FALSE(console().contains(QStringLiteral("TIMEOUT")));
    EXPECT_TRUE(etat_verrouille());
    EXPECT_GE(ms, 450); // the probe waited for its 500 ms transfer time-outs
    EXPECT_EQ(w->moteur.diagnostic().en_vol, 0);
    EXPECT_EQ(rec->pending_transfers(), 0);
}

TEST_F(Initialisation, FrequencyChoiceSendsDivisionThenDelay)
{
    initialise_ok();
    rec->clear_requests();
    qsizetype marque = console().size();
    choisit_frequence(0);
    EXPECT_EQ(requetes(), (std::vector<std::string>{"B1:01 09", "B1:07 0A"}));
    const QString s = QLocale().groupSeparator();
    EXPECT_EQ(console_depuis(marque),
              QStringLiteral("Fréquence : 50") + s + QStringLiteral("000 Hz.  Durée max d'acquisition (si le disque le supporte) : 85") + s +
                  QStringLiteral("899,3 s \r\n"));
    EXPECT_FLOAT_EQ(w->moteur.diagnostic().entete.freq, 50000.0f);
    EXPECT_TRUE(w->moteur.diagnostic().clock_def);
    EXPECT_FALSE(w->moteur.diagnostic().count_def);

    rec->clear_requests();
    choisit_frequence(2);
    EXPECT_EQ(requetes(), (std::vector<std::string>{"B1:01 0B", "B1:07 09"}));
    EXPECT_FLOAT_EQ(w->moteur.diagnostic().frequence, 41666.0f);

    rec->clear_requests();
    choisit_frequence(7);
    EXPECT_EQ(requetes(), (std::vector<std::string>{"B1:01 13", "B1:07 08"}));

    rec->clear_requests();
    choisit_frequence(16);
    EXPECT_EQ(requetes(), (std::vector<std::string>{"B1:01 F9", "B1:07 07"}));
    EXPECT_FLOAT_EQ(w->moteur.diagnostic().frequence, 2000.0f);
    EXPECT_FLOAT_EQ(w->moteur.diagnostic().duree_max, 2147483.6f); // rounded down to the tenth
    EXPECT_EQ(rec->clock_arg(), 0xF9);
}

// At its longest, the duration is recorded whole: the count sent is within a tenth of a second
// of 2^32 frames, never its low 32 bits. A count that would wrap is refused, nothing sent.
TEST_F(Initialisation, LongestDurationSendsAWholeCount)
{
    initialise_ok();
    choisit_frequence(2); // 41 666 Hz
    QDoubleSpinBox *d = w->numericUpDown_Duree;
    d->setValue(d->maximum());
    rec->clear_requests();
    w->calcul_count();
    const uint32_t count = w->moteur.diagnostic().count;
    EXPECT_GT(count, 4294967295u - 41666u / 10u);
    char attendu[32];
    std::snprintf(attendu, sizeof attendu, "B4:04 %02X %02X %02X %02X", count & 0xFF, (count >> 8) & 0xFF, (count >> 16) & 0xFF, count >> 24);
    EXPECT_EQ(requetes(), std::vector<std::string>{attendu});

    // The engine at 50 000 Hz while the duration is still 41 666 Hz's longest (the window's own
    // box is brought down to the new maximum; a host without one is not).
    reglages::Reglages r = w->reglages_fenetre();
    w->moteur.choisit_frequence(0, std::nullopt);
    rec->clear_requests();
    w->moteur.envoie_compte(r);
    EXPECT_TRUE(requetes().empty());
    EXPECT_FALSE(w->moteur.diagnostic().count_def);
    ASSERT_EQ(alertes.size(), 1);
    EXPECT_TRUE(alertes[0].startsWith(QStringLiteral("Alerte : Durée trop longue : 103"))) << alertes[0].toStdString();
}

TEST_F(Initialisation, AdvancedModeSendsTheSpinnerDelay)
{
    initialise_ok();
    w->checkBox_Test->setChecked(true);
    w->numericUpDown_Delay->setValue(16);
    rec->clear_requests();
    qsizetype marque = console().size();
    choisit_frequence(0);
    EXPECT_EQ(requetes(), (std::vector<std::string>{"B1:01 09", "B1:07 10"}));
    const QString c = console_depuis(marque);
    EXPECT_TRUE(c.startsWith(QStringLiteral("Clock division : 9.  Fréquence : "))) << c.toStdString();
    EXPECT_TRUE(c.endsWith(QStringLiteral("N_DELAY : 16  \r\n"))) << c.toStdString();
}

TEST_F(Initialisation, ResetButtons)
{
    // Reset Micros with the link closed sends and writes nothing.
    w->button_Reset_Micros_Click();
    EXPECT_TRUE(requetes().empty());
    EXPECT_TRUE(console().isEmpty());

    initialise_ok();
    rec->clear_requests();
    w->button_Reset_Micros_Click();
    w->button_Reset_FX3_Click();
    w->button_Reset_PH_Click();
    EXPECT_EQ(requetes(), (std::vector<std::string>{"B0:00", "C0:", "C4:"}));
    EXPECT_FALSE(w->moteur.diagnostic().clock_def);
}

TEST_F(Initialisation, TeardownResetsTheMicrophonesBeforeClosing)
{
    initialise_ok();
    rec->clear_requests();
    w.reset();
    EXPECT_EQ(requetes(), (std::vector<std::string>{"B0:00"}));
}

TEST_F(Initialisation, VanishedRecorderDuringTheProbe)
{
    rec->fault_vanish_at_byte(4000);
    clic(w->button_Init);
    ASSERT_EQ(alertes.size(), 1);
    EXPECT_EQ(alertes[0], QStringLiteral("Alerte : ") + PAS_DE_REPONSE);
    EXPECT_TRUE(etat_verrouille());
    EXPECT_EQ(w->moteur.diagnostic().en_vol, 0);
}

// Another program (here a second libusb handle) holds interface 0: whatever opens the link
// leaves it closed, sends nothing, and says who holds the recorder. Once that program lets go,
// Init works, and the other program is refused in turn.
TEST_F(Initialisation, RecorderHeldByAnotherProgramIsLeftAlone)
{
    ASSERT_EQ(libusb_init(nullptr), 0);
    libusb_device_handle *autre = libusb_open_device_with_vid_pid(nullptr, 0xFE27, 0xAC01);
    ASSERT_NE(autre, nullptr);
    ASSERT_EQ(libusb_claim_interface(autre, 0), 0);

    const QString occupe = QStringLiteral("Alerte : Le Velmarix est déjà utilisé par un autre programme : "
                                          "fermer cet autre programme, puis appuyer sur Init.\r\n");
    const std::pair<const char *, std::function<void()>> essais[] = {
        {"Init", [this] { clic(w->button_Init); }},
        {"Reset FX3", [this] { w->button_Reset_FX3_Click(); }},
        {"Reset PH", [this] { w->button_Reset_PH_Click(); }},
        {"sample count", [this] { w->calcul_count(); }},
    };
    for (const auto &[nom, essai] : essais) {
        SCOPED_TRACE(nom);
        alertes.clear();
        essai();
        EXPECT_EQ(alertes, QStringList{occupe});
        EXPECT_TRUE(requetes().empty());
        EXPECT_FALSE(w->moteur.diagnostic().lien);
    }
    EXPECT_TRUE(etat_verrouille());
    EXPECT_FALSE(console().contains(QStringLiteral("Liaison USB activée")));

    ASSERT_EQ(libusb_release_interface(autre, 0), 0);
    alertes.clear();
    initialise_ok();
    EXPECT_EQ(libusb_claim_interface(autre, 0), LIBUSB_ERROR_BUSY);
    libusb_close(autre);
    libusb_exit(nullptr);
}
