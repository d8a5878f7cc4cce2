// Framing of the recorder's vendor requests, trigger bytes and the sampling clock table.
#include <gtest/gtest.h>

#include "app/principale.h"
#include "device/commands.h"
#include "device/horloge.h"

TEST(Framing, SetupBytesOfFramedAndUnframedRequests)
{
    // 01 09: one argument → request B1, two data bytes.
    EXPECT_EQ(cmd::requete_commande(1), 0xB1);
    EXPECT_EQ(cmd::setup(cmd::requete_commande(1), cmd::longueur_commande(1)),
              (std::array<uint8_t, 8>{0x40, 0xB1, 0, 0, 0, 0, 0x02, 0x00}));
    // 00: no argument → request B0, one data byte.
    EXPECT_EQ(cmd::requete_commande(0), 0xB0);
    EXPECT_EQ(cmd::longueur_commande(0), 1);
    // 04 FF 00 00 00: four arguments → request B4, five data bytes.
    EXPECT_EQ(cmd::setup(cmd::requete_commande(4), cmd::longueur_commande(4)),
              (std::array<uint8_t, 8>{0x40, 0xB4, 0, 0, 0, 0, 0x05, 0x00}));
    // Channel activation: three arguments → B3.
    EXPECT_EQ(cmd::requete_commande(3), 0xB3);
    // The controller resets carry no data stage.
    EXPECT_EQ(cmd::setup(cmd::REQ_RESET_FX3, 0), (std::array<uint8_t, 8>{0x40, 0xC0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(cmd::setup(cmd::REQ_RESET_PH, 0), (std::array<uint8_t, 8>{0x40, 0xC4, 0, 0, 0, 0, 0, 0}));
    // The request code wraps modulo 256, the length keeps its low 16 bits.
    EXPECT_EQ(cmd::requete_commande(0x50), 0x00);
    EXPECT_EQ(cmd::setup(0x1B1, 0x10203)[1], 0xB1);
    EXPECT_EQ(cmd::setup(0x1B1, 0x10203)[6], 0x03);
    EXPECT_EQ(cmd::setup(0x1B1, 0x10203)[7], 0x02);
}

TEST(Framing, TriggerBytes)
{
    EXPECT_EQ(cmd::octet_declenchement(0, 3), 0x00); // Soft ignores the condition
    const uint8_t attendus[2][4] = {{0x01, 0x41, 0x81, 0xC1}, {0x02, 0x42, 0x82, 0xC2}};
    for (int source = 1; source <= 2; ++source)
        for (int condition = 0; condition < 4; ++condition)
            EXPECT_EQ(cmd::octet_declenchement(source, condition), attendus[source - 1][condition])
                << "source " << source << " condition " << condition;
}

TEST(Horloge, FrequencyComputedBackFromTheByteSent)
{
    struct Cas {
        int entree;
        float frequence;
    };
    const Cas cas[] = {{0, 50000.0f}, {2, 41666.0f}, {16, 2000.0f}};
    for (const Cas &c : cas) {
        const uint8_t octet = static_cast<uint8_t>(Principale::FREQ[c.entree] - 1);
        EXPECT_FLOAT_EQ(horloge::frequence_pour_octet(octet), c.frequence) << "entry " << c.entree;
    }
    EXPECT_EQ(Principale::FREQ[16] - 1, 0xF9);
    // Every entry's time fits the recorder's one-byte clock argument, and each entry is found
    // again from its frequency and from its list text.
    for (int i = 0; i < horloge::NB_ENTREES; ++i) {
        EXPECT_GE(Principale::FREQ[i] - 1, 9);
        EXPECT_LE(Principale::FREQ[i] - 1, 249);
        EXPECT_EQ(horloge::entree_pour_hz(int64_t(horloge::frequence_entree(i))), i);
        EXPECT_EQ(horloge::entree_pour_hz(horloge::LIBELLES_HZ[size_t(i)]), i);
    }
    EXPECT_EQ(horloge::entree_pour_hz(41667), 2);
    EXPECT_FALSE(horloge::entree_pour_hz(44100) || horloge::entree_pour_hz(0) || horloge::entree_pour_hz(500000));
}
