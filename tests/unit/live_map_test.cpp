// The live map against the map of the Welch matrix over the same frames (beamform.h), whatever
// the cut of the feeds, the window, the microphones left out; a gap is never bridged.
#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>

#include "analysis/beamform.h"
#include "analysis/live_map.h"

using namespace analysis;

namespace {

constexpr double kFs = 50000, kC = 343;

// n rows of 36 microphones (6 x 6, 4 cm pitch) hearing two tones from (0.08, -0.05, 0.5) and
// independent noise.
std::vector<float> rows_of(const std::vector<Microphone> &mics, size_t n)
{
    std::mt19937 rng(3);
    std::normal_distribution<double> noise(0, 1e-4);
    std::vector<float> rows(n * mics.size());
    for (size_t i = 0; i < mics.size(); ++i) {
        const double r = std::hypot(mics[i].x - 0.08, mics[i].y + 0.05, mics[i].z - 0.5);
        for (size_t t = 0; t < n; ++t)
            rows[t * mics.size() + i] = float(0.01 / r *
                                                  (std::cos(2 * M_PI * 5900 * (double(t) / kFs - r / kC)) +
                                                   std::sin(2 * M_PI * 6400 * (double(t) / kFs - r / kC) + 1)) +
                                              noise(rng));
    }
    return rows;
}

} // namespace

TEST(LiveMap, AgreesWithTheWelchMapOfItsWindowAndNeverBridgesAGap)
{
    std::vector<Microphone> mics;
    for (int i = 0; i < 36; ++i)
        mics.push_back({"Point " + std::to_string(i + 1), (i % 6 - 2.5) * 0.04, (i / 6 - 2.5) * 0.04, 0});
    const size_t n = 30000, m = mics.size();
    const auto rows = rows_of(mics, n);
    const Grid grid{-0.3, 0.3, 0.02, -0.3, 0.3, 0.02, 0.5};
    struct Case {
        const char *what;
        double window_s;
        size_t cut;
        bool diagonal_removed;
        int left_out; // -1: none
        uint64_t history = 0, end = UINT64_MAX; // a map that ends before the newest frames
    };
    const Case cases[] = {
        {"all blocks, fed in one piece", 5.0, n, true, -1},
        {"all blocks, odd cuts, diagonal kept", 5.0, 333, false, -1},
        {"a 0.1 s window sliding over the run", 0.1, 1000, true, -1},
        {"a microphone left out", 0.2, 4097, true, 14},
        {"a 0.1 s window ending 5000 frames before the newest", 0.1, 8160, true, -1, 8160, n - 5000},
        {"the whole run ending 3000 frames before the newest", 5.0, 2040, true, -1, 8160, n - 3000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LiveMapSettings s;
        s.block = 512, s.f1 = 5000, s.f2 = 7000, s.window_s = c.window_s, s.remove_diagonal = c.diagonal_removed;
        LiveMap live(kFs, mics, grid, s);
        live.set_history(c.history);
        if (c.left_out >= 0) {
            std::vector<bool> used(m, true);
            used[size_t(c.left_out)] = false;
            live.set_used(used);
        }
        for (size_t first = 0; first < n; first += c.cut) {
            live.feed(rows.data() + first * m, std::min(c.cut, n - first), first);
            if (first % 7000 < c.cut)
                live.map(); // maps made on the way change nothing
        }
        MapWindow window;
        const Map got = live.map(c.end, window);
        ASSERT_LE(window.first + window.frames, c.end);
        ASSERT_GT(window.first + window.frames + 256, std::min<uint64_t>(c.end, n)); // the newest block that ends by then
        if (c.history == 0) {
            ASSERT_EQ(window.first, live.first_frame());
        }
        // The Welch matrix of exactly the window's frames.
        FrameLayout layout;
        layout.mics.resize(m);
        std::iota(layout.mics.begin(), layout.mics.end(), 0);
        const FrameFormat format(layout);
        CrossSpectra csm(format, kFs, 512, 5000, 7000);
        ASSERT_GT(window.frames, 0u);
        csm.feed_samples(rows.data() + window.first * m, window.frames);
        EXPECT_EQ(csm.blocks(), window.blocks);
        std::vector<size_t> use;
        std::vector<Microphone> at;
        for (size_t i = 0; i < m; ++i) {
            if (int(i) != c.left_out)
                use.push_back(i), at.push_back(mics[i]);
        }
        BeamformSettings b;
        b.remove_diagonal = c.diagonal_removed;
        const Map want = beamform(csm, use, at, grid, b);
        EXPECT_EQ(got.peak, want.peak);
        const double top = to_db(want.power[want.peak]);
        for (size_t p = 0; p < want.power.size(); ++p)
            if (to_db(want.power[p]) > top - 15) {
                ASSERT_NEAR(to_db(got.power[p]), to_db(want.power[p]), 0.05) << "point " << p;
            }
        const double px = grid.x(int(got.peak % size_t(grid.nx()))), py = grid.y(int(got.peak / size_t(grid.nx())));
        EXPECT_LE(std::hypot(px - 0.08, py + 0.05), 0.03);
    }

    // Two pieces with 2000 frames missing between them: each block lies within one piece.
    LiveMapSettings s;
    s.block = 512, s.f1 = 5000, s.f2 = 7000, s.window_s = 5;
    LiveMap live(kFs, mics, grid, s);
    live.feed(rows.data(), 10000, 0);
    live.feed(rows.data() + 12000 * m, n - 12000, 12000);
    EXPECT_EQ(live.blocks(), (10000 - 512) / 256 + 1 + (n - 12000 - 512) / 256 + 1);
    // Time going back (a scrub) starts afresh.
    live.feed(rows.data(), 5000, 0);
    EXPECT_EQ(live.blocks(), (5000 - 512) / 256 + 1);

    // The spectra of a microphone: the tones' bins hold their mean square.
    LiveSpectra spectra(kFs, 1, 1000, 1.0);
    std::vector<float> one(n);
    for (size_t t = 0; t < n; ++t)
        one[t] = rows[t * m];
    spectra.feed(one.data(), n, 0);
    const auto mean = spectra.mean();
    ASSERT_EQ(mean.size(), 1u);
    const double r = std::hypot(mics[0].x - 0.08, mics[0].y + 0.05, 0.5);
    double near_5900 = 0;
    for (int k = 115; k <= 121; ++k)
        near_5900 += mean[0][size_t(k)];
    EXPECT_NEAR(to_db(near_5900), to_db(0.01 * 0.01 / 2 / (r * r)), 0.5);
}
