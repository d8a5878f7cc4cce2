// Colour map, level index and frame alignment of the level display.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "channels/colormap.h"

using niveaux::Rvb;

TEST(CarteDeCouleurs, LignesRemarquables)
{
    const struct {
        int i;
        Rvb c;
    } lignes[] = {
        {0, {0, 0, 143}},     {14, {0, 0, 255}},   {15, {0, 8, 255}},   {45, {0, 248, 255}}, {46, {0, 255, 255}},
        {47, {8, 255, 247}},  {60, {112, 255, 143}}, {77, {248, 255, 7}}, {78, {255, 255, 0}},
        {79, {255, 247, 0}},  {109, {255, 7, 0}},  {110, {255, 0, 0}},  {111, {247, 0, 0}},
        {120, {175, 0, 0}},   {127, {119, 0, 0}},
    };
    for (const auto &l : lignes) {
        const Rvb c = niveaux::couleur(l.i);
        EXPECT_EQ(c.r, l.c.r) << "index " << l.i;
        EXPECT_EQ(c.v, l.c.v) << "index " << l.i;
        EXPECT_EQ(c.b, l.c.b) << "index " << l.i;
    }
}

TEST(IndiceDeNiveau, DuSilenceAPleineEchelle)
{
    EXPECT_EQ(niveaux::indice_niveau(0.0), 0);             // silence, floored at 1
    EXPECT_EQ(niveaux::indice_niveau(0.25), 0);
    EXPECT_EQ(niveaux::indice_niveau(100.0), 5);           // 10 counts
    EXPECT_EQ(niveaux::indice_niveau(5623.0 * 5623.0), 60);
    EXPECT_EQ(niveaux::indice_niveau(5.6e6 * 5.6e6), 120);
    EXPECT_EQ(niveaux::indice_niveau(2147483648.0 * 2147483648.0), 127);
    EXPECT_EQ(niveaux::indice_niveau(std::numeric_limits<double>::infinity()), 127);
    EXPECT_EQ(niveaux::indice_niveau(std::nan("")), 0);

    EXPECT_EQ(niveaux::indice_db(15.5), 1);
    EXPECT_EQ(niveaux::indice_db(std::nextafter(15.5, 0.0)), 0);
    EXPECT_EQ(niveaux::indice_db(141.5), 127);
    EXPECT_EQ(niveaux::indice_db(std::nextafter(141.5, 0.0)), 126);
}

TEST(IndiceDeNiveau, DecalageDeLaPremiereTrame)
{
    EXPECT_EQ(niveaux::decalage_trame(1, 257), 900u);  // 8 388 608 mod 1028 = 128
    EXPECT_EQ(niveaux::decalage_trame(0, 257), 1028u); // starts on a boundary: one frame later
    EXPECT_EQ(niveaux::decalage_trame(1, 1), 4u);
    // 64-bit product: packet 600 starts past 4 GiB of stream.
    EXPECT_EQ(niveaux::decalage_trame(600, 262), 1048u - (600ull * 8388608ull) % 1048u);
    for (uint32_t p = 0; p < 50; ++p) {
        const uint32_t f = niveaux::decalage_trame(p, 259);
        ASSERT_GE(f, 4u);
        ASSERT_LE(f, 4u * 259);
        ASSERT_EQ((uint64_t(p) * 8388608 + f) % (4 * 259), 0u);
    }
}

namespace {

// A packet of nb_voies-word frames from byte `debut`; word w of frame j holds f(j, w).
template <class T, class F> std::vector<unsigned char> paquet(uint32_t debut, int nb_voies, F f)
{
    std::vector<unsigned char> p(debut + 4 * size_t(nb_voies) * 2002, 0xEE);
    for (int j = 0; j < 2001; ++j)
        for (int w = 0; w < nb_voies; ++w) {
            const T x = f(j, w);
            std::memcpy(&p[debut + 4 * (size_t(j) * nb_voies + w)], &x, 4);
        }
    return p;
}

} // namespace

TEST(MoyennesCarres, MotIPlusUnDeDeuxMilleTrames)
{
    // Word 0 is a counter; microphone i is word i + 1 with amplitude ±(i + 1) · 10; frame
    // 2000 (outside the window) is loud and must not count.
    const int nb_voies = 5;
    auto p = paquet<int32_t>(12, nb_voies, [](int j, int w) {
        if (w == 0)
            return j;
        if (j == 2000)
            return 1 << 30;
        return (j % 2 ? -1 : 1) * w * 10;
    });
    double ms[4];
    niveaux::moyennes_carres(p.data(), 12, nb_voies, 4, false, ms);
    for (int i = 0; i < 4; ++i)
        EXPECT_DOUBLE_EQ(ms[i], double((i + 1) * 10) * ((i + 1) * 10)) << "mic " << i;
    EXPECT_EQ(niveaux::indice_niveau(ms[0]), 5);
}

TEST(MoyennesCarres, EchantillonsFlottantsLusCommeFlottants)
{
    auto p = paquet<float>(4, 3, [](int, int w) { return w == 0 ? 0.0f : 5623.0f; });
    double ms[2];
    niveaux::moyennes_carres(p.data(), 4, 3, 2, true, ms);
    EXPECT_DOUBLE_EQ(ms[0], 5623.0 * 5623.0);
    EXPECT_EQ(niveaux::indice_niveau(ms[1]), 60);
    // Read as integers, the bit pattern of 5623.0f would be a huge value.
    niveaux::moyennes_carres(p.data(), 4, 3, 2, false, ms);
    EXPECT_GT(niveaux::indice_niveau(ms[0]), 120);
}

// Full frames (262 words) and odd counts: every microphone lands on its own word.
TEST(MoyennesCarres, TousLesMicrosDUneTrameLarge)
{
    const int nb_voies = 262;
    auto p = paquet<int32_t>(1048, nb_voies, [](int j, int w) { return (j % 3 ? 1 : -1) * (w * 1000 + 7); });
    for (int nb_micros : {256, 13, 1}) {
        double ms[256];
        niveaux::moyennes_carres(p.data(), 1048, nb_voies, nb_micros, false, ms);
        for (int i = 0; i < nb_micros; ++i) {
            const double a = (i + 1) * 1000.0 + 7;
            ASSERT_EQ(ms[i], a * a) << nb_micros << " mics, mic " << i;
        }
    }
}
