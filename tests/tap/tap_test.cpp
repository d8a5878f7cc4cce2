// The live tap between processes: a synthetic publisher (a thread or a child process) and
// readers that follow, stop, die, come late or find the segment damaged.
#include <gtest/gtest.h>

#include "tap/publisher.h"
#include "tap/reader.h"
#include "tap/segment.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/magic.h>
#include <filesystem>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A tap folder of the test's own.
struct TapDir : ::testing::Test {
    void SetUp() override
    {
        char t[] = "/dev/shm/viz256-tap-test-XXXXXX";
        ASSERT_NE(::mkdtemp(t), nullptr);
        dir = t;
        ::unsetenv("VIZ256_TAP_DIR");
        ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string dir;
};

FrameLayout layout_of(int mics, double frequency)
{
    FrameLayout l;
    l.counter = true;
    for (int m = 0; m < mics; ++m)
        l.mics.push_back(m);
    l.frequency = frequency;
    return l;
}

// Blocks whose words count the run's words: their bytes say where they lie. The first block
// is short, as a triggered run's.
struct Stream {
    uint64_t offset = 0, sequence = 0;
    std::vector<unsigned char> bytes;
    void publish(tap::Publisher &p, uint32_t size)
    {
        const uint32_t n = sequence == 0 ? 4096 : size;
        bytes.resize(n);
        for (uint32_t i = 0; i < n; i += 4) {
            const uint32_t w = uint32_t((offset + i) / 4);
            std::memcpy(bytes.data() + i, &w, 4);
        }
        p.publish(bytes.data(), tap::BlockPlace{sequence++, offset, n, 1});
        offset += n;
    }
};

bool holds(const tap::Block &b)
{
    for (uint32_t i = 0; i + 4 <= b.data.size(); i += 4 * 997) {
        uint32_t w;
        std::memcpy(&w, b.data.data() + i, 4);
        if (w != uint32_t((b.place.byte_offset + i) / 4))
            return false;
    }
    return b.data.size() == b.place.bytes;
}

// What a reader saw of one run: every block checked against its place and the one before it.
struct Seen {
    uint64_t first = ~0ull, last = 0, blocks = 0, missed = 0;
    bool in_order = true, ended = false;
    FrameLayout layout;
};

Seen follow(tap::Reader &r, bool expect_new_run)
{
    Seen s;
    tap::Block b;
    uint64_t missed = 0;
    tap::Reader::Next n;
    while ((n = r.next(b, missed, 20000)) == tap::Reader::Next::Block || n == tap::Reader::Next::NewRun) {
        s.missed += missed;
        if (n == tap::Reader::Next::NewRun) {
            s.in_order &= expect_new_run && s.blocks == 0;
            continue;
        }
        s.in_order &= holds(b) && (s.blocks == 0 || b.place.sequence == s.last + 1 + missed);
        s.first = std::min(s.first, b.place.sequence);
        s.last = b.place.sequence;
        ++s.blocks;
    }
    s.missed += missed;
    s.ended = n == tap::Reader::Next::Ended;
    s.layout = r.layout();
    return s;
}

std::unique_ptr<tap::Reader> open_when_there(const std::string &device)
{
    std::string error;
    for (int i = 0; i < 500; ++i) {
        if (auto r = tap::Reader::open(device, error))
            return r;
        ::usleep(10000);
    }
    ADD_FAILURE() << error;
    return nullptr;
}

// Runs `f` in a child process; its exit status is f's.
pid_t child(const std::function<int()> &f)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(f());
    return pid;
}

int status_of(pid_t pid)
{
    int st = 0;
    ::waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

} // namespace

using TapTest = TapDir;

// XDG_RUNTIME_DIR holds the taps only on a memory file system: in a disk's (the build tree,
// where it is one), the recording's first write into each page of the segment could wait for
// the disk, so the taps go to /dev/shm instead.
TEST_F(TapTest, TheTapsFolderIsOnAMemoryFileSystem)
{
    const std::string disque = std::filesystem::current_path().string();
    struct statfs fs{};
    const bool disque_en_memoire = ::statfs(disque.c_str(), &fs) == 0 && (fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC);
    const std::string repli = "/dev/shm/viz256-tap-" + std::to_string(::getuid());
    for (const auto &[xdg, attendu] : {std::pair{dir, dir + "/viz256-tap"}, {disque, disque_en_memoire ? disque + "/viz256-tap" : repli}}) {
        SCOPED_TRACE(xdg);
        ::setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
        std::string error;
        const std::string d = tap::segment::directory(error, false);
        EXPECT_TRUE(d == attendu || error.rfind(attendu + ":", 0) == 0) << d << " / " << error; // not made: its path is in the error
    }
}

// Two runs published from a thread and from a child process; two readers from the start, one
// from the middle of the first run. The ring holds every block, so none may be missed.
TEST_F(TapTest, ReadersSeeEveryBlockInOrderWithItsPlace)
{
    for (const bool in_child : {false, true}) {
        SCOPED_TRACE(in_child ? "publisher in a child process" : "publisher in a thread");
        const FrameLayout first = layout_of(256, 50000), second = layout_of(1, 2000);
        int ready[2], go[2];
        ASSERT_EQ(::pipe(ready), 0);
        ASSERT_EQ(::pipe(go), 0);
        const auto publisher = [&]() -> int {
            std::string error;
            auto p = tap::Publisher::create("1-1", "VZ256-0001", error);
            char c = 1;
            if (!p || ::write(ready[1], &c, 1) != 1 || ::read(go[0], &c, 1) != 1)
                return 1;
            p->begin_run(first);
            Stream s;
            for (int i = 0; i < 200; ++i) {
                s.publish(*p, 65536);
                if (i == 100 && (::write(ready[1], &c, 1) != 1 || ::read(go[0], &c, 1) != 1))
                    return 1;
            }
            p->end_run();
            p->begin_run(second);
            Stream t;
            for (int i = 0; i < 20; ++i)
                t.publish(*p, 4096);
            p->end_run();
            return ::read(go[0], &c, 1) == 1 ? 0 : 1;
        };
        pid_t pid = 0;
        std::thread thread;
        int status = 0;
        if (in_child)
            pid = child(publisher);
        else
            thread = std::thread([&] { status = publisher(); });
        char c;
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        std::vector<std::unique_ptr<tap::Reader>> readers;
        readers.push_back(open_when_there(""));
        readers.push_back(open_when_there("VZ256-0001"));
        ASSERT_TRUE(readers[0] && readers[1]);
        EXPECT_EQ(readers[0]->recorder().port, "1-1");
        EXPECT_EQ(readers[0]->generation(), 0u);
        ASSERT_EQ(::write(go[1], &c, 1), 1);
        ASSERT_EQ(::read(ready[0], &c, 1), 1);
        readers.push_back(open_when_there("1-1")); // mid-run: the run is there at once
        ASSERT_TRUE(readers[2]);
        EXPECT_EQ(readers[2]->layout(), first);
        ASSERT_EQ(::write(go[1], &c, 1), 1);
        std::vector<std::thread> threads;
        std::vector<Seen> runs[3];
        for (int i = 0; i < 3; ++i)
            threads.emplace_back([&, i] {
                runs[i].push_back(follow(*readers[i], i < 2));
                runs[i].push_back(follow(*readers[i], true));
            });
        for (auto &t : threads)
            t.join();
        for (int i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            EXPECT_TRUE(runs[i][0].in_order && runs[i][0].ended && runs[i][1].in_order && runs[i][1].ended);
            EXPECT_EQ(runs[i][0].layout, first);
            EXPECT_EQ(runs[i][1].layout, second);
            EXPECT_EQ(runs[i][0].first, i < 2 ? 0u : 101u);
            EXPECT_EQ(runs[i][0].last, 199u);
            EXPECT_EQ(runs[i][1].blocks, 20u);
            EXPECT_EQ(runs[i][0].missed + runs[i][1].missed, 0u);
            EXPECT_EQ(readers[i]->generation(), 2u);
        }
        ASSERT_EQ(::write(go[1], &c, 1), 1);
        if (in_child)
            status = status_of(pid);
        else
            thread.join();
        EXPECT_EQ(status, 0);
        tap::Block b;
        uint64_t missed;
        EXPECT_EQ(readers[0]->next(b, missed, 5000), tap::Reader::Next::Error);
        EXPECT_TRUE(readers[0]->closed()) << readers[0]->error();
        EXPECT_TRUE(tap::list().empty());
        for (int fd : {ready[0], ready[1], go[0], go[1]})
            ::close(fd);
    }
}

// Readers in child processes: one stopped while the ring turns over more than once, one
// killed while it copies. The publisher goes on unharmed; the stopped one, resumed, says
// exactly which blocks it lost.
TEST_F(TapTest, AStoppedReaderLearnsWhatItMissedAndAKilledOneCostsNothing)
{
    std::string error;
    auto p = tap::Publisher::create("1-2", "", error);
    ASSERT_TRUE(p) << error;
    p->begin_run(layout_of(256, 50000));
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const auto reader = [&](bool report) {
        return [&, report]() -> int {
            auto r = tap::Reader::open("1-2", error);
            char c = 'r';
            if (!r || ::write(out[1], &c, 1) != 1)
                return 1;
            if (!report)
                for (;;)
                    follow(*r, false);
            const Seen s = follow(*r, false);
            std::fprintf(stdout, "%llu %llu %llu %d\n", (unsigned long long)s.blocks, (unsigned long long)s.missed,
                         (unsigned long long)s.last, int(s.in_order && s.ended));
            std::fflush(stdout);
            return 0;
        };
    };
    int results[2];
    ASSERT_EQ(::pipe(results), 0);
    std::fflush(stdout);
    const int saved = ::dup(1);
    ::dup2(results[1], 1);
    const pid_t stopped = child(reader(true)), killed = child(reader(false));
    ::dup2(saved, 1);
    ::close(results[1]);
    char c;
    ASSERT_EQ(::read(out[0], &c, 1), 1);
    ASSERT_EQ(::read(out[0], &c, 1), 1);
    Stream s;
    for (int i = 0; i < 5; ++i)
        s.publish(*p, 8 << 20);
    ::kill(stopped, SIGSTOP);
    for (int i = 0; i < 40; ++i) { // 320 MiB: more than twice the ring
        s.publish(*p, 8 << 20);
        if (i == 20)
            ::kill(killed, SIGKILL);
    }
    ::kill(stopped, SIGCONT);
    for (int i = 0; i < 5; ++i)
        s.publish(*p, 8 << 20);
    p->end_run();
    EXPECT_EQ(status_of(killed), 128 + SIGKILL);
    EXPECT_EQ(status_of(stopped), 0);
    char text[128] = {};
    ASSERT_GT(::read(results[0], text, sizeof text - 1), 0);
    unsigned long long blocks = 0, missed = 0, last = 0;
    int ok = 0;
    ASSERT_EQ(std::sscanf(text, "%llu %llu %llu %d", &blocks, &missed, &last, &ok), 4) << text;
    EXPECT_EQ(ok, 1) << "blocks out of order or a count that does not add up";
    EXPECT_EQ(blocks + missed, 50u);
    EXPECT_GE(missed, 40u - 16u); // the ring holds 16 blocks of 8 MiB at most
    EXPECT_EQ(last, 49u);
}

// A segment that lies about itself: a clear error from open() or next(), never a crash.
TEST_F(TapTest, ADamagedSegmentGivesAnErrorNotACrash)
{
    struct Case {
        const char *what;
        off_t at;     // where the damage goes; -1: the file is cut to half
        uint32_t value;
        bool at_open; // refused by open(), else by next()
        const char *says;
    } cases[] = {
        {"another version", 8, 2, true, "version 2"},
        {"no magic", 0, 0x58585858, true, "not a viz256 tap"},
        {"slot size", 28, 65, true, "garbled"},
        {"cut", -1, 0, true, "truncated"},
        {"word count", 256 + 80 + 24, 999, true, "garbled"}, // of run 1
        {"block length", 4096 + 56, 0xfffffff0, false, "garbled"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        std::string error;
        auto p = tap::Publisher::create("3-1", "S", error);
        ASSERT_TRUE(p) << error;
        p->begin_run(layout_of(8, 2000));
        Stream s;
        auto early = tap::Reader::open("3-1", error);
        ASSERT_TRUE(early) << error;
        s.publish(*p, 4096);
        const int fd = ::open(p->path().c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        if (k.at < 0)
            ASSERT_EQ(::ftruncate(fd, 1 << 20), 0);
        else
            ASSERT_EQ(::pwrite(fd, &k.value, 4, k.at), 4);
        ::close(fd);
        EXPECT_EQ(tap::list().size(), 1u);
        auto r = tap::Reader::open("3-1", error);
        tap::Block b;
        uint64_t missed = 0;
        if (k.at_open) {
            EXPECT_FALSE(r);
        } else {
            ASSERT_TRUE(r) << error;
            EXPECT_EQ(early->next(b, missed, 1000), tap::Reader::Next::Error);
            error = early->error();
        }
        EXPECT_NE(error.find(k.says), std::string::npos) << error;
    }
}

// The publisher's process killed: its tap is gone from the list at once, a reader learns the
// run ended with it, and the next publisher removes the leftover. One port, one publisher.
TEST_F(TapTest, AKilledPublisherLeavesNothingVisible)
{
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = child([&]() -> int {
        std::string error;
        auto p = tap::Publisher::create("4-1", "K", error);
        char c = 1;
        if (!p || ::write(ready[1], &c, 1) != 1)
            return 1;
        p->begin_run(layout_of(2, 2000));
        for (;;)
            ::pause();
    });
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    std::string error;
    EXPECT_FALSE(tap::Publisher::create("4-1", "K", error));
    EXPECT_NE(error.find("another process"), std::string::npos) << error;
    auto r = open_when_there("K");
    ASSERT_TRUE(r);
    const std::vector<tap::Recorder> rs = tap::list();
    ASSERT_EQ(rs.size(), 1u);
    EXPECT_EQ(rs[0].pid, long(pid));
    ::kill(pid, SIGKILL);
    EXPECT_EQ(status_of(pid), 128 + SIGKILL);
    tap::Block b;
    uint64_t missed;
    EXPECT_EQ(r->next(b, missed, 5000), tap::Reader::Next::Ended);
    EXPECT_EQ(r->next(b, missed, 5000), tap::Reader::Next::Error);
    EXPECT_TRUE(r->closed());
    EXPECT_TRUE(tap::list().empty());
    EXPECT_FALSE(tap::Reader::open("", error));
    const std::string leftover = rs[0].path;
    EXPECT_TRUE(std::filesystem::exists(leftover));
    auto next = tap::Publisher::create("4-2", "L", error);
    ASSERT_TRUE(next) << error;
    EXPECT_FALSE(std::filesystem::exists(leftover));
    ::close(ready[0]);
    ::close(ready[1]);
}
