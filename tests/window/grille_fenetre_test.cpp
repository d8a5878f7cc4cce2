// The selection grid as built in the window: places, names, click rules driven by real mouse
// clicks and Space keys, the level view and the level pass.
#include "tests/support/fenetre.h"

#include <QAccessible>
#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QSet>
#include <QTest>

#include <cstring>
#include <random>
#include <vector>

#include "app/case_niveau.h"
#include "channels/colormap.h"
#include "channels/fenetre_niveaux.h"
#include "channels/selection.h"

namespace {

selection::Grille etat(const Principale &w)
{
    selection::Grille g;
    for (int b = 0; b < 32; ++b) {
        for (int m = 0; m < 8; ++m)
            g.micros[b][m] = w.grid[b][m]->isChecked();
        g.faisceaux[b] = w.faisceaux_T[b]->isChecked();
    }
    for (int k = 0; k < 4; ++k)
        g.blocs[k] = w.bloc_T[k]->isChecked();
    g.tous = w.paq_T->isChecked();
    return g;
}

// Colour shown by a level cell.
QColor fond(const QFrame *c)
{
    auto *n = dynamic_cast<const CaseNiveau *>(c);
    return n ? QColor::fromRgb(n->couleur()) : QColor();
}

} // namespace

// A screen reader tells every box of the grid apart: what it names is the box's own name.
TEST_F(Fenetre, GrilleNomsAccessibles)
{
    QSet<QString> noms;
    for (QCheckBox *c : w->groupBox_Micros->findChildren<QCheckBox *>()) {
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(c);
        ASSERT_NE(a, nullptr);
        noms << a->text(QAccessible::Name);
    }
    EXPECT_EQ(noms.size(), 256 + 32 + 4 + 1);
    const struct {
        QCheckBox *c;
        const char *nom;
    } cas[] = {{w->grid[3][5], "Micro 3.5"}, {w->grid[31][7], "Micro 31.7"}, {w->faisceaux_T[3], "Faisceau 3"},
               {w->bloc_T[2], "Bloc 2"},    {w->paq_T, "Tous les micros"},    {w->grid_VA[1], "VA 1"}};
    for (const auto &c : cas)
        EXPECT_EQ(QAccessible::queryAccessibleInterface(c.c)->text(QAccessible::Name), QString::fromUtf8(c.nom));
}

TEST_F(Fenetre, GrilleNomsEtPlaces)
{
    QWidget *g = w->groupBox_Micros;
    auto place = [&](const char *nom, int x, int y) {
        QWidget *c = ctrl<QWidget>(nom);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->parentWidget(), g) << nom;
        EXPECT_EQ(c->geometry(), QRect(x, y, 16, 16)) << nom;
    };
    place("Case_0_0", 88, 45);
    place("Case_7_2", 235, 83);
    place("Case_8_0", 264, 45);
    place("Case_31_7", 763, 178);
    place("Case_n_31_7", 763, 178);
    place("Faisceau_16", 440, 216);
    place("Label_F31", 763, 26);
    place("Label_M7", 67, 178);
    place("Label_MT", 67, 216);
    place("Tous", 784, 216);
    const int x_blocs[] = {172, 348, 524, 700};
    for (int k = 0; k < 4; ++k)
        place(qPrintable(QStringLiteral("Bloc_%1").arg(k)), x_blocs[k], 235);
    EXPECT_LE(w->paq_T->geometry().right() + 1, w->panel_dB->x());
    EXPECT_LE(w->bloc_T[0]->geometry().bottom() + 1, g->height());

    for (int b = 0; b < 32; ++b) {
        EXPECT_EQ(w->faisceaux_T[b]->objectName(), QStringLiteral("Faisceau_%1").arg(b));
        EXPECT_EQ(w->num_faisceaux[b]->text(), QString::number(b));
        for (int m = 0; m < 8; ++m) {
            EXPECT_EQ(w->grid[b][m]->objectName(), QStringLiteral("Case_%1_%2").arg(b).arg(m));
            EXPECT_TRUE(w->grid[b][m]->isChecked());
            EXPECT_TRUE(w->grid[b][m]->text().isEmpty());
            EXPECT_TRUE(w->grid_n[b][m]->isHidden());
            EXPECT_EQ(fond(w->grid_n[b][m]), QColor(Qt::white));
        }
    }
    EXPECT_EQ(w->num_micros[8]->text(), QStringLiteral("T"));

    // Labels in the toolkit's default family (not the group's), 10 and 8 points.
    EXPECT_NE(w->num_micros[3]->font().family(), QStringLiteral("Century Gothic"));
    EXPECT_EQ(w->num_micros[3]->font().pointSize(), 10);
    EXPECT_FALSE(w->num_micros[3]->font().bold());
    EXPECT_EQ(w->num_faisceaux[20]->font().pointSize(), 8);

    const QPoint va[] = {{10, 20}, {80, 20}, {10, 50}, {80, 50}};
    for (int n = 0; n < 4; ++n) {
        QCheckBox *c = w->grid_VA[n];
        EXPECT_EQ(c->parentWidget(), w->groupBox_VA);
        EXPECT_EQ(c->geometry(), QRect(va[n], QSize(60, 24)));
        EXPECT_EQ(c->text(), QStringLiteral("VA %1").arg(n));
        EXPECT_EQ(c->objectName(), QStringLiteral("VA_%1").arg(n));
        EXPECT_FALSE(c->isChecked());
        EXPECT_EQ(c->font().pointSize(), 10);
    }
}

// Operator clicks, by mouse or Space key, on random boxes: after each one the window's grid
// equals what the rules give on plain values, so each click ran exactly one rule, once.
TEST_F(Fenetre, ReglesDeClicParLaSourisEtLeClavier)
{
    w->applique_etat_repos();
    std::mt19937 alea(7);
    selection::Grille modele = selection::Grille::pleine();
    for (int n = 0; n < 300; ++n) {
        const int sorte = static_cast<int>(alea() % 10);
        QCheckBox *c = nullptr;
        if (sorte < 6) {
            const int b = static_cast<int>(alea() % 32), m = static_cast<int>(alea() % 8);
            c = w->grid[b][m];
            modele.micros[b][m] = !modele.micros[b][m];
            selection::clic_micro(modele, b);
        } else if (sorte < 8) {
            const int b = static_cast<int>(alea() % 32);
            c = w->faisceaux_T[b];
            modele.faisceaux[b] = !modele.faisceaux[b];
            selection::clic_faisceau(modele, b);
        } else if (sorte < 9) {
            const int k = static_cast<int>(alea() % 4);
            c = w->bloc_T[k];
            modele.blocs[k] = !modele.blocs[k];
            selection::clic_bloc(modele, k);
        } else {
            c = w->paq_T;
            modele.tous = !modele.tous;
            selection::clic_tous(modele);
        }
        if (alea() % 2)
            QTest::mouseClick(c, Qt::LeftButton, Qt::NoModifier, QPoint(8, 8));
        else
            QTest::keyClick(c, Qt::Key_Space);
        const selection::Grille g = etat(*w);
        ASSERT_TRUE(selection::coherente(g)) << "click " << n << " on " << c->objectName().toStdString();
        ASSERT_EQ(g, modele) << "click " << n << " on " << c->objectName().toStdString();
    }
}

TEST_F(Fenetre, EtatsPosesParLeProgrammeNeLancentAucuneRegle)
{
    w->applique_etat_repos();
    w->grid[0][0]->setChecked(false);
    EXPECT_TRUE(w->faisceaux_T[0]->isChecked());
    w->paq_T->setChecked(false);
    EXPECT_TRUE(w->grid[5][5]->isChecked());

    // A disabled grid takes no click.
    w->applique_etat_verrouille();
    clic(w->grid[1][1]);
    EXPECT_TRUE(w->grid[1][1]->isChecked());
}

TEST_F(Fenetre, BarreDeCouleursPeinteDeBasEnHaut)
{
    const QImage barre = w->pictureBox_ColorBar->pixmap().toImage();
    ASSERT_EQ(barre.size(), QSize(23, 128));
    for (int i : {0, 14, 60, 110, 127}) {
        const niveaux::Rvb c = niveaux::couleur(i);
        for (int x : {0, 22})
            EXPECT_EQ(barre.pixelColor(x, 127 - i), QColor(c.r, c.v, c.b)) << "index " << i;
        EXPECT_EQ(w->R_jet[i], c.r);
        EXPECT_EQ(w->V_jet[i], c.v);
        EXPECT_EQ(w->B_jet[i], c.b);
    }
}

TEST_F(Fenetre, VueDesNiveauxEtRetour)
{
    w->applique_etat_repos();
    clic(w->grid[2][2]);
    w->progressBar_Progress->setValue(40);
    dynamic_cast<CaseNiveau *>(w->grid_n[4][4])->setCouleur(qRgb(255, 0, 0)); // left by an earlier run

    w->affiche_cases(true);
    EXPECT_TRUE(w->panel_dB->isVisible());
    EXPECT_FALSE(w->grid[0][0]->isVisible());
    EXPECT_TRUE(w->grid_n[0][0]->isVisible());
    EXPECT_EQ(fond(w->grid_n[4][4]), QColor(Qt::white));
    EXPECT_FALSE(w->faisceaux_T[3]->isVisible());
    EXPECT_FALSE(w->bloc_T[2]->isVisible());
    EXPECT_FALSE(w->paq_T->isVisible());
    EXPECT_FALSE(w->num_micros[8]->isVisible());
    EXPECT_TRUE(w->num_micros[7]->isVisible());
    EXPECT_TRUE(w->num_faisceaux[31]->isVisible());
    EXPECT_EQ(w->progressBar_Progress->value(), 40);

    w->affiche_cases(false);
    EXPECT_FALSE(w->panel_dB->isVisible());
    EXPECT_TRUE(w->grid[0][0]->isVisible());
    EXPECT_FALSE(w->grid_n[0][0]->isVisible());
    EXPECT_TRUE(w->paq_T->isVisible());
    EXPECT_TRUE(w->num_micros[8]->isVisible());
    EXPECT_EQ(w->progressBar_Progress->value(), 0);
    // The selection made before comes back unchanged.
    EXPECT_FALSE(w->grid[2][2]->isChecked());
    EXPECT_FALSE(w->faisceaux_T[2]->isChecked());
    EXPECT_TRUE(w->grid[2][3]->isChecked());
}

namespace {

// Packet p of a stream of nb_voies-word frames: word 0 the frame number (with the counter),
// then microphone i a constant amplitude.
std::vector<unsigned char> flux(uint32_t p, int nb_voies, const std::vector<int32_t> &amplitudes, bool flottant, bool compteur)
{
    std::vector<unsigned char> paquet(Principale::TAILLE_PAQUET);
    const uint64_t debut = uint64_t(p) * Principale::TAILLE_PAQUET;
    for (uint32_t o = 0; o + 4 <= paquet.size(); o += 4) {
        const uint64_t mot = (debut + o) / 4;
        const int w = static_cast<int>(mot % nb_voies) + (compteur ? 0 : 1);
        int32_t v = static_cast<int32_t>(mot / nb_voies);
        if (w > 0)
            v = amplitudes[w - 1];
        if (flottant && w > 0) {
            const float f = static_cast<float>(v);
            std::memcpy(&paquet[o], &f, 4);
        } else {
            std::memcpy(&paquet[o], &v, 4);
        }
    }
    return paquet;
}

} // namespace

TEST_F(Fenetre, PasseDeNiveauxColoreLesMicrosChoisis)
{
    // Microphones 3 and 200, with the counter (3 words a frame) or without; packet 5 of the
    // stream, given whole or cut after its first 4096 bytes (as a triggered run's first transfer
    // is): the window of frames comes from each block's place in the run.
    for (int cas = 0; cas < 8; ++cas) {
        const bool flottant = cas % 2;
        const bool compteur = cas % 4 < 2;
        const bool coupe = cas >= 4;
        const int nb_voies = compteur ? 3 : 2;
        SCOPED_TRACE(cas);
        std::vector<unsigned char> paquet = flux(5, nb_voies, {5623, 10}, flottant, compteur);
        niveaux::Fenetre fenetre;
        fenetre.debut(nb_voies, 2, compteur, flottant);
        moteur::Niveaux n;
        n.canaux = {3, 200};
        n.moyennes_carres.resize(2);
        const uint64_t debut = 5ull * Principale::TAILLE_PAQUET;
        const uint32_t premier = coupe ? 4096u : uint32_t(paquet.size());
        bool pret = fenetre.ajoute(paquet.data(), {0, debut, premier, 0}, n.moyennes_carres.data(), &n.premiere_trame);
        if (coupe) {
            EXPECT_FALSE(pret); // 4096 bytes hold fewer than 2002 frames
            pret = fenetre.ajoute(paquet.data() + premier, {1, debut + premier, uint32_t(paquet.size()) - premier, 0},
                                  n.moyennes_carres.data(), &n.premiere_trame);
        }
        ASSERT_TRUE(pret);
        EXPECT_EQ(n.premiere_trame, (debut + 4u * nb_voies - 1) / (4u * nb_voies));
        w->affiche_cases(true);
        w->passe_niveaux(n);

        EXPECT_EQ(fond(w->grid_n[0][3]), QColor(112, 255, 143)); // index 60
        EXPECT_EQ(fond(w->grid_n[25][0]), QColor(0, 0, 183));    // index 5
        int blanches = 0;
        for (int b = 0; b < 32; ++b)
            for (int m = 0; m < 8; ++m)
                blanches += fond(w->grid_n[b][m]) == QColor(Qt::white);
        EXPECT_EQ(blanches, 254);
    }
}
