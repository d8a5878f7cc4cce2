// What the window shows and lets the operator do while a real run streams, and the counter
// check end to end with frame widths whose frames packets cut at different places.
#include "tests/support/emule.h"

#include "acquisition/planning.h"

#include "app/case_niveau.h"
#include "channels/colormap.h"
#include "emulator/frames.h"

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QDoubleSpinBox>
#include <QPlainTextEdit>
#include <QTimer>

#include <cmath>
#include <functional>
#include <set>

class PendantRun : public FenetreEmulee {
protected:
    // Starts a paced, unrecorded run and calls `voir` once `paquets` packets have been handled,
    // from inside the run's own event processing; then stops the run.
    void pendant(uint32_t paquets, const std::function<void()> &voir)
    {
        if (!w->moteur.diagnostic().initialisation)
            initialise_ok();
        w->checkBox_Record->setChecked(false);
        rec->set_paced(true);
        w->numericUpDown_Duree->setValue(60.0);
        bool vu = false;
        QTimer sonde;
        QObject::connect(&sonde, &QTimer::timeout, w.get(), [&] {
            if (vu || !w->moteur.diagnostic().started || w->moteur.diagnostic().paquets < paquets)
                return;
            vu = true;
            voir();
            w->button_Stop->click();
        });
        sonde.start(5);
        clic(w->button_Start);
        EXPECT_TRUE(vu) << "the run ended before " << paquets << " packets";
        EXPECT_TRUE(etat_repos());
    }
};

// Whatever the state table turns off during a run is really unusable: only Stop answers.
TEST_F(PendantRun, OnlyStopIsUsableWhileStreaming)
{
    pendant(3, [this] {
        std::set<std::string> utilisables;
        for (QWidget *c : w->findChildren<QWidget *>()) {
            const bool controle = qobject_cast<QAbstractButton *>(c) || qobject_cast<QAbstractSpinBox *>(c) ||
                                  qobject_cast<QAbstractItemView *>(c) || qobject_cast<QPlainTextEdit *>(c);
            if (controle && c->isVisible() && c->isEnabled())
                utilisables.insert(c->objectName().toStdString());
        }
        EXPECT_EQ(utilisables, std::set<std::string>{"button_Stop"});
        // An operator's clicks on Init and "Enregistrement" change nothing.
        rec->clear_requests();
        clic(w->button_Init);
        clic(w->checkBox_Record);
        EXPECT_TRUE(requetes().empty());
        EXPECT_FALSE(w->moteur.diagnostic().record);
    });
}

// The level cells follow the recorder's level pattern (each microphone's sine amplitude) from
// the last completed packet; unselected microphones stay white.
TEST_F(PendantRun, LevelCellsShowTheRecorderPatternWhileStreaming)
{
    initialise_ok();
    clic(w->faisceaux_T[0]); // beam 0 off
    clic(w->grid[12][5]);
    ASSERT_FALSE(w->grid[0][3]->isChecked());
    ASSERT_FALSE(w->grid[12][5]->isChecked());
    const QRgb blanc = qRgb(255, 255, 255);
    pendant(10, [this, blanc] {
        int faux = 0;
        for (int c = 0; c < 256; ++c) {
            const QRgb vu = static_cast<CaseNiveau *>(w->grid_n[c / 8][c % 8])->couleur();
            if (!w->grid[c / 8][c % 8]->isChecked()) {
                EXPECT_EQ(vu, blanc) << "microphone " << c;
                continue;
            }
            // Mean square of a sine of amplitude A over whole periods: A²/2 (a colour step
            // either way for the part period and the noise).
            const double a = emu::mic_amplitude(c);
            const int i = niveaux::indice_niveau(a * a / 2);
            bool proche = false;
            for (int j = std::max(0, i - 1); j <= std::min(niveaux::NB_COULEURS - 1, i + 1); ++j) {
                const niveaux::Rvb r = niveaux::couleur(j);
                proche = proche || vu == qRgb(r.r, r.v, r.b);
            }
            if (!proche && ++faux <= 5)
                ADD_FAILURE() << "microphone " << c << " does not show level " << i;
        }
        EXPECT_EQ(faux, 0);
    });
}

// The counter check over whole runs with 1, 2, 17 and 262 words per frame (transfers cut frames
// at different places, and 1 and 2 divide them), with the counter crossing 2^32, without
// and with a jump of the counter one frame after the first frame of transfer 2: the jump is
// reported once, at the first transfer whose first whole frame comes after it. The transfers
// are sized to the data rate (of one packet at 262 words).
TEST_F(PendantRun, CounterCheckWithOtherFrameWidths)
{
    initialise_ok();
    w->checkBox_Record->setChecked(false);
    w->checkBox_Test->setChecked(true); // the status channel is an advanced choice
    rec->set_counter_start(0xFFFFF000u);
    constexpr uint64_t MOTS = Principale::TAILLE_PAQUET / 4;
    for (int largeur : {1, 2, 17, 262}) {
        const int micros = largeur == 262 ? 256 : largeur - 1;
        for (int b = 0; b < 32; ++b)
            for (int m = 0; m < 8; ++m)
                w->grid[b][m]->setChecked(8 * b + m < micros);
        w->checkBox_Status->setChecked(largeur == 262);
        for (QCheckBox *va : w->grid_VA)
            va->setChecked(largeur == 262);
        // About four and a half packets.
        w->numericUpDown_Duree->setValue(std::ceil(4.5 * MOTS / largeur / 5000.0) / 10.0);
        const uint64_t mots = planning::dimension_anneau(largeur * 4 * 50000.0).taille / 4;
        const auto premiere_trame = [largeur, mots](uint64_t p) { return (p * mots + largeur - 1) / largeur; };
        for (bool saut : {false, true}) {
            SCOPED_TRACE(testing::Message() << largeur << " words, jump " << saut);
            const uint64_t trame_saut = premiere_trame(2) + 1;
            rec->fault_counter_jump_at_frame(saut ? trame_saut : UINT64_MAX, saut ? 1000 : 0);
            const qsizetype marque = console().size();
            clic(w->button_Start);
            ASSERT_EQ(w->moteur.diagnostic().nb_voies, largeur);
            const QString dit = console_depuis(marque);
            if (!saut) {
                EXPECT_FALSE(dit.contains(QStringLiteral("Erreur sur le compteur"))) << dit.toStdString();
                EXPECT_EQ(w->moteur.diagnostic().octets_recus, uint64_t(largeur) * 4 * w->moteur.diagnostic().count);
                EXPECT_GT(w->moteur.diagnostic().octets_recus, 4 * uint64_t(Principale::TAILLE_PAQUET));
                continue;
            }
            uint64_t p = 0;
            while (premiere_trame(p) < trame_saut)
                ++p;
            EXPECT_EQ(dit.count(QStringLiteral("Erreur sur le compteur")), 1) << dit.toStdString();
            EXPECT_TRUE(dit.contains(QStringLiteral("\r\nErreur sur le compteur paquet : %1\r\n").arg(p))) << dit.toStdString();
        }
    }
    rec->fault_counter_jump_at_frame(UINT64_MAX, 0);
}
