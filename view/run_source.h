#pragma once
// A recorded run as a block source: the frames from a position on, at the pace they were
// recorded while playing (wall clock), in chunks of 20 ms.
#include <atomic>
#include <chrono>
#include <mutex>

#include "reading/run.h"
#include "view/source.h"

namespace view {

class RunSource : public BlockSource {
public:
    explicit RunSource(const std::string &path); // throws reading::ReadError
    ~RunSource() override;
    const FrameLayout &layout() const override { return layout_; }
    std::string name() const override { return run_.paths.dat; }
    Next next(Chunk &out, uint64_t &missed, int timeout_ms) override;
    uint64_t total_frames() const override { return run_.frames(); }
    void seek(uint64_t frame, uint64_t lead) override;
    void set_playing(bool playing) override;
    uint64_t position() const override { return at_; }
    const reading::Run &run() const { return run_; }
    std::string error() const override { return error_; }

private:
    using Clock = std::chrono::steady_clock;
    reading::Run run_;
    FrameLayout layout_;
    int fd_ = -1;
    std::mutex mutex_;
    std::atomic<uint64_t> at_{0}; // next frame handed out
    uint64_t goal_ = 0;           // handed out at once up to here
    bool playing_ = false;
    Clock::time_point since_;     // wall time of frame `from_`
    uint64_t from_ = 0;
    std::string error_;
};

}
