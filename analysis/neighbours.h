// What each microphone shares with its nearest neighbours: the spectra of every pair, from which
// the health check takes two things that hold for any scene.
//
// Polarity. Sound reaches two microphones d apart with a delay of at most d / c, whatever the
// sources, their number or their distance (near field included). Below c / (4 d) the phase of
// their cross-spectrum therefore lies within +-90 degrees, and the real part of the
// cross-spectrum is positive unless one of them is reversed. Only such bins are used: a bin
// whose whole main lobe (4 bins of the Blackman-Harris window) lies below c / (4 d), and whose
// power is within 70 dB of the microphone's strongest bin (the window's side lobes are 92 dB
// down, so what leaks from a loud tone elsewhere cannot turn a bin's sign). `same` is the
// coherence-weighted sign of those bins: sum Re C_ij / sqrt(sum P_ii sum P_jj), from -1 to 1,
// NaN when no bin qualifies.
//
// How far `same` can stray by chance. Were the two to hear nothing in common, each block's bin
// would add a product of two unrelated values: `same` would have a mean of 0 and a standard
// deviation `spread` = sqrt(g sum_k P_ii P_jj / (2 B sum_k P_ii sum_k P_jj)) over those bins
// (B blocks, P summed over them; g = n sum w^4 / (sum w^2)^2 = 2.76 for this window, the
// neighbouring bins of a block not being independent). A few blocks, few bins below c / (4 d)
// or a sound in a few bins give a wide spread: the sign is then noise's, whatever its size.
//
// Coherence. sum_k |C_ij| / sqrt(sum_k P_ii sum_k P_jj) over the whole band: near 1 when both
// hear the same sound field, near 0 when one of them hears mostly noise of its own.
//
// Incremental: feed blocks of rows (or frames) as they come; pairs() may be called at any time.
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/geometry.h"
#include "analysis/samples.h"

namespace analysis {

struct PairFigures {
    size_t i = 0, j = 0;    // indexes of the two microphones
    double distance = 0;    // metres
    double same = 0;        // polarity evidence, -1..1; NaN: no bin where it can be decided
    double below_hz = 0;    // the frequency under which the polarity bins lie
    double spread = 0;      // standard deviation of `same` were they unrelated (above); NaN with it
    double coherence = 0;   // 0..1 over the whole band; NaN before the first block
};

// What the coherence of two unrelated signals reads on average after `blocks` blocks: each bin's
// sum of `blocks` unrelated products has a Rayleigh magnitude, sqrt(pi / (4 blocks)) of the
// powers' geometric mean (less when their spectra differ in shape).
double chance_coherence(uint64_t blocks);

class NeighbourSpectra {
public:
    // `neighbours` nearest of each microphone (pairs taken once). `expected_frames` (0: not
    // known) sets how many blocks are taken: every block of a short run, about kWantedBlocks
    // spread evenly over a long one, so that the spectral work stays bounded whatever the run's
    // length. With `own_thread`, the spectra of the blocks taken are worked out on a thread of
    // their own while feed() goes on (pairs() waits for them).
    NeighbourSpectra(const std::vector<Microphone> &positions, double sample_freq, int neighbours, double speed_of_sound,
                     uint64_t expected_frames, bool own_thread = false);
    ~NeighbourSpectra();
    NeighbourSpectra(const NeighbourSpectra &) = delete;
    NeighbourSpectra &operator=(const NeighbourSpectra &) = delete;

    // The next n rows: `rows` (n x microphones, scaled), or else the frames of `format`.
    void feed(const float *rows, const uint8_t *frames, const FrameFormat &format, size_t n);
    void gap() { filled_ = 0; } // the next rows do not follow: the block being filled is dropped
    // For a caller that reads only the blocks taken: frames per block, one block taken in
    // stride(), and a whole block passed over (between blocks).
    size_t block_frames() const { return size_t(block_); }
    uint64_t stride() const { return uint64_t(stride_); }
    void skip_block() { ++seen_; }
    // Adds the blocks `other` took (the same microphones, settings and run; other blocks of it):
    // the sums are those of all the blocks, added in another order.
    void merge(NeighbourSpectra &other);
    std::vector<PairFigures> pairs() const;
    uint64_t blocks() const { return taken_; }

    static constexpr uint64_t kWantedBlocks = 48;

private:
    void transform(const float *rows);
    void accumulate() const;
    void hand_over();
    void wait_idle() const;

    std::vector<std::pair<size_t, size_t>> pairs_;
    std::vector<double> distance_;
    int block_, bins_, stride_;
    double fs_, c_;
    size_t m_;
    mutable std::vector<std::complex<double>> cross_; // pairs x bins
    mutable std::vector<double> power_;               // microphones x bins
    std::vector<float> window_, rows_, in_;
    double window_spread_ = 1; // g of `spread` (above)
    // The spectra of the last blocks taken (microphones x bins each), added to the sums a batch at
    // a time, a few bins at a time, so that the sums go through the cache once a batch.
    static constexpr size_t kBatch = 4;
    std::vector<std::complex<float>> out_[kBatch];
    ::fftwf_plan_s *plan_[kBatch] = {};
    mutable size_t batched_ = 0;
    size_t filled_ = 0;
    uint64_t seen_ = 0, taken_ = 0;
    // The spectra's own thread: `ready_` is the block it works on while its `pending` holds.
    struct Worker;
    std::unique_ptr<Worker> worker_;
    std::vector<float> ready_;
};

// The k nearest others of each microphone, nearest first.
std::vector<std::vector<size_t>> nearest(const std::vector<Microphone> &positions, int k);
double distance(const Microphone &a, const Microphone &b);

}
