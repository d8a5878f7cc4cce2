// A recorder's live tap played from a recorded run, for the viewer's tests: the run's bytes in
// blocks that cut frames anywhere, at the run's pace, each with its place and the time it is
// published; optionally a stretch never published (a gap the reader must see).
//
//   viz256_tap_replay RUN.dat PORT DELAY_S [--gap FROM_S TO_S]
//
// The run begins DELAY_S after the tap is made, so readers can attach first.
#include "tap/publisher.h"
#include "view/run_source.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 4 && argc != 7) {
        std::fprintf(stderr, "usage: viz256_tap_replay RUN.dat PORT DELAY_S [--gap FROM_S TO_S]\n");
        return 2;
    }
    const view::RunSource run(argv[1]);
    const FrameLayout layout = run.layout();
    const double gap_from = argc == 7 ? std::atof(argv[5]) : -1, gap_to = argc == 7 ? std::atof(argv[6]) : -1;
    std::string error;
    auto publisher = tap::Publisher::create(argv[2], "VZ256-REPLAY", error);
    if (!publisher) {
        std::fprintf(stderr, "viz256_tap_replay: %s\n", error.c_str());
        return 1;
    }
    const int fd = ::open(run.run().paths.dat.c_str(), O_RDONLY);
    const uint64_t total = run.run().dat_bytes, block = 1000003; // about 20 ms at the peak, frames cut anywhere
    const double bytes_per_s = double(layout.frame_bytes()) * layout.frequency;
    std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(argv[3])));
    publisher->begin_run(layout);
    std::vector<unsigned char> data(block);
    const auto start = std::chrono::steady_clock::now();
    uint64_t sequence = 0, published = 0;
    for (uint64_t offset = 0; offset < total; offset += block) {
        const uint32_t n = uint32_t(std::min(block, total - offset));
        std::this_thread::sleep_until(start + std::chrono::duration<double>(double(offset + n) / bytes_per_s));
        const double at = double(offset) / bytes_per_s;
        if (at >= gap_from && at < gap_to)
            continue;
        if (::pread(fd, data.data(), n, off_t(offset)) != ssize_t(n))
            return 1;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        publisher->publish(data.data(), tap::BlockPlace{sequence++, offset, n, int64_t(now.tv_sec) * 1000000000 + now.tv_nsec});
        published += n;
    }
    publisher->end_run();
    std::printf("published %llu of %llu bytes in %llu blocks\n", (unsigned long long)published, (unsigned long long)total,
                (unsigned long long)sequence);
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the readers take the last blocks
    ::close(fd);
    return 0;
}
