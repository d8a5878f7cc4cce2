// The channel selection as the emulated recorder receives it.
#include "tests/support/emule.h"

#include <QCheckBox>

namespace {

std::string commande_voies(int groupe, int masque)
{
    char t[32];
    std::snprintf(t, sizeof t, "B3:05 00 %02X %02X", groupe, masque);
    return t;
}

} // namespace

TEST_F(FenetreEmulee, SelectionParDefautTrenteTroisCommandes)
{
    ASSERT_TRUE(w->moteur.ouvre_lien());
    rec->clear_requests();
    w->choix_micros();

    std::vector<std::string> attendu;
    for (int b = 0; b < 32; ++b)
        attendu.push_back(commande_voies(b, 0xFF));
    attendu.push_back(commande_voies(0xFF, 0x80));
    EXPECT_EQ(requetes(), attendu);
    EXPECT_EQ(rec->words_per_frame(), 257);

    EXPECT_EQ(w->moteur.diagnostic().nb_micros, 256);
    EXPECT_EQ(w->moteur.diagnostic().nb_voies, 257);
    EXPECT_TRUE(w->moteur.diagnostic().compteur);
    const std::vector<int> micros = w->moteur.diagnostic().micros;
    ASSERT_EQ(micros.size(), 256u);
    for (int c = 0; c < 256; ++c)
        ASSERT_EQ(micros[size_t(c)], c);
    EXPECT_EQ(w->moteur.diagnostic().entete.micros_actifs[31][7], 1);
    EXPECT_EQ(w->moteur.diagnostic().entete.micros_actifs[32][0], 0); // beams past 31: never set
    EXPECT_EQ(w->moteur.diagnostic().entete.compteurs_actifs[0], 1);
}

TEST_F(FenetreEmulee, SelectionChoisieMasquesEtDrapeaux)
{
    ASSERT_TRUE(w->moteur.ouvre_lien());
    w->applique_etat_repos();
    clic(w->paq_T); // untick everything
    for (QCheckBox *c : {w->grid[31][7], w->grid[0][5], w->grid[1][0], w->grid_VA[0], w->grid_VA[3]})
        clic(c);
    clic(w->checkBox_Test);
    clic(w->checkBox_Compteur);
    clic(w->checkBox_Status);

    rec->clear_requests();
    w->choix_micros();
    const std::vector<std::string> r = requetes();
    ASSERT_EQ(r.size(), 33u);
    EXPECT_EQ(r[0], commande_voies(0, 0x20));
    EXPECT_EQ(r[1], commande_voies(1, 0x01));
    EXPECT_EQ(r[2], commande_voies(2, 0x00));
    EXPECT_EQ(r[31], commande_voies(31, 0x80));
    EXPECT_EQ(r[32], commande_voies(0xFF, 0x49)); // status + VA 0 + VA 3, no counter
    EXPECT_EQ(rec->aux_mask(), 0x49);

    EXPECT_EQ(w->moteur.diagnostic().nb_micros, 3);
    EXPECT_EQ(w->moteur.diagnostic().nb_voies, 6);
    EXPECT_FALSE(w->moteur.diagnostic().compteur);
    EXPECT_EQ(w->moteur.diagnostic().micros, (std::vector<int>{5, 8, 255}));

    const auto &h = w->moteur.diagnostic().entete;
    EXPECT_EQ(h.micros_actifs[0][5], 1);
    EXPECT_EQ(h.micros_actifs[0][4], 0);
    EXPECT_EQ(h.micros_actifs[1][0], 1);
    EXPECT_EQ(h.micros_actifs[31][7], 1);
    EXPECT_EQ(h.micros_actifs[31][6], 0);
    const int8_t va[4] = {1, 0, 0, 1};
    for (int n = 0; n < 4; ++n)
        EXPECT_EQ(h.va_actives[0][n], va[n]) << n;
    EXPECT_EQ(h.compteurs_actifs[0], 0); // the status word has no flag
}
