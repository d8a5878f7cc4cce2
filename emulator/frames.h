// Sample frames of the emulated recorder: frames of nb_voies little-endian 32-bit words,
// the counter in word 0 (when selected), then the selected microphones in channel order, then
// the status word (when selected), then the selected analogue channels.
#pragma once

#include "recording/frame_layout.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace emu {

class SceneSignals;

// The frame layout of the whole program (its masks, its words).
using ::FrameLayout;

// The level of microphone channel c (peak amplitude in counts): a source near beam 9, so the
// levels span about 14 to 3 million counts across the array.
double mic_amplitude(int channel);

// What each recorder of a testbed has of its own in its built-in microphone signals: recorder i's
// sit this many counts above recorder 0's (a constant offset), so that a test can tell which
// recorder a stream came from.
constexpr double kRecorderOffset = 1000.0;

class FrameSource {
public:
    // frame_rate in frames/s sets the period of the slow analogue sine (2 Hz).
    // With a scene, the microphones' samples are its signals from its absolute frame scene_first on.
    void configure(const FrameLayout &layout, double frame_rate, uint32_t counter_start,
                   uint64_t jump_frame, uint32_t jump,
                   std::shared_ptr<const SceneSignals> scene = nullptr, uint64_t scene_first = 0);
    // Recorder `index` of the testbed (its offset, kRecorderOffset); kept by configure().
    void set_recorder(int index) { offset_ = index * kRecorderOffset; }
    bool has_scene() const { return scene_ != nullptr; }
    bool has_counter() const { return layout_.counter; }
    // The scene's absolute frame of a sent frame (the frames lost before it counted).
    uint64_t scene_frame(uint64_t frame) const { return scene_first_ + sampled_frame(frame); }
    int words() const { return words_; }
    uint64_t frame_bytes() const { return uint64_t(words_) * 4; }
    // Frame numbers below count the frames sent; the recorder also loses frames when its own
    // buffer overflows: from sent frame `at` on, every frame is `n` samples later than before.
    void drop(uint64_t at, uint64_t n);
    uint64_t sampled_frame(uint64_t frame) const;   // sampling instant of a sent frame
    uint32_t counter_at(uint64_t frame) const;
    // The built-in signals (and a scene's, from scene_first on) of frame 0 are those of this tick
    // of the recorders' shared clock (0 by configure(): a stream's own start). The counter is the
    // stream's own all the same.
    void set_first_tick(uint64_t tick) { tick0_ = tick; }
    // Writes bytes [pos, pos + n) of the stream to dst (any alignment).
    void generate(uint8_t *dst, uint64_t pos, size_t n) const;

    static constexpr int kPeriod = 48;          // frames per period of the microphone signal
    static constexpr uint32_t kStatusWord = 0x00000001;

private:
    void build_frame(uint64_t frame, uint8_t *out) const;

    FrameLayout layout_;
    int words_ = 0;
    std::vector<uint32_t> mic_rows_;            // kPeriod rows of mics.size() words
    std::vector<uint32_t> analog_table_;        // 4 channels x kAnalogSteps
    uint64_t analog_period_ = 1;
    uint32_t counter_start_ = 0;
    uint64_t jump_frame_ = UINT64_MAX;
    uint32_t jump_ = 0;
    struct Gap {
        uint64_t at;      // first sent frame after the gap
        uint64_t total;   // frames lost before it, this gap included
    };
    std::vector<Gap> gaps_;                     // in increasing order of `at`
    std::shared_ptr<const SceneSignals> scene_;
    uint64_t scene_first_ = 0;
    uint64_t tick0_ = 0;
    double offset_ = 0;
    static constexpr int kAnalogSteps = 4096;
};

} // namespace emu
