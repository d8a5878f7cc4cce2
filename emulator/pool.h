// The benchmark's producer: the stream's frames from a pool generated once per stream, so that
// handing a transfer its data costs one copy at memory speed and a store per frame for its
// counter, instead of building every frame. The microphones' built-in signals repeat every
// FrameSource::kPeriod frames and the pool holds whole periods, so they are exact; the counter
// is set frame by frame (lost frames and jumps included). Left out: scenes (no pool is made),
// the analogue channels' slow sine (it repeats with the pool instead), and the microphones'
// samples after frames lost by a paced recorder (still the pool's). Benchmarks only: every test
// uses the strict producer.
#pragma once

#include "emulator/frames.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace emu {

class StreamPool {
public:
    // The pool of `source`'s stream: whole periods of its signals, about `span` bytes, twice
    // (so that `span` bytes from any offset are one copy). Empty when the source has a scene.
    void build(const FrameSource &source, uint64_t span);
    bool empty() const { return bytes_.empty(); }
    // Writes bytes [pos, pos + n) of the stream to dst.
    void copy(const FrameSource &source, uint8_t *dst, uint64_t pos, size_t n) const;

private:
    std::vector<uint8_t> bytes_;
    uint64_t period_ = 0;   // bytes after which the pool's frames repeat
    bool counter_ = false;
};

} // namespace emu
