// viz256-run health and viz256-run map: one pass over the frames feeds the health meter and,
// for a map, the cross-spectral matrix; the map leaves out the microphones health calls faulty.
#include "tools/run_analysis.h"

#include "analysis/health.h"
#include "reading/export.h"
#include "tools/array_runs.h"
#include "tools/command_line.h"
#include "tools/grid_option.h"
#include "tools/health_read.h"
#include "tools/json_out.h"
#include "tools/text_out.h"
#ifndef VIZ256_RUN_LEAN
#include "analysis/beamform.h"
#include "tools/map_output.h"
#else
namespace analysis {
class CrossSpectra; // the map's, which the lean build hands over to viz256-run-full
}
#endif

#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace analysis;

namespace tools {

const char *const analysis_usage =
    "  health RUN [RUN...] [--geometry F] [--json] [--start S] [--duration S]\n"
    "         each microphone's level (dBFS, RMS about the mean), DC offset, peak, clipped share, and\n"
    "         a verdict: ok, dead, clipping, dropouts, dc_offset, incoherent (needs --geometry),\n"
    "         level_outlier (against the array's median, or the neighbours' with --geometry),\n"
    "         reversed_polarity (needs --geometry), undetermined (the scene allows no verdict).\n"
    "         Exit 0 when no microphone is faulty (undetermined is not a fault), 1 when some are.\n"
    "  map RUN [RUN...] --geometry F --band F1:F2 [--grid X0:X1:DX,Y0:Y1:DY,Z] [--start S] [--duration S]\n"
    "         [--to FILE.png|FILE.h5] [--json] [--keep-diagonal] [--all-microphones]\n"
    "         [--block N] [--range DB] [--speed-of-sound C]\n"
    "         frequency-domain delay-and-sum beamforming on the plane grid (default: 41 x 41 points\n"
    "         over the array, z = 1 m). Cross-spectral matrix by Welch averaging: Hann window,\n"
    "         blocks of N frames (default 1024), 50 % overlap, the bins whose centre lies in\n"
    "         [F1, F2] Hz. Steering vectors of formulation III (\"correct level\": h = g / |g|^2,\n"
    "         g_m = (r_0/r_m) exp(-i k (r_m - r_0)), r_0 the distance to the array's centre).\n"
    "         The diagonal is removed unless --keep-diagonal; microphones health calls faulty\n"
    "         are left out unless --all-microphones. The PNG shows RANGE dB (default 15).\n"
    "         Levels are in dB re full scale (2^31, for both sample types).\n"
    "         Several RUNs recorded on one trigger by several recorders are one array: run K's\n"
    "         microphone channel c is the layout's position 256 (K - 1) + c + 1.\n";

namespace {

struct Options {
    std::vector<std::string> runs; // one, or several recorded on one trigger by several recorders
    std::string geometry, band, grid, to;
    std::optional<double> start, duration;
    bool json = false, keep_diagonal = false, all_microphones = false;
    int block = 1024;
    double range = 15, speed_of_sound = 343;
};

Options parse(int argc, char **argv, bool map)
{
    using tools::OptionSpec;
    const std::vector<OptionSpec> health_options = {{"geometry", true}, {"json"}, {"start", true}, {"duration", true}};
    const std::vector<OptionSpec> map_options = {
        {"geometry", true}, {"json"},  {"start", true}, {"duration", true},       {"band", true},           {"grid", true},
        {"to", true},       {"block", true}, {"range", true}, {"speed-of-sound", true}, {"keep-diagonal"}, {"all-microphones"}};
    const tools::CommandLine c(tools::byte_arguments(argc, argv, 2), map ? map_options : health_options, 64);
    if (c.positional().isEmpty())
        throw std::invalid_argument(std::string(map ? "map" : "health") + " needs a RUN (any of its three files)");
    Options o;
    for (const QString &run : c.positional())
        o.runs.push_back(tools::bytes(run));
    o.json = c.has("json");
    o.keep_diagonal = c.has("keep-diagonal");
    o.all_microphones = c.has("all-microphones");
    o.geometry = tools::bytes(c.value("geometry"));
    o.band = tools::bytes(c.value("band"));
    o.grid = tools::bytes(c.value("grid"));
    o.to = tools::bytes(c.value("to"));
    if (c.has("start"))
        o.start = tools::seconds(c.value("start"), QStringLiteral("--start"));
    if (c.has("duration"))
        o.duration = tools::seconds(c.value("duration"), QStringLiteral("--duration"));
    if (c.has("range"))
        o.range = tools::number(c.value("range"), QStringLiteral("--range"));
    if (c.has("speed-of-sound"))
        o.speed_of_sound = tools::number(c.value("speed-of-sound"), QStringLiteral("--speed-of-sound"));
    if (c.has("block")) {
        const std::optional<double> b = tools::read_number(c.value("block"), false, 0);
        if (!b || *b < 16 || *b > 65536 || int(*b) % 2)
            throw std::invalid_argument("--block: an even number of frames from 16 to 65536");
        o.block = int(*b);
    }
    if (o.runs.size() > 1 && o.geometry.empty())
        throw std::invalid_argument("several runs are one array only with --geometry FILE (positions numbered on across "
                                    "the recorders: run K's channel c is position 256 (K - 1) + c + 1)");
    if (map) {
        if (o.geometry.empty())
            throw std::invalid_argument("map needs --geometry FILE");
        if (o.band.empty())
            throw std::invalid_argument("map needs --band F1:F2");
        if (!(o.range > 0))
            throw std::invalid_argument("--range: a positive number of dB");
        if (!(o.speed_of_sound > 0))
            throw std::invalid_argument("--speed-of-sound: a positive number of m/s");
        if (!o.to.empty() && !ends_with_any(o.to, {".png"}) && !ends_with_any(o.to, {".h5", ".hdf5", ".hdf"}))
            throw std::invalid_argument("--to: FILE.png or FILE.h5");
    }
    return o;
}


// Blocks of frames (and, for the spectra, their samples) handed from the reading thread to the
// arithmetic, in a few slots.
struct Slot {
    std::vector<uint8_t> frames;
    std::vector<float> rows;
    size_t n = 0;
};

class Handover {
public:
    explicit Handover(size_t count) : slots_(count)
    {
        for (Slot &s : slots_)
            free_.push_back(&s);
    }
    Slot *empty() // a free slot; nullptr once the other side gave up
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !free_.empty() || abandoned_; });
        if (abandoned_)
            return nullptr;
        Slot *s = free_.front();
        free_.pop_front();
        return s;
    }
    void pass(Slot *s)
    {
        std::lock_guard lock(mutex_);
        full_.push_back(s);
        changed_.notify_all();
    }
    Slot *full() // the next filled slot; nullptr at the end
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !full_.empty() || finished_ || abandoned_; });
        if (full_.empty() || abandoned_)
            return nullptr;
        Slot *s = full_.front();
        full_.pop_front();
        return s;
    }
    void give_back(Slot *s)
    {
        std::lock_guard lock(mutex_);
        free_.push_back(s);
        changed_.notify_all();
    }
    void finish()
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
        changed_.notify_all();
    }
    void abandon()
    {
        std::lock_guard lock(mutex_);
        abandoned_ = true;
        changed_.notify_all();
    }

private:
    std::vector<Slot> slots_;
    std::deque<Slot *> free_, full_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool finished_ = false, abandoned_ = false;
};

// A progress line on stderr, for work that lasts: only on a terminal, from 2 s on, twice a second.
class Progress {
public:
    explicit Progress(const char *what) : what_(what), on_(isatty(2)) {}
    ~Progress()
    {
        if (shown_)
            std::fputc('\n', stderr);
    }
    void operator()(double share)
    {
        if (!on_)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now - start_ < std::chrono::seconds(2) || now - last_ < std::chrono::milliseconds(500))
            return;
        last_ = now;
        shown_ = true;
        std::fprintf(stderr, "\r%s: %5.1f %%", what_, 100 * share);
    }

private:
    const char *what_;
    bool on_, shown_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now(), last_{};
};

// Everything one pass over the frames gives.
struct Analysed {
    ArrayRuns array;
    reading::Run run; // the first
    reading::FrameRange range;
    FrameFormat format;
    std::vector<int> channels;
    std::vector<std::string> names;
    std::vector<Microphone> positions; // empty without a geometry
    HealthReport health;
};

// `csm`, when given, is fed the same frames (the map's cross-spectral matrix).
Analysed analyse(const Options &o, const Geometry *geometry, CrossSpectra *(*make_csm)(const Analysed &, const Options &),
                 CrossSpectra **csm_made)
{
    CrossSpectra *csm = nullptr;
    Analysed a;
    a.array = open_array(o.runs, o.start, o.duration);
    a.run = a.array.runs.front();
    a.range = a.array.ranges.front();
    a.channels = a.array.channels;
    a.names = a.array.names;
    const bool joined = a.array.runs.size() > 1;
    if (joined) { // the runs' samples side by side: rows of float words, fed as samples (never as frames)
        FrameLayout rows;
        rows.floats = true;
        for (size_t i = 0; i < a.channels.size(); ++i)
            rows.mics.push_back(int(i));
        a.format = FrameFormat(rows);
    } else {
        a.format = a.array.formats.front();
    }
    if (a.range.count == 0)
        throw reading::ReadError(a.run.paths.dat, "", "no frame to analyse");
    if (geometry)
        a.positions = positions_of(*geometry, a.channels);
    if (make_csm)
        *csm_made = csm = make_csm(a, o);
    HealthSettings settings;
    settings.expected_frames = a.range.count;
    settings.spectra_apart = !csm && !joined; // health alone: the spectra read their own blocks
    HealthMeter meter(a.format, a.channels, a.names, a.run.rec.freq, a.positions, settings);
    Progress progress("reading");
    if (joined) {
        // Frame by frame across the runs, on this thread.
        const size_t m = a.channels.size(), step = std::max<size_t>(1, (size_t(1) << 20) / (m * 4));
        std::vector<float> rows(step * m);
        for (uint64_t done = 0; done < a.range.count; done += step) {
            const size_t n = size_t(std::min<uint64_t>(step, a.range.count - done));
            read_rows(a.array, done, n, rows.data());
            meter.feed_samples(rows.data(), n);
#ifndef VIZ256_RUN_LEAN
            if (csm)
                csm->feed_samples(rows.data(), n);
#endif
            progress(double(done + n) / double(a.range.count));
        }
        a.health = meter.report();
        return a;
    }
    const size_t m = a.channels.size(), frame_bytes = size_t(a.format.words()) * 4;
    if (!csm) {
        Progress progress("reading");
        read_health(a.run, a.range.first, a.range.count, a.format, meter, std::ref(progress));
        a.health = meter.report();
        return a;
    }
    // Two threads: this one reads the frames (and converts them to samples for the spectra), the
    // other feeds the health meter and the spectra, so the reading and the arithmetic overlap.
    // Blocks of 1 MiB: small enough to stay few and warm (fresh pages cost dearly).
    const size_t block_bytes = size_t(1) << 20, block_frames = std::max<size_t>(1, block_bytes / frame_bytes);
    Handover handover(4);
    uint64_t done = 0;
    std::exception_ptr failed;
    std::thread worker([&] {
        try {
            while (Slot *slot = handover.full()) {
                meter.feed(slot->frames.data(), slot->n);
#ifndef VIZ256_RUN_LEAN
                for (size_t first = 0; csm && first < slot->n; first += 256)
                    csm->feed_samples(slot->rows.data() + first * m, std::min<size_t>(256, slot->n - first));
#endif
                handover.give_back(slot);
            }
        } catch (...) {
            failed = std::current_exception();
            handover.abandon();
        }
    });
    Slot *slot = nullptr;
    try {
        const auto buffer = [&]() -> uint8_t * {
            slot = handover.empty();
            if (!slot)
                return nullptr;
            slot->frames.resize(block_frames * frame_bytes);
            return slot->frames.data();
        };
        reading::read_frames(a.run, a.range.first, a.range.count, [&](const uint8_t *frames, size_t n, uint64_t) {
            slot->n = n;
            done += n;
            progress(double(done) / double(a.range.count));
            if (csm) {
                slot->rows.resize(n * m);
                to_samples(frames, n, a.format, slot->rows.data());
            }
            handover.pass(slot);
            return true;
        }, block_bytes, buffer);
    } catch (...) {
        handover.finish();
        worker.join();
        throw;
    }
    handover.finish();
    worker.join();
    if (failed)
        std::rethrow_exception(failed);
    a.health = meter.report();
    return a;
}

std::string db_text(double db)
{
    if (!std::isfinite(db))
        return "-inf";
    char t[32];
    std::snprintf(t, sizeof t, "%.1f", db);
    return t;
}

// The run, or the runs of one array, as the outputs name them.
std::string runs_text(const Analysed &a)
{
    std::string s;
    for (const reading::Run &r : a.array.runs)
        s += (s.empty() ? "" : "; ") + r.paths.dat;
    return s;
}

int health(const Options &o)
{
    std::optional<Geometry> geometry;
    if (!o.geometry.empty())
        geometry = read_geometry(o.geometry);
    const Analysed a = analyse(o, geometry ? &*geometry : nullptr, nullptr, nullptr);
    const HealthReport &r = a.health;
    const auto faulty = r.faulty();
    if (o.json) {
        tools::Json mics = tools::Json::array(), bad = tools::Json::array();
        for (size_t i = 0; i < r.mics.size(); ++i) {
            const MicHealth &m = r.mics[i];
            tools::Json e = tools::Json::object();
            e("channel", m.channel)("name", m.name);
            if (geometry)
                e("position", a.positions[i].name);
            e("level_db", m.level_db)("dc", m.dc)("peak", m.peak)("peak_db", 20 * std::log10(m.peak))("clipped", m.clipped);
            e("held", m.held)("reference_db", m.reference_db)("coherence", m.coherence);
            e("polarity", geometry ? polarity_name(m) : "not checked");
            mics.push(e("verdict", verdict_name(m.verdict))("detail", m.detail));
        }
        const auto list = [&](const std::vector<size_t> &which) {
            tools::Json l = tools::Json::array();
            for (size_t k : which) {
                const MicHealth &m = r.mics[k];
                l.push(tools::Json::object()("channel", m.channel)("name", m.name)("kind", verdict_name(m.verdict))("detail", m.detail));
            }
            return l;
        };
        tools::Json j = tools::Json::object();
        j("run", runs_text(a))("geometry", geometry ? tools::Json(o.geometry) : tools::Json());
        j("sample_freq", double(a.run.rec.freq))("first_frame", a.range.first)("frames", r.frames)("full_scale", kFullScale);
        std::fputs(j("microphones", mics)("faulty", list(faulty))("undetermined", list(r.undetermined())).block().c_str(), stdout);
    } else {
        std::printf("%-8s %-10s %9s %11s %9s %9s  %s\n", "channel", "name", "level dB", "DC", "peak dB", "clipped", "verdict");
        for (const MicHealth &m : r.mics)
            std::printf("%-8d %-10s %9s %11.3e %9s %8.4f%%  %s%s%s\n", m.channel, m.name.c_str(), db_text(m.level_db).c_str(), m.dc,
                        db_text(20 * std::log10(m.peak)).c_str(), 100 * m.clipped, verdict_name(m.verdict),
                        m.detail.empty() ? "" : ": ", m.detail.c_str());
        const size_t undetermined = r.undetermined().size();
        size_t unchecked = 0;
        for (const MicHealth &m : r.mics)
            unchecked += geometry && m.verdict == Verdict::Ok && std::string(polarity_name(m)) == "undetermined";
        std::printf("%zu microphones over %llu frames: %zu ok, %zu faulty, %zu undetermined%s\n", r.mics.size(),
                    (unsigned long long)r.frames, r.mics.size() - faulty.size() - undetermined, faulty.size(), undetermined,
                    geometry ? "" : " (no geometry: levels against the array's median, polarity and coherence not checked)");
        if (unchecked)
            std::printf("polarity undetermined for %zu ok microphones: no neighbour pair had enough coherent sound "
                        "below c / (4 d) (d their distance) over the blocks taken to vote\n", unchecked);
    }
    return faulty.empty() ? 0 : 1;
}

#ifndef VIZ256_RUN_LEAN
// The grid of the map: as given, or over the microphones' extent.
Grid grid_of(const Options &o, const std::vector<Microphone> &positions)
{
    return o.grid.empty() ? default_grid(positions) : parse_grid(o.grid);
}

// The memory a map may take: half the machine's, at most 8 GiB.
uint64_t memory_limit()
{
    const uint64_t physical = uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGESIZE));
    return std::min<uint64_t>(physical / 2, uint64_t(8) << 30);
}

std::string gigabytes(uint64_t bytes)
{
    char t[32];
    std::snprintf(t, sizeof t, "%.2f GB", double(bytes) / 1e9);
    return t;
}

// Made before any frame is read: the grid's plane and the memory of the whole map are checked
// first, so that nothing is read for a map that cannot be made.
CrossSpectra *make_csm(const Analysed &a, const Options &o)
{
    const auto [f1, f2] = parse_band(o.band);
    const Grid grid = grid_of(o, a.positions);
    check_grid(grid, a.positions);
    const uint64_t m = a.channels.size(), points = uint64_t(grid.nx()) * uint64_t(grid.ny());
    uint64_t bins = uint64_t(std::max(0.0, std::floor(f2 * o.block / a.run.rec.freq) - std::ceil(f1 * o.block / a.run.rec.freq) + 1));
    bins = std::min<uint64_t>(bins, uint64_t(o.block / 2));
    const uint64_t spectra = bins * m * (m + 64) * 8, total = spectra + beamform_bytes(m, bins, points);
    if (total > memory_limit())
        throw std::invalid_argument("the map would take " + gigabytes(total) + " (" + std::to_string(m) + " microphones, " +
                                    std::to_string(bins) + " bins of the band, " + std::to_string(points) +
                                    " grid points), more than the limit of " + gigabytes(memory_limit()) +
                                    " (half this machine's memory, at most 8 GiB): narrow the band or take shorter blocks "
                                    "(--block), or a grid of fewer points (--grid)");
    return new CrossSpectra(a.format, a.run.rec.freq, o.block, f1, f2, total + 1);
}

int map(const Options &o)
{
    const Geometry geometry = read_geometry(o.geometry);
    if (!o.grid.empty())
        parse_grid(o.grid);
    parse_band(o.band);
    CrossSpectra *made = nullptr;
    std::unique_ptr<CrossSpectra> csm;
    const auto a = [&] {
        try {
            Analysed r = analyse(o, &geometry, make_csm, &made);
            csm.reset(made);
            return r;
        } catch (...) {
            delete made;
            throw;
        }
    }();
    if (csm->blocks() == 0)
        throw std::invalid_argument("the range holds " + std::to_string(a.range.count) + " frames, fewer than one block of " +
                                    std::to_string(o.block));

    MapRecord rec;
    rec.run = runs_text(a);
    rec.geometry = o.geometry;
    rec.band = parse_band(o.band);
    rec.sample_freq = a.run.rec.freq;
    rec.block = o.block;
    rec.blocks = csm->blocks();
    rec.first_frame = a.range.first;
    rec.frames = a.range.count;
    rec.speed_of_sound = o.speed_of_sound;
    rec.diagonal_removed = !o.keep_diagonal;
    rec.range_db = o.range;
    for (size_t k = 0; k < csm->bins().size(); ++k)
        rec.frequencies.push_back(csm->frequency(k));
    std::vector<size_t> use;
    std::vector<Microphone> used_positions;
    for (size_t i = 0; i < a.channels.size(); ++i) {
        const MicHealth &h = a.health.mics[i];
        if (o.all_microphones || !is_fault(h.verdict)) {
            use.push_back(i);
            used_positions.push_back(a.positions[i]);
            rec.used_channels.push_back(a.channels[i]);
        } else {
            rec.excluded.push_back({h.channel, h.name, verdict_name(h.verdict)});
        }
    }
    rec.all_positions = a.positions;
    rec.all_channels = a.channels;
    rec.health = a.health;
    BeamformSettings settings;
    settings.speed_of_sound = o.speed_of_sound;
    settings.remove_diagonal = !o.keep_diagonal;
    if (use.size() < 2) {
        std::map<std::string, int> kinds;
        for (const auto &e : rec.excluded)
            ++kinds[e.kind];
        std::string why;
        for (const auto &[kind, count] : kinds)
            why += (why.empty() ? "" : ", ") + std::to_string(count) + " " + kind;
        std::string which;
        for (size_t k = 0; k < rec.excluded.size() && k < 12; ++k)
            which += (k ? ", " : "") + std::to_string(rec.excluded[k].channel);
        throw std::invalid_argument("health calls " + std::to_string(rec.excluded.size()) + " of the " +
                                    std::to_string(a.channels.size()) + " microphones faulty (" + why + "; channels " + which +
                                    (rec.excluded.size() > 12 ? ", ..." : "") +
                                    "; viz256-run health says why): fewer than two are left to map with. "
                                    "--all-microphones maps with every microphone");
    }
    Progress progress("map");
    rec.map = beamform(*csm, use, used_positions, grid_of(o, used_positions), settings,
                       [&](double share) { progress(share); });

    if (!o.to.empty())
        write_map(o.to, rec);
    const Grid &g = rec.map.grid;
    const size_t p = rec.map.peak;
    const double px = g.x(int(p % size_t(g.nx()))), py = g.y(int(p / size_t(g.nx())));
    const double level = to_db(rec.map.power[p]);
    if (o.json) {
        using tools::Json;
        Json excluded = Json::array();
        for (const Excluded &e : rec.excluded)
            excluded.push(Json::object()("channel", e.channel)("name", e.name)("kind", e.kind));
        Json j = Json::object();
        j("peak", Json::object()("x", px)("y", py)("z", g.z)("level_db", level));
        j("run", rec.run)("geometry", rec.geometry)("band", Json::array().push(rec.band.first).push(rec.band.second));
        j("bins", rec.frequencies.size());
        j("grid", Json::object()("x", Json::array().push(g.x0).push(g.x1).push(g.dx))("y", Json::array().push(g.y0).push(g.y1).push(g.dy))(
                      "z", g.z)("nx", g.nx())("ny", g.ny()));
        j("window", "hann")("overlap", 0.5)("block", rec.block)("blocks", rec.blocks)("steering", kSteering);
        j("diagonal_removed", rec.diagonal_removed)("speed_of_sound", rec.speed_of_sound);
        j("first_frame", rec.first_frame)("frames", rec.frames)("microphones_used", rec.used_channels.size());
        j("excluded", excluded)("to", o.to.empty() ? Json() : Json(o.to));
        std::fputs(j.block().c_str(), stdout);
    } else {
        std::printf("peak at x = %.3f m, y = %.3f m, z = %.3f m: %.1f dB re full scale\n", px, py, g.z, level);
        std::printf("band %g to %g Hz (%zu bins of %g Hz), %llu blocks of %d frames, %zu microphones%s\n", rec.band.first,
                    rec.band.second, rec.frequencies.size(), rec.sample_freq / rec.block, (unsigned long long)rec.blocks,
                    rec.block, rec.used_channels.size(), rec.diagonal_removed ? ", diagonal removed" : "");
        for (const auto &e : rec.excluded)
            std::printf("left out: channel %d %s (%s)\n", e.channel, e.name.c_str(), e.kind.c_str());
        if (!o.to.empty())
            std::printf("written: %s\n", o.to.c_str());
    }
    return 0;
}
#endif

}

int run_analysis(int argc, char **argv)
{
    const std::string command = argv[1];
    try {
        const Options o = parse(argc, argv, command == "map");
#ifndef VIZ256_RUN_LEAN
        if (command == "map")
            return map(o);
#endif
        return health(o);
    } catch (const GeometryError &e) {
        std::fprintf(stderr, "viz256-run: %s\n", e.what());
        return 2;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "viz256-run: %s\n", e.what());
        return 2;
    }
}

}
