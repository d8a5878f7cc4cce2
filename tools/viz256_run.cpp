// viz256-run: a recorded run from the command line. info, check, repair, export.
#include "reading/check.h"
#include "reading/export.h"
#include "reading/repair.h"
#include "analysis/geometry.h"
#include "tools/command_line.h"
#include "tools/json_out.h"
#include "tools/run_analysis.h"
#include "tools/tap_command.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <sstream>
#include <unistd.h>

using namespace reading;

namespace {

const char *const usage =
    "usage: viz256-run COMMAND RUN [options]\n"
    "RUN is any of the run's three files (x.dat, x.Vlx or x.log).\n"
    "  info RUN [--json]     what the run is: date, frequency, type, channels, frames, comment\n"
    "  check RUN             data against header and log, counter continuity; exit 0 only when clean\n"
    "  repair RUN [--dry-run]  bring the header's and log's frame count and duration to the data\n"
    "  export RUN --to FILE.h5|FILE.wav [--channels LIST] [--start S] [--duration S]\n"
    "         [--type float32|int32] [--force] [--progress] [--geometry F]\n"
    "         LIST: names (mic_3_1, va_0, counter, status), microphone channels (25), beam_3,\n"
    "         mics, va, all; default: all to HDF5, mics,va to WAV. HDF5: /time_data (microphones,\n"
    "         its attribute channels: the channel of each column), /analog, float32 unless --type\n"
    "         int32; /counter, /status uint32; with --geometry, /positions (metres) of the columns\n"
    "         of /time_data. --force replaces an existing file (never one of the run's).\n"
    "Exit status: 0 success (check: clean), 1 check found problems, 2 unusable input, 130 interrupted.\n"
    "The live stream of a recording process, instead of a RUN:\n";

std::atomic<bool> interrompu{false};

void sur_signal(int)
{
    interrompu.store(true);
}

std::string nombre(double v)
{
    std::ostringstream s;
    s.precision(10);
    s << v;
    return s.str();
}

// "mic_0_0..mic_1_7" style ranges of the layout's names, word by word.
std::string resume_disposition(const Layout &l)
{
    std::string s;
    size_t i = 0;
    while (i < l.channels.size()) {
        size_t j = i;
        while (j + 1 < l.channels.size() && l.channels[j + 1].kind == l.channels[i].kind)
            ++j;
        if (!s.empty())
            s += "; ";
        s += i == j ? "word " + std::to_string(i) + " " + l.channels[i].name
                    : "words " + std::to_string(i) + "-" + std::to_string(j) + " " + l.channels[i].name + ".." +
                          l.channels[j].name;
        i = j + 1;
    }
    return s;
}

// The progress line, at most twice a second, on the terminal only.
class Progression {
public:
    explicit Progression(bool active, const char *quoi) : active_(active), quoi_(quoi) {}
    void operator()(uint64_t fait, uint64_t total)
    {
        if (!active_)
            return;
        const auto maintenant = std::chrono::steady_clock::now();
        if (fait < total && maintenant - dernier_ < std::chrono::milliseconds(500))
            return;
        dernier_ = maintenant;
        const double s = std::chrono::duration<double>(maintenant - debut_).count();
        std::fprintf(stderr, "\r%s: %5.1f %%  %.2f of %.2f GB  %.0f MB/s ", quoi_, total ? 100.0 * double(fait) / double(total) : 100.0,
                     double(fait) / 1e9, double(total) / 1e9, s > 0 ? double(fait) / 1e6 / s : 0.0);
        affiche_ = true;
    }
    ~Progression()
    {
        if (affiche_)
            std::fputc('\n', stderr);
    }

private:
    bool active_;
    const char *quoi_;
    bool affiche_ = false;
    std::chrono::steady_clock::time_point debut_ = std::chrono::steady_clock::now(), dernier_{};
};

// The counter's gaps on the terminal: the first fifty, then how many in all.
void affiche_trous(const std::vector<Gap> &gaps, uint64_t total)
{
    const size_t montres = std::min<size_t>(gaps.size(), 50);
    for (size_t i = 0; i < montres; ++i)
        std::printf("counter gap: %s\n", describe(gaps[i]).c_str());
    if (total > montres)
        std::printf("counter gap: ... %llu gaps in all\n", (unsigned long long)total);
}

int info(const Run &run, bool json)
{
    const type_header_file &h = run.rec;
    const auto problemes = description_problems(run);
    if (json) {
        tools::Json channels = tools::Json::array(), problems = tools::Json::array();
        for (const Channel &ch : run.layout.channels)
            channels.push(ch.name);
        for (const std::string &p : problemes)
            problems.push(p);
        const tools::Json none;
        tools::Json o = tools::Json::object();
        o("data_file", run.paths.dat)("header_file", run.paths.header)("log_file", run.paths.log);
        o("described_by", run.rec_from_log ? "log" : "header")("date", iso_date(h.date_heure));
        o("sample_freq", double(h.freq))("sample_type", run.floats() ? "float32" : "int32")("nb_voies", run.nb_voies());
        o("counter", run.layout.counter())("status", run.status)("channels", channels);
        o("frames", run.frames())("trailing_bytes", run.trailing_bytes())("duration", double(run.frames()) / double(h.freq));
        o("header_nb_ech", run.header ? tools::Json(run.header->nb_ech) : none);
        o("log_nb_ech", run.log ? tools::Json(run.log->rec.nb_ech) : none);
        o("log_duree", run.log ? tools::Json(run.log->duree_text) : none);
        o("comment", comment_trimmed(h))("problems", problems);
        std::fputs(o.block().c_str(), stdout);
        return 0;
    }
    const HeaderCounts c = counts(h);
    std::printf("Run          %s\n", run.paths.dat.c_str());
    std::printf("Described by %s%s\n", run.rec_from_log ? "the log (the header is unusable)" : "the header",
                run.log ? (run.rec_from_log ? "" : " and the log") : " (no usable log)");
    std::printf("Started      %s\n", iso_date(h.date_heure).c_str());
    std::printf("Frequency    %s Hz\n", nombre(h.freq).c_str());
    std::printf("Samples      %s\n", run.floats() ? "float32" : "int32");
    std::printf("Frame        %d words: %s%d microphones, %s%d analogue channels\n", run.nb_voies(),
                run.layout.counter() ? "counter, " : "no counter, ", c.mics, run.status ? "status, " : "no status, ",
                c.analog);
    std::printf("Layout       %s\n", resume_disposition(run.layout).c_str());
    if (!run.status_note.empty())
        std::printf("Status word  %s\n", run.status_note.c_str());
    std::printf("Data         %llu whole frames, %.3f s (%llu bytes)\n", (unsigned long long)run.frames(),
                double(run.frames()) / double(h.freq), (unsigned long long)run.dat_bytes);
    if (run.header)
        std::printf("Header       nb_ech %u, duration %s s\n", run.header->nb_ech, nombre(run.header->duree_acquise).c_str());
    if (run.log)
        std::printf("Log          Nb_ech %u, Duree %s s\n", run.log->rec.nb_ech, run.log->duree_text.c_str());
    std::printf("Comment      %s\n", comment_trimmed(h).c_str());
    for (const std::string &p : problemes)
        std::printf("Problem      %s\n", p.c_str());
    if (const std::string n = partial_frame_note(run); !n.empty())
        std::printf("Note         %s\n", n.c_str());
    return 0;
}

int check(const Run &run, bool progression)
{
    CheckReport r;
    {
        Progression p(progression, "check");
        r = check_run(run, std::ref(p));
    }
    for (const std::string &p : r.problems)
        std::printf("problem: %s\n", p.c_str());
    for (const std::string &n : r.notes)
        std::printf("note: %s\n", n.c_str());
    affiche_trous(r.gaps, r.gap_count);
    if (r.clean())
        std::printf("clean: %llu frames%s\n", (unsigned long long)run.frames(),
                    r.counter_checked ? ", counter continuous" : "");
    else
        std::printf("NOT clean: %zu problem(s), %llu counter gap(s)\n", r.problems.size(), (unsigned long long)r.gap_count);
    return r.clean() ? 0 : 1;
}

int repair(const Run &run, bool essai)
{
    const RepairPlan plan = plan_repair(run);
    if (plan.changes.empty()) {
        std::printf("nothing to repair: header and log agree with the %llu frames of the data file\n",
                    (unsigned long long)run.frames());
        return 0;
    }
    if (essai) {
        for (const RepairChange &c : plan.changes)
            std::printf("would change %s\n", c.text.c_str());
    } else {
        // Each file is said changed once it is written: a failure leaves no false report.
        apply_repair(plan, [](const RepairChange &c) {
            std::printf("changed %s\n", c.text.c_str());
            std::fflush(stdout);
        });
    }
    if (run.trailing_bytes())
        std::printf("note: the data file ends in a partial frame of %llu bytes, left as it is\n",
                    (unsigned long long)run.trailing_bytes());
    return 0;
}

#ifndef VIZ256_RUN_LEAN
int exporte(const Run &run, const tools::CommandLine &opt, bool progression)
{
    ExportOptions o;
    o.target = tools::bytes(opt.value("to"));
    o.force = opt.has("force");
    o.words = select_channels(run.layout, opt.has("channels") ? tools::bytes(opt.value("channels")) : default_channels(format_of(o.target)));
    const auto secondes = [&](const char *cle) -> std::optional<double> {
        if (!opt.has(cle))
            return std::nullopt;
        return tools::seconds(opt.value(cle), QStringLiteral("--") + QString::fromLatin1(cle));
    };
    o.range = frame_range(run, secondes("start"), secondes("duration"));
    if (opt.has("geometry")) {
        if (format_of(o.target) != Format::Hdf5)
            throw std::invalid_argument("--geometry: the positions go to an HDF5 file (--to FILE.h5)");
        // The positions of the exported microphones, in the order of /time_data's columns.
        std::vector<int> mics;
        for (int w : o.words)
            if (run.layout.channels[size_t(w)].kind == Kind::Microphone)
                mics.push_back(run.layout.channels[size_t(w)].number);
        o.geometry = tools::bytes(opt.value("geometry"));
        for (const analysis::Microphone &m : analysis::positions_of(analysis::read_geometry(o.geometry), mics))
            o.positions.insert(o.positions.end(), {m.x, m.y, m.z});
    }
    if (o.range.cut)
        std::printf("note: --duration goes past the end of the run: %s s exported, to its last frame\n",
                    nombre(double(o.range.count) / double(run.rec.freq)).c_str());
    if (opt.has("type")) {
        const QString t = opt.value("type");
        if (t != "float32" && t != "int32")
            throw std::invalid_argument("--type: float32 or int32");
        o.type = t == "int32" ? SampleType::Int32 : SampleType::Float32;
    }
    ExportResult r;
    {
        Progression p(progression, "export");
        r = export_run(run, o, std::ref(p), &interrompu);
    }
    affiche_trous(r.gaps, r.gap_count);
    std::printf("%s: %llu frames x %zu channels, %s%s, %s Hz, from frame %llu%s\n", o.target.c_str(),
                (unsigned long long)r.frames, o.words.size(), r.type == SampleType::Float32 ? "float32" : "int32",
                r.rf64 ? " (RF64)" : "", nombre(run.rec.freq).c_str(), (unsigned long long)o.range.first,
                !r.counter_checked  ? "; no counter recorded: gaps cannot be seen"
                : r.gap_count == 0 ? "; counter continuous"
                                   : "; the counter has gaps: frames are missing at the places listed");
    return 0;
}
#else
// export and map need HDF5, libsndfile, QtGui and the BLAS, which this build does not load (the
// other commands start in a quarter of the time): viz256-run-full, beside it, does them.
int hand_over(char **argv)
{
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path = n > 0 ? std::string(self, size_t(n)) : std::string(argv[0]);
    path = path.substr(0, path.rfind('/') + 1) + "viz256-run-full";
    ::execv(path.c_str(), argv);
    std::fprintf(stderr, "viz256-run: cannot start %s: %s\n", path.c_str(), std::strerror(errno));
    return 2;
}
#endif

// viz256-run tap [--device D] [--duration S] [--json]: no RUN.
int tap(int argc, char **argv)
{
    try {
        const tools::CommandLine opt(tools::byte_arguments(argc, argv, 2), {{"device", true}, {"duration", true}, {"json"}, {"help"}});
        if (opt.has("help")) {
            std::fputs(tools::tap_usage, stdout);
            return 0;
        }
        tools::TapOptions o;
        o.device = tools::bytes(opt.value("device"));
        if (opt.has("duration"))
            o.duration = tools::seconds(opt.value("duration"), QStringLiteral("--duration"));
        o.json = opt.has("json");
        return tools::run_tap(o);
    } catch (const tools::UsageError &e) {
        std::fprintf(stderr, "viz256-run tap: %s\n%s", tools::bytes(e.line).c_str(), tools::tap_usage);
        return 2;
    } catch (const std::invalid_argument &e) {
        std::fprintf(stderr, "viz256-run tap: %s\n%s", e.what(), tools::tap_usage);
        return 2;
    }
}

} // namespace

namespace {

// The options of each command; health and map read theirs in tools/run_analysis.cpp.
const std::map<std::string, std::vector<tools::OptionSpec>> OPTIONS = {
    {"info", {{"json"}}},
    {"check", {{"progress"}}},
    {"repair", {{"dry-run"}}},
    {"export", {{"to", true}, {"geometry", true}, {"channels", true}, {"start", true}, {"duration", true}, {"type", true}, {"force"}, {"progress"}}},
};

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "tap") == 0)
        return tap(argc, argv);
    if (argc < 3) {
        const bool help = argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
        std::fputs(usage, help ? stdout : stderr);
        std::fputs(tools::tap_usage, help ? stdout : stderr);
        std::fputs(tools::analysis_usage, help ? stdout : stderr);
        return help ? 0 : 2;
    }
    const std::string commande = argv[1];
#ifdef VIZ256_RUN_LEAN
    if (commande == "export" || commande == "map")
        return hand_over(argv);
#endif
    if (commande == "health" || commande == "map")
        return tools::run_analysis(argc, argv);
    // Only an export takes the signals itself, to remove its half-written file; the other
    // commands end at once as any command does.
    if (commande == "export") {
        struct sigaction sa{};
        sa.sa_handler = sur_signal;
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            sigaction(s, &sa, nullptr);
    }
    try {
        const auto options = OPTIONS.find(commande);
        if (options == OPTIONS.end())
            throw std::invalid_argument("unknown command " + commande);
        const tools::CommandLine opt(tools::byte_arguments(argc, argv, 2), options->second, 1);
        if (opt.positional().isEmpty())
            throw std::invalid_argument(commande + " needs a RUN (any of its three files)");
        if (commande == "export" && !opt.has("to"))
            throw std::invalid_argument("export needs --to FILE.h5 or --to FILE.wav");
        const bool progression = opt.has("progress") || isatty(2);
        Run run;
        try {
            run = open_run(tools::bytes(opt.positional().first()));
        } catch (const ReadError &e) {
            if (commande == "repair")
                std::fprintf(stderr, "viz256-run: cannot repair: %s\n", e.what());
            else
                std::fprintf(stderr, "viz256-run: %s\n", e.what());
            return 2;
        }
        if (commande == "info")
            return info(run, opt.has("json"));
        if (commande == "check")
            return check(run, progression);
        if (commande == "repair")
            return repair(run, opt.has("dry-run"));
#ifndef VIZ256_RUN_LEAN
        return exporte(run, opt, progression);
    } catch (const Interrupted &) {
        std::fprintf(stderr, "viz256-run: interrupted; nothing written under the target name\n");
        return 130;
#else
        return 2; // export was handed over above
#endif
    } catch (const tools::UsageError &e) {
        std::fprintf(stderr, "viz256-run: %s\n", tools::bytes(e.line).c_str());
        return 2;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "viz256-run: %s\n", e.what());
        return 2;
    }
}
