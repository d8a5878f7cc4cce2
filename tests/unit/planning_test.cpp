// Arithmetic of a run: sample count, packets, time-outs, counter-check steps, disk space.
#include <gtest/gtest.h>

#include "acquisition/planning.h"

#include <algorithm>
#include <cmath>

using namespace planning;

TEST(Planning, SampleCount)
{
    EXPECT_EQ(nb_echantillons(5.0f, 50000.0f, true), 250000u);
    EXPECT_EQ(nb_echantillons(5.0f, 50000.0f, false), 0u);
    // Shorter than one sample period: no fixed count at all.
    EXPECT_EQ(nb_echantillons(0.00001f, 2000.0f, true), 0u);
    EXPECT_EQ(nb_echantillons(0.0f, 50000.0f, true), 0u);
    // A tenth of a second: the float 0.1 is slightly above, the count stays exact.
    EXPECT_EQ(nb_echantillons(0.1f, 50000.0f, true), 5000u);
    EXPECT_EQ(nb_echantillons(1.3f, 41666.0f, true), 54165u);
    // Every whole number of tenths gives its exact count, whatever binary rounding did to it
    // (0.7 s at 50 kHz is 35 000 frames, not 34 999).
    for (int dixiemes = 1; dixiemes <= 5000; ++dixiemes)
        for (float f : {50000.0f, 2000.0f}) {
            const auto attendu = uint32_t(uint64_t(dixiemes) * uint64_t(f) / 10);
            ASSERT_EQ(nb_echantillons(dixiemes / 10.0, f, true), attendu) << dixiemes;
            ASSERT_EQ(nb_echantillons(static_cast<float>(dixiemes / 10.0), f, true), attendu) << dixiemes;
        }
    // Beyond 32 bits the count keeps its low 32 bits.
    EXPECT_EQ(nb_echantillons(100000.0f, 50000.0f, true), uint32_t(5000000000ull - 4294967296ull));
}

// The duration spinner's maximum: a whole number of tenths whose count fits 32 bits, while a
// tenth more would wrap it, at every frequency of the list (for eight of them 2^32 / f rounds
// up to the tenth, and 103 080,9 s at 41 666 Hz would have asked for 1 418 frames).
TEST(Planning, LongestDurationKeepsTheCountWhole)
{
    for (int32_t division : {10, 11, 12, 13, 14, 15, 16, 20, 25, 40, 50, 80, 100, 125, 160, 200, 250}) {
        const float f = static_cast<float>(500000 / division);
        const double max = duree_max(f);
        SCOPED_TRACE(f);
        EXPECT_NEAR(max * 10, std::round(max * 10), 1e-6);
        EXPECT_NEAR(max, 4294967296.0 / f, 0.35);
        EXPECT_LE(nb_echantillons_64(max, f), COMPTE_MAX);
        EXPECT_GT(nb_echantillons_64(max + 0.1, f), COMPTE_MAX);
    }
    EXPECT_DOUBLE_EQ(duree_max(50000.0f), 85899.3);
    EXPECT_DOUBLE_EQ(duree_max(41666.0f), 103080.8);
}

TEST(Planning, PacketBudget)
{
    // 257 words, 5 s at 50 000 Hz: 257 000 000 bytes = 30 full packets and 5 341 760 bytes.
    const uint64_t demandes = 257ull * 4 * 250000;
    EXPECT_EQ(demandes, 257000000u);
    EXPECT_EQ(paquets_definis(demandes), 31u);
    EXPECT_EQ(demandes % TAILLE_PAQUET, 5341760u);
    EXPECT_EQ(paquets_definis(3ull * TAILLE_PAQUET), 3u);
    EXPECT_EQ(paquets_definis(3ull * TAILLE_PAQUET + 1), 4u);
    EXPECT_EQ(paquets_definis(0), 0u);

    // Open-ended: whole packets that fit, less one; fewer than two never wrap around.
    EXPECT_EQ(paquets_ouverts(100ull * TAILLE_PAQUET + 5), 99u);
    EXPECT_EQ(paquets_ouverts(TAILLE_PAQUET), 0u);
    EXPECT_EQ(paquets_ouverts(TAILLE_PAQUET - 1), 0u);
    EXPECT_EQ(paquets_ouverts(0), 0u);
    EXPECT_GE(paquets_ouverts(ESPACE_MIN_OUVERT), MARGE_ARRET + 1);
    EXPECT_LT(paquets_ouverts(ESPACE_MIN_OUVERT - TAILLE_PAQUET), MARGE_ARRET + 1);

    EXPECT_EQ(espace_utilisable(999999999), 0u);
    EXPECT_EQ(espace_utilisable(1000000000), 0u);
    EXPECT_EQ(espace_utilisable(3000000000ull), 2000000000u);
}

// The header counts frames in 32 bits. An open-ended recorded run stops when it has received
// all but MARGE_ARRET packets of its frame budget; the eight transfers then in flight still fit.
TEST(Planning, FrameCountNeverPasses32Bits)
{
    const auto trames = [](uint64_t paquets, int32_t nb_voies) { return paquets * TAILLE_PAQUET / 4 / uint64_t(nb_voies); };
    for (const int32_t nb_voies : {1, 2, 17, 257, 262}) {
        SCOPED_TRACE(nb_voies);
        const uint32_t budget = paquets_max_trames(nb_voies);
        EXPECT_LE(trames(uint64_t(budget) - MARGE_ARRET + 8, nb_voies), UINT32_MAX);
        EXPECT_GT(trames(uint64_t(budget) + 1, nb_voies), UINT32_MAX) << "stops earlier than it needs to";
        // An open-ended recorded run stops on the smaller of the disk's budget and the header's;
        // a run with a count, or not recorded, by other means. Its file takes 2^32 - 1 frames.
        EXPECT_EQ(budget_arret(true, 0, uint64_t(1) << 60, nb_voies).arret, budget);
        EXPECT_EQ(budget_arret(true, 0, 30 * TAILLE_PAQUET, nb_voies).arret, std::min(budget, 29u));
        EXPECT_EQ(std::min(budget_arret(false, 0, 30 * TAILLE_PAQUET, nb_voies).arret, budget_arret(true, 9, 0, nb_voies).arret), SANS_LIMITE);
        EXPECT_EQ(octets_max_trames(nb_voies), uint64_t(UINT32_MAX) * 4 * uint64_t(nb_voies));
    }
    // 257 words at 50 kHz: a little under 23.9 hours.
    EXPECT_NEAR(double(trames(paquets_max_trames(257) - MARGE_ARRET, 257)) / 50000 / 3600, 23.86, 0.01);
    EXPECT_EQ(paquets_max_trames(0), SANS_LIMITE);
}

TEST(Planning, TransferTimeOut)
{
    // 257 words at 50 000 Hz: 8160 frames a packet, ring of 1305.6 ms.
    EXPECT_NEAR(duree_anneau_ms(257, 50000.0f), 1305.6, 1e-6);
    EXPECT_EQ(timeout_run(257, 50000.0f), 2305);
    EXPECT_EQ(timeout_run(257, 50000.0f) + MARGE_DECLENCHEMENT_MS, 32305);
    // A ring of exactly 1000 ms or less gives the floor.
    EXPECT_EQ(timeout_run(2097152 * 8 / 50000 + 1000, 50000.0f), 2000); // tiny packets in frames
    // 1 word at 2 000 Hz: 2 097 152 frames a packet, more than two hours for the ring.
    EXPECT_EQ(timeout_run(1, 2000.0f), 8 * 2097152 / 2000 * 1000 + 8 * 2097152 % 2000 / 2 + 1000);
}

TEST(Planning, CounterSteps)
{
    PasCompteur p = pas_compteur(257);
    EXPECT_EQ(p.increment_position, 225);
    EXPECT_EQ(p.increment_compteur, 8161);

    // Packet 1's first frame starts at word 225 with the counter 8161 further;
    // packet 2's at 193 (a wrap) with one frame fewer in between.
    int32_t attendu = 1000;
    uint32_t pos = avance_compteur(0, attendu, p, 257);
    EXPECT_EQ(pos, 225u);
    EXPECT_EQ(attendu, 9161);
    pos = avance_compteur(pos, attendu, p, 257);
    EXPECT_EQ(pos, 193u);
    EXPECT_EQ(attendu, 9161 + 8160);

    // A width dividing the packet: frames always start at word 0.
    p = pas_compteur(8);
    EXPECT_EQ(p.increment_position, 0);
    EXPECT_EQ(p.increment_compteur, 262144);
    attendu = 0;
    EXPECT_EQ(avance_compteur(0, attendu, p, 8), 0u);
    EXPECT_EQ(attendu, 262144);

    // The expected counter wraps at 32 bits like the recorder's.
    p = pas_compteur(1);
    attendu = INT32_MAX;
    avance_compteur(0, attendu, p, 1);
    EXPECT_EQ(attendu, static_cast<int32_t>(uint32_t(INT32_MAX) + 2097152u));
}

// Simulates the recorder's stream cut into packets and checks that the steps land on the
// counter of the first frame of every packet, for every frame width.
TEST(Planning, CounterStepsFollowARealStream)
{
    for (int32_t nb : {1, 2, 3, 7, 9, 17, 100, 257, 262}) {
        const PasCompteur p = pas_compteur(nb);
        uint32_t pos = 0;
        int32_t attendu = 0; // counter of word 0 of packet 0
        for (uint64_t paquet = 1; paquet < 40; ++paquet) {
            pos = avance_compteur(pos, attendu, p, nb);
            const uint64_t mot = paquet * MOTS_PAQUET + pos; // stream word index
            ASSERT_EQ(mot % uint64_t(nb), 0u) << "width " << nb << " packet " << paquet;
            ASSERT_EQ(uint32_t(attendu), uint32_t(mot / uint64_t(nb))) << "width " << nb << " packet " << paquet;
        }
    }
}

TEST(Planning, WriterReserve)
{
    const uint64_t go = 1ull << 30;
    struct Cas {
        double debit;     // bytes per second
        uint64_t memoire; // physical memory
        uint32_t paquets;
    };
    for (const Cas &c : {
             Cas{257.0 * 4 * 50000, 24 * go, 123}, // 20 s of the peak rate: 1 028 MB
             Cas{262.0 * 4 * 50000, 24 * go, 125},
             Cas{3.0 * 4 * 2000, 24 * go, 16},     // a slow run still gets 16 packets
             Cas{257.0 * 4 * 50000, 2 * go, 64},   // a quarter of 2 GiB
             Cas{257.0 * 4 * 50000, 0, 2},         // never less than two
         }) {
        SCOPED_TRACE(c.debit);
        EXPECT_EQ(paquets_file(c.debit, c.memoire), c.paquets);
    }
}
