#pragma once
// A recorded run opened for reading: its description (header, log, or both), the layout of its
// frames, and its data file read in blocks, never whole.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "reading/header.h"
#include "reading/log.h"
#include "recording/frame_layout.h"

namespace reading {

enum class Kind { Counter, Microphone, Status, Analog };

struct Channel {
    Kind kind;
    int number = 0;     // microphone channel 8b + m, or analogue channel n; 0 for counter/status
    int word = 0;       // index of the word in the frame
    std::string name;   // "counter", "mic_<b>_<m>", "status", "va_<n>"
};

// A frame: the counter (when recorded), the microphones in channel order, the status word
// (when recorded), the analogue channels in order.
struct Layout {
    std::vector<Channel> channels;
    int words() const { return int(channels.size()); }
    bool counter() const { return !channels.empty() && channels.front().kind == Kind::Counter; }
    std::vector<int> of(Kind k) const; // indexes (= words) of the channels of one kind
};
// The frame layout with the names of its words.
Layout layout_of(const FrameLayout &f);
Layout layout_of(const type_header_file &h, bool status);

// One break of the counter: frame `frame` carries `after` where `before` + 1 was due.
struct Gap {
    uint64_t frame = 0;
    uint32_t before = 0, after = 0;
    int64_t missing() const; // frames missing; negative when the counter goes back
};

// Follows the counter (word 0) over consecutive blocks of frames.
class CounterTrack {
public:
    void feed(const uint8_t *frames, size_t n, size_t frame_bytes, uint64_t first_frame);
    const std::vector<Gap> &gaps() const { return gaps_; } // the first kMaxKept
    uint64_t gap_count() const { return count_; }
    static constexpr size_t kMaxKept = 10000;

private:
    bool started_ = false;
    uint32_t last_ = 0;
    uint64_t next_frame_ = 0;
    std::vector<Gap> gaps_;
    uint64_t count_ = 0;
};

struct Run {
    RunPaths paths;
    // The header and the log as found: parsed, or why not ("missing", "empty", the error).
    std::optional<type_header_file> header;
    std::string header_problem;
    std::optional<LogRecord> log;
    std::string log_problem;

    type_header_file rec;      // the description in force: the header, else the log's
    bool rec_from_log = false;
    bool status = false;       // the frame holds the status word
    std::string status_note;   // how the status word was decided without the log
    Layout layout;
    uint64_t dat_bytes = 0;

    int nb_voies() const { return layout.words(); }
    uint64_t frame_bytes() const { return uint64_t(layout.words()) * 4; }
    uint64_t frames() const { return dat_bytes / frame_bytes(); } // whole frames in the .dat
    uint64_t trailing_bytes() const { return dat_bytes % frame_bytes(); }
    bool floats() const { return rec.type_float != 0; }
    FrameLayout frame_layout() const { return FrameLayout::from_header(rec, status); }
};

// Opens a run from any of its three names. Throws ReadError when the data file cannot be
// read, or when neither the header nor the log describes the run.
Run open_run(const std::string &any_name);

// Reads the whole frames [first, first + count) of the data file in blocks of about
// `block_bytes`, calling `fn(frames, n, index of the first)` for each; the data is read
// sequentially, never held whole. `fn` returns false to stop.
using BlockFn = std::function<bool(const uint8_t *frames, size_t n, uint64_t first)>;
void read_frames(const Run &run, uint64_t first, uint64_t count, BlockFn fn, size_t block_bytes = 8u << 20);
// The same into buffers `buffer()` hands out (block_bytes each; nullptr stops), so that `fn` may
// pass each block to another thread and the next one is read meanwhile, without a copy.
using BufferFn = std::function<uint8_t *()>;
void read_frames(const Run &run, uint64_t first, uint64_t count, BlockFn fn, size_t block_bytes, BufferFn buffer);

// Whole contents of a small file (header, log); nullopt when it does not exist. Anything but
// a regular file (a folder, a FIFO, a device) is refused at once, never waited on.
std::optional<std::string> read_small_file(const std::string &path, size_t limit = 1u << 20);

// A regular file opened for reading (O_NONBLOCK, so a FIFO never blocks); -1 and errno
// otherwise: ENODEV for what is not a regular file, EISDIR for a folder.
int open_regular(const std::string &path);
// The reason for that errno, as the readers say it.
std::string not_readable(int err);

} // namespace reading
