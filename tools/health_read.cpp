#include "tools/health_read.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace tools {

using namespace analysis;

// Health alone, from one run: its two halves read side by side, each on a thread (and a core)
// of its own, each block judged right after its read while it is in that core's cache; the
// later half's statistics then merge into the earlier's as one pass would have summed them (or,
// when a run of equal samples crosses the boundary, that half is read again after the first).
// The neighbours' spectra read their own few blocks on two more threads.
void read_health(const reading::Run &run, uint64_t first, uint64_t count, const FrameFormat &format, HealthMeter &meter,
                 const std::function<void(double)> &progress)
{
    const size_t frame_bytes = size_t(format.words()) * 4, chunk = HealthMeter::kChunkFrames;
    // One buffer of about 256 KiB a thread, always the same, whole chunks of the meter.
    const size_t block_frames = std::max<size_t>(1, (size_t(320) << 10) / frame_bytes / chunk) * chunk;
    const uint64_t half = count >= 4 * block_frames ? count / 2 / chunk * chunk : 0;
    std::atomic<uint64_t> done{0};
    SampleStats later = meter.part();
    std::exception_ptr failed[3];
    std::thread second, spectra[2];
    if (half) {
        second = std::thread([&] {
            try {
                std::vector<uint8_t> edge(2 * frame_bytes);
                reading::read_frames(run, first, 1, [&](const uint8_t *f, size_t, uint64_t) {
                    std::memcpy(edge.data(), f, frame_bytes);
                    return true;
                }, frame_bytes);
                reading::read_frames(run, first + half - 1, 1, [&](const uint8_t *f, size_t, uint64_t) {
                    std::memcpy(edge.data() + frame_bytes, f, frame_bytes);
                    return true;
                }, frame_bytes);
                later.begin_after(edge.data(), edge.data() + frame_bytes);
                reading::read_frames(run, first + half, count - half, [&](const uint8_t *f, size_t n, uint64_t) {
                    later.feed(f, n);
                    done += n;
                    return true;
                }, block_frames * frame_bytes);
            } catch (...) {
                failed[0] = std::current_exception();
            }
        });
    }
    // The blocks the spectra take, one in two to each of two threads (the spectra cost as much as
    // the reading on a 10 s run): sums of their own, added at the end.
    std::unique_ptr<NeighbourSpectra> other = meter.spectra_part();
    const auto spectra_of = [&](NeighbourSpectra *sp, uint64_t which, std::exception_ptr &failure) {
        try {
            const size_t n = sp->block_frames();
            std::vector<uint8_t> buffer(n * frame_bytes);
            for (uint64_t b = 0; (b + 1) * n <= count; ++b) {
                if (b % sp->stride() || b / sp->stride() % 2 != which) {
                    sp->skip_block();
                    continue;
                }
                reading::read_frames(run, first + b * n, n, [&](const uint8_t *f, size_t k, uint64_t) {
                    sp->feed(nullptr, f, format, k);
                    return true;
                }, n * frame_bytes, [&] { return buffer.data(); });
            }
        } catch (...) {
            failure = std::current_exception();
        }
    };
    if (other) {
        spectra[0] = std::thread(spectra_of, meter.spectra(), 0, std::ref(failed[1]));
        spectra[1] = std::thread(spectra_of, other.get(), 1, std::ref(failed[2]));
    }
    const auto join = [&] {
        for (std::thread *t : {&second, &spectra[0], &spectra[1]})
            if (t->joinable())
                t->join();
    };
    try {
        reading::read_frames(run, first, half ? half : count, [&](const uint8_t *f, size_t n, uint64_t) {
            meter.samples().feed(f, n);
            progress(double(done += n) / double(count));
            return true;
        }, block_frames * frame_bytes);
    } catch (...) {
        join();
        throw;
    }
    join();
    for (const std::exception_ptr &e : failed)
        if (e)
            std::rethrow_exception(e);
    if (other)
        meter.spectra()->merge(*other);
    if (half && !meter.samples().merge(later))
        reading::read_frames(run, first + half, count - half, [&](const uint8_t *f, size_t n, uint64_t) {
            meter.samples().feed(f, n);
            return true;
        }, block_frames * frame_bytes);
}

}
