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
    double coherence = 0;   // 0..1 over the whole band; NaN before the first block
};

class NeighbourSpectra {
public:
    // `neighbours` nearest of each microphone (pairs taken once). `expected_frames` (0: not
    // known) sets how many blocks are taken: every block for a short run, one in up to 16 for a
    // long one.
    NeighbourSpectra(const std::vector<Microphone> &positions, double sample_freq, int neighbours, double speed_of_sound,
                     uint64_t expected_frames);
    ~NeighbourSpectra();
    NeighbourSpectra(const NeighbourSpectra &) = delete;
    NeighbourSpectra &operator=(const NeighbourSpectra &) = delete;

    // The next n rows: `rows` (n x microphones, scaled), or else the frames of `format`.
    void feed(const float *rows, const uint8_t *frames, const FrameFormat &format, size_t n);
    void gap() { filled_ = 0; } // the next rows do not follow: the block being filled is dropped
    std::vector<PairFigures> pairs() const;
    uint64_t blocks() const { return taken_; }

private:
    void transform();

    std::vector<std::pair<size_t, size_t>> pairs_;
    std::vector<double> distance_;
    int block_, bins_, stride_;
    double fs_, c_;
    size_t m_;
    std::vector<std::complex<double>> cross_; // pairs x bins
    std::vector<double> power_;               // microphones x bins
    std::vector<float> window_, rows_, in_;
    std::vector<std::complex<float>> out_;
    size_t filled_ = 0;
    uint64_t seen_ = 0, taken_ = 0;
    ::fftwf_plan_s *plan_ = nullptr;
};

// The k nearest others of each microphone, nearest first.
std::vector<std::vector<size_t>> nearest(const std::vector<Microphone> &positions, int k);
double distance(const Microphone &a, const Microphone &b);

}
