#include "analysis/neighbours.h"

#include <fftw3.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace analysis {

namespace {

constexpr int kLobe = 4;           // half-width of the window's main lobe, bins
constexpr double kLeak = 1e-7;     // a bin's power against the strongest one's: 70 dB

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

double chance_coherence(uint64_t blocks)
{
    return blocks ? std::sqrt(M_PI / (4 * double(blocks))) : std::numeric_limits<double>::infinity();
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

struct NeighbourSpectra::Worker {
    std::mutex mutex;
    std::condition_variable changed;
    bool pending = false, stop = false;
    std::thread thread;
};

NeighbourSpectra::NeighbourSpectra(const std::vector<Microphone> &pos, double fs, int neighbours, double c,
                                   uint64_t expected_frames, bool own_thread)
    : fs_(fs), c_(c), m_(pos.size())
{
    // About 25 Hz a bin, so that the main lobe stays narrow against c / (4 d).
    block_ = 256;
    while (block_ < 8192 && fs / block_ > 25)
        block_ *= 2;
    bins_ = block_ / 2 + 1;
    const uint64_t blocks = expected_frames / uint64_t(block_);
    stride_ = expected_frames ? int(std::clamp<uint64_t>(blocks / kWantedBlocks, 1, INT32_MAX)) : 4;
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
    double w2 = 0, w4 = 0;
    for (float w : window_)
        w2 += double(w) * w, w4 += double(w) * w * w * w;
    window_spread_ = double(block_) * w4 / (w2 * w2);
    rows_.assign(size_t(block_) * m_, 0);
    in_.assign(size_t(block_) * m_, 0);
    for (size_t b = 0; b < kBatch; ++b) {
        out_[b].assign(size_t(bins_) * m_, {});
        plan_[b] = plan_series(block_, m_, in_.data(), out_[b].data());
    }
    if (own_thread && m_ > 0) {
        ready_.assign(rows_.size(), 0);
        worker_ = std::make_unique<Worker>();
        worker_->thread = std::thread([this] {
            Worker &w = *worker_;
            std::unique_lock lock(w.mutex);
            for (;;) {
                w.changed.wait(lock, [&] { return w.pending || w.stop; });
                if (!w.pending)
                    return;
                lock.unlock();
                transform(ready_.data());
                lock.lock();
                w.pending = false;
                w.changed.notify_all();
            }
        });
    }
}

NeighbourSpectra::~NeighbourSpectra()
{
    if (worker_) {
        {
            std::lock_guard lock(worker_->mutex);
            worker_->stop = true;
        }
        worker_->changed.notify_all();
        worker_->thread.join();
    }
    for (::fftwf_plan_s *p : plan_)
        if (p)
            fftwf_destroy_plan(p);
}

void NeighbourSpectra::wait_idle() const
{
    if (!worker_)
        return;
    std::unique_lock lock(worker_->mutex);
    worker_->changed.wait(lock, [&] { return !worker_->pending; });
}

// The block gathered in rows_, to its spectra: on the worker when there is one (once it is done
// with the previous block), here otherwise.
void NeighbourSpectra::hand_over()
{
    ++taken_;
    if (!worker_)
        return transform(rows_.data());
    wait_idle();
    std::lock_guard lock(worker_->mutex);
    ready_.swap(rows_);
    worker_->pending = true;
    worker_->changed.notify_all();
}

void NeighbourSpectra::feed(const float *r, const uint8_t *frames, const FrameFormat &format, size_t n)
{
    const size_t frame_bytes = size_t(format.words()) * 4;
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
                hand_over();
            filled_ = 0;
            ++seen_;
        }
    }
}

void NeighbourSpectra::transform(const float *rows)
{
    windowed_series(rows, size_t(block_), m_, window_.data(), in_.data());
    fftwf_execute(plan_[batched_]);
    if (++batched_ == kBatch)
        accumulate();
}

// A clone's resolver runs while the program is being relocated, before ThreadSanitizer's
// runtime is up: a ThreadSanitizer build takes the plain version alone.
#if defined(__SANITIZE_THREAD__)
#define VIZ256_CLONES
#else
#define VIZ256_CLONES __attribute__((target_clones("avx2", "default")))
#endif

namespace {

// sum[k] += |a[k]|^2 over [k0, k1), in double. AVX2 without FMA: the same sums either way.
VIZ256_CLONES void add_power(double *__restrict sum, const float *__restrict a, size_t k0, size_t k1)
{
    for (size_t k = k0; k < k1; ++k)
        sum[k] += double(a[2 * k]) * a[2 * k] + double(a[2 * k + 1]) * a[2 * k + 1];
}

// sum[k] += conj(a[k]) c[k] over [k0, k1): the product in float, the sum in double.
#if defined(__x86_64__)
// Four bins at a time: ar cr + ai ci and ar ci - ai cr as the same float products and sums, by
// horizontal addition and subtraction.
__attribute__((target("avx2"))) void add_cross_avx2(double *__restrict sum, const float *__restrict a, const float *__restrict c,
                                                    size_t k0, size_t k1)
{
    size_t k = k0;
    for (; k + 4 <= k1; k += 4) {
        const __m256 va = _mm256_loadu_ps(a + 2 * k), vc = _mm256_loadu_ps(c + 2 * k);
        const __m256 same = _mm256_mul_ps(va, vc);                                   // ar cr, ai ci
        const __m256 crossed = _mm256_mul_ps(va, _mm256_permute_ps(vc, 0xB1));       // ar ci, ai cr
        const __m256 re = _mm256_hadd_ps(same, same), im = _mm256_hsub_ps(crossed, crossed);
        // re: r0 r1 r0 r1 | r2 r3 r2 r3; im likewise: interleave to r0 i0 r1 i1 | r2 i2 r3 i3.
        const __m256 both = _mm256_unpacklo_ps(re, im);
        const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(both)), hi = _mm256_cvtps_pd(_mm256_extractf128_ps(both, 1));
        _mm256_storeu_pd(sum + 2 * k, _mm256_add_pd(_mm256_loadu_pd(sum + 2 * k), lo));
        _mm256_storeu_pd(sum + 2 * k + 4, _mm256_add_pd(_mm256_loadu_pd(sum + 2 * k + 4), hi));
    }
    for (; k < k1; ++k) {
        const float ar = a[2 * k], ai = a[2 * k + 1], cr = c[2 * k], ci = c[2 * k + 1];
        sum[2 * k] += double(ar * cr + ai * ci);
        sum[2 * k + 1] += double(ar * ci - ai * cr);
    }
}
#endif

void add_cross(double *__restrict sum, const float *__restrict a, const float *__restrict c, size_t k0, size_t k1)
{
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        return add_cross_avx2(sum, a, c, k0, k1);
#endif
    for (size_t k = k0; k < k1; ++k) {
        const float ar = a[2 * k], ai = a[2 * k + 1], cr = c[2 * k], ci = c[2 * k + 1];
        sum[2 * k] += double(ar * cr + ai * ci);
        sum[2 * k + 1] += double(ar * ci - ai * cr);
    }
}

}

// The batch's spectra into the sums, block after block for each sum (the order of the additions
// is that of the blocks, whatever the batch), a few bins at a time so that the batch's bins stay
// in the cache.
void NeighbourSpectra::accumulate() const
{
    const size_t bins = size_t(bins_), n = batched_;
    constexpr size_t tile = 32;
    const auto floats = [&](size_t b, size_t i) { return reinterpret_cast<const float *>(out_[b].data() + i * bins); };
    for (size_t k0 = 0; k0 < bins; k0 += tile) {
        const size_t k1 = std::min(bins, k0 + tile);
        for (size_t i = 0; i < m_; ++i)
            for (size_t b = 0; b < n; ++b)
                add_power(power_.data() + i * bins, floats(b, i), k0, k1);
        for (size_t q = 0; q < pairs_.size(); ++q) {
            double *acc = reinterpret_cast<double *>(cross_.data() + q * bins);
            for (size_t b = 0; b < n; ++b)
                add_cross(acc, floats(b, pairs_[q].first), floats(b, pairs_[q].second), k0, k1);
        }
    }
    batched_ = 0;
}

void NeighbourSpectra::merge(NeighbourSpectra &other)
{
    if (other.m_ != m_ || other.bins_ != bins_ || other.pairs_ != pairs_)
        throw std::invalid_argument("neighbours' spectra of other microphones or blocks");
    for (NeighbourSpectra *s : {this, &other}) {
        s->wait_idle();
        s->accumulate();
    }
    for (size_t k = 0; k < cross_.size(); ++k)
        cross_[k] += other.cross_[k];
    for (size_t k = 0; k < power_.size(); ++k)
        power_[k] += other.power_[k];
    taken_ += other.taken_;
}

std::vector<PairFigures> NeighbourSpectra::pairs() const
{
    wait_idle();
    accumulate();
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
        double re = 0, si = 0, sj = 0, sij = 0, mag = 0, ti = 0, tj = 0;
        for (size_t k = lo; k < hi; ++k) {
            mag += std::abs(cr[k]);
            ti += pi[k], tj += pj[k];
            const double top = double(k + kLobe) * fs_ / block_;
            if (top < f.below_hz && pi[k] >= kLeak * strongest[i] && pj[k] >= kLeak * strongest[j]) {
                re += cr[k].real();
                si += pi[k], sj += pj[k];
                sij += pi[k] * pj[k];
            }
        }
        f.same = si > 0 && sj > 0 ? re / std::sqrt(si * sj) : nan;
        f.spread = si > 0 && sj > 0 ? std::sqrt(window_spread_ * sij / (2 * double(taken_) * si * sj)) : nan;
        f.coherence = ti > 0 && tj > 0 ? mag / std::sqrt(ti * tj) : nan;
        out.push_back(f);
    }
    return out;
}

}
