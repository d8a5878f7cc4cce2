// The scene's synthesis: a source reaches each microphone delayed by r/c (a fraction of a sample
// included) and attenuated as 1/r; a fault changes only its microphone; the samples join across
// packets and runs, in both sample types; a bad scene file gets one error naming it and the fault.
#include "analysis/health.h"
#include "emulator/scene.h"
#include "usb_host.h"

#include <QTemporaryDir>

#include <cmath>
#include <fstream>
#include <array>
#include <numeric>
#include <random>

using namespace emutest;

namespace {

std::string demo_array() { return VIZ256_SOURCE_DIR "/arrays/viz256_spiral.xml"; }

// Writes a file of its own in a folder removed at exit and returns its path.
std::string write_file(const std::string &name, const std::string &text)
{
    static QTemporaryDir dir;
    static int n = 0;
    const std::string path = dir.path().toStdString() + "/" + std::to_string(n++) + name;
    std::ofstream(path) << text;
    return path;
}

std::string two_mics_array()
{
    return write_file("two.xml", R"(<MicArray name="two"><pos Name="a" x="0" y="0" z="0"/>
                                    <pos Name="b" x="0.31" y="-0.12" z="0.02"/></MicArray>)");
}

std::string demo_scene(const std::string &faults)
{
    return write_file("scene.json", R"({"geometry": ")" + demo_array() + R"(", "noise_db": -70,
        "sources": [{"x": 0.1, "y": -0.2, "z": 1.0, "signal": "noise", "band": [500, 9000], "level_db": -30}],
        "faults": [)" + faults + "]}");
}

double rms(const emu::SceneSignals &s, int c, uint64_t frames)
{
    double sum = 0;
    for (uint64_t n = 0; n < frames; ++n)
        sum += s.value(n, c) * s.value(n, c) / double(frames);
    return std::sqrt(sum);
}

TEST(SceneSynthesis, AToneArrivesAtEachMicrophoneDelayedByROverCAndAttenuatedAsOneOverR)
{
    const std::string array = two_mics_array();
    const double src[3] = {0.05, 0.02, 0.7}, mic[2][3] = {{0, 0, 0}, {0.31, -0.12, 0.02}};
    const double c = 340.0, level_db = -20;
    for (double fs : {50000.0, 500000.0 / 7, 2000.0})
        for (double freq : {2000.0, 555.5}) {
            const auto scene = emu::Scene::load(write_file("s.json", R"({"geometry": ")" + array +
                R"(", "speed_of_sound": 340, "noise_db": -300, "sources": [{"x": 0.05, "y": 0.02, "z": 0.7,
                "signal": "tone", "freq": )" + std::to_string(freq) + R"(, "level_db": -20}]})"));
            emu::SceneSignals s(*scene, fs);
            const double P = double(emu::SceneSignals::kPeriod);
            const double f = std::round(freq * P / fs) * fs / P;   // the nearest frequency the period holds
            const double heard = f < fs / 2;                         // nothing at or above fs / 2
            for (int m = 0; m < 2; ++m) {
                const double r = std::hypot(src[0] - mic[m][0], src[1] - mic[m][1], src[2] - mic[m][2]);
                const double a = heard * std::sqrt(2.0) * emu::Scene::kFullScale * std::pow(10, level_db / 20) / r;
                for (uint64_t n : {0ull, 1ull, 17ull, 4099ull, 65535ull, 65536ull * 3 + 70})
                    ASSERT_NEAR(s.value(n, m), a * std::sin(2 * M_PI * f * (double(n) / fs - r / c)), std::abs(a) * 2e-6 + 1e-3)
                        << "fs " << fs << " f " << freq << " microphone " << m << " frame " << n;
            }
            EXPECT_EQ(s.value(5, 2), 0.0) << "a channel past the geometry is not connected";
        }
}

TEST(SceneSynthesis, EachFaultChangesOnlyItsMicrophone)
{
    const auto healthy = emu::Scene::load(demo_scene(""))->at_rate(50000);
    const auto faulty = emu::Scene::load(demo_scene(R"({"channel": 37, "kind": "dead"}, {"channel": 90, "kind": "clipped"},
        {"channel": 151, "kind": "reversed"}, {"channel": 200, "kind": "noisy"})"))->at_rate(50000);
    const uint64_t frames = 20000;
    for (int c = 0; c < emu::Scene::kChannels; ++c) {
        if (c == 37 || c == 90 || c == 151 || c == 200)
            continue;
        for (uint64_t n = 0; n < frames; n += 97)
            ASSERT_EQ(faulty->value(n, c), healthy->value(n, c)) << "channel " << c;
    }
    int at_full_scale = 0;
    for (uint64_t n = 0; n < frames; ++n) {
        ASSERT_EQ(faulty->value(n, 37), 0.0) << "dead: digital zero";
        ASSERT_EQ(faulty->value(n, 151), -healthy->value(n, 151)) << "reversed";
        at_full_scale += std::abs(faulty->value(n, 90)) >= emu::Scene::kFullScale - 1;
    }
    EXPECT_GT(at_full_scale, int(frames / 10)) << "clipped";
    EXPECT_GT(rms(*faulty, 200, frames), 4 * rms(*healthy, 200, frames)) << "noisy";
    EXPECT_GT(rms(*healthy, 0, frames), 30 * emu::Scene::kFullScale * std::pow(10, -70 / 20.0)) << "the source is heard";
}

// 32 microphones scattered over a disc of 0.3 m, at least 3 cm apart.
std::string irregular_array()
{
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-0.15, 0.15);
    std::vector<std::array<double, 2>> p;
    while (p.size() < 32) {
        const std::array<double, 2> q{u(rng), u(rng)};
        if (std::hypot(q[0], q[1]) > 0.15)
            continue;
        if (std::all_of(p.begin(), p.end(), [&](const auto &o) { return std::hypot(o[0] - q[0], o[1] - q[1]) >= 0.03; }))
            p.push_back(q);
    }
    std::string xml = "<MicArray name=\"irregular\">\n";
    for (const auto &q : p)
        xml += "<pos x=\"" + std::to_string(q[0]) + "\" y=\"" + std::to_string(q[1]) + "\" z=\"0\"/>\n";
    return write_file("irregular.xml", xml + "</MicArray>\n");
}

// Health of the scene's microphones over `frames` frames at 50 kHz, as a recorded run gives them.
analysis::HealthReport health_of(const emu::Scene &scene, const std::string &array, uint64_t frames)
{
    const auto heard = scene.at_rate(50000);
    const analysis::Geometry g = analysis::read_geometry(array);
    const size_t m = g.mics.size();
    std::vector<int> mics(m);
    std::iota(mics.begin(), mics.end(), 0);
    std::vector<std::string> names(m, "mic");
    FrameLayout layout;
    layout.mics = mics;
    const analysis::FrameFormat format(layout);
    analysis::HealthSettings settings;
    settings.expected_frames = frames;
    analysis::HealthMeter meter(format, mics, names, 50000, g.mics, settings);
    std::vector<uint8_t> block(4096 * m * 4);
    for (uint64_t first = 0; first < frames; first += 4096) {
        const size_t n = size_t(std::min<uint64_t>(4096, frames - first));
        for (size_t f = 0; f < n; ++f)
            heard->write(first + f, mics.data(), m, false, block.data() + f * m * 4);
        meter.feed(block.data(), n);
    }
    return meter.report();
}

} // namespace

TEST(SceneHealth, NoMicrophoneIsCalledFaultyWhateverTheSceneOnTheSpiralAndAnIrregularLayout)
{
    const std::string tone = R"({"x": 0.1, "y": -0.2, "z": 1.0, "signal": "tone", "level_db": -20, "freq": )";
    const std::string noise = R"({"x": -0.2, "y": 0.1, "z": 0.8, "signal": "noise", "band": [500, 10000], "level_db": -20})";
    // Near field: 2 cm in front of the layout's first microphone.
    const auto near_first = [](const std::string &array) {
        const auto p = analysis::read_geometry(array).mics[0];
        return R"({"x": )" + std::to_string(p.x) + R"(, "y": )" + std::to_string(p.y) +
               R"(, "z": 0.02, "signal": "noise", "band": [500, 8000], "level_db": -50})";
    };
    for (const std::string &array : {demo_array(), irregular_array()})
        for (const std::string &sources : {tone + "1000}", tone + "3000}", tone + "5500}", tone + "8000}", noise,
                                           noise + ", " + tone + "2000}", near_first(array)}) {
            SCOPED_TRACE(array + " " + sources);
            const auto scene = emu::Scene::load(write_file("s.json", R"({"geometry": ")" + array +
                                                R"(", "noise_db": -70, "sources": [)" + sources + "]}"));
            const auto r = health_of(*scene, array, 60000);
            for (size_t i : r.faulty())
                ADD_FAILURE() << "microphone " << i << ": " << analysis::verdict_name(r.mics[i].verdict) << ", " << r.mics[i].detail;
        }
}

class SceneStream : public UsbHost {};

TEST_F(SceneStream, SamplesJoinAcrossPacketsAndRunsInBothSampleTypes)
{
    const auto scene = emu::Scene::load(demo_scene(R"({"channel": 3, "kind": "reversed"})"));
    const auto heard = scene->at_rate(50000);
    const uint32_t frames = 10000;   // 257 words a frame: a run is one full and one short packet
    for (bool floats : {false, true}) {
        rec->reset();
        rec->set_scene(scene);
        select_all_with_counter();
        set_count(frames);
        ASSERT_EQ(cmd({0x09, uint8_t(floats)}), 2);
        for (uint64_t run = 0; run < 2; ++run) {
            std::vector<uint8_t> data;
            make_ring();
            end_on_short_transfer();
            auto ends = on_data;
            on_data = [&](int slot, libusb_transfer *t) {
                data.insert(data.end(), t->buffer, t->buffer + t->actual_length);
                return ends(slot, t);
            };
            submit_all();
            ASSERT_EQ(cmd({0x02, 0x00}), 2);
            ASSERT_TRUE(run_until([&] { return ended && outstanding() == 0; }));
            free_ring();
            done.clear();
            ASSERT_EQ(data.size(), size_t(frames) * 257 * 4);
            std::vector<uint8_t> want(256 * 4);
            std::vector<int> mics(256);
            std::iota(mics.begin(), mics.end(), 0);
            for (uint32_t f = 0; f < frames; ++f) {
                heard->write(run * frames + f, mics.data(), 256, floats, want.data());
                ASSERT_EQ(std::memcmp(&data[(size_t(f) * 257 + 1) * 4], want.data(), want.size()), 0)
                    << (floats ? "float32" : "int32") << " run " << run << " frame " << f;
            }
        }
    }
}

TEST(SceneFile, ABadFileGetsOneErrorNamingItAndWhatIsWrong)
{
    const std::string array = two_mics_array();
    const std::string good_source = R"({"x": 0, "y": 0, "z": 1, "signal": "noise", "band": [100, 900], "level_db": -20})";
    const struct {
        std::string text, error;
    } cases[] = {
        {"{\"geometry\": \"" + array + "\",\n \"sources\": [\n}", ":3: not JSON"},
        {R"({"geometry": "nowhere.xml"})", "geometry "},
        {R"({"geometry": ")" + array + R"(", "sources": [{"x": 0, "y": 0, "z": 1, "signal": "noise", "band": [100, 900]}]})",
         R"(source 1: "level_db" is missing)"},
        {R"({"geometry": ")" + array + R"(", "sources": [)" + good_source + R"(, {"x": 0, "y": 0, "z": 1, "signal": "chirp", "level_db": 0}]})",
         R"(source 2: "signal" is "chirp")"},
        {R"({"geometry": ")" + array + R"(", "sources": [{"x": 0, "y": 0, "z": 0, "signal": "tone", "freq": 100, "level_db": 0}]})",
         "at microphone 0"},
        {R"({"geometry": ")" + array + R"(", "faults": [{"channel": 2, "kind": "dead"}]})", R"(fault 1: "channel")"},
        {R"({"geometry": ")" + array + R"(", "faults": [{"channel": 1, "kind": "dead"}, {"channel": 1, "kind": "noisy"}]})",
         "channel 1 has a fault already"},
        {R"({"geometry": ")" + array + R"(", "noise_level": -50})", R"(unknown key "noise_level")"},
    };
    for (const auto &k : cases) {
        const std::string path = write_file("bad.json", k.text);
        try {
            emu::Scene::load(path);
            ADD_FAILURE() << "accepted: " << k.text;
        } catch (const emu::SceneError &e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind(path, 0), 0u) << what;
            EXPECT_NE(what.find(k.error), std::string::npos) << what << "\n  expected: " << k.error;
        }
    }
}
