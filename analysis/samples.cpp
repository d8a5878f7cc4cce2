#include "analysis/samples.h"

#include <fftw3.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <bit>
#include <cmath>
#include <algorithm>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "frames are read in host order");

namespace analysis {

namespace {

// The microphones' words as runs of consecutive words, so each run converts in one loop.
struct Run {
    int word, column, length;
};

std::vector<Run> runs_of(const std::vector<int> &words)
{
    std::vector<Run> runs;
    for (size_t i = 0; i < words.size(); ++i) {
        if (!runs.empty() && runs.back().word + runs.back().length == words[i] &&
            runs.back().column + runs.back().length == int(i))
            ++runs.back().length;
        else
            runs.push_back({words[i], int(i), 1});
    }
    return runs;
}

// A clone's resolver runs while the program is being relocated, before ThreadSanitizer's
// runtime is up: a ThreadSanitizer build takes the plain version alone.
#if defined(__SANITIZE_THREAD__)
#define VIZ256_CLONES
#else
#define VIZ256_CLONES __attribute__((target_clones("avx2", "default")))
#endif

template <typename T>
VIZ256_CLONES void convert(const uint8_t *src, float *dst, int n)
{
    constexpr float scale = float(1.0 / kFullScale);
    T v[64];
    while (n > 0) {
        const int k = n < 64 ? n : 64;
        std::memcpy(v, src, size_t(k) * 4);
        for (int i = 0; i < k; ++i)
            dst[i] = float(v[i]) * scale;
        src += size_t(k) * 4;
        dst += k;
        n -= k;
    }
}

}

FrameFormat::FrameFormat(const FrameLayout &layout) : layout_(layout)
{
    for (size_t i = 0; i < layout_.mics.size(); ++i)
        words_.push_back(layout_.mic_word(int(i)));
}

void to_samples(const uint8_t *frames, size_t n, const FrameFormat &format, float *out)
{
    const std::vector<Run> runs = runs_of(format.mic_words());
    const size_t m = format.mics(), frame_bytes = size_t(format.words()) * 4;
    for (size_t f = 0; f < n; ++f) {
        const uint8_t *frame = frames + f * frame_bytes;
        float *row = out + f * m;
        for (const Run &r : runs) {
            if (format.floats())
                convert<float>(frame + size_t(r.word) * 4, row + r.column, r.length);
            else
                convert<int32_t>(frame + size_t(r.word) * 4, row + r.column, r.length);
        }
    }
}

#if defined(__x86_64__)
namespace {

// Eight rows of eight floats to eight columns.
__attribute__((target("avx2"), always_inline)) inline void transpose8(__m256 r[8])
{
    const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
    const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
    const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
    const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
    const __m256 s0 = _mm256_shuffle_ps(t0, t2, 0x44), s1 = _mm256_shuffle_ps(t0, t2, 0xEE);
    const __m256 s2 = _mm256_shuffle_ps(t1, t3, 0x44), s3 = _mm256_shuffle_ps(t1, t3, 0xEE);
    const __m256 s4 = _mm256_shuffle_ps(t4, t6, 0x44), s5 = _mm256_shuffle_ps(t4, t6, 0xEE);
    const __m256 s6 = _mm256_shuffle_ps(t5, t7, 0x44), s7 = _mm256_shuffle_ps(t5, t7, 0xEE);
    r[0] = _mm256_permute2f128_ps(s0, s4, 0x20), r[1] = _mm256_permute2f128_ps(s1, s5, 0x20);
    r[2] = _mm256_permute2f128_ps(s2, s6, 0x20), r[3] = _mm256_permute2f128_ps(s3, s7, 0x20);
    r[4] = _mm256_permute2f128_ps(s0, s4, 0x31), r[5] = _mm256_permute2f128_ps(s1, s5, 0x31);
    r[6] = _mm256_permute2f128_ps(s2, s6, 0x31), r[7] = _mm256_permute2f128_ps(s3, s7, 0x31);
}

// Eight frames at a time: their rows read whole, eight microphones turned into eight series by
// one transposition, each product the same one multiplication as below.
__attribute__((target("avx2"))) void windowed_avx2(const float *rows, size_t n, size_t m, const float *window, float *out)
{
    size_t t0 = 0;
    for (; t0 + 8 <= n; t0 += 8) {
        const __m256 w = _mm256_loadu_ps(window + t0);
        size_t i0 = 0;
        for (; i0 + 8 <= m; i0 += 8) {
            __m256 r[8];
            for (size_t k = 0; k < 8; ++k)
                r[k] = _mm256_loadu_ps(rows + (t0 + k) * m + i0);
            transpose8(r);
            for (size_t k = 0; k < 8; ++k)
                _mm256_storeu_ps(out + (i0 + k) * n + t0, _mm256_mul_ps(r[k], w));
        }
        for (; i0 < m; ++i0)
            for (size_t t = t0; t < t0 + 8; ++t)
                out[i0 * n + t] = window[t] * rows[t * m + i0];
    }
    for (; t0 < n; ++t0)
        for (size_t i = 0; i < m; ++i)
            out[i * n + t0] = window[t0] * rows[t0 * m + i];
}

}
#endif

void windowed_series(const float *rows, size_t n, size_t m, const float *window, float *out)
{
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        return windowed_avx2(rows, n, m, window, out);
#endif
    // In tiles, so both sides stay in the cache.
    constexpr size_t tile = 16;
    for (size_t t0 = 0; t0 < n; t0 += tile)
        for (size_t i0 = 0; i0 < m; i0 += tile) {
            const size_t t1 = std::min(n, t0 + tile), i1 = std::min(m, i0 + tile);
            for (size_t i = i0; i < i1; ++i)
                for (size_t t = t0; t < t1; ++t)
                    out[i * n + t] = window[t] * rows[t * m + i];
        }
}

::fftwf_plan_s *plan_series(int n, size_t m, float *in, std::complex<float> *out)
{
    return fftwf_plan_many_dft_r2c(1, &n, int(m), in, nullptr, 1, n, reinterpret_cast<fftwf_complex *>(out), nullptr, 1,
                                   n / 2 + 1, FFTW_ESTIMATE);
}

std::vector<float> hann(int n)
{
    std::vector<float> w(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        w[size_t(i)] = float(0.5 - 0.5 * std::cos(2 * M_PI * i / n));
    return w;
}

}
