#include "view/run_source.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace view {

RunSource::RunSource(const std::string &path) : run_(reading::open_run(path)), layout_(run_.frame_layout())
{
    fd_ = reading::open_regular(run_.paths.dat);
    if (fd_ < 0)
        throw reading::ReadError(run_.paths.dat, "", reading::not_readable(errno));
    since_ = Clock::now();
}

RunSource::~RunSource()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void RunSource::seek(uint64_t frame, uint64_t lead)
{
    std::lock_guard lock(mutex_);
    frame = std::min(frame, run_.frames());
    at_ = frame - std::min(lead, frame);
    goal_ = from_ = frame;
    since_ = Clock::now();
}

void RunSource::set_playing(bool playing)
{
    std::lock_guard lock(mutex_);
    if (playing && !playing_) {
        from_ = std::max<uint64_t>(at_, goal_);
        since_ = Clock::now();
    }
    playing_ = playing;
}

BlockSource::Next RunSource::next(Chunk &out, uint64_t &missed, int timeout_ms)
{
    missed = 0;
    const double fs = layout_.frequency;
    const uint64_t total = run_.frames(), step = std::max<uint64_t>(1, uint64_t(fs / 50)); // 20 ms
    uint64_t first = 0, n = 0;
    {
        std::lock_guard lock(mutex_);
        if (at_ >= total)
            return Next::Ended;
        uint64_t goal = goal_;
        if (playing_) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - since_).count();
            goal = std::max(goal, std::min(total, from_ + uint64_t(elapsed * fs)));
        }
        if (at_ < goal) {
            first = at_;
            n = std::min<uint64_t>(goal - at_, 8 * step);
            at_ = first + n;
        }
    }
    if (n == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout_ms, 10)));
        return Next::Timeout;
    }
    const size_t frame_bytes = size_t(run_.frame_bytes());
    out.frames.resize(size_t(n) * frame_bytes);
    size_t done = 0;
    while (done < out.frames.size()) {
        const ssize_t r = ::pread(fd_, out.frames.data() + done, out.frames.size() - done, off_t(first * frame_bytes + done));
        if (r <= 0) {
            if (r < 0 && errno == EINTR)
                continue;
            error_ = run_.paths.dat + ": " + (r < 0 ? std::strerror(errno) : "shorter than it was");
            return Next::Error;
        }
        done += size_t(r);
    }
    out.first_frame = first;
    out.count = size_t(n);
    out.completed_ns = 0;
    return Next::Chunk;
}

}
