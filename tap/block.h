#pragma once
// Where a block of the stream lies in its run. The engine gives one with every block it
// receives (the live levels, the tap); a reader of the tap gets it back with the block.
// Nothing computes a position from a transfer's number: transfers have different sizes (the
// first one of a triggered run is short), and frames straddle them.
#include <cstdint>
#include <ctime>

namespace tap {

// The clock of `completed_ns`, the same in every process of the machine.
inline int64_t monotonic_ns()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct BlockPlace {
    uint64_t sequence = 0;    // 0, 1, 2, ... in the run, one per block received
    uint64_t byte_offset = 0; // of the block's first byte in the run's stream
    uint32_t bytes = 0;       // length of the block
    int64_t completed_ns = 0; // CLOCK_MONOTONIC time the transfer completed (comparable across processes)

    // Index of the first frame that starts in the block, and where it starts in it.
    uint64_t first_frame(uint32_t frame_bytes) const
    {
        return frame_bytes ? (byte_offset + frame_bytes - 1) / frame_bytes : 0;
    }
    uint32_t first_frame_at(uint32_t frame_bytes) const
    {
        return frame_bytes ? uint32_t(first_frame(frame_bytes) * frame_bytes - byte_offset) : 0;
    }
    // Whole frames in the block from first_frame_at on.
    uint64_t whole_frames(uint32_t frame_bytes) const
    {
        const uint32_t at = first_frame_at(frame_bytes);
        return frame_bytes && bytes > at ? (bytes - at) / frame_bytes : 0;
    }
};

} // namespace tap
