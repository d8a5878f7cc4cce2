// The live level grid painted from where each block lies in the run: a run armed on Trig1,
// whose first transfer is one short block, paints the grid a Soft start paints on the same
// signals, at the top rate (transfers of one packet) and at a rate of small transfers.
#include "tests/support/emule.h"

#include "app/case_niveau.h"
#include "channels/colormap.h"

#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFrame>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdlib>

namespace {

// Colour index a level cell shows, -1 for a cell still white or a colour off the map.
int indice(const QFrame *c)
{
    const auto *n = dynamic_cast<const CaseNiveau *>(c);
    if (!n)
        return -1;
    const QColor q = QColor::fromRgb(n->couleur());
    for (int i = 0; i < niveaux::NB_COULEURS; ++i) {
        const niveaux::Rvb r = niveaux::couleur(i);
        if (q == QColor(r.r, r.v, r.b))
            return i;
    }
    return -1;
}

} // namespace

class Niveaux : public FenetreEmulee {
protected:
    // The grid once every cell shows a level, 600 ms into streaming.
    std::array<int, 256> grille(int entree, bool trig1)
    {
        std::array<int, 256> g{};
        g.fill(-1);
        choisit_frequence(entree);
        w->numericUpDown_Duree->setValue(2.0);
        (trig1 ? w->radioButton_Start_Trig1 : w->radioButton_Start_Soft)->setChecked(true);
        bool pris = false;
        QTimer sonde;
        QElapsedTimer flux;
        QObject::connect(&sonde, &QTimer::timeout, w.get(), [&] {
            if (trig1 && rec->waiting_for_trigger())
                rec->fire_trigger(1);
            if (pris || !w->button_Stop->isVisible())
                return;
            if (!flux.isValid())
                flux.start();
            if (flux.elapsed() < 600)
                return;
            for (int c = 0; c < 256; ++c)
                g[size_t(c)] = indice(w->grid_n[c / 8][c % 8]);
            pris = std::find(g.begin(), g.end(), -1) == g.end();
        });
        sonde.start(20);
        clic(w->button_Start);
        EXPECT_TRUE(pris) << "the grid never showed every level";
        return g;
    }
};

TEST_F(Niveaux, ArmedOnTrig1PaintsTheGridOfASoftStart)
{
    initialise_ok();
    rec->set_paced(true);
    w->checkBox_Record->setChecked(false);
    for (const int entree : {0, 7}) { // 50 kHz: transfers of 8 MiB; 25 kHz: of about 100 ms
        SCOPED_TRACE(entree);
        const std::array<int, 256> soft = grille(entree, false);
        const std::array<int, 256> trig = grille(entree, true);
        EXPECT_EQ(rec->start_trigger() & 0x0F, 1); // the second run was armed on Trig1
        // Both windows hold 2 000 frames of the same signals, from different frames: a colour
        // may differ by one step where a level lies on a step's edge, never more.
        int egales = 0;
        for (int c = 0; c < 256; ++c) {
            EXPECT_LE(std::abs(soft[size_t(c)] - trig[size_t(c)]), 1) << "microphone " << c;
            egales += soft[size_t(c)] == trig[size_t(c)];
        }
        EXPECT_GE(egales, 240);
        std::printf("[ measure  ] entry %d: %d of 256 cells the same colour\n", entree, egales);
    }
}
