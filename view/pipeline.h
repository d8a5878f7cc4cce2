#pragma once
// The viewer's work off the window's thread: frames from a block source into the live map, the
// health meter, the traces and their spectra; what it missed. The window takes a snapshot of
// the latest results whenever it paints.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "analysis/beamform.h"
#include "analysis/geometry.h"
#include "analysis/health.h"
#include "view/source.h"

namespace view {

struct MapSettings {
    double f1 = 1782, f2 = 2245;     // the band (Hz)
    double window_s = 1.0;           // integration window, 0.1 to 5 s
    std::optional<analysis::Grid> grid; // default: 41 x 41 over the array, z = 1 m
    int block = 1024;
    double speed_of_sound = 343;
};

struct Gap {
    double at_s = 0;      // time in the run where frames are missing
    uint64_t frames = 0;  // how many (0: the counter went back)
};

struct Snapshot {
    uint64_t serial = 0;
    std::string source, problem;   // problem: why there is no map, or the source's error
    double sample_freq = 0;
    bool live = false, playing = false, ended = false;
    uint64_t position = 0, total = 0; // frames (a recorded run)

    // The array: the recorded microphones, their positions (when the geometry fits), every
    // position of the geometry, and which microphones the map uses.
    std::string geometry_path;
    std::vector<int> channels;
    std::vector<std::string> names;
    std::vector<analysis::Microphone> positions, layout;
    std::vector<bool> used;
    analysis::HealthReport health;

    MapSettings settings;
    bool has_map = false;
    analysis::Map map;
    std::vector<double> frequencies;
    uint64_t map_first = 0, map_frames = 0, map_blocks = 0; // frames of the run the map covers
    int64_t map_completed_ns = 0;   // arrival of the newest frames in the map (live)

    std::vector<int> trace_channels;
    std::vector<double> trace_t;                 // seconds in the run (NaN rows at gaps)
    std::vector<std::vector<double>> trace_v;    // per channel, fractions of full scale
    std::vector<double> spectrum_f;
    std::vector<std::vector<double>> spectrum_db; // per channel, dB re full scale

    uint64_t first_seen = 0;                     // first frame received since the run (or the seek) began
    uint64_t missed_frames = 0;
    uint64_t gap_count = 0;
    std::vector<Gap> gaps;                       // the last 200
};

class Pipeline {
public:
    explicit Pipeline(std::unique_ptr<BlockSource> source);
    ~Pipeline();
    void start();
    void stop();

    void set_geometry(const analysis::Geometry &geometry);
    void set_map(const MapSettings &settings);
    void set_traces(const std::vector<int> &channels, double span_s);
    void seek(double seconds);
    void set_playing(bool playing);

    Snapshot snapshot() const;
    // Changes with each new snapshot and with set_playing: the window copies a snapshot only then.
    uint64_t version() const { return version_.load(std::memory_order_acquire); }
    // Called on the worker's thread after each new snapshot (set before start()).
    void on_snapshot(std::function<void()> notify) { notify_ = std::move(notify); }
    uint64_t position() const { return source_->position(); }
    const FrameLayout &layout() const { return source_->layout(); }
    bool seekable() const { return source_->total_frames() > 0; }

private:
    struct Work;
    void run();

    std::unique_ptr<BlockSource> source_;
    std::unique_ptr<Work> work_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};

    // Requests from the window, taken by the worker.
    mutable std::mutex requests_mutex_;
    std::optional<analysis::Geometry> geometry_;
    std::optional<MapSettings> map_settings_;
    std::optional<std::pair<std::vector<int>, double>> traces_;
    std::optional<double> seek_;

    mutable std::mutex snapshot_mutex_;
    Snapshot snapshot_;
    std::atomic<uint64_t> version_{0};
    std::function<void()> notify_;
};

}
