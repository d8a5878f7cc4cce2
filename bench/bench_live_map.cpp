// The live map's update as the viewer makes it: every HOP seconds of a 50 kHz stream of 256
// microphones, the new frames go into the map (their blocks' spectra and per-block maps, one
// product per bin) and the map of the last WINDOW seconds is taken out. 41 x 41 points 1 m in
// front of the full spiral, the third octave about 2 kHz, blocks of 1024 frames. Prints the
// update's time (median, 99th percentile), the maps per second one core makes at that hop, and
// the share of a core the stream costs at 25 maps a second.
//
//   viz256_bench_live_map [--smoke] [--seconds S] [--hop S] [--window S]
#include "analysis/beamform.h"
#include "analysis/geometry.h"
#include "analysis/live_map.h"

#include <cblas.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace analysis;

int main(int argc, char **argv)
{
    double seconds = 10, hop = 0.04, window = 1.0;
    bool smoke = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--smoke")
            smoke = true, seconds = 1;
        else if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (a == "--hop" && i + 1 < argc)
            hop = std::atof(argv[++i]);
        else if (a == "--window" && i + 1 < argc)
            window = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: viz256_bench_live_map [--smoke] [--seconds S] [--hop S] [--window S]\n");
            return 2;
        }
    }
    openblas_set_num_threads(1); // as viz256-view runs it
    const double fs = 50000;
    const Geometry geometry = read_geometry(VIZ256_SOURCE_DIR "/arrays/viz256_spiral.xml");
    const size_t m = geometry.mics.size();
    LiveMapSettings s;
    s.block = 1024, s.f1 = 2000 / std::pow(2.0, 1 / 6.0), s.f2 = 2000 * std::pow(2.0, 1 / 6.0), s.window_s = window;
    const Grid grid = default_grid(geometry.mics, 1.0);
    LiveMap live(fs, geometry.mics, grid, s);

    // Two seconds of noise, played in a loop (the cost does not depend on the samples).
    const size_t period = size_t(2 * fs);
    std::vector<float> rows(period * m);
    std::mt19937 rng(1);
    std::normal_distribution<float> noise(0, 0.01f);
    for (float &v : rows)
        v = noise(rng);

    const size_t step = size_t(std::lround(hop * fs)), total = size_t(seconds * fs);
    std::vector<double> times;
    std::vector<float> chunk(step * m);
    size_t peak = 0;
    for (size_t at = 0; at + step <= total; at += step) {
        for (size_t k = 0; k < step; ++k)
            std::memcpy(chunk.data() + k * m, rows.data() + ((at + k) % period) * m, m * sizeof(float));
        const auto t0 = std::chrono::steady_clock::now();
        live.feed(chunk.data(), step, at);
        const Map map = live.map();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        peak = map.peak;
    }
    if (times.empty())
        return 1;
    std::vector<double> sorted = times;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2], p99 = sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
    double sum = 0;
    for (double t : times)
        sum += t;
    const double mean = sum / double(times.size());
    std::printf("{\"microphones\": %zu, \"grid\": \"%dx%d\", \"bins\": %zu, \"block\": %d, \"hop_s\": %g, \"window_s\": %g, "
                "\"updates\": %zu, \"update_ms_median\": %.2f, \"update_ms_p99\": %.2f, \"maps_per_s\": %.1f, "
                "\"core_share_at_hop\": %.3f, \"peak_index\": %zu}\n",
                m, grid.nx(), grid.ny(), live.bins().size(), s.block, hop, window, times.size(), 1e3 * median, 1e3 * p99,
                1 / mean, mean / hop, peak);
    return smoke && live.blocks() == 0 ? 1 : 0;
}
