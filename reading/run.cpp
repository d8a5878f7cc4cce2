// A run opened for reading: description, frame layout, data read in blocks.
#include "reading/run.h"
#include "reading/export.h" // FrameRange: here, so the readers that export nothing need no export code

#include <cerrno>
#include <cstdio>
#include <cmath>
#include <stdexcept>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace reading {

std::vector<int> Layout::of(Kind k) const
{
    std::vector<int> v;
    for (const Channel &c : channels)
        if (c.kind == k)
            v.push_back(c.word);
    return v;
}

Layout layout_of(const FrameLayout &f)
{
    Layout l;
    const auto ajoute = [&l](Kind k, int n, std::string nom) {
        l.channels.push_back({k, n, int(l.channels.size()), std::move(nom)});
    };
    if (f.counter)
        ajoute(Kind::Counter, 0, "counter");
    for (int c : f.mics)
        ajoute(Kind::Microphone, c, "mic_" + std::to_string(c / 8) + "_" + std::to_string(c % 8));
    if (f.status)
        ajoute(Kind::Status, 0, "status");
    for (int n : f.analog)
        ajoute(Kind::Analog, n, "va_" + std::to_string(n));
    return l;
}

Layout layout_of(const type_header_file &h, bool status)
{
    return layout_of(FrameLayout::from_header(h, status));
}

int64_t Gap::missing() const
{
    return int64_t(int32_t(after - before - 1u));
}

void CounterTrack::feed(const uint8_t *frames, size_t n, size_t frame_bytes, uint64_t first_frame)
{
    if (started_ && first_frame != next_frame_)
        started_ = false; // not consecutive: start over
    for (size_t i = 0; i < n; ++i) {
        uint32_t v;
        std::memcpy(&v, frames + i * frame_bytes, 4);
        if (started_ && v != last_ + 1u) {
            if (gaps_.size() < kMaxKept)
                gaps_.push_back({first_frame + i, last_, v});
            ++count_;
        }
        last_ = v;
        started_ = true;
    }
    next_frame_ = first_frame + n;
}

int open_regular(const std::string &path)
{
    // Without O_NONBLOCK a FIFO would wait here for a writer that never comes.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int e = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

std::string not_readable(int err)
{
    return err == ENODEV ? "not a regular file" : err == EISDIR ? "a folder, not a file" : std::strerror(err);
}

std::optional<std::string> read_small_file(const std::string &path, size_t limit)
{
    const int fd = open_regular(path);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw ReadError(path, "", not_readable(errno));
    }
    std::string s;
    char tampon[65536];
    for (;;) {
        const ssize_t r = ::read(fd, tampon, sizeof tampon);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            const int e = errno;
            ::close(fd);
            throw ReadError(path, "", std::strerror(e));
        }
        if (r == 0)
            break;
        s.append(tampon, size_t(r));
        if (s.size() > limit) {
            ::close(fd);
            throw ReadError(path, "size", "more than " + std::to_string(limit) + " bytes: not a file of a run");
        }
    }
    ::close(fd);
    return s;
}

namespace {

// Whether the counter of the first frames of the data file, read with `words` per frame,
// grows by one (a gap or two allowed: the run may have lost frames early).
bool compteur_suivi(const std::string &dat, int words, uint64_t dat_bytes)
{
    const uint64_t trame = uint64_t(words) * 4;
    const uint64_t n = std::min<uint64_t>(dat_bytes / trame, 512);
    if (n < 8)
        return false;
    const int fd = open_regular(dat);
    if (fd < 0)
        return false;
    std::vector<uint8_t> b(n * trame);
    const bool lu = ::pread(fd, b.data(), b.size(), 0) == ssize_t(b.size());
    ::close(fd);
    if (!lu)
        return false;
    CounterTrack t;
    t.feed(b.data(), n, trame, 0);
    return t.gap_count() <= n / 16;
}

} // namespace

Run open_run(const std::string &any_name)
{
    Run run;
    run.paths = run_paths(any_name);
    const int fd = open_regular(run.paths.dat);
    if (fd < 0)
        throw ReadError(run.paths.dat, "", "cannot open the data file: " + not_readable(errno));
    struct stat st{};
    ::fstat(fd, &st);
    ::close(fd);
    run.dat_bytes = uint64_t(st.st_size);

    try {
        const auto b = read_small_file(run.paths.header);
        if (!b)
            run.header_problem = "missing";
        else
            run.header = parse_header({reinterpret_cast<const uint8_t *>(b->data()), b->size()}, run.paths.header);
    } catch (const ReadError &e) {
        run.header_problem = e.what();
    }
    try {
        const auto t = read_small_file(run.paths.log);
        if (!t)
            run.log_problem = "missing";
        else
            run.log = parse_log(*t, run.paths.log);
    } catch (const ReadError &e) {
        run.log_problem = e.what();
    }
    if (!run.header && !run.log)
        throw ReadError(run.paths.header, "",
                        "no description of the run: header " + run.header_problem + "; log " + run.log_problem);

    run.rec = run.header ? *run.header : run.log->rec;
    run.rec_from_log = !run.header;
    const int base = counts(run.rec).words();
    if (run.log && run.log->nb_voies - base >= 0 && run.log->nb_voies - base <= 1) {
        run.status = run.log->status && run.log->nb_voies - base == 1;
    } else if (run.rec.compteurs_actifs[0]) {
        const bool sans = compteur_suivi(run.paths.dat, base, run.dat_bytes);
        const bool avec = compteur_suivi(run.paths.dat, base + 1, run.dat_bytes);
        run.status = avec && !sans;
        run.status_note = sans != avec ? "the counter shows the frame width"
                                       : "cannot tell from the counter; assumed absent";
    } else {
        const bool sans = run.dat_bytes % (uint64_t(base) * 4) == 0;
        const bool avec = run.dat_bytes % (uint64_t(base + 1) * 4) == 0;
        run.status = avec && !sans;
        run.status_note = sans != avec ? "the data file's size shows the frame width"
                                       : "cannot tell without the log; assumed absent";
    }
    run.layout = layout_of(run.rec, run.status);
    if (run.layout.words() == 0)
        throw ReadError(run.rec_from_log ? run.paths.log : run.paths.header, "channels",
                        "no channel recorded: a frame of no word");
    return run;
}

void read_frames(const Run &run, uint64_t first, uint64_t count, BlockFn fn, size_t block_bytes)
{
    const uint64_t trame = std::max<uint64_t>(1, run.frame_bytes());
    std::vector<uint8_t> tampon(size_t(std::max<uint64_t>(1, block_bytes / trame) * trame));
    read_frames(run, first, count, std::move(fn), block_bytes, [&] { return tampon.data(); });
}

void read_frames(const Run &run, uint64_t first, uint64_t count, BlockFn fn, size_t block_bytes, BufferFn buffer)
{
    const uint64_t trame = run.frame_bytes();
    if (first > run.frames() || count > run.frames() - first)
        throw ReadError(run.paths.dat, "", "frames " + std::to_string(first) + " to " + std::to_string(first + count) +
                                               " asked, the file holds " + std::to_string(run.frames()));
    if (count == 0)
        return;
    const int fd = open_regular(run.paths.dat);
    if (fd < 0)
        throw ReadError(run.paths.dat, "", not_readable(errno));
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    const size_t par_bloc = size_t(std::max<uint64_t>(1, block_bytes / trame));
    // Small blocks keep the buffers warm; the disk still gets large requests well ahead of them.
    constexpr uint64_t fenetre = 32u << 20;
    uint64_t annonce = first * trame; // asked for up to here
    const uint64_t fin = (first + count) * trame;
    uint64_t fait = 0;
    try {
        while (fait < count) {
            const size_t n = size_t(std::min<uint64_t>(par_bloc, count - fait));
            const size_t octets = n * trame;
            uint8_t *const tampon = buffer();
            if (!tampon)
                break;
            size_t lu = 0;
            const uint64_t pos = (first + fait) * trame;
            if (annonce < fin && annonce < pos + fenetre / 2 + octets) {
                const uint64_t jusque = std::min(fin, std::max(annonce, pos) + fenetre);
                ::posix_fadvise(fd, off_t(annonce), off_t(jusque - annonce), POSIX_FADV_WILLNEED);
                annonce = jusque;
            }
            while (lu < octets) {
                const ssize_t r = ::pread(fd, tampon + lu, octets - lu, off_t(pos + lu));
                if (r < 0 && errno == EINTR)
                    continue;
                if (r < 0)
                    throw ReadError(run.paths.dat, "", std::strerror(errno));
                if (r == 0)
                    throw ReadError(run.paths.dat, "", "the file became shorter while it was read");
                lu += size_t(r);
            }
            const bool suite = fn(tampon, n, first + fait);
            fait += n;
            if (!suite)
                break;
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
}

FrameRange frame_range(const Run &run, std::optional<double> start_s, std::optional<double> duration_s)
{
    const double f = run.rec.freq;
    const uint64_t total = run.frames();
    FrameRange r{0, total};
    if (start_s) {
        if (!std::isfinite(*start_s) || *start_s < 0)
            throw std::invalid_argument("--start: not a time in seconds");
        const double debut = std::floor(*start_s * f + 1e-9);
        if (debut >= double(total) && total > 0)
            throw std::invalid_argument("--start: past the end of the run (" + std::to_string(double(total) / f) + " s)");
        r.first = uint64_t(std::min(debut, double(total)));
        r.count = total - r.first;
    }
    if (duration_s) {
        if (!std::isfinite(*duration_s) || *duration_s <= 0)
            throw std::invalid_argument("--duration: not a duration in seconds");
        const double n = std::floor(*duration_s * f + 1e-9);
        r.cut = n > double(r.count);
        r.count = uint64_t(std::min(n, double(r.count)));
    }
    return r;
}

std::string iso_date(const SystemTime &d)
{
    char t[48];
    std::snprintf(t, sizeof t, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", d.wYear, d.wMonth, d.wDay, d.wHour, d.wMinute,
                  d.wSecond, d.wMilliseconds);
    return t;
}

} // namespace reading
