// Selection arithmetic and click rules of the channel grid.
#include <gtest/gtest.h>

#include <random>

#include "channels/selection.h"

using namespace selection;

namespace {

Micros tous_les_micros()
{
    Micros m{};
    for (auto &f : m)
        f.fill(true);
    return m;
}

constexpr std::array<bool, NB_VA> AUCUNE_VA{};

} // namespace

TEST(Selection, DefautToutLesMicrosEtLeCompteur)
{
    const Choix c = calcule_choix(tous_les_micros(), true, false, AUCUNE_VA);
    for (int b = 0; b < NB_FAISCEAUX; ++b)
        EXPECT_EQ(c.masques[b], 0xFF) << "beam " << b;
    EXPECT_EQ(c.masque_aux, 0x80);
    EXPECT_EQ(c.nb_micros, 256);
    EXPECT_EQ(c.nb_voies, 257);
    EXPECT_TRUE(c.compteur);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(c.voies[i], i);
}

TEST(Selection, CompteurSeulOuRienDuTout)
{
    const Choix compteur = calcule_choix(Micros{}, true, false, AUCUNE_VA);
    EXPECT_EQ(compteur.nb_micros, 0);
    EXPECT_EQ(compteur.nb_voies, 1);
    EXPECT_EQ(compteur.masque_aux, 0x80);
    for (uint8_t m : compteur.masques)
        EXPECT_EQ(m, 0);

    const Choix rien = calcule_choix(Micros{}, false, false, AUCUNE_VA);
    EXPECT_EQ(rien.nb_voies, 0);
    EXPECT_EQ(rien.masque_aux, 0);
    EXPECT_FALSE(rien.compteur);
}

TEST(Selection, VoiesAnalogiquesEtStatus)
{
    const Micros micros = tous_les_micros();
    const Choix va = calcule_choix(micros, true, false, {true, false, false, true});
    EXPECT_EQ(va.masque_aux, 0x89);
    EXPECT_EQ(va.nb_voies, 256 + 3);

    // The status word widens the frame but is neither a counter nor an analogue channel.
    const Choix status = calcule_choix(micros, false, true, AUCUNE_VA);
    EXPECT_EQ(status.masque_aux, 0x40);
    EXPECT_EQ(status.nb_voies, 257);
    EXPECT_FALSE(status.compteur);

    const Choix tout = calcule_choix(micros, true, true, {true, true, true, true});
    EXPECT_EQ(tout.masque_aux, 0xCF);
    EXPECT_EQ(tout.nb_voies, 262);
}

TEST(Selection, MasquesEtListeDesMicros)
{
    Micros m{};
    m[31][7] = true; // channel 255, set first
    m[1][0] = true;  // 8
    m[0][5] = true;  // 5
    const Choix c = calcule_choix(m, false, false, AUCUNE_VA);
    ASSERT_EQ(c.nb_micros, 3);
    EXPECT_EQ(c.voies[0], 5);
    EXPECT_EQ(c.voies[1], 8);
    EXPECT_EQ(c.voies[2], 255);
    EXPECT_EQ(c.masques[0], 0x20);
    EXPECT_EQ(c.masques[1], 0x01);
    EXPECT_EQ(c.masques[31], 0x80);

    Micros bords{};
    bords[4][0] = bords[4][7] = true;
    EXPECT_EQ(calcule_choix(bords, false, false, AUCUNE_VA).masques[4], 0x81);
}

TEST(ReglesDeClic, UnMicroDecocheDecocheSonFaisceauSonBlocEtTous)
{
    Grille g = Grille::pleine();
    g.micros[12][3] = false;
    clic_micro(g, 12);
    EXPECT_FALSE(g.faisceaux[12]);
    EXPECT_FALSE(g.blocs[1]);
    EXPECT_TRUE(g.blocs[0]);
    EXPECT_FALSE(g.tous);

    g.micros[12][3] = true;
    clic_micro(g, 12);
    EXPECT_EQ(g, Grille::pleine());
}

TEST(ReglesDeClic, FaisceauBlocEtTous)
{
    Grille g = Grille::pleine();
    g.faisceaux[0] = false;
    clic_faisceau(g, 0);
    for (bool m : g.micros[0])
        EXPECT_FALSE(m);
    EXPECT_FALSE(g.blocs[0]);
    EXPECT_FALSE(g.tous);

    // Ticking another block while block 0 stays unticked leaves "Tous" unticked and block 0
    // alone.
    g.blocs[2] = false;
    clic_bloc(g, 2);
    EXPECT_FALSE(g.micros[20][5]);
    g.blocs[2] = true;
    clic_bloc(g, 2);
    EXPECT_TRUE(g.micros[20][5]);
    EXPECT_TRUE(g.faisceaux[23]);
    EXPECT_FALSE(g.blocs[0]);
    EXPECT_FALSE(g.tous);

    g.tous = true;
    clic_tous(g);
    EXPECT_EQ(g, Grille::pleine());
    g.tous = false;
    clic_tous(g);
    EXPECT_EQ(g, Grille{});
}

// Random operator clicks: the clicked box flips, then its rule runs; the grid stays consistent.
TEST(ReglesDeClic, InvariantApresDesClicsAuHasard)
{
    std::mt19937 alea(20221201);
    Grille g = Grille::pleine();
    for (int n = 0; n < 20000; ++n) {
        const int sorte = static_cast<int>(alea() % 100);
        if (sorte < 70) {
            const int b = static_cast<int>(alea() % 32), m = static_cast<int>(alea() % 8);
            g.micros[b][m] = !g.micros[b][m];
            clic_micro(g, b);
        } else if (sorte < 90) {
            const int b = static_cast<int>(alea() % 32);
            g.faisceaux[b] = !g.faisceaux[b];
            clic_faisceau(g, b);
        } else if (sorte < 98) {
            const int k = static_cast<int>(alea() % 4);
            g.blocs[k] = !g.blocs[k];
            clic_bloc(g, k);
        } else {
            g.tous = !g.tous;
            clic_tous(g);
        }
        ASSERT_TRUE(coherente(g)) << "after click " << n;
    }
}
