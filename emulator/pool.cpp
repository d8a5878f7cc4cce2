#include "emulator/pool.h"

#include <algorithm>
#include <cstring>

namespace emu {

void StreamPool::build(const FrameSource &source, uint64_t span)
{
    bytes_.clear();
    period_ = 0;
    const uint64_t fb = source.frame_bytes();
    if (source.has_scene() || fb == 0)
        return;
    const uint64_t cycle = uint64_t(FrameSource::kPeriod) * fb;
    period_ = std::max<uint64_t>(1, (span + cycle - 1) / cycle) * cycle;
    bytes_.resize(size_t(2 * period_));
    source.generate(bytes_.data(), 0, bytes_.size());
    counter_ = source.has_counter();
}

void StreamPool::copy(const FrameSource &source, uint8_t *dst, uint64_t pos, size_t n) const
{
    const uint64_t fb = source.frame_bytes();
    uint8_t *out = dst;
    for (uint64_t p = pos, left = n; left > 0;) {
        const uint64_t at = p % period_;
        const size_t k = size_t(std::min<uint64_t>(left, 2 * period_ - at));
        std::memcpy(out, bytes_.data() + at, k);
        out += k;
        p += k;
        left -= k;
    }
    if (!counter_)
        return;
    // The counter word of every frame that begins in the range, and of one cut at its start.
    for (uint64_t f = pos / fb; f * fb < pos + n; ++f) {
        const uint32_t v = source.counter_at(f);
        if (f * fb >= pos && f * fb + 4 <= pos + n) {
            std::memcpy(dst + (f * fb - pos), &v, 4);
            continue;
        }
        uint8_t w[4];
        std::memcpy(w, &v, 4);
        for (uint64_t b = std::max(f * fb, pos); b < std::min(f * fb + 4, pos + n); ++b)
            dst[b - pos] = w[b - f * fb];
    }
}

} // namespace emu
