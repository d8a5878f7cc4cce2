#pragma once
// Reading the live tap of a recording process: find the recorders whose process publishes
// one, map a tap read-only, take its blocks one after the other with their places. A reader
// costs the recording nothing: when it falls behind it learns how many blocks it lost.
#include "recording/frame_layout.h"
#include "tap/block.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tap {

struct Recorder {
    std::string port, serial, path;
    long pid = 0;
};
// The taps of the recorders whose process is running (this user's), by port.
std::vector<Recorder> list();

struct Block {
    BlockPlace place;
    std::vector<unsigned char> data;
};

class Reader {
public:
    // `device`: the recorder's port or serial; empty: the only recorder running (when several,
    // the error lists them); a path (with a '/'): that segment file.
    static std::unique_ptr<Reader> open(const std::string &device, std::string &error);
    ~Reader();
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    const FrameLayout &layout() const { return layout_; } // of the current run
    uint64_t generation() const { return generation_; }   // changes with each run on that recorder
    const Recorder &recorder() const { return recorder_; }
    bool running() const { return !run_over_; } // the current run goes on (its end not yet returned)

    enum class Next { Block, Timeout, NewRun, Ended, Error };
    // Waits up to timeout_ms for the block after the last one returned; `missed` counts the
    // blocks lost (overwritten before they were read) since the previous call; a reader that
    // fell behind jumps to the oldest block still whole. NewRun: a run began (layout() and
    // generation() are now its own; its blocks follow). Ended: the run ended and every block
    // of it was returned or counted missed. Error: error() says why; closed() tells the
    // recording process has ended (a normal end for a reader), otherwise the segment is garbled.
    Next next(Block &out, uint64_t &missed, int timeout_ms);
    std::string error() const { return error_; }
    bool closed() const { return closed_; }

private:
    Reader() = default;
    enum class Read { Whole, Lost, Later, Garbled };
    Read read_slot(uint64_t index, Block *out, uint64_t &generation);
    Read read_run(uint64_t generation, FrameLayout &layout);
    uint64_t oldest_whole(uint64_t from);
    Next fail(const std::string &why);

    Recorder recorder_;
    int fd_ = -1;
    void *map_ = nullptr; // the header and the slots, read-only; the data are copied with pread
    size_t map_bytes_ = 0;
    uint64_t slots_offset_ = 0, data_offset_ = 0, data_bytes_ = 0;
    uint32_t slot_count_ = 0;

    FrameLayout layout_;
    uint64_t generation_ = 0;
    bool run_over_ = true; // the current run's end was reported (or it had ended before the reader came)
    uint64_t next_ = 0;    // index of the next block to return
    uint64_t missed_ = 0;  // lost since the previous call
    bool closed_ = false, broken_ = false;
    std::string error_;
};

} // namespace tap
