#include "analysis/health.h"

#include <fftw3.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <type_traits>

namespace analysis {

namespace {

constexpr size_t kChunk = 128; // frames converted and summed at a time (fits the cache)

double median(std::vector<double> v)
{
    if (v.empty())
        return std::numeric_limits<double>::quiet_NaN();
    const size_t h = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + long(h), v.end());
    if (v.size() % 2)
        return v[h];
    return 0.5 * (v[h] + *std::max_element(v.begin(), v.begin() + long(h)));
}

double distance(const Microphone &a, const Microphone &b)
{
    return std::sqrt((a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y) + (a.z - b.z) * (a.z - b.z));
}

// The k nearest others of each microphone.
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
        const size_t kk = std::min(order.size(), size_t(k));
        std::partial_sort(order.begin(), order.begin() + long(kk), order.end(), [&](size_t a, size_t b) { return d[a] < d[b]; });
        out[i].assign(order.begin(), order.begin() + long(kk));
    }
    return out;
}

// One sample as the analysis sees it (see to_samples): straight from the frame's word.
template <typename T>
[[gnu::always_inline]] inline float sample(const uint8_t *word)
{
    T v;
    std::memcpy(&v, word, 4);
    return float(v) * float(1.0 / kFullScale);
}

// Where a chunk's samples come from: converted rows (T = float, stride m floats, scale 1), or
// the frames themselves (stride the frame's words), converted on the way.
template <typename T, bool Raw>
struct Source {
    const uint8_t *base; // the chunk's first sample of the first microphone of the group
    size_t stride;       // bytes from one frame (row) to the next
    [[gnu::always_inline]] float at(size_t t, size_t i) const
    {
        const uint8_t *p = base + t * stride + i * 4;
        if constexpr (Raw)
            return sample<T>(p);
        else {
            float v;
            std::memcpy(&v, p, 4);
            return v;
        }
    }
};

template <typename S>
[[gnu::always_inline]] inline void sums(S src, size_t n, size_t w, const float *ref, float *s1, float *s2, float *hi, float *lo)
{
    // Sixteen microphones at a time down the rows, their sums in registers.
    constexpr size_t lanes = 16;
    size_t i0 = 0;
    for (; i0 + lanes <= w; i0 += lanes) {
        float a1[lanes], a2[lanes], h[lanes], l[lanes], r[lanes];
        for (size_t k = 0; k < lanes; ++k)
            a1[k] = s1[i0 + k], a2[k] = s2[i0 + k], h[k] = hi[i0 + k], l[k] = lo[i0 + k], r[k] = ref[i0 + k];
        for (size_t t = 0; t < n; ++t) {
            float x[lanes];
            for (size_t k = 0; k < lanes; ++k)
                x[k] = src.at(t, i0 + k);
            for (size_t k = 0; k < lanes; ++k) {
                const float d = x[k] - r[k];
                a1[k] += d;
                a2[k] += d * d;
                h[k] = x[k] > h[k] ? x[k] : h[k];
                l[k] = x[k] < l[k] ? x[k] : l[k];
            }
        }
        for (size_t k = 0; k < lanes; ++k)
            s1[i0 + k] = a1[k], s2[i0 + k] = a2[k], hi[i0 + k] = h[k], lo[i0 + k] = l[k];
    }
    for (size_t t = 0; t < n; ++t)
        for (size_t i = i0; i < w; ++i) {
            const float x = src.at(t, i), d = x - ref[i];
            s1[i] += d;
            s2[i] += d * d;
            hi[i] = x > hi[i] ? x : hi[i];
            lo[i] = x < lo[i] ? x : lo[i];
        }
}

// Samples held at the chunk's extremes: equal to it and following a sample equal to it.
template <typename S>
[[gnu::always_inline]] inline void held(S src, const float *prev, size_t n, size_t w, const float *hi, const float *lo, uint32_t *held_hi,
                 uint32_t *held_lo)
{
    constexpr size_t lanes = 16;
    size_t i0 = 0;
    for (; i0 + lanes <= w; i0 += lanes) {
        float h[lanes], l[lanes], p[lanes];
        uint32_t ch[lanes] = {}, cl[lanes] = {};
        for (size_t k = 0; k < lanes; ++k)
            h[k] = hi[i0 + k], l[k] = lo[i0 + k], p[k] = prev[i0 + k];
        for (size_t t = 0; t < n; ++t) {
            float x[lanes];
            for (size_t k = 0; k < lanes; ++k)
                x[k] = src.at(t, i0 + k);
            for (size_t k = 0; k < lanes; ++k) {
                ch[k] += (x[k] == h[k]) & (p[k] == h[k]);
                cl[k] += (x[k] == l[k]) & (p[k] == l[k]);
                p[k] = x[k];
            }
        }
        for (size_t k = 0; k < lanes; ++k)
            held_hi[i0 + k] += ch[k], held_lo[i0 + k] += cl[k];
    }
    for (size_t t = 0; t < n; ++t)
        for (size_t i = i0; i < w; ++i) {
            const float x = src.at(t, i), before = t ? src.at(t - 1, i) : prev[i];
            held_hi[i] += (x == hi[i]) & (before == hi[i]);
            held_lo[i] += (x == lo[i]) & (before == lo[i]);
        }
}

// The per-sample loops, one vector lane per microphone, built for AVX2 as well where the
// processor has it (without FMA, so both give the same sums).
template <typename T, bool Raw>
void stats(const uint8_t *base, size_t stride, const float *prev, size_t n, size_t w, const float *ref, float *s1, float *s2,
           float *hi, float *lo, uint32_t *held_hi, uint32_t *held_lo)
{
    const Source<T, Raw> src{base, stride};
    sums(src, n, w, ref, s1, s2, hi, lo);
    held(src, prev, n, w, hi, lo, held_hi, held_lo);
}

#if defined(__x86_64__)
// The same with AVX2, sixteen microphones at a time, both passes over a group while its samples
// are in the L1 cache. The same operations in the same order (no FMA), so the same sums.
template <typename T, bool Raw>
__attribute__((target("avx2"), always_inline)) inline __m256 load8(const uint8_t *p)
{
    if constexpr (!Raw)
        return _mm256_loadu_ps(reinterpret_cast<const float *>(p));
    else if constexpr (std::is_same_v<T, float>)
        return _mm256_mul_ps(_mm256_loadu_ps(reinterpret_cast<const float *>(p)), _mm256_set1_ps(float(1.0 / kFullScale)));
    else
        return _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p))),
                             _mm256_set1_ps(float(1.0 / kFullScale)));
}

template <typename T, bool Raw>
__attribute__((target("avx2"))) void stats_avx2(const uint8_t *base, size_t stride, const float *prev, size_t n, size_t w,
                                                const float *ref, float *s1, float *s2, float *hi, float *lo,
                                                uint32_t *held_hi, uint32_t *held_lo)
{
    size_t i0 = 0;
    for (; i0 + 16 <= w; i0 += 16) {
        const uint8_t *col = base + i0 * 4;
        __m256 a1[2], a2[2], h[2], l[2], r[2];
        for (int v = 0; v < 2; ++v) {
            a1[v] = _mm256_loadu_ps(s1 + i0 + 8 * v), a2[v] = _mm256_loadu_ps(s2 + i0 + 8 * v);
            h[v] = _mm256_loadu_ps(hi + i0 + 8 * v), l[v] = _mm256_loadu_ps(lo + i0 + 8 * v);
            r[v] = _mm256_loadu_ps(ref + i0 + 8 * v);
        }
        for (size_t t = 0; t < n; ++t)
            for (int v = 0; v < 2; ++v) {
                const __m256 x = load8<T, Raw>(col + t * stride + 32 * size_t(v)), d = _mm256_sub_ps(x, r[v]);
                a1[v] = _mm256_add_ps(a1[v], d);
                a2[v] = _mm256_add_ps(a2[v], _mm256_mul_ps(d, d));
                h[v] = _mm256_max_ps(x, h[v]); // x > h ? x : h
                l[v] = _mm256_min_ps(x, l[v]); // x < l ? x : l
            }
        __m256 p[2];
        __m256i ch[2], cl[2];
        for (int v = 0; v < 2; ++v) {
            _mm256_storeu_ps(s1 + i0 + 8 * v, a1[v]), _mm256_storeu_ps(s2 + i0 + 8 * v, a2[v]);
            _mm256_storeu_ps(hi + i0 + 8 * v, h[v]), _mm256_storeu_ps(lo + i0 + 8 * v, l[v]);
            p[v] = _mm256_loadu_ps(prev + i0 + 8 * v);
            ch[v] = cl[v] = _mm256_setzero_si256();
        }
        for (size_t t = 0; t < n; ++t)
            for (int v = 0; v < 2; ++v) {
                const __m256 x = load8<T, Raw>(col + t * stride + 32 * size_t(v));
                const __m256 at_hi = _mm256_and_ps(_mm256_cmp_ps(x, h[v], _CMP_EQ_OQ), _mm256_cmp_ps(p[v], h[v], _CMP_EQ_OQ));
                const __m256 at_lo = _mm256_and_ps(_mm256_cmp_ps(x, l[v], _CMP_EQ_OQ), _mm256_cmp_ps(p[v], l[v], _CMP_EQ_OQ));
                ch[v] = _mm256_sub_epi32(ch[v], _mm256_castps_si256(at_hi)); // a true lane is -1
                cl[v] = _mm256_sub_epi32(cl[v], _mm256_castps_si256(at_lo));
                p[v] = x;
            }
        for (int v = 0; v < 2; ++v) {
            uint32_t c[8];
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(c), ch[v]);
            for (int k = 0; k < 8; ++k)
                held_hi[i0 + 8 * size_t(v) + size_t(k)] += c[k];
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(c), cl[v]);
            for (int k = 0; k < 8; ++k)
                held_lo[i0 + 8 * size_t(v) + size_t(k)] += c[k];
        }
    }
    if (i0 < w)
        stats<T, Raw>(base + i0 * 4, stride, prev + i0, n, w - i0, ref + i0, s1 + i0, s2 + i0, hi + i0, lo + i0,
                      held_hi + i0, held_lo + i0);
}
#endif

template <typename T, bool Raw>
void stats_of(const uint8_t *base, size_t stride, const float *prev, size_t n, size_t w, const float *ref, float *s1,
              float *s2, float *hi, float *lo, uint32_t *held_hi, uint32_t *held_lo)
{
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        return stats_avx2<T, Raw>(base, stride, prev, n, w, ref, s1, s2, hi, lo, held_hi, held_lo);
#endif
    stats<T, Raw>(base, stride, prev, n, w, ref, s1, s2, hi, lo, held_hi, held_lo);
}

}

const char *verdict_name(Verdict v)
{
    switch (v) {
    case Verdict::Ok: return "ok";
    case Verdict::Dead: return "dead";
    case Verdict::Clipping: return "clipping";
    case Verdict::LevelOutlier: return "level_outlier";
    case Verdict::ReversedPolarity: return "reversed_polarity";
    }
    return "?";
}

std::vector<size_t> HealthReport::faulty() const
{
    std::vector<size_t> out;
    for (size_t i = 0; i < mics.size(); ++i)
        if (mics[i].verdict != Verdict::Ok)
            out.push_back(i);
    return out;
}

// Cross-spectra of each microphone with its nearest neighbours, over one block in `stride`.
struct HealthMeter::Polarity {
    int block, bins;
    size_t m;
    std::vector<std::pair<size_t, size_t>> pairs;
    std::vector<int> max_lag;                 // per pair, in samples
    std::vector<std::complex<double>> cross;  // pairs x bins
    std::vector<double> energy;               // per microphone
    std::vector<double> cosine, sine;         // of 2 pi t / block
    std::vector<float> window, rows, in;
    std::vector<std::complex<float>> out;
    size_t filled = 0;
    uint64_t seen = 0; // blocks passed by, taken or not
    fftwf_plan plan = nullptr;

    Polarity(const std::vector<Microphone> &pos, int k, int block_, double fs, double c) : block(block_), bins(block_ / 2 + 1), m(pos.size())
    {
        const auto near = nearest(pos, k);
        for (size_t i = 0; i < m; ++i)
            for (size_t j : near[i])
                if (std::find(pairs.begin(), pairs.end(), std::make_pair(std::min(i, j), std::max(i, j))) == pairs.end())
                    pairs.emplace_back(std::min(i, j), std::max(i, j));
        for (const auto &[i, j] : pairs)
            max_lag.push_back(std::min(block / 4, int(std::ceil(distance(pos[i], pos[j]) / c * fs)) + 1));
        cross.assign(pairs.size() * size_t(bins), {});
        energy.assign(m, 0);
        window = hann(block);
        for (int t = 0; t < block; ++t) {
            cosine.push_back(std::cos(2 * M_PI * t / block));
            sine.push_back(std::sin(2 * M_PI * t / block));
        }
        rows.assign(size_t(block) * m, 0);
        in.assign(size_t(block) * m, 0);
        out.assign(size_t(bins) * m, {});
        plan = plan_series(block, m, in.data(), out.data());
    }
    ~Polarity() { fftwf_destroy_plan(plan); }

    // The next n rows: `rows`, or else the frames of `format` (only the blocks taken are converted).
    void feed(const float *r, const uint8_t *frames, const FrameFormat &format, size_t n, int stride)
    {
        const size_t frame_bytes = size_t(format.words) * 4;
        while (n > 0) {
            const bool take = seen % uint64_t(stride) == 0;
            const size_t k = std::min(n, size_t(block) - filled);
            if (take && r)
                std::memcpy(rows.data() + filled * m, r, k * m * sizeof(float));
            else if (take)
                to_samples(frames, k, format, rows.data() + filled * m);
            filled += k;
            if (r)
                r += k * m;
            else
                frames += k * frame_bytes;
            n -= k;
            if (filled == size_t(block)) {
                if (take)
                    transform();
                filled = 0;
                ++seen;
            }
        }
    }

    void transform()
    {
        windowed_series(rows.data(), size_t(block), m, window.data(), in.data());
        for (size_t i = 0; i < m; ++i) {
            double e = 0;
            for (int t = 0; t < block; ++t)
                e += double(in[i * size_t(block) + size_t(t)]) * in[i * size_t(block) + size_t(t)];
            energy[i] += e;
        }
        fftwf_execute(plan);
        for (size_t p = 0; p < pairs.size(); ++p) {
            const auto [i, j] = pairs[p];
            std::complex<double> *acc = cross.data() + p * size_t(bins);
            const std::complex<float> *a = out.data() + i * size_t(bins), *b = out.data() + j * size_t(bins);
            // conj(a) b, spelt out: the same rounding as std::complex's product, without its
            // checks for infinities.
            for (int k = 0; k < bins; ++k) {
                const float ar = a[k].real(), ai = a[k].imag(), br = b[k].real(), bi = b[k].imag();
                acc[k] += std::complex<double>(ar * br + ai * bi, ar * bi - ai * br);
            }
        }
    }

    // The normalised cross-correlation of pair p at the lag where its magnitude is largest.
    double extreme(size_t p) const
    {
        const auto [i, j] = pairs[p];
        if (energy[i] <= 0 || energy[j] <= 0)
            return 0;
        // r(t) = (1/block) sum_k conj(A_k) B_k e^{2 pi i k t / block}, one-sided spectrum.
        double best = 0;
        for (int t = -max_lag[p]; t <= max_lag[p]; ++t) {
            double r = 0;
            for (int b = 0; b < bins; ++b) {
                const double weight = (b == 0 || b == bins - 1) ? 1.0 : 2.0;
                const size_t turn = size_t(((b * t) % block + block) % block); // phase 2 pi b t / block
                const std::complex<double> c = cross[p * size_t(bins) + size_t(b)];
                r += weight * (c.real() * cosine[turn] - c.imag() * sine[turn]);
            }
            r /= block * std::sqrt(energy[i] * energy[j]);
            if (std::abs(r) > std::abs(best))
                best = r;
        }
        return best;
    }
};

HealthMeter::HealthMeter(FrameFormat format, std::vector<int> channels, std::vector<std::string> names, double sample_freq,
                         std::vector<Microphone> positions, HealthSettings settings)
    : format_(std::move(format)), channels_(std::move(channels)), names_(std::move(names)), positions_(std::move(positions)),
      settings_(settings), fs_(sample_freq), m_(format_.mic_words.size())
{
    if (channels_.size() != m_ || names_.size() != m_ || (!positions_.empty() && positions_.size() != m_))
        throw std::invalid_argument("health: one channel, name and position per microphone");
    buffer_.assign(kChunk * m_, 0);
    in_a_row_ = true;
    for (size_t i = 1; i < m_; ++i)
        in_a_row_ = in_a_row_ && format_.mic_words[i] == format_.mic_words[0] + int(i);
    ref_.assign(m_, 0);
    last_.assign(m_, 0);
    sum_.assign(m_, 0);
    sumsq_.assign(m_, 0);
    hi_.assign(m_, -std::numeric_limits<float>::infinity());
    lo_.assign(m_, std::numeric_limits<float>::infinity());
    hi_held_.assign(m_, 0);
    lo_held_.assign(m_, 0);
    if (!positions_.empty() && m_ > 1)
        polarity_ = std::make_unique<Polarity>(positions_, settings_.polarity_neighbours, settings_.polarity_block, fs_,
                                               settings_.speed_of_sound);
}

HealthMeter::~HealthMeter() = default;

void HealthMeter::feed(const uint8_t *frames, size_t n)
{
    const size_t frame_bytes = size_t(format_.words) * 4;
    while (n > 0) {
        const size_t k = std::min(n, kChunk);
        if (in_a_row_) {
            chunk(nullptr, frames, k);
        } else {
            to_samples(frames, k, format_, buffer_.data());
            chunk(buffer_.data(), nullptr, k);
        }
        frames += k * frame_bytes;
        n -= k;
    }
}

void HealthMeter::feed_samples(const float *rows, size_t n)
{
    while (n > 0) {
        const size_t k = std::min(n, kChunk);
        chunk(rows, nullptr, k);
        rows += k * m_;
        n -= k;
    }
}

// The n rows of `rows`, or else of `frames` (whose microphones are words in a row).
void HealthMeter::chunk(const float *rows, const uint8_t *frames, size_t n)
{
    if (n == 0 || m_ == 0)
        return;
    const size_t m = m_, frame_bytes = size_t(format_.words) * 4;
    if (frames_ == 0) {
        if (rows)
            std::memcpy(ref_.data(), rows, m * sizeof(float));
        else
            to_samples(frames, 1, format_, ref_.data());
        last_ = ref_;
    }
    // Sums about a reference (the first sample), in float over the chunk, then in double.
    float s1[512], s2[512], hi[512], lo[512];
    uint32_t held_hi[512], held_lo[512];
    for (size_t base = 0; base < m; base += 512) {
        const size_t w = std::min<size_t>(512, m - base);
        const float *ref = ref_.data() + base;
        for (size_t i = 0; i < w; ++i) {
            s1[i] = s2[i] = 0;
            hi[i] = -std::numeric_limits<float>::infinity();
            lo[i] = std::numeric_limits<float>::infinity();
            held_hi[i] = held_lo[i] = 0;
        }
        const float *prev = last_.data() + base;
        if (rows)
            stats_of<float, false>(reinterpret_cast<const uint8_t *>(rows + base), m * 4, prev, n, w, ref, s1, s2, hi, lo, held_hi,
                          held_lo);
        else if (format_.floats)
            stats_of<float, true>(frames + size_t(format_.mic_words[base]) * 4, frame_bytes, prev, n, w, ref, s1, s2, hi, lo,
                                 held_hi, held_lo);
        else
            stats_of<int32_t, true>(frames + size_t(format_.mic_words[base]) * 4, frame_bytes, prev, n, w, ref, s1, s2, hi, lo,
                               held_hi, held_lo);
        for (size_t i = 0; i < w; ++i) {
            const size_t c = base + i;
            sum_[c] += s1[i];
            sumsq_[c] += s2[i];
            if (hi[i] > hi_[c])
                hi_[c] = hi[i], hi_held_[c] = held_hi[i];
            else if (hi[i] == hi_[c])
                hi_held_[c] += held_hi[i];
            if (lo[i] < lo_[c])
                lo_[c] = lo[i], lo_held_[c] = held_lo[i];
            else if (lo[i] == lo_[c])
                lo_held_[c] += held_lo[i];
        }
    }
    if (rows)
        std::memcpy(last_.data(), rows + (n - 1) * m, m * sizeof(float));
    else
        to_samples(frames + (n - 1) * frame_bytes, 1, format_, last_.data());
    frames_ += n;
    if (polarity_)
        polarity_->feed(rows, frames, format_, n, settings_.polarity_stride);
}

HealthReport HealthMeter::report() const
{
    HealthReport r;
    r.frames = frames_;
    r.neighbours = !positions_.empty();
    r.mics.resize(m_);
    const double n = double(std::max<uint64_t>(frames_, 1));
    for (size_t c = 0; c < m_; ++c) {
        MicHealth &h = r.mics[c];
        h.channel = channels_[c];
        h.name = names_[c];
        const double mean = sum_[c] / n;
        const double var = std::max(0.0, sumsq_[c] / n - mean * mean);
        h.level_db = var > 0 ? 10 * std::log10(var) : -std::numeric_limits<double>::infinity();
        h.dc = double(ref_[c]) + mean;
        h.peak = frames_ ? std::max(std::abs(double(hi_[c])), std::abs(double(lo_[c]))) : 0;
        h.clipped = double(hi_held_[c] + (lo_[c] < hi_[c] ? lo_held_[c] : 0)) / n;
        if (frames_ == 0)
            continue;
        if (!std::isfinite(sum_[c]) || !std::isfinite(sumsq_[c])) {
            h.verdict = Verdict::Dead; // a float microphone giving NaN or infinity gives nothing usable
            h.detail = "samples that are not finite numbers";
        } else if (double(hi_[c]) - double(lo_[c]) <= 2.0 / kFullScale || h.level_db < settings_.dead_db) {
            h.verdict = Verdict::Dead;
            h.detail = hi_[c] == lo_[c] ? (hi_[c] == 0 ? "digital zero" : "flat") : "no signal above the dead level";
        } else if (h.clipped >= settings_.clipped_share) {
            h.verdict = Verdict::Clipping;
            h.detail = "samples held at its extreme value";
        }
    }
    const auto alive = [&](size_t c) { return r.mics[c].verdict != Verdict::Dead; };

    // Level against the array's median, or against the median of the nearest live neighbours.
    std::vector<double> all;
    for (size_t c = 0; c < m_; ++c)
        if (alive(c))
            all.push_back(r.mics[c].level_db);
    const double array_median = median(all);
    std::vector<std::vector<size_t>> near;
    if (r.neighbours)
        near = nearest(positions_, int(m_) - 1);
    for (size_t c = 0; c < m_; ++c) {
        MicHealth &h = r.mics[c];
        h.reference_db = array_median;
        if (r.neighbours) {
            std::vector<double> around;
            for (size_t j : near[c]) {
                if (alive(j))
                    around.push_back(r.mics[j].level_db);
                if (int(around.size()) == settings_.level_neighbours)
                    break;
            }
            if (!around.empty())
                h.reference_db = median(around);
        }
        if (h.verdict == Verdict::Ok && frames_ && std::abs(h.level_db - h.reference_db) > settings_.outlier_db) {
            h.verdict = Verdict::LevelOutlier;
            char t[96];
            std::snprintf(t, sizeof t, "%+.1f dB against the %s median", h.level_db - h.reference_db,
                          r.neighbours ? "neighbours'" : "array's");
            h.detail = t;
        }
    }

    if (polarity_) {
        for (size_t p = 0; p < polarity_->pairs.size(); ++p) {
            const auto [i, j] = polarity_->pairs[p];
            if (!alive(i) || !alive(j))
                continue;
            const double e = polarity_->extreme(p);
            if (std::abs(e) < settings_.coherence)
                continue;
            for (size_t c : {i, j}) {
                ++r.mics[c].polarity_decided;
                r.mics[c].polarity_votes += e > 0 ? 1 : -1;
            }
        }
        for (MicHealth &h : r.mics)
            if (h.verdict == Verdict::Ok && h.polarity_decided >= 2 && h.polarity_votes < 0) {
                h.verdict = Verdict::ReversedPolarity;
                h.detail = std::to_string((h.polarity_decided - h.polarity_votes) / 2) + " of " +
                           std::to_string(h.polarity_decided) + " coherent neighbours in opposite sign";
            }
    }
    return r;
}

}
