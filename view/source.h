#pragma once
// Where the viewer's frames come from: a recorded run or the live tap of a recorder. Both hand
// out whole frames with their index in the run, so the same pipeline draws either.
#include <cstdint>
#include <string>
#include <vector>

#include "recording/frame_layout.h"

namespace view {

struct Chunk {
    uint64_t first_frame = 0;    // index in the run of the first frame
    size_t count = 0;            // whole frames in `frames`
    std::vector<uint8_t> frames;
    int64_t completed_ns = 0;    // CLOCK_MONOTONIC time the data arrived (0: read from a file)
};

class BlockSource {
public:
    enum class Next { Chunk, Timeout, NewRun, Ended, Error };
    virtual ~BlockSource() = default;
    virtual const FrameLayout &layout() const = 0;
    virtual std::string name() const = 0;
    // The next frames within timeout_ms; `missed` gets the frames lost just before them (the
    // tap overtook the reader): they never follow the last ones then.
    virtual Next next(Chunk &out, uint64_t &missed, int timeout_ms) = 0;
    virtual std::string error() const { return {}; }

    // A recorded run's frames can be scrubbed and played; a live source has none of that.
    virtual uint64_t total_frames() const { return 0; }
    // Go to `frame`: the `lead` frames before it are handed out at once (to fill the map's
    // window), then the frames come at the run's pace while playing.
    virtual void seek(uint64_t /*frame*/, uint64_t /*lead*/) {}
    virtual void set_playing(bool /*playing*/) {}
    virtual uint64_t position() const { return 0; }
};

}
