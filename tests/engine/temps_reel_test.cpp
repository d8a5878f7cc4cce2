// The data path on its own thread, through the engine's interface alone: at 2 kHz with the
// counter and one microphone (16 000 bytes a second, 17 minutes to fill one 8 MiB packet), a
// triggered run's first data reach the program well within a second of the trigger, and a
// Stop or an Abort from another thread reaches the recorder while the host's thread is blocked.
#include "acquisition/moteur.h"
#include "device/usbfs.h"
#include "emulator/recorder.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using horloge = std::chrono::steady_clock;

double ms_depuis(horloge::time_point t)
{
    return std::chrono::duration<double, std::milli>(horloge::now() - t).count();
}

struct Hote : moteur::Observateur {
    std::function<void()> a_chaque_tour;
    QString console_texte;
    void console(const QString &t, int) override { console_texte += t; }
    void pompe() override
    {
        if (a_chaque_tour)
            a_chaque_tour();
    }
};

} // namespace

// Stop while the run streams, Abort while it waits for its trigger: asked from another thread
// while the host's thread is blocked, each reaches the recorder within the block.
TEST(TempsReel, SlowRateFirstDataAndAStopOrAbortWhileTheHostIsBlocked)
{
    const struct {
        const char *nom;
        bool abandon; // Abort before the trigger, else Stop after the first data
    } cas[] = {{"stop", false}, {"abort", true}};
    emu::Recorder &rec = emu::Recorder::start();
    for (const auto &c : cas) {
        SCOPED_TRACE(c.nom);
        rec.set_usbfs_memory_mb(usbfs::LIMITE_REGLE_MO);
        rec.reset();
        rec.set_paced(true);
        Hote hote;
        moteur::Moteur m(hote);
        ASSERT_TRUE(m.ouvre()) << hote.console_texte.toStdString();

        reglages::Reglages r;
        r.entree_frequence = 16; // 2 000 Hz
        r.voies.compteur = true;
        r.voies.micros[0][0] = true;
        r.start.source = reglages::Source::Trig1;

        horloge::time_point declenche{};
        double premier_ms = -1, arret_ms = -1;
        bool bloque = false;
        std::thread autre;
        std::atomic<bool> hote_bloque{false};
        hote.a_chaque_tour = [&] {
            const moteur::Instantane i = m.instantane();
            const bool attend = i.etat == moteur::Etat::Attente && rec.waiting_for_trigger();
            if (!c.abandon && attend && declenche == horloge::time_point{}) {
                rec.fire_trigger(1);
                declenche = horloge::now();
            }
            if (premier_ms < 0 && i.trames > 0)
                premier_ms = ms_depuis(declenche);
            if (bloque || (c.abandon ? !attend : premier_ms < 0))
                return;
            // The host's thread blocks for 3 s; another thread stops or aborts the run meanwhile.
            bloque = true;
            hote_bloque = true;
            autre = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                const horloge::time_point t = horloge::now();
                if (c.abandon) {
                    m.abandonne();
                    rec.wait_until([&] { return !rec.waiting_for_trigger(); }, 5000);
                } else {
                    m.arrete();
                    rec.wait_until([&] { return !rec.streaming(); }, 5000);
                }
                arret_ms = ms_depuis(t);
                // Still blocked when the recorder obeyed: the request never waited for the host.
                EXPECT_TRUE(hote_bloque.load());
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(3000));
            hote_bloque = false;
        };
        const moteur::Bilan b = m.enregistre(r);
        if (autre.joinable())
            autre.join();

        std::printf("[ measure  ] 2 kHz, 2 words, %s: first data %.0f ms after the trigger, obeyed %.0f ms after it was asked\n",
                    c.nom, premier_ms, arret_ms);
        EXPECT_TRUE(b.lance);
        EXPECT_EQ(b.abandonne, c.abandon);
        EXPECT_EQ(b.arrete, !c.abandon);
        EXPECT_FALSE(b.donnees_perdues);
        EXPECT_EQ(b.sauts_compteur, 0u);
        EXPECT_EQ(rec.frames_dropped(), 0u);
        EXPECT_EQ(rec.pending_transfers(), 0);
        if (c.abandon) {
            EXPECT_LT(premier_ms, 0); // no data before the abort
            EXPECT_EQ(hote.console_texte.count(QStringLiteral("Acquisition arrêtée avant le déclenchement \r\n")), 1);
        } else {
            // An 8 MiB transfer would have taken 17 minutes to bring anything.
            ASSERT_GE(premier_ms, 0);
            EXPECT_LT(premier_ms, 2000);
        }
        ASSERT_GE(arret_ms, 0);
        EXPECT_LT(arret_ms, 2500); // within the host's block, whatever the machine's load
        EXPECT_EQ(m.etat(), moteur::Etat::Repos);
    }
}
