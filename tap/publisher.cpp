#include "tap/publisher.h"

#include "tap/segment.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <new>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tap {

using namespace segment;

namespace {

// Publishers of this user make and clean their segments one at a time (the folder's lock),
// so a cleaner never removes a segment another publisher has just put in place.
class FolderLock {
public:
    explicit FolderLock(const std::string &dir)
    {
        fd_ = ::open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ >= 0)
            ::flock(fd_, LOCK_EX);
    }
    ~FolderLock()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Segments whose process has ended (killed, say) and segments half made by one: removed.
void clean(const std::string &dir)
{
    DIR *d = ::opendir(dir.c_str());
    if (!d)
        return;
    while (dirent *e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n.compare(0, 4, "tap-") != 0 && n.compare(0, 5, ".new-") != 0)
            continue;
        const std::string p = dir + "/" + n;
        const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(p.c_str());
        ::close(fd);
    }
    ::closedir(d);
}

// Whether no live process publishes at `path` (a leftover is removed). A reader checking
// whether the segment is alive holds its lock for an instant: tried a few times.
bool gone(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT;
    bool libre = false;
    for (int essai = 0; essai < 20 && !libre; ++essai) {
        libre = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (!libre)
            ::usleep(5000);
    }
    if (libre)
        ::unlink(path.c_str());
    ::close(fd);
    return libre;
}

void copy_text(char (&to)[64], const std::string &from)
{
    std::memset(to, 0, sizeof to);
    std::memcpy(to, from.data(), std::min(from.size(), sizeof to - 1));
}

} // namespace

std::unique_ptr<Publisher> Publisher::create(const std::string &port, const std::string &serial, std::string &error)
{
    const std::string dir = directory(error, true);
    if (dir.empty())
        return nullptr;
    FolderLock verrou(dir);
    if (!verrou.held()) {
        error = "cannot lock " + dir + "/.lock: " + std::strerror(errno);
        return nullptr;
    }
    clean(dir);
    const std::string path = dir + "/" + file_name(port);
    if (!gone(path)) {
        error = "another process publishes the tap of recorder " + port + " (" + path + ")";
        return nullptr;
    }
    const std::string neuf = dir + "/.new-" + std::to_string(::getpid());
    std::unique_ptr<Publisher> p(new Publisher);
    p->fd_ = ::open(neuf.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (p->fd_ < 0) {
        error = "cannot make " + neuf + ": " + std::strerror(errno);
        return nullptr;
    }
    const uint64_t slots_offset = kHeaderBytes, data_offset = slots_offset + uint64_t(kSlots) * kSlotBytes;
    p->map_bytes_ = size_t(data_offset + kDataBytes);
    // The memory is taken now: a full memory file system refuses here instead of killing the
    // recording process (SIGBUS) at its first write into a page it could not get.
    int e = ::fchmod(p->fd_, 0600) == 0 && ::flock(p->fd_, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    if (e == 0)
        e = ::posix_fallocate(p->fd_, 0, off_t(p->map_bytes_));
    if (e == 0) {
        // Not populated: that would double the time taken here (about 70 ms for the memory,
        // another 60 for the page tables) to save the data path a minor fault a page once.
        p->map_ = ::mmap(nullptr, p->map_bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, p->fd_, 0);
        if (p->map_ == MAP_FAILED) {
            e = errno;
            p->map_ = nullptr;
        }
    }
    if (e != 0) {
        error = "cannot make the tap's " + std::to_string(p->map_bytes_ >> 20) + " MiB of shared memory in " + dir + ": " +
                std::strerror(e);
        ::unlink(neuf.c_str());
        return nullptr;
    }
    auto *base = static_cast<unsigned char *>(p->map_);
    p->h_ = new (base) Header{};
    Header &h = *p->h_;
    h.version = kVersion;
    h.header_bytes = kHeaderBytes;
    h.segment_bytes = p->map_bytes_;
    h.slot_count = kSlots;
    h.slot_bytes = kSlotBytes;
    h.slots_offset = slots_offset;
    h.data_offset = data_offset;
    h.data_bytes = kDataBytes;
    h.pid = ::getpid();
    copy_text(h.port, port);
    copy_text(h.serial, serial);
    p->slots_ = new (base + slots_offset) Slot[kSlots]{};
    p->data_ = base + data_offset;
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    // Readers see the segment only once it is whole.
    if (::rename(neuf.c_str(), path.c_str()) != 0) {
        error = "cannot put the tap in place at " + path + ": " + std::strerror(errno);
        ::unlink(neuf.c_str());
        return nullptr;
    }
    p->path_ = path;
    return p;
}

Publisher::~Publisher()
{
    if (h_)
        set_state(Closed);
    if (!path_.empty())
        ::unlink(path_.c_str());
    if (map_)
        ::munmap(map_, map_bytes_);
    if (fd_ >= 0)
        ::close(fd_);
}

void Publisher::wake()
{
    h_->wake.fetch_add(1, std::memory_order_release);
    ::syscall(SYS_futex, reinterpret_cast<uint32_t *>(&h_->wake), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

void Publisher::begin_run(const FrameLayout &layout)
{
    Header &h = *h_;
    const uint64_t g = (h.run.load(std::memory_order_relaxed) >> 2) + 1;
    RunRecord &r = h.runs[g % kRuns];
    const uint64_t l = r.lock.load(std::memory_order_relaxed);
    r.lock.store(l + 1, std::memory_order_relaxed);
    r.generation.store(g, std::memory_order_release);
    r.first.store(h.published.load(std::memory_order_relaxed), std::memory_order_release);
    store_layout(r, layout);
    r.lock.store(l + 2, std::memory_order_release);
    h.run.store(g * 4 + Running, std::memory_order_release);
    wake();
}

void Publisher::end_run()
{
    set_state(Ended);
}

void Publisher::set_state(uint32_t state)
{
    Header &h = *h_;
    h.run.store((h.run.load(std::memory_order_relaxed) & ~uint64_t(3)) | state, std::memory_order_release);
    wake();
}

void Publisher::publish(const unsigned char *data, const BlockPlace &place)
{
    Header &h = *h_;
    if (place.bytes > kMaxBlock) {
        h.unpublished.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // A block's data lie whole in the ring: one that would cross its end starts at its start.
    uint64_t pos = position_;
    if (pos % kDataBytes + place.bytes > kDataBytes)
        pos += kDataBytes - pos % kDataBytes;
    // Readers of the blocks whose data are about to be overwritten learn it from `reserved`.
    // (An exchange: the copy below cannot move before it.)
    h.reserved.exchange(pos + place.bytes, std::memory_order_acq_rel);
    std::memcpy(data_ + pos % kDataBytes, data, place.bytes);
    const uint64_t index = h.published.load(std::memory_order_relaxed);
    Slot &s = slots_[index % kSlots];
    const uint64_t l = s.lock.load(std::memory_order_relaxed);
    // The seqlock without fences: each field stored with release after the odd lock, so a
    // reader that loads (acquire) a new field then sees the lock changed.
    s.lock.store(l + 1, std::memory_order_relaxed);
    constexpr auto rel = std::memory_order_release;
    s.index.store(index, rel);
    s.generation.store(h.run.load(std::memory_order_relaxed) >> 2, rel);
    s.sequence.store(place.sequence, rel);
    s.byte_offset.store(place.byte_offset, rel);
    s.completed_ns.store(place.completed_ns, rel);
    s.position.store(pos, rel);
    s.bytes.store(place.bytes, rel);
    s.lock.store(l + 2, std::memory_order_release);
    h.published.store(index + 1, std::memory_order_release);
    position_ = (pos + place.bytes + kAlign - 1) / kAlign * kAlign;
    wake();
}

} // namespace tap
