#include "analysis/spectra.h"

#include <Eigen/Dense>
#include <cblas.h>
#include <fftw3.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

namespace analysis {

namespace {
constexpr int kBatch = 64; // blocks gathered per bin before one rank-k update
using Matrix = Eigen::Matrix<std::complex<float>, Eigen::Dynamic, Eigen::Dynamic>;
}

struct CrossSpectra::Impl {
    std::vector<float> in;
    std::vector<std::complex<float>> out;
    fftwf_plan plan = nullptr;
    mutable std::vector<Matrix> sums;   // lower halves
    mutable std::vector<Matrix> batch;  // M x kBatch per bin
    mutable int batched = 0;
    ~Impl()
    {
        if (plan)
            fftwf_destroy_plan(plan);
    }
};

CrossSpectra::CrossSpectra(FrameFormat format, double sample_freq, int block, double f1, double f2, uint64_t max_bytes)
    : format_(std::move(format)), fs_(sample_freq), block_(block), m_(format_.mics()), impl_(std::make_unique<Impl>())
{
    if (block < 16 || block % 2)
        throw std::invalid_argument("block size: an even number of frames, 16 or more");
    if (!(f1 >= 0) || !(f2 >= f1))
        throw std::invalid_argument("band: F1:F2 with 0 <= F1 <= F2");
    if (m_ == 0)
        throw std::invalid_argument("no microphone to analyse");
    for (int b = 1; b < block / 2; ++b) {
        const double f = fs_ * b / block;
        if (f >= f1 && f <= f2)
            bins_.push_back(b);
    }
    if (bins_.empty()) {
        char t[240];
        std::snprintf(t, sizeof t,
                      "the band %g to %g Hz holds no frequency bin of %g Hz (sampling at %g Hz, blocks of %d frames): "
                      "widen it or take longer blocks", f1, f2, fs_ / block, fs_, block);
        throw std::invalid_argument(t);
    }
    const uint64_t bytes = uint64_t(bins_.size()) * m_ * m_ * sizeof(std::complex<float>);
    if (bytes > max_bytes)
        throw std::invalid_argument("the band holds " + std::to_string(bins_.size()) + " bins: their matrices would take " +
                                    std::to_string(bytes >> 20) + " MiB; narrow the band or take shorter blocks");
    window_ = hann(block);
    double w2 = 0;
    for (float w : window_)
        w2 += double(w) * w;
    scale_ = 2.0 / (double(block) * w2);
    rows_.assign(size_t(block) * m_, 0);
    convert_.assign(size_t(256) * m_, 0);
    impl_->in.assign(size_t(block) * m_, 0);
    impl_->out.assign(size_t(block / 2 + 1) * m_, {});
    // One contiguous series per microphone (FFTW is ten times slower on strided series).
    impl_->plan = plan_series(block, m_, impl_->in.data(), impl_->out.data());
    if (!impl_->plan)
        throw std::runtime_error("FFTW could not plan the spectra");
    impl_->sums.assign(bins_.size(), Matrix::Zero(long(m_), long(m_)));
    impl_->batch.assign(bins_.size(), Matrix::Zero(long(m_), kBatch));
}

CrossSpectra::~CrossSpectra() = default;

void CrossSpectra::feed(const uint8_t *frames, size_t n)
{
    const size_t frame_bytes = size_t(format_.words()) * 4;
    while (n > 0) {
        const size_t k = std::min<size_t>(n, 256);
        to_samples(frames, k, format_, convert_.data());
        feed_samples(convert_.data(), k);
        frames += k * frame_bytes;
        n -= k;
    }
}

void CrossSpectra::feed_samples(const float *rows, size_t n)
{
    const size_t half = size_t(block_ / 2);
    while (n > 0) {
        const size_t k = std::min(n, size_t(block_) - filled_);
        std::memcpy(rows_.data() + filled_ * m_, rows, k * m_ * sizeof(float));
        filled_ += k;
        rows += k * m_;
        n -= k;
        if (filled_ == size_t(block_)) {
            transform();
            std::memmove(rows_.data(), rows_.data() + half * m_, half * m_ * sizeof(float));
            filled_ = half;
        }
    }
}

void CrossSpectra::transform()
{
    windowed_series(rows_.data(), size_t(block_), m_, window_.data(), impl_->in.data());
    fftwf_execute(impl_->plan);
    const int col = impl_->batched;
    const size_t bins = size_t(block_ / 2 + 1);
    for (size_t k = 0; k < bins_.size(); ++k) {
        std::complex<float> *dst = impl_->batch[k].col(col).data();
        const std::complex<float> *src = impl_->out.data() + size_t(bins_[k]);
        for (size_t i = 0; i < m_; ++i)
            dst[i] = src[i * bins];
    }
    ++blocks_;
    if (++impl_->batched == kBatch)
        flush();
}

void CrossSpectra::flush() const
{
    const int n = impl_->batched;
    if (n == 0)
        return;
    // C += X X^H on the lower half (BLAS cherk).
    for (size_t k = 0; k < bins_.size(); ++k)
        cblas_cherk(CblasColMajor, CblasLower, CblasNoTrans, int(m_), n, 1.0f, impl_->batch[k].data(), int(m_), 1.0f,
                    impl_->sums[k].data(), int(m_));
    impl_->batched = 0;
}

std::vector<std::complex<float>> CrossSpectra::matrix(size_t k) const
{
    flush();
    const Matrix &s = impl_->sums[k];
    const float f = blocks_ ? float(scale_ / double(blocks_)) : 0.0f;
    std::vector<std::complex<float>> out(m_ * m_);
    for (size_t j = 0; j < m_; ++j)
        for (size_t i = j; i < m_; ++i) {
            const std::complex<float> v = s(long(i), long(j)) * f;
            out[j * m_ + i] = v;
            out[i * m_ + j] = std::conj(v);
        }
    return out;
}

}
