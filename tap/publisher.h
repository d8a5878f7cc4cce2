#pragma once
// The publishing side of the live tap: the recording process makes one segment per recorder
// and copies every block it receives into it. It never waits for a reader and reads nothing
// a reader writes; once made, it neither allocates nor blocks.
#include "recording/frame_layout.h"
#include "tap/block.h"

#include <cstdint>
#include <memory>
#include <string>

namespace tap {

namespace segment {
struct Header;
struct Slot;
} // namespace segment

class Publisher {
public:
    // The tap of the recorder at `port`: the segment is made (stale ones of ended processes
    // cleaned first) and stays until the publisher is destroyed. nullptr and why when it
    // cannot be made (another live process publishes that port, no shared memory left...).
    static std::unique_ptr<Publisher> create(const std::string &port, const std::string &serial, std::string &error);
    ~Publisher();
    Publisher(const Publisher &) = delete;
    Publisher &operator=(const Publisher &) = delete;

    // begin_run, publish and end_run may be called from different threads, one at a time.
    void begin_run(const FrameLayout &layout);
    // On the data path: copies the block and its place. Blocks larger than 16 MiB are not
    // published (counted in the segment's `unpublished`).
    void publish(const unsigned char *data, const BlockPlace &place);
    void end_run();

    const std::string &path() const { return path_; }

private:
    Publisher() = default;
    void wake();
    void set_state(uint32_t state);

    std::string path_;
    int fd_ = -1;
    void *map_ = nullptr;
    size_t map_bytes_ = 0;
    segment::Header *h_ = nullptr;
    segment::Slot *slots_ = nullptr;
    unsigned char *data_ = nullptr;
    uint64_t position_ = 0; // ring position of the next block's data
};

} // namespace tap
