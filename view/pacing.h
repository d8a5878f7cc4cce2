#pragma once
// A live block cut into slices fed to the map one after another at the stream's own pace: the
// tap hands out a whole ring transfer at once (0.16 s of stream at the peak), and a map per
// slice lets the view follow the sound instead of jumping once per block. Slice k falls due
// k slice durations after the block's completion; whatever is due is fed as one slice (a view
// that woke up late never makes a burst of maps), and all that is left when the next block
// already waits (a view behind the stream catches up rather than piling slices up).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace view {

struct Slice {
    size_t from = 0, count = 0; // frames of the block
};

class Pacer {
public:
    // A block of `frames` that completed at `completed_ns` (CLOCK_MONOTONIC), cut in slices of
    // about `slice_s` (0: one slice, due at once).
    void start(size_t frames, double sample_freq, double slice_s, int64_t completed_ns)
    {
        frames_ = frames, fs_ = sample_freq > 0 ? sample_freq : 1, completed_ns_ = completed_ns, next_ = 0;
        const double per = slice_s > 0 && sample_freq > 0 ? slice_s * sample_freq : double(frames);
        slices_ = frames == 0 ? 0 : std::clamp<size_t>(size_t(std::lround(double(frames) / std::max(1.0, per))), 1, frames);
    }
    void clear() { next_ = slices_ = 0; }
    bool pending() const { return next_ < slices_; }
    size_t slices() const { return slices_; }
    // When the next slice falls due: its first frame's place in the stream after the block's start.
    int64_t due_ns() const { return completed_ns_ + int64_t(std::llround(double(bound(next_)) / fs_ * 1e9)); }
    // The slices due at `now_ns` as one (all that is left when `behind`); none before the next is due.
    Slice take(int64_t now_ns, bool behind)
    {
        if (!pending() || (!behind && now_ns < due_ns()))
            return {};
        const size_t from = bound(next_);
        do
            ++next_;
        while (pending() && (behind || now_ns >= due_ns()));
        return {from, bound(next_) - from};
    }

private:
    size_t bound(size_t k) const { return slices_ ? frames_ * k / slices_ : 0; }
    size_t frames_ = 0, slices_ = 0, next_ = 0;
    double fs_ = 1;
    int64_t completed_ns_ = 0;
};

}
