#include "analysis/sample_stats.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>

namespace analysis {

namespace {

constexpr size_t kChunk = SampleStats::kChunkFrames; // frames converted and summed at a time (fits the cache)

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

// Runs of equal samples away from the extremes seen so far (dropouts): per microphone the run's
// length carried from chunk to chunk, and per chunk the samples counted in runs of `length` or
// more (less the first length - 1 of each) and the runs reaching `length`.
struct Runs {
    float *top, *bottom; // the extremes so far, this chunk's included
    uint32_t *run, *in_long, *starts;
    uint32_t length;
};

// Samples held at the chunk's extremes: equal to it and following a sample equal to it.
template <typename S>
[[gnu::always_inline]] inline void held(S src, const float *prev, size_t n, size_t w, const float *hi, const float *lo, uint32_t *held_hi,
                 uint32_t *held_lo, Runs runs)
{
    constexpr size_t lanes = 16;
    const uint32_t from = runs.length - 1;
    size_t i0 = 0;
    for (; i0 + lanes <= w; i0 += lanes) {
        float h[lanes], l[lanes], p[lanes], top[lanes], bottom[lanes];
        uint32_t ch[lanes] = {}, cl[lanes] = {}, rn[lanes], lg[lanes] = {}, st[lanes] = {};
        for (size_t k = 0; k < lanes; ++k) {
            h[k] = hi[i0 + k], l[k] = lo[i0 + k], p[k] = prev[i0 + k];
            top[k] = runs.top[i0 + k], bottom[k] = runs.bottom[i0 + k], rn[k] = runs.run[i0 + k];
        }
        for (size_t t = 0; t < n; ++t) {
            float x[lanes];
            for (size_t k = 0; k < lanes; ++k)
                x[k] = src.at(t, i0 + k);
            for (size_t k = 0; k < lanes; ++k) {
                ch[k] += (x[k] == h[k]) & (p[k] == h[k]);
                cl[k] += (x[k] == l[k]) & (p[k] == l[k]);
                rn[k] = (x[k] == p[k]) & (x[k] != top[k]) & (x[k] != bottom[k]) ? rn[k] + 1 : 0;
                lg[k] += rn[k] >= from;
                st[k] += rn[k] == from;
                p[k] = x[k];
            }
        }
        for (size_t k = 0; k < lanes; ++k) {
            held_hi[i0 + k] += ch[k], held_lo[i0 + k] += cl[k];
            runs.run[i0 + k] = rn[k], runs.in_long[i0 + k] += lg[k], runs.starts[i0 + k] += st[k];
        }
    }
    for (size_t t = 0; t < n; ++t)
        for (size_t i = i0; i < w; ++i) {
            const float x = src.at(t, i), before = t ? src.at(t - 1, i) : prev[i];
            held_hi[i] += (x == hi[i]) & (before == hi[i]);
            held_lo[i] += (x == lo[i]) & (before == lo[i]);
            runs.run[i] = (x == before) & (x != runs.top[i]) & (x != runs.bottom[i]) ? runs.run[i] + 1 : 0;
            runs.in_long[i] += runs.run[i] >= from;
            runs.starts[i] += runs.run[i] == from;
        }
}

// The extremes so far with this chunk's (runs.top and runs.bottom hold those before it).
inline void extremes(Runs runs, const float *hi, const float *lo, size_t w)
{
    for (size_t i = 0; i < w; ++i) {
        runs.top[i] = std::max(runs.top[i], hi[i]);
        runs.bottom[i] = std::min(runs.bottom[i], lo[i]);
    }
}

// The per-sample loops, one vector lane per microphone, built for AVX2 as well where the
// processor has it (without FMA, so both give the same sums).
template <typename T, bool Raw>
void stats(const uint8_t *base, size_t stride, const float *prev, size_t n, size_t w, const float *ref, float *s1, float *s2,
           float *hi, float *lo, uint32_t *held_hi, uint32_t *held_lo, Runs runs)
{
    const Source<T, Raw> src{base, stride};
    sums(src, n, w, ref, s1, s2, hi, lo);
    extremes(runs, hi, lo, w);
    held(src, prev, n, w, hi, lo, held_hi, held_lo, runs);
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

__attribute__((target("avx2"), always_inline)) inline void add8(__m256i counts, uint32_t *to)
{
    uint32_t c[8];
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(c), counts);
    for (size_t k = 0; k < 8; ++k)
        to[k] += c[k];
}

template <typename T, bool Raw>
__attribute__((target("avx2"))) void stats_avx2(const uint8_t *base, size_t stride, const float *prev, size_t n, size_t w,
                                                const float *ref, float *s1, float *s2, float *hi, float *lo,
                                                uint32_t *held_hi, uint32_t *held_lo, Runs runs)
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
        // Whether any sample equals the one before it: without one, the second pass finds
        // nothing (no repeat at an extreme, every run of equal samples cut at each sample).
        __m256 q[2], repeats[2];
        for (int v = 0; v < 2; ++v)
            q[v] = _mm256_loadu_ps(prev + i0 + 8 * v), repeats[v] = _mm256_setzero_ps();
        for (size_t t = 0; t < n; ++t)
            for (int v = 0; v < 2; ++v) {
                const __m256 x = load8<T, Raw>(col + t * stride + 32 * size_t(v)), d = _mm256_sub_ps(x, r[v]);
                a1[v] = _mm256_add_ps(a1[v], d);
                a2[v] = _mm256_add_ps(a2[v], _mm256_mul_ps(d, d));
                h[v] = _mm256_max_ps(x, h[v]); // x > h ? x : h
                l[v] = _mm256_min_ps(x, l[v]); // x < l ? x : l
                repeats[v] = _mm256_or_ps(repeats[v], _mm256_cmp_ps(x, q[v], _CMP_EQ_OQ));
                q[v] = x;
            }
        const bool none = _mm256_testz_ps(repeats[0], repeats[0]) && _mm256_testz_ps(repeats[1], repeats[1]);
        __m256 p[2], top[2], bottom[2];
        __m256i ch[2], cl[2], rn[2], lg[2], st[2];
        for (int v = 0; v < 2; ++v) {
            _mm256_storeu_ps(s1 + i0 + 8 * v, a1[v]), _mm256_storeu_ps(s2 + i0 + 8 * v, a2[v]);
            _mm256_storeu_ps(hi + i0 + 8 * v, h[v]), _mm256_storeu_ps(lo + i0 + 8 * v, l[v]);
            p[v] = _mm256_loadu_ps(prev + i0 + 8 * v);
            ch[v] = cl[v] = lg[v] = st[v] = _mm256_setzero_si256();
            top[v] = _mm256_max_ps(_mm256_loadu_ps(runs.top + i0 + 8 * v), h[v]);
            bottom[v] = _mm256_min_ps(_mm256_loadu_ps(runs.bottom + i0 + 8 * v), l[v]);
            _mm256_storeu_ps(runs.top + i0 + 8 * v, top[v]), _mm256_storeu_ps(runs.bottom + i0 + 8 * v, bottom[v]);
            rn[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(runs.run + i0 + 8 * v));
        }
        const __m256i one = _mm256_set1_epi32(1), before = _mm256_set1_epi32(int(runs.length) - 2),
                      from = _mm256_set1_epi32(int(runs.length) - 1);
        if (none)
            rn[0] = rn[1] = _mm256_setzero_si256();
        for (size_t t = 0; t < n && !none; ++t)
            for (int v = 0; v < 2; ++v) {
                const __m256 x = load8<T, Raw>(col + t * stride + 32 * size_t(v));
                const __m256 at_hi = _mm256_and_ps(_mm256_cmp_ps(x, h[v], _CMP_EQ_OQ), _mm256_cmp_ps(p[v], h[v], _CMP_EQ_OQ));
                const __m256 at_lo = _mm256_and_ps(_mm256_cmp_ps(x, l[v], _CMP_EQ_OQ), _mm256_cmp_ps(p[v], l[v], _CMP_EQ_OQ));
                ch[v] = _mm256_sub_epi32(ch[v], _mm256_castps_si256(at_hi)); // a true lane is -1
                cl[v] = _mm256_sub_epi32(cl[v], _mm256_castps_si256(at_lo));
                const __m256 same = _mm256_and_ps(_mm256_cmp_ps(x, p[v], _CMP_EQ_OQ),
                                                  _mm256_and_ps(_mm256_cmp_ps(x, top[v], _CMP_NEQ_OQ),
                                                                _mm256_cmp_ps(x, bottom[v], _CMP_NEQ_OQ)));
                rn[v] = _mm256_and_si256(_mm256_add_epi32(rn[v], one), _mm256_castps_si256(same));
                lg[v] = _mm256_sub_epi32(lg[v], _mm256_cmpgt_epi32(rn[v], before));
                st[v] = _mm256_sub_epi32(st[v], _mm256_cmpeq_epi32(rn[v], from));
                p[v] = x;
            }
        for (int v = 0; v < 2; ++v) {
            const size_t at = i0 + 8 * size_t(v);
            add8(ch[v], held_hi + at), add8(cl[v], held_lo + at), add8(lg[v], runs.in_long + at), add8(st[v], runs.starts + at);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(runs.run + at), rn[v]);
        }
    }
    if (i0 < w)
        stats<T, Raw>(base + i0 * 4, stride, prev + i0, n, w - i0, ref + i0, s1 + i0, s2 + i0, hi + i0, lo + i0,
                      held_hi + i0, held_lo + i0,
                      Runs{runs.top + i0, runs.bottom + i0, runs.run + i0, runs.in_long + i0, runs.starts + i0, runs.length});
}
#endif

template <typename T, bool Raw>
void stats_of(const uint8_t *base, size_t stride, const float *prev, size_t n, size_t w, const float *ref, float *s1,
              float *s2, float *hi, float *lo, uint32_t *held_hi, uint32_t *held_lo, Runs runs)
{
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        return stats_avx2<T, Raw>(base, stride, prev, n, w, ref, s1, s2, hi, lo, held_hi, held_lo, runs);
#endif
    stats<T, Raw>(base, stride, prev, n, w, ref, s1, s2, hi, lo, held_hi, held_lo, runs);
}

}

SampleStats::SampleStats(FrameFormat format, int held_run) : format_(std::move(format)), held_run_(held_run), m_(format_.mics())
{
    if (held_run_ < 2)
        throw std::invalid_argument("health: a dropout is a run of two or more equal samples");
    buffer_.assign(kChunk * m_, 0);
    in_a_row_ = true;
    for (size_t i = 1; i < m_; ++i)
        in_a_row_ = in_a_row_ && format_.mic_word(i) == format_.mic_word(0) + int(i);
    const float inf = std::numeric_limits<float>::infinity();
    ref_.assign(m_, 0);
    last_.assign(m_, 0);
    first_.assign(m_, 0);
    sum_.assign(m_, 0);
    sumsq_.assign(m_, 0);
    hi_.assign(m_, -inf);
    lo_.assign(m_, inf);
    hi_held_.assign(m_, 0);
    lo_held_.assign(m_, 0);
    held_.assign(m_, 0);
    held_runs_.assign(m_, 0);
    run_.assign(m_, 0);
    top_.assign(m_, -inf);
    bottom_.assign(m_, inf);
    repeat_top_.assign(m_, inf);
    repeat_bottom_.assign(m_, -inf);
}

void SampleStats::begin_after(const uint8_t *first, const uint8_t *before)
{
    to_samples(first, 1, format_, ref_.data());
    if (before)
        to_samples(before, 1, format_, last_.data());
    else
        std::fill(last_.begin(), last_.end(), std::numeric_limits<float>::quiet_NaN());
    started_ = true;
}

// The reference of the sums and the sample before the first: the first sample itself.
void SampleStats::start(const float *rows, const uint8_t *frames)
{
    if (rows)
        std::memcpy(ref_.data(), rows, m_ * sizeof(float));
    else
        to_samples(frames, 1, format_, ref_.data());
    last_ = ref_;
    started_ = true;
}

// Chunks never straddle a multiple of kChunk frames of the part: fed in blocks of whole chunks,
// the sums (in float over a chunk) are those of one feed of every frame, whatever the blocks.
size_t SampleStats::next_chunk(size_t n) const
{
    return std::min(n, kChunk - size_t(frames_ % kChunk));
}

void SampleStats::feed(const uint8_t *frames, size_t n)
{
    const size_t frame_bytes = size_t(format_.words()) * 4;
    while (n > 0) {
        const size_t k = next_chunk(n);
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

void SampleStats::feed_samples(const float *rows, size_t n)
{
    while (n > 0) {
        const size_t k = next_chunk(n);
        chunk(rows, nullptr, k);
        rows += k * m_;
        n -= k;
    }
}

// The n rows of `rows`, or else of `frames` (whose microphones are words in a row).
void SampleStats::chunk(const float *rows, const uint8_t *frames, size_t n)
{
    if (n == 0 || m_ == 0)
        return;
    const size_t m = m_, frame_bytes = size_t(format_.words()) * 4;
    if (!started_)
        start(rows, frames);
    if (frames_ == 0) {
        if (rows)
            std::memcpy(first_.data(), rows, m * sizeof(float));
        else
            to_samples(frames, 1, format_, first_.data());
    }
    // Sums about a reference (the first sample), in float over the chunk, then in double.
    float s1[512], s2[512], hi[512], lo[512];
    uint32_t held_hi[512], held_lo[512], in_long[512], starts[512];
    for (size_t base = 0; base < m; base += 512) {
        const size_t w = std::min<size_t>(512, m - base);
        const float *ref = ref_.data() + base;
        for (size_t i = 0; i < w; ++i) {
            s1[i] = s2[i] = 0;
            hi[i] = -std::numeric_limits<float>::infinity();
            lo[i] = std::numeric_limits<float>::infinity();
            held_hi[i] = held_lo[i] = in_long[i] = starts[i] = 0;
        }
        const Runs runs{top_.data() + base, bottom_.data() + base, run_.data() + base, in_long, starts, uint32_t(held_run_)};
        const float *prev = last_.data() + base;
        if (rows)
            stats_of<float, false>(reinterpret_cast<const uint8_t *>(rows + base), m * 4, prev, n, w, ref, s1, s2, hi, lo, held_hi,
                                   held_lo, runs);
        else if (format_.floats())
            stats_of<float, true>(frames + size_t(format_.mic_word(base)) * 4, frame_bytes, prev, n, w, ref, s1, s2, hi, lo,
                                  held_hi, held_lo, runs);
        else
            stats_of<int32_t, true>(frames + size_t(format_.mic_word(base)) * 4, frame_bytes, prev, n, w, ref, s1, s2, hi, lo,
                                    held_hi, held_lo, runs);
        for (size_t i = 0; i < w; ++i) {
            const size_t c = base + i;
            sum_[c] += s1[i];
            held_[c] += in_long[i] + uint64_t(starts[i]) * uint64_t(held_run_ - 1);
            held_runs_[c] += starts[i];
            sumsq_[c] += s2[i];
            // A repeat at the chunk's extreme is one at the extremes so far when they are its.
            if (held_hi[i] && hi[i] == top_[c])
                repeat_top_[c] = std::min(repeat_top_[c], hi[i]);
            if (held_lo[i] && lo[i] == bottom_[c])
                repeat_bottom_[c] = std::max(repeat_bottom_[c], lo[i]);
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
}

void SampleStats::gap()
{
    if (!started_)
        return;
    // No sample equals NaN: the first one after the gap follows none.
    std::fill(last_.begin(), last_.end(), std::numeric_limits<float>::quiet_NaN());
    std::fill(run_.begin(), run_.end(), 0u);
}

// One pass leaves out of the runs of equal samples the repeats at the extremes so far, these
// frames' included. `later` left out those at its own: the same, unless a repeat sat at an
// extreme of its own that these frames passed (one pass would have counted it), or a run of
// equal samples crosses the boundary (one pass would have gone on counting it).
bool SampleStats::merge(const SampleStats &later)
{
    if (later.frames_ == 0)
        return true;
    if (frames_ == 0 || frames_ % kChunk || later.m_ != m_)
        return false;
    for (size_t c = 0; c < m_; ++c)
        if (later.repeat_top_[c] < top_[c] || later.repeat_bottom_[c] > bottom_[c] ||
            (run_[c] > 0 && later.first_[c] == last_[c]))
            return false;
    for (size_t c = 0; c < m_; ++c) {
        // Its sums are about the same reference; its chunks fall where one pass cuts them.
        sum_[c] += later.sum_[c];
        sumsq_[c] += later.sumsq_[c];
        held_[c] += later.held_[c];
        held_runs_[c] += later.held_runs_[c];
        if (later.hi_[c] > hi_[c])
            hi_[c] = later.hi_[c], hi_held_[c] = later.hi_held_[c];
        else if (later.hi_[c] == hi_[c])
            hi_held_[c] += later.hi_held_[c];
        if (later.lo_[c] < lo_[c])
            lo_[c] = later.lo_[c], lo_held_[c] = later.lo_held_[c];
        else if (later.lo_[c] == lo_[c])
            lo_held_[c] += later.lo_held_[c];
        top_[c] = std::max(top_[c], later.top_[c]);
        bottom_[c] = std::min(bottom_[c], later.bottom_[c]);
        repeat_top_[c] = std::min(repeat_top_[c], later.repeat_top_[c]);
        repeat_bottom_[c] = std::max(repeat_bottom_[c], later.repeat_bottom_[c]);
    }
    run_ = later.run_;
    last_ = later.last_;
    frames_ += later.frames_;
    return true;
}

}
