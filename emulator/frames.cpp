#include "emulator/frames.h"

#include "emulator/scene.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "frames are written in host order");

namespace emu {

namespace {

inline void put32(uint8_t *p, uint32_t v) { std::memcpy(p, &v, 4); }

uint32_t sample_word(double v, bool floats)
{
    if (floats)
        return std::bit_cast<uint32_t>(float(v));
    return uint32_t(int32_t(std::lround(v)));
}

} // namespace

double mic_amplitude(int channel)
{
    // Distance from a source at beam 9.5, microphone 3.5, in grid units (beams are the long axis).
    const double db = channel / 8 - 9.5, dm = (channel % 8 - 3.5) * 2.0;
    const double d = std::sqrt(db * db + dm * dm);
    const double dmax = std::sqrt(22.5 * 22.5 + 7.0 * 7.0);
    const double top = std::log10(3.0e6), bottom = std::log10(14.0);
    return std::pow(10.0, top - (top - bottom) * std::min(1.0, d / dmax));
}

void FrameSource::configure(const FrameLayout &layout, double frame_rate, uint32_t counter_start,
                            uint64_t jump_frame, uint32_t jump,
                            std::shared_ptr<const SceneSignals> scene, uint64_t scene_first)
{
    scene_ = std::move(scene);
    scene_first_ = scene_first;
    layout_ = layout;
    words_ = layout.words();
    counter_start_ = counter_start;
    jump_frame_ = jump_frame;
    jump_ = jump;
    gaps_.clear();
    tick0_ = 0;

    const size_t nm = scene_ ? 0 : layout.mics.size();
    mic_rows_.assign(size_t(kPeriod) * nm, 0);
    uint32_t noise = 0x12345678u;
    for (int k = 0; k < kPeriod; ++k) {
        for (size_t i = 0; i < nm; ++i) {
            const int c = layout.mics[i];
            noise = noise * 1664525u + 1013904223u;
            const double jitter = double(int(noise >> 29) - 4) * 0.5;   // a little noise: -2..+1.5
            const double v = mic_amplitude(c) * std::sin(2 * M_PI * k / kPeriod + 0.37 * c) + jitter + offset_;
            mic_rows_[size_t(k) * nm + i] = sample_word(v, layout.floats);
        }
    }

    analog_period_ = std::max<uint64_t>(1, uint64_t(std::llround(frame_rate / 2.0)));
    analog_table_.assign(4 * kAnalogSteps, 0);
    for (int n = 0; n < 4; ++n)
        for (int s = 0; s < kAnalogSteps; ++s)
            analog_table_[n * kAnalogSteps + s] =
                sample_word(2.0e6 * std::sin(2 * M_PI * s / kAnalogSteps + n * M_PI / 2), layout.floats);
}

void FrameSource::drop(uint64_t at, uint64_t n)
{
    if (n == 0)
        return;
    const uint64_t before = gaps_.empty() ? 0 : gaps_.back().total;
    if (!gaps_.empty() && gaps_.back().at == at)
        gaps_.back().total += n;   // still nothing sent since the last loss: one longer gap
    else
        gaps_.push_back({at, before + n});
}

uint64_t FrameSource::sampled_frame(uint64_t frame) const
{
    // Frames are generated in increasing order: the last gaps are the likely ones.
    for (auto it = gaps_.rbegin(); it != gaps_.rend(); ++it)
        if (it->at <= frame)
            return frame + it->total;
    return frame;
}

uint32_t FrameSource::counter_at(uint64_t frame) const
{
    uint64_t v = counter_start_ + sampled_frame(frame);
    if (frame >= jump_frame_)
        v += jump_;
    return uint32_t(v);
}

void FrameSource::build_frame(uint64_t frame, uint8_t *out) const
{
    if (layout_.counter) {
        put32(out, counter_at(frame));
        out += 4;
    }
    frame = sampled_frame(frame);
    const size_t nm = layout_.mics.size();
    if (scene_ && nm) {
        scene_->write(scene_first_ + tick0_ + frame, layout_.mics.data(), nm, layout_.floats, out);
        out += nm * 4;
    }
    frame += tick0_;   // the built-in signals run on the shared clock
    if (!scene_ && nm) {
        std::memcpy(out, &mic_rows_[size_t(frame % kPeriod) * nm], nm * 4);
        out += nm * 4;
    }
    if (layout_.status) {
        put32(out, kStatusWord);
        out += 4;
    }
    if (!layout_.analog.empty()) {
        const uint64_t step = (frame % analog_period_) * kAnalogSteps / analog_period_;
        for (int n : layout_.analog) {
            put32(out, analog_table_[n * kAnalogSteps + step]);
            out += 4;
        }
    }
}

void FrameSource::generate(uint8_t *dst, uint64_t pos, size_t n) const
{
    const uint64_t fb = frame_bytes();
    if (fb == 0 || n == 0)
        return;
    uint64_t frame = pos / fb;
    size_t off = size_t(pos % fb);
    uint8_t tmp[262 * 4];
    while (n > 0) {
        if (off == 0 && n >= fb) {
            build_frame(frame, dst);
            dst += fb;
            n -= fb;
        } else {
            build_frame(frame, tmp);
            const size_t k = std::min<size_t>(n, fb - off);
            std::memcpy(dst, tmp + off, k);
            dst += k;
            n -= k;
            off = 0;
        }
        ++frame;
    }
}

} // namespace emu
