#include "tap/reader.h"

#include "tap/segment.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace tap {

using namespace segment;

namespace {

// A segment file of this user opened for reading, its fixed header checked.
int open_segment(const std::string &path, Header &h, std::string &error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st{};
    std::string why;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        why = "not a file";
    else if (st.st_uid != ::getuid())
        why = "it belongs to another user";
    else if (uint64_t(st.st_size) < kHeaderBytes)
        why = "truncated: " + std::to_string(st.st_size) + " bytes, not even a header";
    else if (::pread(fd, &h, sizeof h, 0) != ssize_t(sizeof h))
        why = std::string("cannot read its header: ") + std::strerror(errno);
    else
        check_header(h, uint64_t(st.st_size), why);
    if (why.empty() && abandoned(fd))
        why = "left over from a recording process that has ended";
    if (!why.empty()) {
        error = "the tap " + path + " cannot be read: " + why;
        ::close(fd);
        return -1;
    }
    return fd;
}

const Header &hdr(const void *map)
{
    return *static_cast<const Header *>(map);
}

std::string names(const std::vector<Recorder> &rs)
{
    std::string s;
    for (const Recorder &r : rs)
        s += (s.empty() ? "" : ", ") + r.port + (r.serial.empty() ? "" : " (serial " + r.serial + ")");
    return s;
}

void wait_on(const std::atomic<uint32_t> &word, uint32_t seen, int64_t ns)
{
    timespec t{time_t(ns / 1000000000), long(ns % 1000000000)};
    ::syscall(SYS_futex, reinterpret_cast<const uint32_t *>(&word), FUTEX_WAIT, seen, &t, nullptr, 0);
}

} // namespace

std::vector<Recorder> list()
{
    std::vector<Recorder> out;
    std::string error;
    const std::string dir = directory(error, false);
    DIR *d = dir.empty() ? nullptr : ::opendir(dir.c_str());
    if (!d)
        return out;
    while (dirent *e = ::readdir(d)) {
        Recorder r;
        if (!port_of(e->d_name, r.port))
            continue;
        r.path = dir + "/" + e->d_name;
        const int fd = ::open(r.path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat st{};
        Header h;
        // A segment whose header is garbled is listed by its file name: opening it says what is wrong.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid() && !abandoned(fd)) {
            std::string why;
            if (::pread(fd, &h, sizeof h, 0) == ssize_t(sizeof h) && check_header(h, uint64_t(st.st_size), why)) {
                r.serial = h.serial;
                r.pid = long(h.pid);
            }
            out.push_back(r);
        }
        ::close(fd);
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(), [](const Recorder &a, const Recorder &b) { return a.port < b.port; });
    return out;
}

std::unique_ptr<Reader> Reader::open(const std::string &device, std::string &error)
{
    std::unique_ptr<Reader> r(new Reader);
    if (device.find('/') != std::string::npos) {
        r->recorder_.path = device;
    } else {
        const std::vector<Recorder> rs = list();
        std::vector<Recorder> pris;
        for (const Recorder &x : rs)
            if (device.empty() || x.port == device || x.serial == device)
                pris.push_back(x);
        if (pris.size() != 1) {
            std::string dir_error;
            const std::string dir = directory(dir_error, false);
            if (rs.empty())
                error = "no recorder is recording: no tap in " + (dir.empty() ? dir_error : dir);
            else if (pris.empty())
                error = "no tap of a recorder at port or of serial \"" + device + "\"; recording: " + names(rs);
            else
                error = std::to_string(pris.size()) + " recorders are recording, choose one: " + names(pris);
            return nullptr;
        }
        r->recorder_ = pris[0];
    }
    Header h;
    r->fd_ = open_segment(r->recorder_.path, h, error);
    if (r->fd_ < 0)
        return nullptr;
    r->recorder_.port = h.port;
    r->recorder_.serial = h.serial;
    r->recorder_.pid = long(h.pid);
    r->slot_count_ = h.slot_count;
    r->slots_offset_ = h.slots_offset;
    r->data_offset_ = h.data_offset;
    r->data_bytes_ = h.data_bytes;
    r->map_bytes_ = size_t(h.data_offset);
    void *m = ::mmap(nullptr, r->map_bytes_, PROT_READ, MAP_SHARED, r->fd_, 0);
    if (m == MAP_FAILED) {
        error = "cannot map the tap " + r->recorder_.path + ": " + std::strerror(errno);
        return nullptr;
    }
    r->map_ = m;
    // A reader that comes mid-run takes the blocks from now on.
    const uint64_t run = hdr(r->map_).run.load(std::memory_order_acquire);
    r->next_ = hdr(r->map_).published.load(std::memory_order_acquire);
    r->generation_ = run >> 2;
    r->run_over_ = (run & 3) != Running;
    if (r->generation_ && r->read_run(r->generation_, r->layout_) != Read::Whole) {
        error = "the tap " + r->recorder_.path + " cannot be read: garbled: its run's frame layout is not one of a recorder";
        return nullptr;
    }
    return r;
}

Reader::~Reader()
{
    if (map_)
        ::munmap(map_, map_bytes_);
    if (fd_ >= 0)
        ::close(fd_);
}

Reader::Read Reader::read_run(uint64_t generation, FrameLayout &layout)
{
    const RunRecord &r = hdr(map_).runs[generation % kRuns];
    for (int essai = 0; essai < 100000; ++essai) {
        const uint64_t l1 = r.lock.load(std::memory_order_acquire);
        if (l1 & 1) {
            std::this_thread::yield();
            continue;
        }
        const uint64_t g = r.generation.load(std::memory_order_acquire);
        const uint32_t words = r.words.load(std::memory_order_acquire);
        layout = load_layout(r);
        if (r.lock.load(std::memory_order_relaxed) != l1)
            continue;
        if (g != generation)
            return g > generation ? Read::Lost : Read::Garbled;
        // (A run of no word: its publisher did not know its layout; its blocks are still returned.)
        const bool sound = words == uint32_t(layout.words()) && std::isfinite(layout.frequency) && layout.frequency >= 0;
        return sound ? Read::Whole : Read::Garbled;
    }
    return Read::Garbled; // a lock that stays odd: not a publisher of ours
}

Reader::Read Reader::read_slot(uint64_t index, Block *out, uint64_t &generation)
{
    const Slot &s = reinterpret_cast<const Slot *>(static_cast<const unsigned char *>(map_) + slots_offset_)[index % slot_count_];
    const uint64_t l1 = s.lock.load(std::memory_order_acquire);
    if (l1 & 1)
        return Read::Lost; // rewritten for a later block
    constexpr auto acq = std::memory_order_acquire;
    const uint64_t at = s.index.load(acq);
    generation = s.generation.load(acq);
    BlockPlace p;
    p.sequence = s.sequence.load(acq);
    p.byte_offset = s.byte_offset.load(acq);
    p.completed_ns = s.completed_ns.load(acq);
    p.bytes = s.bytes.load(acq);
    const uint64_t pos = s.position.load(acq);
    if (s.lock.load(std::memory_order_relaxed) != l1 || at > index)
        return Read::Lost;
    if (at < index || p.bytes > kMaxBlock || pos % data_bytes_ + p.bytes > data_bytes_)
        return Read::Garbled;
    if (hdr(map_).reserved.load(std::memory_order_acquire) > pos + data_bytes_)
        return Read::Lost;
    if (!out)
        return Read::Whole;
    out->data.resize(p.bytes);
    if (p.bytes && ::pread(fd_, out->data.data(), p.bytes, off_t(data_offset_ + pos % data_bytes_)) != ssize_t(p.bytes))
        return Read::Garbled;
    // The copy's loads (the kernel's) before the check (ThreadSanitizer does not model the
    // fence, and sees neither the copy).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
    std::atomic_thread_fence(std::memory_order_acquire);
#pragma GCC diagnostic pop
    if (hdr(map_).reserved.load(std::memory_order_relaxed) > pos + data_bytes_)
        return Read::Lost; // overwritten while it was copied
    out->place = p;
    return Read::Whole;
}

uint64_t Reader::oldest_whole(uint64_t from)
{
    const uint64_t published = hdr(map_).published.load(std::memory_order_acquire);
    uint64_t j = std::max(from, published > slot_count_ ? published - slot_count_ : 0);
    for (; j < published; ++j) {
        uint64_t g;
        if (read_slot(j, nullptr, g) != Read::Lost)
            break;
    }
    return j;
}

Reader::Next Reader::fail(const std::string &why)
{
    broken_ = true;
    error_ = "the tap " + recorder_.path + " cannot be read: garbled: " + why;
    return Next::Error;
}

Reader::Next Reader::next(Block &out, uint64_t &missed, int timeout_ms)
{
    const auto report = [&](Next n) {
        missed = missed_;
        missed_ = 0;
        return n;
    };
    missed = 0;
    if (broken_ || closed_)
        return report(Next::Error);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
    for (;;) {
        const uint32_t seen = hdr(map_).wake.load(std::memory_order_acquire);
        // The run before the count: a run seen ended has all its blocks counted.
        const uint64_t run = hdr(map_).run.load(std::memory_order_acquire);
        const uint64_t g = run >> 2;
        const uint32_t state = uint32_t(run & 3);
        const uint64_t published = hdr(map_).published.load(std::memory_order_acquire);
        if (published < next_ || g < generation_)
            return report(fail("its counts went back"));
        uint64_t bg = g;
        if (next_ < published) {
            switch (read_slot(next_, &out, bg)) {
            case Read::Garbled:
                return report(fail("block " + std::to_string(next_) + " does not lie in the segment"));
            case Read::Lost: {
                const uint64_t j = oldest_whole(next_ + 1);
                missed_ += j - next_;
                next_ = j;
                continue;
            }
            default:
                break;
            }
            if (bg == generation_) {
                ++next_;
                return report(Next::Block);
            }
            if (bg < generation_ || bg > g)
                return report(fail("block " + std::to_string(next_) + " is of no run"));
        }
        // The next block is of a later run, or a run began that has none yet.
        if (bg != generation_ && (next_ < published || state == Running || state == Ended)) {
            if (!run_over_) {
                run_over_ = true;
                return report(Next::Ended);
            }
            FrameLayout l;
            switch (read_run(bg, l)) {
            case Read::Garbled:
                return report(fail("the frame layout of run " + std::to_string(bg) + " is not one of a recorder"));
            case Read::Lost: // a reader that slept through many runs: their blocks are lost to it
                if (next_ < published) {
                    ++missed_;
                    ++next_;
                }
                continue;
            default:
                break;
            }
            layout_ = l;
            generation_ = bg;
            run_over_ = false;
            return report(Next::NewRun);
        }
        const bool gone = state == Closed || abandoned(fd_);
        if (!run_over_ && (state == Ended || gone)) {
            run_over_ = true;
            return report(Next::Ended);
        }
        if (gone) {
            closed_ = true;
            error_ = "the recording process of " + recorder_.port + " has ended";
            return report(Next::Error);
        }
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::nanoseconds(0))
            return report(Next::Timeout);
        // Woken by the publisher; every 100 ms at most to see whether its process still lives.
        wait_on(hdr(map_).wake, seen, std::min<int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(left).count(), 100000000));
    }
}

} // namespace tap
