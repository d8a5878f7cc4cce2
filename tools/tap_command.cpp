#include "tools/tap_command.h"

#include "tap/block.h"
#include "tap/reader.h"
#include "tools/json_out.h"
#include "tools/text_out.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <vector>

namespace tools {

const char *const tap_usage =
    "  tap [--device PORT|SERIAL] [--duration S] [--json]\n"
    "         follow the live stream of a recording process (viz256, viz256-record) without\n"
    "         slowing it: once a second and at the end, the blocks and frames received, the\n"
    "         blocks missed (overwritten before they could be read), the last whole frame. Ends\n"
    "         after S seconds, on Ctrl+C, or when the recording process ends.\n";

namespace {

std::atomic<bool> stop_asked{false};

void on_signal(int)
{
    stop_asked.store(true);
}


// What was received since the command attached.
struct Tally {
    uint64_t runs = 0, blocks = 0, bytes = 0, frames = 0, missed = 0;
    std::optional<uint64_t> last_frame; // of the current run
    bool have_previous = false;         // the block before the next one was received
    uint64_t previous_sequence = 0;
    std::vector<double> latency_ms;     // completion to reception

    void new_run()
    {
        ++runs;
        last_frame.reset();
        have_previous = false;
    }
    // Frames completed by the block: those that end in it, when the block before was received
    // too; otherwise those that start and end in it.
    void add(const tap::Block &b, uint32_t frame_bytes, int64_t now_ns)
    {
        const tap::BlockPlace &p = b.place;
        ++blocks;
        bytes += p.bytes;
        if (frame_bytes) {
            const uint64_t end = (p.byte_offset + p.bytes) / frame_bytes;
            const bool joined = have_previous && p.sequence == previous_sequence + 1;
            const uint64_t n = joined ? end - p.byte_offset / frame_bytes : p.whole_frames(frame_bytes);
            frames += n;
            if (n)
                last_frame = end - 1;
        }
        have_previous = true;
        previous_sequence = p.sequence;
        if (p.completed_ns > 0)
            latency_ms.push_back(double(now_ns - p.completed_ns) / 1e6);
    }
    double latency(double share)
    {
        if (latency_ms.empty())
            return -1;
        const size_t k = std::min(latency_ms.size() - 1, size_t(share * double(latency_ms.size())));
        std::nth_element(latency_ms.begin(), latency_ms.begin() + long(k), latency_ms.end());
        return latency_ms[k];
    }
};

void print(const tap::Reader &r, Tally &t, const char *state, double elapsed, bool json)
{
    const FrameLayout &l = r.layout();
    const double median = t.latency(0.5), p99 = t.latency(0.99);
    if (json) {
        const auto ms = [](double v) { return v < 0 ? Json() : Json(v); };
        Json o = Json::object();
        o("port", r.recorder().port)("serial", r.recorder().serial)("state", state)("run", r.generation())("runs", t.runs);
        o("blocks", t.blocks)("bytes", t.bytes)("frames", t.frames)("missed_blocks", t.missed);
        o("last_frame", t.last_frame ? Json(*t.last_frame) : Json())("words", l.words())("frequency", l.frequency);
        o("latency_median_ms", ms(median))("latency_p99_ms", ms(p99))("elapsed_s", elapsed);
        std::printf("%s\n", o.line().c_str());
    } else {
        std::printf("%s %.1f s: %s, run %llu (%d words at %g Hz): %llu blocks, %llu frames, %llu missed blocks, last frame %s",
                    r.recorder().port.c_str(), elapsed, state, (unsigned long long)r.generation(), l.words(), l.frequency,
                    (unsigned long long)t.blocks, (unsigned long long)t.frames, (unsigned long long)t.missed,
                    t.last_frame ? std::to_string(*t.last_frame).c_str() : "none");
        if (median >= 0)
            std::printf(", latency %.1f ms (99 %%: %.1f ms)", median, p99);
        std::printf("\n");
    }
    std::fflush(stdout);
}

} // namespace

int run_tap(const TapOptions &o)
{
    std::string error;
    auto r = tap::Reader::open(o.device, error);
    if (!r) {
        std::fprintf(stderr, "viz256-run tap: %s\n", error.c_str());
        return 2;
    }
    struct sigaction sa{};
    sa.sa_handler = on_signal;
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &sa, nullptr);
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const auto end = o.duration ? start + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(*o.duration))
                                : clock::time_point::max();
    auto next_line = start + std::chrono::seconds(1);
    Tally t;
    const char *state = r->running() ? "streaming" : "waiting";
    if (r->generation())
        t.new_run();
    int status = 0;
    tap::Block b;
    for (;;) {
        const auto now = clock::now();
        const double elapsed = std::chrono::duration<double>(now - start).count();
        if (stop_asked.load() || now >= end)
            break;
        if (now >= next_line) {
            print(*r, t, state, elapsed, o.json);
            next_line += std::chrono::seconds(1);
        }
        const auto wait = std::min({next_line, end, now + std::chrono::milliseconds(100)}) - now;
        uint64_t missed = 0;
        const auto n = r->next(b, missed, int(std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()) + 1);
        t.missed += missed;
        if (n == tap::Reader::Next::Block) {
            t.add(b, r->layout().frame_bytes(), tap::monotonic_ns());
        } else if (n == tap::Reader::Next::NewRun) {
            t.new_run();
            state = "streaming";
        } else if (n == tap::Reader::Next::Ended) {
            state = "ended";
        } else if (n == tap::Reader::Next::Error) {
            if (!r->closed()) {
                std::fprintf(stderr, "viz256-run tap: %s\n", r->error().c_str());
                status = 2;
            }
            state = "closed";
            break;
        }
    }
    print(*r, t, state, std::chrono::duration<double>(clock::now() - start).count(), o.json);
    return status;
}

} // namespace tools
