// The cross-spectral matrix of the microphones by Welch averaging: blocks of `block` frames,
// periodic Hann window, 50 % overlap, one-sided spectra scaled so that the sum of a
// microphone's auto-spectrum over bins is its mean square (full scale = 1, see samples.h).
//
// Incremental: feed it frames as they come; blocks straddling two feeds are joined. Only the
// bins whose centre frequency lies in the band [f1, f2] are kept, one M x M matrix per bin
// (M^2 x 8 bytes each).
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

#include "analysis/samples.h"

namespace analysis {

class CrossSpectra {
public:
    // Throws std::invalid_argument when the band holds no bin, or when the matrices would
    // take more than `max_bytes`.
    CrossSpectra(FrameFormat format, double sample_freq, int block, double f1, double f2,
                 uint64_t max_bytes = uint64_t(2) << 30);
    ~CrossSpectra();
    CrossSpectra(const CrossSpectra &) = delete;
    CrossSpectra &operator=(const CrossSpectra &) = delete;

    void feed(const uint8_t *frames, size_t n);
    void feed_samples(const float *rows, size_t n); // n rows of the format's microphones

    int block() const { return block_; }
    double sample_freq() const { return fs_; }
    size_t mics() const { return m_; }
    uint64_t blocks() const { return blocks_; }          // blocks averaged so far
    const std::vector<int> &bins() const { return bins_; }
    double frequency(size_t k) const { return fs_ * bins_[k] / block_; }

    // The averaged matrix of the k-th kept bin, column-major M x M, Hermitian (both halves).
    std::vector<std::complex<float>> matrix(size_t k) const;

private:
    struct Impl;
    void transform();
    void flush() const;

    FrameFormat format_;
    double fs_;
    int block_;
    size_t m_;
    std::vector<int> bins_;
    std::vector<float> window_, rows_, convert_;
    size_t filled_ = 0;
    uint64_t blocks_ = 0;
    double scale_ = 0;
    std::unique_ptr<Impl> impl_;
};

}
