// The acoustic map and the spectra of a live stream, over a window of the last seconds.
//
// Blocks of `block` frames with 50 % overlap, periodic Hann window, as the cross-spectral matrix
// of spectra.h, but never averaged into a matrix: for each block b and kept bin the map takes
// |h^H x_b|^2 at every grid point at once (x_b the block's spectra, one BLAS product for all
// points and the blocks gathered since the last map), minus the diagonal term sum_m |h_m|^2
// |x_bm|^2. The mean of these per-block maps over the blocks of the window is exactly
// h^H (C - diag C) h of the Welch matrix C of the same blocks: the map of beamform.h.
//
// Blocks are made of frames that follow one another: frames fed with a first index that does
// not continue the last ones start a new block, so a gap is never bridged.
#pragma once

#include <complex>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "analysis/beamform.h"
#include "analysis/geometry.h"

namespace analysis {

struct SeriesFft; // windowed spectra of m series at once (FFTW)

// Frames of m samples gathered into blocks of `block` rows with 50 % overlap; a block is handed
// to `ready` as soon as it is whole.
class BlockAssembler {
public:
    BlockAssembler(int block, size_t m);
    // n rows starting at frame `first`; calls ready(rows, first frame of the block) per block.
    template <typename Ready>
    void feed(const float *rows, size_t n, uint64_t first, Ready &&ready);
    void restart() { filled_ = 0; }

private:
    int block_;
    size_t m_;
    std::vector<float> rows_;
    size_t filled_ = 0;
    uint64_t next_ = 0; // frame that follows the rows held
};

struct LiveMapSettings {
    int block = 1024;
    double f1 = 0, f2 = 0;        // the band: bins whose centre lies in [f1, f2]
    double window_s = 1.0;        // the blocks mapped: those that start within the last window_s
    double speed_of_sound = 343.0;
    bool remove_diagonal = true;
    uint64_t max_bytes = uint64_t(768) << 20; // steering vectors and the window's spectra
};

// The blocks a map averages: from the first one's first frame, `frames` to the end of the last.
struct MapWindow {
    uint64_t first = 0, frames = 0;
    size_t blocks = 0;
};

class LiveMap {
public:
    // `positions`: one per microphone of the rows fed (n x positions.size() samples, full scale
    // 1). Throws std::invalid_argument when the band holds no bin, or the steering vectors and
    // spectra would take more than max_bytes.
    LiveMap(double sample_freq, std::vector<Microphone> positions, Grid grid, LiveMapSettings settings);
    ~LiveMap();
    LiveMap(const LiveMap &) = delete;
    LiveMap &operator=(const LiveMap &) = delete;

    void feed(const float *rows, size_t n, uint64_t first);
    void restart();                       // forgets every block (a jump in time)
    void set_window(double seconds);
    // Frames kept beyond the window, for maps that end before the newest block (a block fed at
    // once and shown in slices).
    void set_history(uint64_t frames);
    // Which microphones go into the map (the others, faulty ones, are left out); the blocks of
    // the window are mapped again with the new set. At least two.
    void set_used(const std::vector<bool> &used);
    const std::vector<bool> &used() const { return used_; }

    // The mean over the window's blocks (empty power when there is none yet).
    Map map();
    // The same of the window whose last block ends at frame `end` at the latest; `window` says
    // which blocks it averaged.
    Map map(uint64_t end, MapWindow &window);
    size_t blocks() const { return ring_.size(); }
    uint64_t first_frame() const;   // of the window's first block
    uint64_t frames() const;        // from there to the end of its last block
    const std::vector<int> &bins() const { return bins_; }
    double frequency(size_t k) const { return fs_ * bins_[k] / settings_.block; }
    const Grid &grid() const { return grid_; }

private:
    struct Held {
        uint64_t first;
        std::vector<std::complex<float>> spectra; // bins x M (microphone fastest)
        std::vector<float> power;                 // this block's map, G points
    };
    void block_ready(const float *rows, uint64_t first);
    void steer();
    void map_pending();
    void trim();

    double fs_;
    std::vector<Microphone> positions_;
    Grid grid_;
    LiveMapSettings settings_;
    size_t m_, g_;
    std::vector<int> bins_;
    std::vector<bool> used_;
    std::vector<size_t> use_;                        // indexes of the microphones used
    std::vector<std::vector<std::complex<float>>> h_; // per bin: used x G, column-major
    std::vector<float> amp2_;                        // |h_m|^2 per used microphone and point
    std::vector<double> norm_;                       // 1 / (1 - sum |h|^2 |g|^2) per point
    std::vector<float> window_;
    double scale_ = 0;
    BlockAssembler assembler_;
    std::deque<Held> ring_;
    size_t pending_ = 0;                             // blocks at the ring's end not mapped yet
    uint64_t history_ = 0;
    std::unique_ptr<SeriesFft> fft_;
};

// The averaged power spectra of a few microphones over the last seconds (one-sided, scaled so
// that the sum over bins is the mean square): Welch blocks as above, gaps never bridged.
class LiveSpectra {
public:
    LiveSpectra(double sample_freq, size_t channels, int block = 2048, double window_s = 1.0);
    ~LiveSpectra();
    void feed(const float *rows, size_t n, uint64_t first);
    void restart();
    void set_window(double seconds) { window_s_ = seconds; trim(); }
    // Per channel, block/2 + 1 values (mean squares, full scale = 1); empty before a block.
    std::vector<std::vector<double>> mean() const;
    double frequency(int bin) const { return fs_ * bin / block_; }
    size_t blocks() const { return ring_.size(); }

private:
    void trim();
    double fs_;
    size_t m_;
    int block_;
    double window_s_;
    std::vector<float> window_;
    double scale_ = 0;
    BlockAssembler assembler_;
    std::deque<std::pair<uint64_t, std::vector<float>>> ring_;
    std::unique_ptr<SeriesFft> fft_;
};

template <typename Ready>
void BlockAssembler::feed(const float *rows, size_t n, uint64_t first, Ready &&ready)
{
    if (filled_ > 0 && first != next_)
        filled_ = 0; // a gap (or a jump): the rows held do not continue
    const size_t half = size_t(block_ / 2);
    next_ = first + n;
    uint64_t at = first; // frame of the next row taken
    while (n > 0) {
        const size_t k = std::min(n, size_t(block_) - filled_);
        std::copy(rows, rows + k * m_, rows_.begin() + long(filled_ * m_));
        filled_ += k;
        rows += k * m_;
        n -= k;
        at += k;
        if (filled_ == size_t(block_)) {
            ready(rows_.data(), at - uint64_t(block_));
            std::copy(rows_.begin() + long(half * m_), rows_.end(), rows_.begin());
            filled_ = half;
        }
    }
}

}
