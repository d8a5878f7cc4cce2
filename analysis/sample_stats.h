// What each microphone's own samples say, summed block by block: level and DC (sums about the
// first sample), extremes and the samples held at them (clipping), runs of equal samples away
// from the extremes so far (dropouts).
//
// A run may be read in parts on several threads: a part that starts later in the run is begun
// with the run's first frame (the reference of the sums) and the frame just before its own
// first, and merged after the part before it as if both had been fed in one pass.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/samples.h"

namespace analysis {

class SampleStats {
public:
    SampleStats(FrameFormat format, int held_run);

    // Frames summed at a time; blocks of a multiple of it are cut into whole chunks.
    static constexpr size_t kChunkFrames = 128;

    // A part that starts later in the run, at a multiple of kChunkFrames: `first` is the run's
    // first frame, `before` the frame before the part's first (nullptr: not joined to it, a gap).
    void begin_after(const uint8_t *first, const uint8_t *before);

    void feed(const uint8_t *frames, size_t n);
    void feed_samples(const float *rows, size_t n); // rows of the format's microphones
    // The frames fed next do not follow the last ones: runs of equal samples and held samples
    // start afresh there. The sums go on.
    void gap();

    // `later`'s frames after these (a whole number of chunks; after gap() if `later` began
    // without `before`), as one pass would have summed them. False (nothing changed)
    // when a run of equal samples or a repeat at an extreme of `later` depends on what came
    // before it: the caller then feeds those frames here again.
    bool merge(const SampleStats &later);

    uint64_t frames() const { return frames_; }
    size_t mics() const { return m_; }

    // Per microphone.
    std::vector<float> ref_;              // the first sample: the sums are about it
    std::vector<double> sum_, sumsq_;     // about ref_
    std::vector<float> hi_, lo_;          // extremes
    std::vector<uint64_t> hi_held_, lo_held_, held_, held_runs_;

private:
    void chunk(const float *rows, const uint8_t *frames, size_t n);
    size_t next_chunk(size_t n) const;
    void start(const float *rows, const uint8_t *frames);

    FrameFormat format_;
    int held_run_;
    size_t m_;
    bool in_a_row_ = false; // the microphones are consecutive words of a frame
    bool started_ = false;
    uint64_t frames_ = 0;
    std::vector<float> buffer_, last_, first_;
    std::vector<uint32_t> run_;
    std::vector<float> top_, bottom_; // extremes so far, for the runs of equal samples
    // A repeat at the extremes so far, which a run of equal samples leaves out: the lowest top
    // and highest bottom where one happened (what an earlier part's extremes would change).
    std::vector<float> repeat_top_, repeat_bottom_;
};

}
