// Colour map, level index and frame alignment of the level display.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "channels/colormap.h"
#include "channels/fenetre_niveaux.h"

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

// The window of frames from blocks of any size: whole in one block, gathered across 4096-byte
// blocks (a slow run's transfers), past 4 GiB of stream, and started again after a missing block.
TEST(FenetreDeNiveaux, TramesRassembleesDesBlocs)
{
    const int nb_voies = 259;
    const uint32_t trame = 4 * nb_voies;
    struct Cas {
        uint64_t debut;   // byte offset of the stream's piece in the run
        uint32_t bloc;    // bytes of each block (0: one block)
        bool trou;        // a block is missing after the first
    };
    for (const Cas c : {Cas{0, 0, false}, Cas{8388608, 4096, false}, Cas{600ull * 8388608, 3 * 4096, false},
                        Cas{4096, 4096, true}}) {
        SCOPED_TRACE(c.debut + c.bloc);
        // The stream from c.debut: word w of frame j holds the counter, or ±(w + 1) (frame j).
        std::vector<unsigned char> flux(size_t(trame) * 2200 * 2);
        for (uint64_t o = 0; o + 4 <= flux.size(); o += 4) {
            const uint64_t mot = (c.debut + o) / 4;
            const int w = int(mot % nb_voies);
            const int32_t v = w == 0 ? int32_t(mot / nb_voies) : int32_t(((mot / nb_voies) % 2 ? -1 : 1) * (w + 1));
            std::memcpy(&flux[o], &v, 4);
        }
        const uint32_t bloc = c.bloc ? c.bloc : uint32_t(flux.size());
        niveaux::Fenetre f;
        f.debut(nb_voies, 256, true, false);
        double ms[256];
        uint64_t premiere = 0;
        bool pret = false;
        uint64_t saute = 0, seq = 0;
        for (uint64_t o = 0; !pret && o + bloc <= flux.size(); o += bloc, ++seq) {
            if (c.trou && seq == 1) {
                saute = o + bloc;
                continue;
            }
            pret = f.ajoute(flux.data() + o, {seq, c.debut + o, bloc, 0}, ms, &premiere);
        }
        ASSERT_TRUE(pret);
        const uint64_t depuis = c.debut + saute;
        EXPECT_EQ(premiere, (depuis + trame - 1) / trame);
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(ms[i], double(i + 2) * (i + 2)) << "mic " << i;
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
