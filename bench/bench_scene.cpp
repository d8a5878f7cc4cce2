// The emulated recorder's generation cost with a scene, at the peak rate (50 kHz, the counter and
// 256 microphones: 257 words a frame): the CPU time to build the scene's signals for one sampling
// frequency, then the CPU time FrameSource::generate takes per second of stream, in 8 MiB packets,
// int32 and float32, beside the built-in signals. A paced recorder keeps up while this stays well
// under one second per second on one core.
//
//   viz256_bench_scene [SCENE.json]    (default: two noise sources and four faults on the demo array)
#include "emulator/frames.h"
#include "emulator/scene.h"

#include <ctime>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

// CPU time of this thread: what the generation costs, whatever else the machine runs.
double cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

} // namespace

int main(int argc, char **argv)
{
    std::string path = argc > 1 ? argv[1] : "";
    if (path.empty()) {
        path = "/tmp/viz256_bench_scene.json";
        std::ofstream(path) << R"({"geometry": ")" VIZ256_SOURCE_DIR R"(/arrays/viz256_spiral.xml",
            "speed_of_sound": 343.0, "noise_db": -60,
            "sources": [{"x": 0.1, "y": -0.2, "z": 1.0, "signal": "noise", "band": [1000, 8000], "level_db": -20},
                        {"x": -0.3, "y": 0.2, "z": 1.0, "signal": "noise", "band": [1000, 8000], "level_db": -20}],
            "faults": [{"channel": 37, "kind": "dead"}, {"channel": 90, "kind": "clipped"},
                       {"channel": 151, "kind": "reversed"}, {"channel": 200, "kind": "noisy"}]})";
    }
    const auto scene = emu::Scene::load(path);
    const double fs = 50000;
    double t0 = cpu_seconds();
    const auto signals = scene->at_rate(fs);
    std::printf("scene signals at %.0f Hz built in %.3f s of CPU (%zu sources, period %llu samples)\n", fs,
                cpu_seconds() - t0, scene->sources.size(), (unsigned long long)emu::SceneSignals::kPeriod);

    uint8_t beams[32];
    for (auto &b : beams)
        b = 0xFF;
    const uint64_t packet = 8388608, seconds = 10;
    std::vector<uint8_t> buf(packet);
    for (int floats = 0; floats < 2; ++floats)
        for (int with_scene = 0; with_scene < 2; ++with_scene) {
            const emu::FrameLayout layout = emu::FrameLayout::from_masks(beams, 0x80, floats);
            emu::FrameSource source;
            source.configure(layout, fs, 0, UINT64_MAX, 0, with_scene ? signals : nullptr, 0);
            const uint64_t bytes = uint64_t(fs) * source.frame_bytes() * seconds;
            t0 = cpu_seconds();
            for (uint64_t pos = 0; pos < bytes; pos += packet)
                source.generate(buf.data(), pos, size_t(std::min(packet, bytes - pos)));
            const double t = cpu_seconds() - t0;
            std::printf("%-8s %-9s %d words at %.0f Hz: %.3f s of CPU per second of stream (%.0f MB/s)\n",
                        floats ? "float32" : "int32", with_scene ? "scene" : "built-in", layout.words(), fs,
                        t / double(seconds), double(bytes) / t / 1e6);
        }
    return 0;
}
