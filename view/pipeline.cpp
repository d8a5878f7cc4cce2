#include "view/pipeline.h"

#include "analysis/live_map.h"
#include "analysis/samples.h"
#include "tap/block.h"
#include "view/pacing.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <deque>
#include <limits>

using namespace analysis;

namespace view {

namespace {
constexpr auto kMapEvery = std::chrono::milliseconds(40);    // at most 25 maps a second
constexpr auto kHealthEvery = std::chrono::milliseconds(500);
constexpr double kHealthEveryS = 0.5; // and at least every half second of frames (a view catching up)
constexpr size_t kGapsKept = 200;
constexpr auto kMapEveryBehind = std::chrono::milliseconds(500); // frames waiting: fed first, up to this
constexpr double kSliceS = 0.04; // a live block is mapped in slices of about this much stream

}

// Everything the worker holds; only its thread touches it.
struct Pipeline::Work {
    FrameLayout layout;
    FrameFormat format;
    std::vector<int> channels;
    std::vector<std::string> names;
    std::string geometry_path;
    std::optional<Geometry> geometry;
    std::vector<Microphone> positions; // one per microphone, when the geometry fits
    MapSettings settings;
    std::unique_ptr<LiveMap> map;
    std::string map_problem;
    std::unique_ptr<HealthMeter> health;
    HealthReport report;

    std::vector<int> trace_asked;      // channels asked for
    std::vector<int> trace_channels;   // those the frames hold (at most 8)
    std::vector<size_t> trace_index;   // their indexes among the microphones
    double trace_span_s = 0.1;
    std::deque<double> trace_t;
    std::vector<std::deque<double>> trace_v;
    std::unique_ptr<LiveSpectra> spectra;

    // Continuity: the next frame of the source, the counter, and the offset that keeps blocks
    // apart across a gap the counter shows.
    uint64_t next_file = 0;
    bool started = false, counter_known = false;
    uint32_t counter = 0;
    uint64_t offset = 0;
    uint64_t missed = 0, gap_count = 0, first_seen = 0;
    std::deque<Gap> gaps;

    // The health is fed after the map is out (it is reported twice a second only): the parts
    // of the current chunk, in order, a gap between two of them marked by a part of no frames.
    struct HealthPart {
        size_t from = 0, count = 0;
    };
    std::vector<HealthPart> health_parts;
    // The chunk taken last: its runs of frames that follow one another (each fed to the map
    // already, from `index` on) and the marks of gaps (no frames) in order, released in slices;
    // the map shows the window that ends with the last frames released.
    struct Segment {
        size_t from = 0, count = 0;
        uint64_t index = 0;
    };
    std::vector<Segment> segments;
    uint64_t map_end = UINT64_MAX;
    uint64_t health_unjudged = 0; // frames fed to the health since its last report
    std::vector<float> rows, picked;
    bool fresh = false;       // frames fed since the last map
    int64_t newest_ns = 0;
    bool ended = false;
    std::string source_problem;

    double fs() const { return layout.frequency; }
};

Pipeline::Pipeline(std::unique_ptr<BlockSource> source) : source_(std::move(source)), work_(std::make_unique<Work>())
{
    snapshot_.source = source_->name();
    snapshot_.live = source_->total_frames() == 0;
    snapshot_.total = source_->total_frames();
}

Pipeline::~Pipeline() { stop(); }

void Pipeline::start()
{
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
}

void Pipeline::stop()
{
    stopping_ = true;
    if (thread_.joinable())
        thread_.join();
}

void Pipeline::set_geometry(const Geometry &geometry)
{
    std::lock_guard lock(requests_mutex_);
    geometry_ = geometry;
}

void Pipeline::set_map(const MapSettings &settings)
{
    std::lock_guard lock(requests_mutex_);
    map_settings_ = settings;
}

void Pipeline::set_traces(const std::vector<int> &channels, double span_s)
{
    std::lock_guard lock(requests_mutex_);
    traces_ = std::make_pair(channels, span_s);
}

void Pipeline::seek(double seconds)
{
    std::lock_guard lock(requests_mutex_);
    seek_ = seconds;
}

void Pipeline::set_playing(bool playing)
{
    source_->set_playing(playing);
    std::lock_guard lock(snapshot_mutex_);
    snapshot_.playing = playing;
    snapshot_.ended = false;
    ++version_;
}

Snapshot Pipeline::snapshot() const
{
    std::lock_guard lock(snapshot_mutex_);
    Snapshot s = snapshot_;
    s.position = source_->position();
    return s;
}

namespace {

// The layout's microphones as the analysis reads them.
void describe(const FrameLayout &layout, FrameFormat &format, std::vector<int> &channels, std::vector<std::string> &names)
{
    format = FrameFormat(layout);
    channels.clear();
    names.clear();
    for (size_t i = 0; i < layout.mics.size(); ++i) {
        channels.push_back(layout.mics[i]);
        names.push_back("mic_" + std::to_string(layout.mics[i] / 8) + "_" + std::to_string(layout.mics[i] % 8));
    }
}

} // namespace

void Pipeline::run()
{
    Work &w = *work_;
    using Clock = std::chrono::steady_clock;
    auto last_map = Clock::now() - kMapEvery, last_health = Clock::now();
    uint64_t serial = 0;
    bool layout_changed = true, map_changed = true;
    Pacer pacer; // the slices of the live block `held` not fed yet

    // Everything the frames built, forgotten: a new run, a jump in time, another geometry.
    const auto restart = [&] {
        w.started = w.counter_known = false;
        w.offset = 0;
        if (w.map)
            w.map->restart();
        if (w.spectra)
            w.spectra->restart();
        w.trace_t.clear();
        for (auto &v : w.trace_v)
            v.clear();
        w.health_parts.clear();
        w.health_unjudged = 0;
        w.segments.clear();
        w.map_end = UINT64_MAX;
        pacer.clear();
        w.health = std::make_unique<HealthMeter>(w.format, w.channels, w.names, w.fs(), w.positions);
        w.report = w.health->report();
        w.fresh = true;
        w.ended = false;
    };
    const auto build_map = [&] {
        w.map.reset();
        w.map_problem.clear();
        if (w.channels.empty()) {
            w.map_problem = "la trame ne contient aucun micro";
            return;
        }
        if (w.positions.empty()) {
            w.map_problem = w.geometry ? w.map_problem : "pas de géométrie";
            return;
        }
        try {
            LiveMapSettings s;
            s.block = w.settings.block, s.f1 = w.settings.f1, s.f2 = w.settings.f2;
            s.window_s = w.settings.window_s, s.speed_of_sound = w.settings.speed_of_sound;
            const Grid grid = w.settings.grid ? *w.settings.grid : default_grid(w.positions, 1.0);
            w.map = std::make_unique<LiveMap>(w.fs(), w.positions, grid, s);
        } catch (const std::exception &e) {
            w.map_problem = e.what();
        }
    };
    // The map leaves out the microphones health calls faulty, as viz256-run map does.
    const auto exclude_faulty = [&] {
        if (!w.map || w.report.mics.size() != w.channels.size())
            return;
        std::vector<bool> used(w.channels.size());
        for (size_t i = 0; i < used.size(); ++i)
            used[i] = !is_fault(w.report.mics[i].verdict);
        if (used != w.map->used() && std::count(used.begin(), used.end(), true) >= 2)
            w.map->set_used(used);
    };
    const auto build_traces = [&] {
        w.trace_index.clear();
        std::vector<int> shown;
        for (int c : w.trace_asked) {
            const int i = w.layout.mic_index(c);
            if (i >= 0 && w.trace_index.size() < 8)
                w.trace_index.push_back(size_t(i)), shown.push_back(c);
        }
        w.trace_channels = shown;
        w.trace_t.clear();
        w.trace_v.assign(w.trace_index.size(), {});
        w.spectra = std::make_unique<LiveSpectra>(w.fs(), w.trace_index.size(), 2048, w.settings.window_s);
    };
    const auto note_gap = [&](uint64_t at_file, uint64_t frames, size_t at) {
        ++w.gap_count;
        w.missed += frames;
        w.gaps.push_back({double(at_file) / w.fs(), frames});
        if (w.gaps.size() > kGapsKept)
            w.gaps.pop_front();
        // Nothing that needs frames in a row joins the two sides: the health's runs of equal
        // samples and its neighbours' block start afresh (at the mark, when its slice goes out);
        // the map's and the spectra's blocks are kept apart by the frames' indexes (the offset
        // past a counter's jump).
        w.segments.push_back({at, 0, 0});
    };
    // The mark of a gap, as its slice goes out: the health starts afresh, the traces show one
    // row of NaN.
    const auto mark_gap = [&] {
        w.health_parts.push_back({});
        if (!w.trace_t.empty()) {
            w.trace_t.push_back(std::numeric_limits<double>::quiet_NaN());
            for (auto &v : w.trace_v)
                v.push_back(std::numeric_limits<double>::quiet_NaN());
        }
    };
    const auto feed_health = [&](const Chunk &c) {
        const size_t frame_bytes = w.layout.frame_bytes();
        for (const auto &part : w.health_parts) {
            if (part.count == 0)
                w.health->gap();
            else
                w.health->feed(c.frames.data() + part.from * frame_bytes, part.count);
            w.health_unjudged += part.count;
        }
        w.health_parts.clear();
    };
    // Frames of the chunk that follow one another, as consecutive from `index` on: into the map
    // as the chunk arrives (all its blocks in one product); the rest waits for their slice.
    const auto map_part = [&](const Chunk &c, size_t from, size_t n) {
        if (w.channels.empty() || n == 0)
            return;
        const size_t m = w.channels.size();
        const uint64_t index = c.first_frame + from + w.offset;
        w.segments.push_back({from, n, index});
        if (w.map && w.positions.size() == m)
            w.map->feed(w.rows.data() + from * m, n, index);
    };
    const auto rest_part = [&](const Chunk &c, size_t from, size_t n, uint64_t index) {
        const uint64_t file_first = c.first_frame + from;
        const size_t m = w.channels.size();
        const float *rows = w.rows.data() + from * m;
        w.health_parts.push_back({from, n});
        const size_t k = w.trace_index.size();
        if (k > 0) {
            w.picked.resize(n * k);
            for (size_t t = 0; t < n; ++t)
                for (size_t j = 0; j < k; ++j)
                    w.picked[t * k + j] = rows[t * m + w.trace_index[j]];
            w.spectra->feed(w.picked.data(), n, index);
            const size_t span = size_t(std::max(1.0, w.trace_span_s * w.fs()));
            const size_t from = n > span ? n - span : 0;
            for (size_t t = from; t < n; ++t) {
                w.trace_t.push_back(double(file_first + t) / w.fs());
                for (size_t j = 0; j < k; ++j)
                    w.trace_v[j].push_back(double(w.picked[t * k + j]));
            }
            while (w.trace_t.size() > span) {
                w.trace_t.pop_front();
                for (auto &v : w.trace_v)
                    v.pop_front();
            }
        }
        w.fresh = true;
    };
    // A chunk as it arrives (`missed` frames lost just before it), split where the counter
    // breaks: the frames lost there keep the blocks apart.
    const auto take = [&](const Chunk &c, uint64_t missed) {
        w.segments.clear();
        if (w.started && (missed > 0 || c.first_frame != w.next_file)) {
            note_gap(c.first_frame, missed ? missed : (c.first_frame > w.next_file ? c.first_frame - w.next_file : 0), 0);
            w.counter_known = false; // the counter jumps by as much: not counted twice
        }
        if (!w.started)
            w.first_seen = c.first_frame;
        w.started = true;
        w.next_file = c.first_frame + c.count;
        w.newest_ns = c.completed_ns;
        if (!w.channels.empty()) {
            w.rows.resize(c.count * w.channels.size());
            to_samples(c.frames.data(), c.count, w.format, w.rows.data());
        }
        if (w.map)
            w.map->set_history(c.count); // its first slice's window
        const size_t frame_bytes = w.layout.frame_bytes();
        size_t from = 0;
        if (w.layout.counter) {
            for (size_t t = 0; t < c.count; ++t) {
                uint32_t v;
                std::memcpy(&v, c.frames.data() + t * frame_bytes, 4);
                if (w.counter_known && v != w.counter + 1) {
                    map_part(c, from, t - from);
                    const uint32_t jump = v - w.counter - 1;
                    const bool back = int32_t(jump) < 0;
                    note_gap(c.first_frame + t, back ? 0 : jump, t);
                    // A counter that goes back: start the blocks afresh past everything seen.
                    w.offset += back ? uint64_t(w.settings.block) * 2 : jump;
                    from = t;
                }
                w.counter = v;
                w.counter_known = true;
            }
        }
        map_part(c, from, c.count - from);
    };
    // Frames a to b of the chunk taken go out: the traces, the spectra and the health take them,
    // and the map shows the window that ends with them.
    const auto release = [&](const Chunk &c, size_t a, size_t b) {
        for (const Work::Segment &g : w.segments) {
            if (g.count == 0) {
                if (g.from >= a && g.from < b)
                    mark_gap();
                continue;
            }
            const size_t from = std::max(a, g.from), to = std::min(b, g.from + g.count);
            if (from < to) {
                rest_part(c, from, to - from, g.index + (from - g.from));
                w.map_end = g.index + (to - g.from);
            }
        }
    };

    Chunk chunk, held; // the chunk read, the one taken last (its slices and health may wait)
    while (!stopping_) {
        {
            std::lock_guard lock(requests_mutex_);
            if (geometry_) {
                w.geometry = std::move(*geometry_);
                geometry_.reset();
                layout_changed = true;
            }
            if (map_settings_) {
                const bool window_only = !layout_changed && w.map && map_settings_->f1 == w.settings.f1 &&
                                         map_settings_->f2 == w.settings.f2 && map_settings_->grid.has_value() == w.settings.grid.has_value();
                w.settings = *map_settings_;
                map_settings_.reset();
                if (window_only) {
                    w.map->set_window(w.settings.window_s);
                    if (w.spectra)
                        w.spectra->set_window(w.settings.window_s);
                } else {
                    map_changed = true;
                }
            }
            if (traces_) {
                w.trace_asked = traces_->first;
                w.trace_span_s = std::clamp(traces_->second, 0.001, 2.0);
                traces_.reset();
                if (!layout_changed)
                    build_traces();
            }
            if (seek_ && source_->total_frames() > 0) {
                const uint64_t frame = uint64_t(std::max(0.0, *seek_) * source_->layout().frequency);
                source_->seek(frame, uint64_t((w.settings.window_s + 0.05) * source_->layout().frequency));
                seek_.reset();
                restart();
            }
        }
        if (layout_changed) {
            w.layout = source_->layout();
            describe(w.layout, w.format, w.channels, w.names);
            w.positions.clear();
            w.map_problem.clear();
            if (w.geometry) {
                w.geometry_path = w.geometry->path;
                try {
                    w.positions = positions_of(*w.geometry, w.channels);
                } catch (const std::exception &e) {
                    w.map_problem = e.what();
                }
            }
            build_traces();
            restart();
            layout_changed = false;
            map_changed = true;
        }
        if (map_changed) {
            build_map();
            map_changed = false;
            if (source_->total_frames() > 0) {
                // A recorded run shows again the frames up to where it stands.
                build_traces();
                restart();
                source_->seek(source_->position(), uint64_t((w.settings.window_s + 0.05) * w.fs()));
            } else {
                exclude_faulty(); // live: the health and the traces go on
            }
        }

        // A map or a slice due: only what is already waiting is fed before it.
        int timeout = 20;
        if (pacer.pending())
            timeout = int(std::clamp<int64_t>((pacer.due_ns() - tap::monotonic_ns() + 999999) / 1000000, 0, 20));
        else if (w.fresh)
            timeout = int(std::clamp<int64_t>(
                std::chrono::ceil<std::chrono::milliseconds>(last_map + kMapEvery - Clock::now()).count(), 0, 20));
        uint64_t missed = 0;
        bool sliced = false;
        const BlockSource::Next r = source_->next(chunk, missed, timeout);
        if (r == BlockSource::Next::Chunk && chunk.count > 0) {
            w.ended = false;
            // The next block is there already (a view behind the stream): the slices left at once.
            if (pacer.pending()) {
                const Slice rest = pacer.take(0, true);
                release(held, rest.from, rest.from + rest.count);
            }
            if (!w.health_parts.empty())
                feed_health(held); // the chunk before, in order
            std::swap(chunk, held);
            take(held, missed);
            // A live block in slices at the stream's pace (below); a recorded run's chunk at once.
            const bool live = held.completed_ns > 0;
            pacer.start(held.count, w.fs(), live ? kSliceS : 0, live ? held.completed_ns : tap::monotonic_ns());
            if (!live) {
                const Slice all = pacer.take(0, true);
                release(held, all.from, all.from + all.count);
                // Frames waiting behind it (a run caught up after a seek): fed first, up to a limit.
                if (Clock::now() - last_map < kMapEveryBehind)
                    continue;
            }
        } else if (r == BlockSource::Next::NewRun) {
            layout_changed = true;
            continue;
        } else if (r == BlockSource::Next::Ended) {
            w.fresh = w.fresh || !w.ended;
            w.ended = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else if (r == BlockSource::Next::Error) {
            w.source_problem = source_->error();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } else {
            w.source_problem.clear();
        }

        // The slices of the live block that are due, each mapped at once. A whole block due as it
        // arrives (one slice, or a view behind the stream) is mapped as a recorded run's chunk:
        // the blocks waiting behind it first, up to a limit, and a map every 40 ms at most (a tap
        // of small blocks would otherwise make a map per block).
        if (pacer.pending()) {
            const Slice s = pacer.take(tap::monotonic_ns(), false);
            if (s.count > 0) {
                release(held, s.from, s.from + s.count);
                sliced = pacer.slices() > 1;
                if (s.count == held.count && Clock::now() - last_map < kMapEveryBehind)
                    continue;
            }
        }

        // The health judged again twice a second, and after every half second of frames: a view
        // that falls behind and catches up takes seconds of frames in a few hundred ms, and its maps
        // must not leave out (or keep) microphones by a report of a few frames, or of none. It
        // judges every frame taken so far, those of the map included.
        const auto now = Clock::now();
        if (w.health && (now - last_health >= kHealthEvery || double(w.health_unjudged) >= kHealthEveryS * w.fs())) {
            if (!w.health_parts.empty())
                feed_health(held);
            last_health = now;
            w.health_unjudged = 0;
            w.report = w.health->report();
            exclude_faulty();
            w.fresh = true;
        }
        if (!w.fresh || (!sliced && now - last_map < kMapEvery)) {
            if (!w.health_parts.empty())
                feed_health(held);
            continue;
        }
        last_map = now;
        w.fresh = false;

        Snapshot s;
        s.serial = ++serial;
        s.source = source_->name();
        s.problem = !w.source_problem.empty() ? w.source_problem : w.map_problem;
        s.sample_freq = w.fs();
        s.live = source_->total_frames() == 0;
        s.total = source_->total_frames();
        s.ended = w.ended;
        s.geometry_path = w.geometry_path;
        s.channels = w.channels;
        s.names = w.names;
        s.positions = w.positions;
        if (w.geometry)
            s.layout = w.geometry->mics;
        s.health = w.report;
        s.settings = w.settings;
        if (w.map) {
            MapWindow window;
            s.used = w.map->used();
            s.map = w.map->map(w.map_end, window);
            s.has_map = !s.map.power.empty();
            for (size_t k = 0; k < w.map->bins().size(); ++k)
                s.frequencies.push_back(w.map->frequency(k));
            s.map_first = window.first >= w.offset ? window.first - w.offset : 0;
            s.map_frames = window.frames;
            s.map_blocks = window.blocks;
            s.map_completed_ns = w.newest_ns;
        }
        s.trace_channels = w.trace_channels;
        s.trace_t.assign(w.trace_t.begin(), w.trace_t.end());
        for (const auto &v : w.trace_v)
            s.trace_v.emplace_back(v.begin(), v.end());
        if (w.spectra && w.spectra->blocks() > 0) {
            const auto mean = w.spectra->mean();
            for (size_t k = 1; k < mean[0].size(); ++k)
                s.spectrum_f.push_back(w.spectra->frequency(int(k)));
            for (const auto &row : mean) {
                s.spectrum_db.emplace_back();
                for (size_t k = 1; k < row.size(); ++k)
                    s.spectrum_db.back().push_back(to_db(row[k]));
            }
        }
        s.first_seen = w.first_seen;
        s.missed_frames = w.missed;
        s.gap_count = w.gap_count;
        s.gaps.assign(w.gaps.begin(), w.gaps.end());
        {
            std::lock_guard lock(snapshot_mutex_);
            s.playing = snapshot_.playing;
            snapshot_ = std::move(s);
            ++version_;
        }
        if (notify_)
            notify_();
        if (!w.health_parts.empty())
            feed_health(held);
    }
}

}
