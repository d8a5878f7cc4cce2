#include "analysis/samples.h"

#include <fftw3.h>

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

void windowed_series(const float *rows, size_t n, size_t m, const float *window, float *out)
{
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
