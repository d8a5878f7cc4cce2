// Microphone samples out of raw frames, as the analysis sees them.
//
// Both sample types carry the recorder's integer scale (a float sample holds the value the
// integer would), so one full scale serves both: 2^31. The analysis works on samples divided
// by it, and every level it reports is in dB re full scale (dBFS).
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "recording/frame_layout.h"

struct fftwf_plan_s; // FFTW's plan

namespace analysis {

constexpr double kFullScale = 2147483648.0;

// Where the microphones sit in a frame, as the analysis reads them: a view of the program's
// frame layout (recording/frame_layout.h), never worked out anew.
class FrameFormat {
public:
    FrameFormat() = default;
    // Every microphone of the layout, in channel order.
    explicit FrameFormat(const FrameLayout &layout);

    int words() const { return layout_.words(); }                    // 32-bit words per frame
    size_t mics() const { return words_.size(); }
    int mic_word(size_t i) const { return words_[i]; }               // the word of the i-th microphone
    const std::vector<int> &mic_words() const { return words_; }
    bool floats() const { return layout_.floats; }                   // float32 samples, else int32
    const FrameLayout &layout() const { return layout_; }

private:
    FrameLayout layout_;
    std::vector<int> words_; // layout_.mic_word(i), once
};

// n frames to n rows of the format's microphones (row-major, n x mics()), divided
// by the full scale.
void to_samples(const uint8_t *frames, size_t n, const FrameFormat &format, float *out);

// n rows of m samples to m windowed series of n samples (out[i * n + t] = window[t] * rows[t * m + i]).
void windowed_series(const float *rows, size_t n, size_t m, const float *window, float *out);

// An FFTW plan of m real series of n samples in a row (`in`, m x n) to m one-sided spectra
// (`out`, m x (n/2 + 1)).
::fftwf_plan_s *plan_series(int n, size_t m, float *in, std::complex<float> *out);

// The periodic Hann window of n points (the one whose 50 % overlapped copies add up to a
// constant, as Welch averaging with 50 % overlap wants).
std::vector<float> hann(int n);

}
