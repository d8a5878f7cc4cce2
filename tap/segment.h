#pragma once
// The tap's shared segment: one file on a memory file system per recorder that a recording
// process publishes, mapped by any number of readers of the same user. The publisher writes,
// readers only read: nothing a reader does reaches the publisher.
//
// Layout (all little-endian; offsets in bytes):
//   [0, 4096)                  Header
//   [slots_offset, +count*64)  Slot ring: block i in slot i % slot_count
//   [data_offset, +data_bytes) Data ring: a block's bytes lie whole at data_offset + position % data_bytes
//
// Each slot is a seqlock: `lock` is odd while the publisher rewrites it and grows by 2 with
// each block it holds. A block is whole when the slot's lock read before and after its fields
// is the same even value, and `reserved` read after its bytes were copied is at most
// position + data_bytes (the publisher sets `reserved` to the end of the data it is about to
// overwrite before it writes them).
#include "recording/frame_layout.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tap::segment {

inline constexpr char kMagic[8] = {'V', 'Z', '2', '5', '6', 'T', 'A', 'P'};
inline constexpr uint32_t kVersion = 1;
inline constexpr uint32_t kHeaderBytes = 4096;
inline constexpr uint32_t kSlotBytes = 64;
inline constexpr uint32_t kSlots = 1024;
// 128 MiB: 2.4 s at the recorder's peak of 52.4 MB/s besides the block being written.
inline constexpr uint64_t kDataBytes = uint64_t(128) << 20;
// A block is published whole or not at all; larger ones are counted in `unpublished`.
inline constexpr uint32_t kMaxBlock = 16u << 20;
inline constexpr uint64_t kAlign = 64; // each block's data starts on a cache line

// What the recording process is doing with its run.
enum State : uint32_t { Idle = 0, Running = 1, Ended = 2, Closed = 3 };

// The runs' layouts stay for the last kRuns runs, so a reader that slept through a change of
// run still reads the blocks of the one before.
inline constexpr uint32_t kRuns = 8;
struct RunRecord {
    std::atomic<uint64_t> lock;       // 0  seqlock, as the slots'
    std::atomic<uint64_t> generation; // 8  1 for the first run, 2 for the next...
    std::atomic<uint64_t> first;      // 16 index of its first block
    std::atomic<uint32_t> words;      // 24 32-bit words a frame
    std::atomic<uint32_t> floats;     // 28 1: samples are float32, 0: int32
    std::atomic<double> frequency;    // 32 frames a second
    std::atomic<uint8_t> beams[32];   // 40 microphone m of beam b recorded: bit m of beams[b]
    std::atomic<uint8_t> aux;         // 72 0x80 counter, 0x40 status, bit n analogue channel n
    std::atomic<uint8_t> reserved0[7];
};

struct Header {
    // Fixed when the segment is made.
    char magic[8];          // 0   "VZ256TAP"
    uint32_t version;       // 8
    uint32_t header_bytes;  // 12  4096
    uint64_t segment_bytes; // 16  the file's size
    uint32_t slot_count;    // 24
    uint32_t slot_bytes;    // 28  64
    uint64_t slots_offset;  // 32
    uint64_t data_offset;   // 40
    uint64_t data_bytes;    // 48
    int64_t pid;            // 56  the publishing process
    char port[64];          // 64  NUL-terminated
    char serial[64];        // 128 NUL-terminated
    // Changed by the publisher.
    std::atomic<uint32_t> wake;           // 192 grows with every block and change of run (a futex word)
    std::atomic<uint32_t> reserved1;      // 196
    std::atomic<uint64_t> published;      // 200 blocks published since the segment was made: the next block's index
    std::atomic<uint64_t> reserved;       // 208 end, in ring positions, of the data being or last written
    std::atomic<uint64_t> unpublished;    // 216 blocks too large to publish
    std::atomic<uint64_t> run;            // 224 the current run's generation x 4 + its State
    std::atomic<uint64_t> reserved2[3];   // 232
    RunRecord runs[kRuns];                // 256 run g in runs[g % kRuns]
};

struct Slot {
    std::atomic<uint64_t> lock;         // 0
    std::atomic<uint64_t> index;        // 8  since the segment was made
    std::atomic<uint64_t> generation;   // 16 its run
    std::atomic<uint64_t> sequence;     // 24 in its run
    std::atomic<uint64_t> byte_offset;  // 32 of its first byte in the run's stream
    std::atomic<int64_t> completed_ns;  // 40 CLOCK_MONOTONIC
    std::atomic<uint64_t> position;     // 48 ring position of its data
    std::atomic<uint32_t> bytes;        // 56
    std::atomic<uint32_t> reserved0;    // 60
};

static_assert(sizeof(Slot) == kSlotBytes && sizeof(RunRecord) == 80);
static_assert(sizeof(Header) <= kHeaderBytes);
static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<double>::is_always_lock_free);

// The folder of the taps of this user: $VIZ256_TAP_DIR when set (the tests' own), else
// $XDG_RUNTIME_DIR/viz256-tap when XDG_RUNTIME_DIR is on a memory file system, else
// /dev/shm/viz256-tap-UID (made 0700 when missing; refused when another user owns it or others
// may write in it).
std::string directory(std::string &error, bool make);
// A port in a file name and back (characters other than letters, digits, '.', '-', '_' as %XX).
std::string file_name(const std::string &port);
bool port_of(const std::string &name, std::string &port);

// The layout's fields as stored (the activation masks), and back; its words as stored.
void store_layout(RunRecord &r, const FrameLayout &l);
FrameLayout load_layout(const RunRecord &r);

// Whether the fixed part of a header describes a segment of `file_bytes` this program can
// read; why not otherwise.
bool check_header(const Header &h, uint64_t file_bytes, std::string &why);

// Whether no process holds the file's lock any more (the publisher holds it as long as it lives).
bool abandoned(int fd);

} // namespace tap::segment
