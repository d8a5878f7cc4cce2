#include "tap/segment.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace tap::segment {

// The offsets the README gives to readers of other languages.
static_assert(offsetof(Header, wake) == 192 && offsetof(Header, published) == 200 && offsetof(Header, reserved) == 208);
static_assert(offsetof(Header, run) == 224 && offsetof(Header, runs) == 256);
static_assert(offsetof(RunRecord, words) == 24 && offsetof(RunRecord, frequency) == 32 && offsetof(RunRecord, aux) == 72);
static_assert(offsetof(Slot, position) == 48 && offsetof(Slot, bytes) == 56);

namespace {

// A folder of ours only: a directory (not a link), owned by this user, that nobody else may
// write in. Made when missing.
bool own_folder(const std::string &path, bool make, std::string &error)
{
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT || !make) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot make " + path + ": " + std::strerror(errno);
            return false;
        }
        if (::lstat(path.c_str(), &st) != 0) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 022)) {
        error = path + " is not a private folder of this user: the tap will not use it";
        return false;
    }
    return true;
}

// A folder on a memory file system (tmpfs, ramfs). The recording's data path writes every block
// into the segment: in a file of a disk's file system, its first write into each page could
// wait for the disk (blocks allocated, dirty pages throttled while the disk is busy), and a
// wait longer than the ring's transfers loses frames.
bool in_memory(const char *path)
{
    struct statfs s{};
    return ::statfs(path, &s) == 0 && (s.f_type == TMPFS_MAGIC || s.f_type == RAMFS_MAGIC);
}

} // namespace

std::string directory(std::string &error, bool make)
{
    const char *own = std::getenv("VIZ256_TAP_DIR");
    const char *xdg = std::getenv("XDG_RUNTIME_DIR");
    std::string path;
    if (own && own[0] == '/')
        path = own;
    else if (xdg && xdg[0] == '/' && in_memory(xdg))
        path = std::string(xdg) + "/viz256-tap";
    else
        path = "/dev/shm/viz256-tap-" + std::to_string(::getuid());
    return own_folder(path, make, error) ? path : std::string();
}

std::string file_name(const std::string &port)
{
    std::string n = "tap-";
    for (unsigned char c : port) {
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
            n += char(c);
        } else {
            static const char hex[] = "0123456789ABCDEF";
            n += '%';
            n += hex[c >> 4];
            n += hex[c & 15];
        }
    }
    return n;
}

bool port_of(const std::string &name, std::string &port)
{
    if (name.size() <= 4 || name.compare(0, 4, "tap-") != 0)
        return false;
    port.clear();
    for (size_t i = 4; i < name.size(); ++i) {
        if (name[i] != '%') {
            port += name[i];
            continue;
        }
        if (i + 2 >= name.size() || !std::isxdigit((unsigned char)name[i + 1]) || !std::isxdigit((unsigned char)name[i + 2]))
            return false;
        port += char(std::stoi(name.substr(i + 1, 2), nullptr, 16));
        i += 2;
    }
    return true;
}

void store_layout(RunRecord &h, const FrameLayout &l)
{
    uint8_t beams[FrameLayout::kBeams], aux = 0;
    l.masks(beams, aux);
    for (int b = 0; b < FrameLayout::kBeams; ++b)
        h.beams[b].store(beams[b], std::memory_order_release);
    h.aux.store(aux, std::memory_order_release);
    h.words.store(uint32_t(l.words()), std::memory_order_release);
    h.floats.store(l.floats ? 1 : 0, std::memory_order_release);
    h.frequency.store(l.frequency, std::memory_order_release);
}

FrameLayout load_layout(const RunRecord &h)
{
    uint8_t beams[FrameLayout::kBeams];
    for (int b = 0; b < FrameLayout::kBeams; ++b)
        beams[b] = h.beams[b].load(std::memory_order_acquire);
    return FrameLayout::from_masks(beams, h.aux.load(std::memory_order_acquire), h.floats.load(std::memory_order_acquire) != 0,
                                   h.frequency.load(std::memory_order_acquire));
}

bool check_header(const Header &h, uint64_t file_bytes, std::string &why)
{
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0) {
        why = "not a viz256 tap (no VZ256TAP at its start)";
        return false;
    }
    if (h.version != kVersion) {
        why = "a tap of version " + std::to_string(h.version) + "; this program reads version " + std::to_string(kVersion);
        return false;
    }
    const uint64_t slots_end = h.slots_offset + uint64_t(h.slot_count) * h.slot_bytes;
    if (h.header_bytes != kHeaderBytes || h.slot_bytes != kSlotBytes || h.slot_count == 0 || h.slot_count > (1u << 20) ||
        h.slots_offset < h.header_bytes || h.slots_offset % 64 || h.data_offset < slots_end || h.data_offset % 64 ||
        h.data_bytes < 2 * uint64_t(kMaxBlock) || h.data_bytes > (uint64_t(1) << 40) ||
        h.segment_bytes != h.data_offset + h.data_bytes || std::memchr(h.port, 0, sizeof h.port) == nullptr ||
        std::memchr(h.serial, 0, sizeof h.serial) == nullptr) {
        why = "garbled: its header's sizes do not hold together";
        return false;
    }
    if (file_bytes != h.segment_bytes) {
        why = "truncated: " + std::to_string(file_bytes) + " bytes where its header says " + std::to_string(h.segment_bytes);
        return false;
    }
    return true;
}

bool abandoned(int fd)
{
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0)
        return false;
    ::flock(fd, LOCK_UN);
    return true;
}

} // namespace tap::segment
