// Colour map and live level display: the colour bar, the switch between the selection view
// and the level view, and the cells painted from the engine's levels.
#include "app/principale.h"
#include "app/case_niveau.h"
#include "channels/colormap.h"

#include <QCheckBox>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>

#include <algorithm>
#include <array>

namespace {

// The 128 colours, made once.
const std::array<QRgb, niveaux::NB_COULEURS> &couleurs()
{
    static const std::array<QRgb, niveaux::NB_COULEURS> table = [] {
        std::array<QRgb, niveaux::NB_COULEURS> t{};
        for (int i = 0; i < niveaux::NB_COULEURS; ++i) {
            const niveaux::Rvb c = niveaux::couleur(i);
            t[i] = qRgb(c.r, c.v, c.b);
        }
        return t;
    }();
    return table;
}

CaseNiveau *cellule(QFrame *f) { return static_cast<CaseNiveau *>(f); }

} // namespace

void Principale::init_colorbar()
{
    niveaux::remplit_tables(R_jet, V_jet, B_jet);

    QImage image(23, niveaux::NB_COULEURS, QImage::Format_RGB32);
    for (int i = 0; i < niveaux::NB_COULEURS; ++i) {
        const QRgb c = qRgb(R_jet[i], V_jet[i], B_jet[i]);
        auto *ligne = reinterpret_cast<QRgb *>(image.scanLine(niveaux::NB_COULEURS - 1 - i));
        std::fill(ligne, ligne + image.width(), c);
    }
    pictureBox_ColorBar->setPixmap(QPixmap::fromImage(image));
    pictureBox_ColorBar->repaint();
    couleurs(); // made now rather than during the first run
}

void Principale::affiche_cases(bool niv)
{
    for (int b = 0; b < 32; ++b) {
        for (int m = 0; m < 8; ++m) {
            grid[b][m]->setVisible(!niv);
            if (niv)
                cellule(grid_n[b][m])->setCouleur(qRgb(255, 255, 255));
            grid_n[b][m]->setVisible(niv);
        }
        faisceaux_T[b]->setVisible(!niv);
    }
    num_micros[8]->setVisible(!niv);
    for (QCheckBox *c : bloc_T)
        c->setVisible(!niv);
    paq_T->setVisible(!niv);
    panel_dB->setVisible(niv);
    if (!niv)
        progressBar_Progress->setValue(0);
}

// The levels the engine measured on the frames it received, one cell per microphone.
void Principale::passe_niveaux(const moteur::Niveaux &n)
{
    const auto &table = couleurs();
    for (size_t i = 0; i < n.canaux.size() && i < n.moyennes_carres.size(); ++i) {
        const int c = n.canaux[i];
        if (c < 0 || c > 255)
            continue;
        cellule(grid_n[c / 8][c % 8])->setCouleur(table[niveaux::indice_niveau(n.moyennes_carres[i])]);
    }
}
