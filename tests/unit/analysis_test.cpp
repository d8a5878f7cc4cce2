// The analysis library on frames made here: geometry files that do not fit, each injected
// microphone fault found with its kind and no other, maps that put their peaks on the sources,
// and blocks fed in any cut giving what one whole feed gives.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cmath>
#include <cstring>
#include <fstream>
#include <random>

#include "analysis/beamform.h"
#include "analysis/health.h"

using namespace analysis;

namespace {

constexpr double kFs = 50000, kC = 343;

// 36 microphones on a 6 x 6 square of 4 cm pitch, in the plane z = 0.
std::vector<Microphone> square_array()
{
    std::vector<Microphone> p;
    for (int i = 0; i < 36; ++i)
        p.push_back({"Point " + std::to_string(i + 1), (i % 6 - 2.5) * 0.04, (i / 6 - 2.5) * 0.04, 0});
    return p;
}

struct Source {
    double x, y, z;
    std::vector<double> freqs; // tones of amplitude 0.01 and random phase, propagated exactly
};

// Frames of a counter and the microphones: the sources in free field (delay r/c, amplitude 1/r,
// computed exactly for each tone), plus independent noise; then each fault changes its microphone.
std::vector<uint8_t> frames_of(const std::vector<Microphone> &mics, const std::vector<Source> &sources, size_t n,
                               bool floats, const std::vector<std::pair<size_t, Verdict>> &faults = {})
{
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0, 1e-4);
    std::uniform_real_distribution<double> phase(0, 2 * M_PI);
    std::vector<std::vector<double>> phases;
    for (const Source &s : sources) {
        phases.emplace_back();
        for (size_t k = 0; k < s.freqs.size(); ++k)
            phases.back().push_back(phase(rng));
    }
    const size_t m = mics.size(), words = m + 1;
    std::vector<uint8_t> out(n * words * 4);
    for (size_t i = 0; i < m; ++i) {
        std::vector<double> v(n, 0.0);
        for (size_t s = 0; s < sources.size(); ++s) {
            const Source &src = sources[s];
            const double r = std::hypot(mics[i].x - src.x, mics[i].y - src.y, mics[i].z - src.z);
            for (size_t k = 0; k < src.freqs.size(); ++k)
                for (size_t t = 0; t < n; ++t)
                    v[t] += 0.01 / r * std::cos(2 * M_PI * src.freqs[k] * (double(t) / kFs - r / kC) + phases[s][k]);
        }
        for (double &x : v)
            x += noise(rng);
        for (const auto &[which, kind] : faults) {
            if (which != i)
                continue;
            const double top = *std::max_element(v.begin(), v.end());
            for (size_t t = 0; t < n; ++t) {
                double &x = v[t];
                x = kind == Verdict::Dead               ? 0.0
                    : kind == Verdict::ReversedPolarity ? -x
                    : kind == Verdict::Clipping         ? std::clamp(x, -0.3 * top, 0.3 * top)
                    : kind == Verdict::LevelOutlier     ? 0.25 * x
                    : kind == Verdict::Dropouts         ? (t % 2000 < 50 ? 0.0 : x)
                    : kind == Verdict::DcOffset         ? x + 0.2
                                                        : x + noise(rng) * 1e4; // incoherent
            }
        }
        for (size_t t = 0; t < n; ++t) {
            uint8_t *w = out.data() + (t * words + 1 + i) * 4;
            const double scaled = v[t] * kFullScale;
            if (floats) {
                const float f = float(scaled);
                std::memcpy(w, &f, 4);
            } else {
                const int32_t x = int32_t(std::lround(scaled));
                std::memcpy(w, &x, 4);
            }
        }
    }
    for (size_t t = 0; t < n; ++t) {
        const uint32_t counter = uint32_t(t);
        std::memcpy(out.data() + t * words * 4, &counter, 4);
    }
    return out;
}

FrameFormat format_for(size_t m, bool floats)
{
    FrameLayout l; // the counter, then the microphones
    l.counter = true;
    l.floats = floats;
    for (size_t i = 0; i < m; ++i)
        l.mics.push_back(int(i));
    return FrameFormat(l);
}

std::vector<int> channels(size_t m)
{
    std::vector<int> c(m);
    std::iota(c.begin(), c.end(), 0);
    return c;
}

} // namespace

TEST(Geometry, ReadsTheLayoutAndNamesFileAndLineOfWhatDoesNotFit)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath("array.xml").toStdString();
    const auto write = [&](const std::string &text) { std::ofstream(path) << text; };
    const std::string head = "<?xml version=\"1.0\"?>\n<MicArray name=\"test\">\n";
    const std::string two = "  <pos Name=\"Point 1\" x=\"0.1\" y=\"-0.2\" z=\"0\"/>\n  <pos Name=\"Point 2\" x=\"-1e-2\" y=\"0.3\" z=\"0.5\"/>\n";

    write(head + two + "</MicArray>\n");
    const Geometry g = read_geometry(path);
    ASSERT_EQ(g.mics.size(), 2u);
    EXPECT_EQ(g.name, "test");
    EXPECT_EQ(g.mics[1].name, "Point 2");
    EXPECT_DOUBLE_EQ(g.mics[1].x, -0.01);
    EXPECT_DOUBLE_EQ(g.mics[1].z, 0.5);
    EXPECT_EQ(positions_of(g, {1, 0})[0].name, "Point 2");

    struct Case {
        const char *what;
        std::string text;
        std::vector<int> channels; // the run's microphones, checked against the layout
        int line;
        const char *says;
    };
    const Case cases[] = {
        {"fewer positions than microphones", head + two + "</MicArray>\n", {0, 1, 2}, 5, "fewer than the microphones"},
        {"a missing coordinate", head + two + "  <pos Name=\"Point 3\" x=\"0\" y=\"0\"/>\n</MicArray>\n", {}, 5, "without the coordinate z"},
        {"a coordinate that is no number", head + "  <pos x=\"0\" y=\"north\" z=\"0\"/>\n</MicArray>\n", {}, 3, "y is not a number"},
        {"not XML", "x,y,z\n0.1,0.2,0\n", {}, 1, "not a microphone array layout"},
        {"cut short", head + two, {}, 5, "not a microphone array layout"},
        {"another element", head + "  <mic x=\"0\" y=\"0\" z=\"0\"/>\n</MicArray>\n", {}, 3, "expected <pos>"},
        {"no position", head + "</MicArray>\n", {}, 3, "no <pos>"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        write(c.text);
        try {
            positions_of(read_geometry(path), c.channels);
            ADD_FAILURE() << "accepted";
        } catch (const GeometryError &e) {
            const std::string prefix = path + ":" + std::to_string(c.line) + ": ";
            EXPECT_EQ(std::string(e.what()).substr(0, prefix.size()), prefix) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
        }
    }
}

TEST(Health, FindsEachInjectedFaultWithItsKindAndNoOther)
{
    const auto mics = square_array();
    const std::vector<std::pair<size_t, Verdict>> faults = {
        {3, Verdict::Dead},         {8, Verdict::Dropouts},   {14, Verdict::Clipping},       {17, Verdict::DcOffset},
        {21, Verdict::ReversedPolarity}, {26, Verdict::Incoherent}, {29, Verdict::LevelOutlier}};
    // A broadband source: 40 tones from 500 Hz to 4 kHz.
    Source s{0.05, -0.03, 0.8, {}};
    for (int k = 0; k < 40; ++k)
        s.freqs.push_back(500 + 90.0 * k);
    for (bool floats : {false, true}) {
        SCOPED_TRACE(floats ? "float samples" : "int32 samples");
        const size_t n = 60000; // 29 spectral blocks: enough to judge coherence and polarity
        const auto frames = frames_of(mics, {s}, n, floats, faults);
        const FrameFormat f = format_for(mics.size(), floats);
        std::vector<std::string> names;
        for (size_t i = 0; i < mics.size(); ++i)
            names.push_back("mic_" + std::to_string(i));
        HealthSettings every, threaded;
        every.expected_frames = threaded.expected_frames = n;
        threaded.spectra_thread = true;
        HealthMeter meter(f, channels(mics.size()), names, kFs, mics, every),
            converted(f, channels(mics.size()), names, kFs, mics, threaded);
        // Fed in uneven pieces, as packets come; the frames straight, and as samples converted first
        // (their neighbours' spectra on a thread of their own).
        std::vector<float> rows(1237 * mics.size());
        for (size_t first = 0; first < n; first += 1237) {
            const uint8_t *piece = frames.data() + first * size_t(f.words()) * 4;
            meter.feed(piece, std::min<size_t>(1237, n - first));
            to_samples(piece, std::min<size_t>(1237, n - first), f, rows.data());
            converted.feed_samples(rows.data(), std::min<size_t>(1237, n - first));
        }
        const HealthReport r = meter.report(), same = converted.report();
        for (size_t i = 0; i < mics.size(); ++i) {
            const MicHealth &a = r.mics[i], &b = same.mics[i];
            EXPECT_TRUE(a.level_db == b.level_db && a.dc == b.dc && a.peak == b.peak && a.clipped == b.clipped &&
                        a.verdict == b.verdict && a.polarity_votes == b.polarity_votes)
                << "microphone " << i << ": the frames and their samples disagree";
        }
        EXPECT_EQ(r.frames, n);
        std::vector<std::pair<size_t, Verdict>> found;
        for (size_t i : r.faulty())
            found.emplace_back(i, r.mics[i].verdict);
        EXPECT_EQ(found, faults);
        EXPECT_NEAR(r.mics[0].level_db, 20 * std::log10(40 * 0.01 * 0.01 / 2) / 2 - 20 * std::log10(0.8), 1.5);
        EXPECT_NEAR(r.mics[14].clipped, 0.3, 0.3); // a good share of its samples sit at its ceiling
        EXPECT_GT(r.mics[14].clipped, 0.01);
        EXPECT_EQ(r.mics[0].clipped, 0.0);

        // Read in two parts and merged, the samples' figures are those of one pass. Microphone 5
        // may get a peak early and 8 equal samples, away from its extremes so far in one pass but
        // at the later part's own top, just after `split`.
        struct Split {
            const char *what;
            size_t split;
            bool held, merges; // the 8 equal samples; merged as it is (else read again)
        };
        for (const Split &c : {Split{"between two runs of zeros", 16000, false, true},
                               Split{"within a run of zeros", 2048, false, false},
                               Split{"a held value at the later part's top", 16000, true, false}}) {
            SCOPED_TRACE(c.what);
            auto copy = frames;
            const auto set = [&](size_t t, float v) {
                if (floats)
                    return std::memcpy(copy.data() + (t * f.words() + 6) * 4, &(v *= float(kFullScale)), 4), void();
                const int32_t x = int32_t(v * kFullScale);
                std::memcpy(copy.data() + (t * f.words() + 6) * 4, &x, 4);
            };
            for (size_t t = c.split + 10; c.held && t < c.split + 18; ++t)
                set(t, 0.4f), set(100, 0.5f);
            HealthMeter whole(f, channels(mics.size()), names, kFs), parts(f, channels(mics.size()), names, kFs);
            whole.feed(copy.data(), n);
            const size_t bytes = size_t(f.words()) * 4;
            parts.feed(copy.data(), c.split);
            SampleStats later = parts.part();
            later.begin_after(copy.data(), copy.data() + (c.split - 1) * bytes);
            later.feed(copy.data() + c.split * bytes, n - c.split);
            EXPECT_EQ(parts.samples().merge(later), c.merges);
            if (!c.merges)
                parts.samples().feed(copy.data() + c.split * bytes, n - c.split);
            const HealthReport a = whole.report(), b = parts.report();
            EXPECT_EQ(a.frames, b.frames);
            for (size_t i = 0; i < mics.size(); ++i) {
                const MicHealth &x = a.mics[i], &y = b.mics[i];
                EXPECT_TRUE(!(std::abs(x.level_db - y.level_db) > 1e-9) && std::abs(x.dc - y.dc) < 1e-15 && x.peak == y.peak &&
                            x.clipped == y.clipped && x.held == y.held && x.held_runs == y.held_runs && x.verdict == y.verdict)
                    << "microphone " << i << ": " << x.held_runs << " runs against " << y.held_runs;
            }
        }
    }
}

TEST(Health, VerdictsAtTheEdgesOfTheirRules)
{
    // A broadband source (40 tones from `low` Hz up, 90 Hz apart) heard by microphones in a row
    // `pitch` apart; columns scaled or negated.
    struct Case {
        const char *what;
        size_t mics;
        bool positions;
        std::vector<float> gains;          // per microphone
        std::vector<Verdict> expected;
        size_t frames = 60000;             // 29 spectral blocks
        double pitch = 0.02, low = 500, distance = 0.8; // the source's, from the row's middle
    };
    const Verdict U = Verdict::Undetermined, R = Verdict::ReversedPolarity, O = Verdict::Ok;
    const Case cases[] = {
        // The middle one and the first each have one neighbour of each sign: a tie, no verdict.
        {"a tie in the polarity vote", 3, true, {1, 1, -1}, {U, U, R}},
        // The median of an even count is halfway between the middle two: each is 5 dB from it.
        {"the median of four levels", 4, false, {1, 1, 0.316f, 0.316f}, {O, O, O, O}},
        // A tenth of a second (2 blocks): coherence cannot be told from chance, no verdict on
        // either side, the reversed one included.
        {"a short slice", 3, true, {1, 1, -1}, {U, U, U}, 5000},
        // 30 cm apart, 3 m from the source, the sound above c / (4 d): the three polarity bins
        // hold the microphones' own noise, whose sign is chance's: no vote, however large.
        {"no sound low enough for the spacing", 16, true, std::vector<float>(16, 1), std::vector<Verdict>(16, O), 60000, 0.3, 1000, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Source s{0.05 + c.pitch * double(c.mics - 1) / 2 - 0.02, -0.03, c.distance, {}};
        for (int k = 0; k < 40; ++k)
            s.freqs.push_back(c.low + 90.0 * k);
        std::vector<Microphone> mics;
        for (size_t i = 0; i < c.mics; ++i)
            mics.push_back({"p", c.pitch * double(i), 0, 0});
        const size_t n = c.frames;
        auto frames = frames_of(mics, {s}, n, true);
        for (size_t t = 0; t < n; ++t)
            for (size_t i = 0; i < c.mics; ++i) {
                float *x = reinterpret_cast<float *>(frames.data() + (t * (c.mics + 1) + 1 + i) * 4);
                *x *= c.gains[i];
            }
        HealthSettings settings;
        settings.polarity_neighbours = 2;
        settings.expected_frames = n;
        HealthMeter meter(format_for(c.mics, true), channels(c.mics), std::vector<std::string>(c.mics, "m"), kFs,
                          c.positions ? mics : std::vector<Microphone>{}, settings);
        meter.feed(frames.data(), n);
        const HealthReport r = meter.report();
        for (size_t i = 0; i < c.mics; ++i)
            EXPECT_EQ(verdict_name(r.mics[i].verdict), std::string(verdict_name(c.expected[i])))
                << "microphone " << i << ": " << r.mics[i].detail << " (" << r.mics[i].polarity_votes << " of "
                << r.mics[i].polarity_decided << ")";
    }
}

TEST(Map, PutsEachSourceOnItsPointWithItsLevelWhateverTheCutOfTheBlocks)
{
    // A band whose edges are bin centres keeps both.
    const CrossSpectra edges(format_for(2, true), kFs, 512, kFs * 10 / 512, kFs * 20 / 512);
    EXPECT_EQ(edges.bins().front(), 10);
    EXPECT_EQ(edges.bins().back(), 20);
    const auto mics = square_array();
    const size_t n = 30000;
    // A grid of 1 cm over +-0.3 m at z = 0.5 m. Aperture D = 0.2 m; at 6 kHz the resolution
    // 1.22 lambda z / D is 0.17 m.
    const Grid grid{-0.3, 0.3, 0.01, -0.3, 0.3, 0.01, 0.5};
    struct Case {
        const char *what;
        std::vector<Source> sources;
    };
    const Case cases[] = {
        {"one source", {{0.08, -0.05, 0.5, {5500, 6000, 6500}}}},
        {"two incoherent sources of equal level", {{-0.2, 0.1, 0.5, {5700, 6300}}, {0.2, -0.1, 0.5, {5800, 6200}}}},
    };
    for (bool floats : {false, true})
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(c.what) + (floats ? ", float samples" : ", int32 samples"));
            const auto frames = frames_of(mics, c.sources, n, floats);
            const FrameFormat f = format_for(mics.size(), floats);
            CrossSpectra whole(f, kFs, 512, 5000, 7000), cut(f, kFs, 512, 5000, 7000);
            whole.feed(frames.data(), n);
            for (size_t first = 0; first < n; first += 333)
                cut.feed(frames.data() + first * size_t(f.words()) * 4, std::min<size_t>(333, n - first));
            ASSERT_EQ(cut.blocks(), whole.blocks());
            EXPECT_EQ(whole.blocks(), (n - 512) / 256 + 1);
            std::vector<size_t> use(mics.size());
            std::iota(use.begin(), use.end(), size_t(0));
            const Map map = beamform(whole, use, mics, grid), again = beamform(cut, use, mics, grid);
            for (size_t p = 0; p < map.power.size(); ++p)
                ASSERT_NEAR(map.power[p], again.power[p], 1e-6 * map.power[map.peak]);

            const double resolution = 1.22 * kC / 6000 * 0.5 / 0.2;
            const auto local_peak = [&](const Source &s) {
                // The largest value within half the resolution of the source, and whether it is a local maximum.
                size_t best = 0;
                double top = -1;
                for (int j = 0; j < grid.ny(); ++j)
                    for (int i = 0; i < grid.nx(); ++i)
                        if (std::hypot(grid.x(i) - s.x, grid.y(j) - s.y) <= resolution / 2 && map.at(i, j) > top)
                            top = map.at(i, j), best = size_t(j) * size_t(grid.nx()) + size_t(i);
                const int bi = int(best % size_t(grid.nx())), bj = int(best / size_t(grid.nx()));
                bool local = bi > 0 && bj > 0 && bi < grid.nx() - 1 && bj < grid.ny() - 1;
                for (int dj = -1; dj <= 1 && local; ++dj)
                    for (int di = -1; di <= 1; ++di)
                        local = local && map.at(bi + di, bj + dj) <= top;
                return std::make_pair(local, top);
            };
            double low = 1e9, high = 0;
            for (const Source &s : c.sources) {
                const auto [local, top] = local_peak(s);
                EXPECT_TRUE(local) << "no local maximum near (" << s.x << ", " << s.y << ")";
                low = std::min(low, top), high = std::max(high, top);
                // Formulation III: the level of the source as heard at the array's centre.
                const double expected = double(s.freqs.size()) * 0.01 * 0.01 / 2 / (s.x * s.x + s.y * s.y + s.z * s.z);
                EXPECT_NEAR(to_db(top), to_db(expected), 1.0);
            }
            EXPECT_LT(to_db(high) - to_db(low), 3.0);
            const double px = map.grid.x(int(map.peak % size_t(grid.nx()))), py = map.grid.y(int(map.peak / size_t(grid.nx())));
            bool near_one = false;
            for (const Source &s : c.sources)
                near_one = near_one || std::hypot(px - s.x, py - s.y) <= resolution / 2;
            EXPECT_TRUE(near_one) << "peak at (" << px << ", " << py << ")";
        }
}
