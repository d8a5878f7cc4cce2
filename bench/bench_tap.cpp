// The live tap at the recorder's peak (52.4 MB/s in blocks of 8 MiB, one every 160 ms): the CPU
// the publishing thread spends on it, with no reader and with 3 readers in processes of their
// own, and the time from a block's completion to its reception by each reader (median and 99th
// percentile over the blocks). Readers cost the publisher nothing by construction: the two rows
// side by side show it.
//
//   viz256_bench_tap [--seconds S]    (default 20; the suite's smoke run: --seconds 1)
#include "tap/publisher.h"
#include "tap/reader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

int64_t now_ns(clockid_t c)
{
    timespec t{};
    clock_gettime(c, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A reader process: follows the run to its end, writes "blocks missed median_ms p99_ms" to fd.
void reader(int fd)
{
    std::string error;
    std::unique_ptr<tap::Reader> r;
    for (int i = 0; i < 500 && !(r = tap::Reader::open("bench", error)); ++i)
        usleep(10000);
    if (!r)
        _exit(1);
    if (write(fd, "r", 1) != 1)
        _exit(1);
    std::vector<double> ms;
    uint64_t blocks = 0, missed = 0, m = 0;
    tap::Block b;
    for (;;) {
        const auto n = r->next(b, m, 10000);
        missed += m;
        if (n == tap::Reader::Next::Block) {
            ms.push_back(double(now_ns(CLOCK_MONOTONIC) - b.place.completed_ns) / 1e6);
            ++blocks;
        } else if (n != tap::Reader::Next::NewRun) {
            break;
        }
    }
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms.empty() ? 0.0 : ms[std::min(ms.size() - 1, size_t(q * double(ms.size())))]; };
    char line[128];
    const int len = std::snprintf(line, sizeof line, "%llu %llu %.2f %.2f\n", (unsigned long long)blocks,
                                  (unsigned long long)missed, at(0.5), at(0.99));
    _exit(write(fd, line, size_t(len)) == len ? 0 : 1);
}

} // namespace

int main(int argc, char **argv)
{
    double seconds = 20;
    if (argc == 3 && std::strcmp(argv[1], "--seconds") == 0)
        seconds = std::atof(argv[2]);
    char dir[] = "/dev/shm/viz256-bench-tap-XXXXXX";
    if (!mkdtemp(dir))
        return 2;
    setenv("XDG_RUNTIME_DIR", dir, 1);
    const uint32_t block = 8u << 20;
    const double rate = 262.0 * 4 * 50000; // bytes a second
    const int64_t period_ns = int64_t(double(block) / rate * 1e9);
    const int count = std::max(1, int(seconds * rate / block));
    std::vector<unsigned char> data(block, 0x5A);
    std::printf("%d blocks of 8 MiB, one every %.0f ms (%.1f MB/s, %.1f s)\n", count, double(period_ns) / 1e6, rate / 1e6,
                double(count) * double(period_ns) / 1e9);
    std::printf("%-8s %-22s %s\n", "readers", "publish CPU (% core)", "each reader: blocks, missed, latency median / p99 (ms)");
    int status = 0;
    for (int readers : {0, 3}) {
        int out[2];
        if (pipe(out) != 0)
            return 2;
        std::vector<pid_t> pids;
        std::string error;
        auto p = tap::Publisher::create("bench", "", error);
        if (!p) {
            std::fprintf(stderr, "viz256_bench_tap: %s\n", error.c_str());
            return 2;
        }
        for (int i = 0; i < readers; ++i) {
            const pid_t pid = fork();
            if (pid == 0)
                reader(out[1]);
            pids.push_back(pid);
        }
        for (int i = 0; i < readers; ++i) {
            char c;
            if (read(out[0], &c, 1) != 1)
                return 2;
        }
        p->begin_run(FrameLayout::from_masks(std::vector<uint8_t>(32, 0xFF).data(), 0x80, false, 50000));
        int64_t cpu = 0, next = now_ns(CLOCK_MONOTONIC);
        for (int i = 0; i < count; ++i) {
            next += period_ns;
            const timespec t{time_t(next / 1000000000), long(next % 1000000000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
            const int64_t c0 = now_ns(CLOCK_THREAD_CPUTIME_ID);
            p->publish(data.data(), tap::BlockPlace{uint64_t(i), uint64_t(i) * block, block, now_ns(CLOCK_MONOTONIC)});
            cpu += now_ns(CLOCK_THREAD_CPUTIME_ID) - c0;
        }
        p->end_run();
        p.reset();
        std::printf("%-8d %-22.3f", readers, 100.0 * double(cpu) / (double(count) * double(period_ns)));
        close(out[1]);
        FILE *f = fdopen(out[0], "r");
        char line[128];
        while (f && fgets(line, sizeof line, f)) {
            line[strcspn(line, "\n")] = 0;
            std::printf(" [%s]", line);
        }
        std::printf("\n");
        if (f)
            fclose(f);
        for (pid_t pid : pids) {
            int st = 0;
            waitpid(pid, &st, 0);
            status |= !(WIFEXITED(st) && WEXITSTATUS(st) == 0);
        }
    }
    std::filesystem::remove_all(dir);
    return status;
}
