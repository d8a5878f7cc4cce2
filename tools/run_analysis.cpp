// viz256-run health and viz256-run map: one pass over the frames feeds the health meter and,
// for a map, the cross-spectral matrix; the map leaves out the microphones health calls faulty.
#include "tools/run_analysis.h"

#include "analysis/health.h"
#include "reading/export.h"
#include "tools/command_line.h"
#include "tools/grid_option.h"
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

using namespace analysis;

namespace tools {

const char *const analysis_usage =
    "  health RUN [--geometry F] [--json] [--start S] [--duration S]\n"
    "         each microphone's level (dBFS, RMS about the mean), DC offset, peak, clipped share, and\n"
    "         a verdict: ok, dead, clipping, level_outlier (against the array's median, or the\n"
    "         neighbours' with --geometry), reversed_polarity (needs --geometry).\n"
    "         Exit 0 when every microphone is ok, 1 when some are faulty.\n"
    "  map RUN --geometry F --band F1:F2 [--grid X0:X1:DX,Y0:Y1:DY,Z] [--start S] [--duration S]\n"
    "         [--to FILE.png|FILE.h5] [--json] [--keep-diagonal] [--all-microphones]\n"
    "         [--block N] [--range DB] [--speed-of-sound C]\n"
    "         frequency-domain delay-and-sum beamforming on the plane grid (default: 41 x 41 points\n"
    "         over the array, z = 1 m). Cross-spectral matrix by Welch averaging: Hann window,\n"
    "         blocks of N frames (default 1024), 50 % overlap, the bins whose centre lies in\n"
    "         [F1, F2] Hz. Steering vectors of formulation III (\"correct level\": h = g / |g|^2,\n"
    "         g_m = (r_0/r_m) exp(-i k (r_m - r_0)), r_0 the distance to the array's centre).\n"
    "         The diagonal is removed unless --keep-diagonal; microphones health calls faulty\n"
    "         are left out unless --all-microphones. The PNG shows RANGE dB (default 15).\n"
    "         Levels are in dB re full scale (2^31, for both sample types).\n";

namespace {

struct Options {
    std::string run, geometry, band, grid, to;
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
    const tools::CommandLine c(tools::byte_arguments(argc, argv, 2), map ? map_options : health_options, 1);
    if (c.positional().isEmpty())
        throw std::invalid_argument(std::string(map ? "map" : "health") + " needs a RUN (any of its three files)");
    Options o;
    o.run = tools::bytes(c.positional().first());
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

// Everything one pass over the frames gives.
struct Analysed {
    reading::Run run;
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
    a.run = reading::open_run(o.run);
    a.range = reading::frame_range(a.run, o.start, o.duration);
    a.format.words = a.run.nb_voies();
    a.format.floats = a.run.floats();
    for (int w : a.run.layout.of(reading::Kind::Microphone)) {
        a.format.mic_words.push_back(w);
        a.channels.push_back(a.run.layout.channels[size_t(w)].number);
        a.names.push_back(a.run.layout.channels[size_t(w)].name);
    }
    if (a.channels.empty())
        throw reading::ReadError(a.run.paths.dat, "", "the run recorded no microphone");
    if (a.range.count == 0)
        throw reading::ReadError(a.run.paths.dat, "", "no frame to analyse");
    if (geometry)
        a.positions = positions_of(*geometry, a.channels);
    if (make_csm)
        *csm_made = csm = make_csm(a, o);
    HealthMeter meter(a.format, a.channels, a.names, a.run.rec.freq, a.positions);
    // Two threads: this one reads the frames (and converts them to samples for the spectra), the
    // other feeds the health meter and the spectra, so the reading and the arithmetic overlap.
    // Blocks of 1 MiB: small enough to stay few and warm (fresh pages cost dearly).
    const size_t m = a.channels.size(), frame_bytes = size_t(a.format.words) * 4;
    const size_t block_bytes = size_t(1) << 20, block_frames = std::max<size_t>(1, block_bytes / frame_bytes);
    Handover handover(4);
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
            mics.push(e("reference_db", m.reference_db)("verdict", verdict_name(m.verdict)));
        }
        for (size_t k : faulty) {
            const MicHealth &m = r.mics[k];
            bad.push(tools::Json::object()("channel", m.channel)("name", m.name)("kind", verdict_name(m.verdict))("detail", m.detail));
        }
        tools::Json j = tools::Json::object();
        j("run", a.run.paths.dat)("geometry", geometry ? tools::Json(o.geometry) : tools::Json());
        j("sample_freq", double(a.run.rec.freq))("first_frame", a.range.first)("frames", r.frames)("full_scale", kFullScale);
        std::fputs(j("microphones", mics)("faulty", bad).block().c_str(), stdout);
    } else {
        std::printf("%-8s %-10s %9s %11s %9s %9s  %s\n", "channel", "name", "level dB", "DC", "peak dB", "clipped", "verdict");
        for (const MicHealth &m : r.mics)
            std::printf("%-8d %-10s %9s %11.3e %9s %8.4f%%  %s%s%s\n", m.channel, m.name.c_str(), db_text(m.level_db).c_str(), m.dc,
                        db_text(20 * std::log10(m.peak)).c_str(), 100 * m.clipped, verdict_name(m.verdict),
                        m.detail.empty() ? "" : ": ", m.detail.c_str());
        std::printf("%zu microphones over %llu frames: %zu ok, %zu faulty%s\n", r.mics.size(), (unsigned long long)r.frames,
                    r.mics.size() - faulty.size(), faulty.size(),
                    geometry ? "" : " (no geometry: levels against the array's median, polarity not checked)");
    }
    return faulty.empty() ? 0 : 1;
}

#ifndef VIZ256_RUN_LEAN
CrossSpectra *make_csm(const Analysed &a, const Options &o)
{
    const auto [f1, f2] = parse_band(o.band);
    return new CrossSpectra(a.format, a.run.rec.freq, o.block, f1, f2);
}

int map(const Options &o)
{
    const Geometry geometry = read_geometry(o.geometry);
    std::optional<Grid> grid;
    if (!o.grid.empty())
        grid = parse_grid(o.grid);
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
    rec.run = a.run.paths.dat;
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
        if (o.all_microphones || h.verdict == Verdict::Ok) {
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
    rec.map = beamform(*csm, use, used_positions, grid ? *grid : default_grid(used_positions), settings);

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
