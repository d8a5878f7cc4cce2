// Colour map and live level display: the colour bar, the switch between the selection view
// and the level view, and the level pass on the latest packet.
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

// The streaming loop has checked that a level pass is due on packet num_pkt_aff, the latest
// the ring received, and that it holds more than 2001 frames.
void Principale::passe_niveaux()
{
    const unsigned char *paquet = anneau.dernier_paquet;
    const int32_t nb_voies = run.nb_voies;
    const int32_t n = std::min(run.nb_micros, 256);
    if (!paquet || n <= 0 || nb_voies <= 0)
        return;
    double ms[256];
    // The level window's first frame starts at the byte after the first frame boundary; the
    // pass reads microphone i from word i + 1 of a frame, so without the counter (the
    // microphones then start at word 0) it starts one word earlier.
    const uint32_t debut = niveaux::decalage_trame(num_pkt_aff, nb_voies) - (run.compteur ? 0u : 4u);
    niveaux::moyennes_carres(paquet, debut, nb_voies, n, run.type_float, ms);
    const auto &table = couleurs();
    for (int32_t i = 0; i < n; ++i) {
        const int c = run.num_mic_valid[size_t(i)];
        if (c < 0 || c > 255)
            continue;
        cellule(grid_n[c / 8][c % 8])->setCouleur(table[niveaux::indice_niveau(ms[i])]);
    }
}
