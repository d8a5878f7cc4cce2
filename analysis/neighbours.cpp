#include "analysis/neighbours.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace analysis {

namespace {

constexpr int kLobe = 4;           // half-width of the window's main lobe, bins
constexpr double kLeak = 1e-7;     // a bin's power against the strongest one's: 70 dB
constexpr uint64_t kWantedBlocks = 48;

// The periodic 4-term Blackman-Harris window: side lobes 92 dB down.
std::vector<float> blackman_harris(int n)
{
    std::vector<float> w(size_t(n), 0.0f);
    for (int i = 0; i < n; ++i) {
        const double t = 2 * M_PI * i / n;
        w[size_t(i)] = float(0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2 * t) - 0.01168 * std::cos(3 * t));
    }
    return w;
}

}

double distance(const Microphone &a, const Microphone &b)
{
    return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z));
}

std::vector<std::vector<size_t>> nearest(const std::vector<Microphone> &p, int k)
{
    std::vector<std::vector<size_t>> out(p.size());
    std::vector<size_t> order;
    std::vector<double> d(p.size());
    for (size_t i = 0; i < p.size(); ++i) {
        order.clear();
        for (size_t j = 0; j < p.size(); ++j) {
            d[j] = distance(p[i], p[j]);
            if (j != i)
                order.push_back(j);
        }
        const size_t kk = std::min(order.size(), size_t(std::max(k, 0)));
        std::partial_sort(order.begin(), order.begin() + long(kk), order.end(), [&](size_t a, size_t b) { return d[a] < d[b]; });
        out[i].assign(order.begin(), order.begin() + long(kk));
    }
    return out;
}

NeighbourSpectra::NeighbourSpectra(const std::vector<Microphone> &pos, double fs, int neighbours, double c,
                                   uint64_t expected_frames)
    : fs_(fs), c_(c), m_(pos.size())
{
    // About 25 Hz a bin, so that the main lobe stays narrow against c / (4 d).
    block_ = 256;
    while (block_ < 8192 && fs / block_ > 25)
        block_ *= 2;
    bins_ = block_ / 2 + 1;
    const uint64_t blocks = expected_frames / uint64_t(block_);
    stride_ = expected_frames ? int(std::clamp<uint64_t>(blocks / kWantedBlocks, 1, 16)) : 4;
    const auto near = nearest(pos, neighbours);
    for (size_t i = 0; i < m_; ++i)
        for (size_t j : near[i]) {
            const auto p = std::make_pair(std::min(i, j), std::max(i, j));
            if (std::find(pairs_.begin(), pairs_.end(), p) == pairs_.end()) {
                pairs_.push_back(p);
                distance_.push_back(distance(pos[i], pos[j]));
            }
        }
    cross_.assign(pairs_.size() * size_t(bins_), {});
    power_.assign(m_ * size_t(bins_), 0);
    window_ = blackman_harris(block_);
    rows_.assign(size_t(block_) * m_, 0);
    in_.assign(size_t(block_) * m_, 0);
    out_.assign(size_t(bins_) * m_, {});
    plan_ = plan_series(block_, m_, in_.data(), out_.data());
}

NeighbourSpectra::~NeighbourSpectra()
{
    if (plan_)
        fftwf_destroy_plan(plan_);
}

void NeighbourSpectra::feed(const float *r, const uint8_t *frames, const FrameFormat &format, size_t n)
{
    const size_t frame_bytes = size_t(format.words) * 4;
    while (n > 0) {
        const bool take = seen_ % uint64_t(stride_) == 0;
        const size_t k = std::min(n, size_t(block_) - filled_);
        if (take && r)
            std::memcpy(rows_.data() + filled_ * m_, r, k * m_ * sizeof(float));
        else if (take)
            to_samples(frames, k, format, rows_.data() + filled_ * m_);
        filled_ += k;
        if (r)
            r += k * m_;
        else
            frames += k * frame_bytes;
        n -= k;
        if (filled_ == size_t(block_)) {
            if (take)
                transform();
            filled_ = 0;
            ++seen_;
        }
    }
}

void NeighbourSpectra::transform()
{
    windowed_series(rows_.data(), size_t(block_), m_, window_.data(), in_.data());
    fftwf_execute(plan_);
    const size_t bins = size_t(bins_);
    for (size_t i = 0; i < m_; ++i) {
        const std::complex<float> *a = out_.data() + i * bins;
        double *p = power_.data() + i * bins;
        for (size_t k = 0; k < bins; ++k)
            p[k] += double(a[k].real()) * a[k].real() + double(a[k].imag()) * a[k].imag();
    }
    for (size_t q = 0; q < pairs_.size(); ++q) {
        const auto [i, j] = pairs_[q];
        std::complex<double> *acc = cross_.data() + q * bins;
        const std::complex<float> *a = out_.data() + i * bins, *b = out_.data() + j * bins;
        // conj(a) b, spelt out (no checks for infinities).
        for (size_t k = 0; k < bins; ++k) {
            const float ar = a[k].real(), ai = a[k].imag(), br = b[k].real(), bi = b[k].imag();
            acc[k] += std::complex<double>(ar * br + ai * bi, ar * bi - ai * br);
        }
    }
    ++taken_;
}

std::vector<PairFigures> NeighbourSpectra::pairs() const
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const size_t bins = size_t(bins_), lo = kLobe + 1, hi = bins - kLobe - 1; // clear of DC and of fs / 2
    std::vector<double> strongest(m_, 0);
    for (size_t i = 0; i < m_; ++i)
        for (size_t k = lo; k < hi; ++k)
            strongest[i] = std::max(strongest[i], power_[i * bins + k]);
    std::vector<PairFigures> out;
    for (size_t q = 0; q < pairs_.size(); ++q) {
        const auto [i, j] = pairs_[q];
        PairFigures f;
        f.i = i, f.j = j, f.distance = distance_[q];
        f.below_hz = c_ / (4 * distance_[q]);
        const std::complex<double> *cr = cross_.data() + q * bins;
        const double *pi = power_.data() + i * bins, *pj = power_.data() + j * bins;
        double re = 0, si = 0, sj = 0, mag = 0, ti = 0, tj = 0;
        for (size_t k = lo; k < hi; ++k) {
            mag += std::abs(cr[k]);
            ti += pi[k], tj += pj[k];
            const double top = double(k + kLobe) * fs_ / block_;
            if (top < f.below_hz && pi[k] >= kLeak * strongest[i] && pj[k] >= kLeak * strongest[j]) {
                re += cr[k].real();
                si += pi[k], sj += pj[k];
            }
        }
        f.same = si > 0 && sj > 0 ? re / std::sqrt(si * sj) : nan;
        f.coherence = ti > 0 && tj > 0 ? mag / std::sqrt(ti * tj) : nan;
        out.push_back(f);
    }
    return out;
}

}
