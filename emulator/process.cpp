// viz256-emulator: emulated recorders as a process of their own, serving the programs it runs.
//
//   viz256-emulator [--recorders N] [--unpaced] [--trigger-ms T] [--usbfs-mb M] [--stats]
//                   -- PROGRAM ARGS...
//
// It owns a umockdev testbed with N recorders (ports 1-1 .. 1-N, serial numbers VZ256-0001 ..),
// and runs PROGRAM with umockdev's preload and the testbed in its environment: PROGRAM and every
// program it starts (the window, viz256-record, a script starting several of them) reach the
// recorders' usbfs handlers, which run here, through umockdev's socket. The recorders share the
// host's usbfs budget (--usbfs-mb, the udev rule's value by default), one sampling clock and the
// Trig1/Trig2 lines; Trig1 fires on all of them every T ms (--trigger-ms; 0 never; by default
// VIZ256_EMU_TRIGGER_MS or 5000, as viz256-emulated). They stream in real time, or as fast as
// the programs take the data with --unpaced. VIZ256_EMU_SCENE=FILE: the microphones hear a scene.
//
// It exits with PROGRAM's status (128 + the signal when a signal ended it). SIGINT, SIGTERM and
// SIGHUP sent to it go on to PROGRAM; from the terminal they reach PROGRAM directly. The testbed
// goes when it ends, however it ends. --stats prints, at the end, what the recorders streamed and
// the CPU time this process took. The programs find the number of recorders in
// VIZ256_EMULATOR_RECORDERS.
#include "device/usbfs.h"
#include "emulator/recorder.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <malloc.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void usage(const char *why)
{
    std::fprintf(stderr,
                 "viz256-emulator: %s\n"
                 "usage: viz256-emulator [--recorders N] [--unpaced] [--trigger-ms T] [--usbfs-mb M] [--stats] -- PROGRAM ARGS...\n",
                 why);
    std::exit(2);
}

long number(const char *opt, const char *v, long lo, long hi)
{
    if (!v)
        usage((std::string(opt) + " needs a value").c_str());
    char *end = nullptr;
    errno = 0;
    const long n = std::strtol(v, &end, 10);
    if (errno || end == v || *end || n < lo || n > hi)
        usage((std::string(opt) + ": " + v + " is not a whole number from " + std::to_string(lo) + " to " +
               std::to_string(hi))
                  .c_str());
    return n;
}

double seconds(const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; }

} // namespace

int main(int argc, char **argv)
{
    // SIGINT, SIGTERM, SIGHUP and SIGCHLD are taken synchronously (sigtimedwait below), never by a
    // handler: blocked here, before any thread starts, so every thread inherits the mask.
    sigset_t taken;
    sigemptyset(&taken);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        sigaddset(&taken, sig);
    ::pthread_sigmask(SIG_BLOCK, &taken, nullptr);

    int n = 1;
    bool unpaced = false, stats = false;
    long trigger_ms = 5000;
    if (const char *p = std::getenv("VIZ256_EMU_TRIGGER_MS"); p && *p)
        trigger_ms = std::atol(p);
    long usbfs_mb = usbfs::LIMITE_REGLE_MO;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--recorders")
            n = int(number("--recorders", i < argc - 1 ? argv[++i] : nullptr, 1, 16));
        else if (a == "--trigger-ms")
            trigger_ms = number("--trigger-ms", i < argc - 1 ? argv[++i] : nullptr, 0, 86400000);
        else if (a == "--usbfs-mb")
            usbfs_mb = number("--usbfs-mb", i < argc - 1 ? argv[++i] : nullptr, 0, 1 << 20);
        else if (a == "--unpaced")
            unpaced = true;
        else if (a == "--stats")
            stats = true;
        else if (a == "--help" || a == "-h") {
            std::printf("usage: viz256-emulator [--recorders N] [--unpaced] [--trigger-ms T] [--usbfs-mb M] [--stats] -- PROGRAM ARGS...\n");
            return 0;
        } else
            usage(("unknown option " + a).c_str());
    }
    if (i >= argc)
        usage("no program to run (after --)");

    // umockdev fetches a transfer's buffer into memory of its own at every reap and frees it after:
    // kept in the heap rather than mapped and unmapped each time, its pages are not faulted in
    // again for every transfer (which took half of this process's time at the peak rate).
    ::mallopt(M_MMAP_THRESHOLD, 32 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 512 << 20);

    emu::Options o;
    o.remote = true;
    o.paced = !unpaced;
    o.usbfs_memory_mb = unsigned(usbfs_mb);
    o.spin_fallback = std::getenv("VIZ256_EMU_SPIN") && std::strcmp(std::getenv("VIZ256_EMU_SPIN"), "0") != 0;
    const std::vector<emu::Recorder *> recorders = emu::Recorder::start_many(n, o);
    emu::Recorder::watch_testbed();

    // The program's environment: the testbed (umockdev set UMOCKDEV_DIR here) and the preload,
    // after whatever must come first (a sanitizer's runtime).
    std::string preload = "libumockdev-preload.so.0";
    if (const char *p = std::getenv("LD_PRELOAD"); p && *p)
        preload = std::strstr(p, "umockdev-preload") ? std::string(p) : std::string(p) + ":" + preload;
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    ::setenv("UMOCKDEV_DIR", emu::Recorder::testbed_dir().c_str(), 1);
    ::setenv("VIZ256_EMULATOR_RECORDERS", std::to_string(n).c_str(), 1);

    const auto t0 = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child < 0) {
        std::fprintf(stderr, "viz256-emulator: cannot start %s: %s\n", argv[i], std::strerror(errno));
        return 1;
    }
    if (child == 0) {
        ::pthread_sigmask(SIG_UNBLOCK, &taken, nullptr);
        ::execvp(argv[i], argv + i);
        std::fprintf(stderr, "viz256-emulator: cannot run %s: %s\n", argv[i], std::strerror(errno));
        ::_exit(127);
    }

    // Trig1, on every recorder at once.
    std::mutex mu;
    std::condition_variable cv;
    bool over = false;
    std::thread trig;
    if (trigger_ms > 0)
        trig = std::thread([&] {
            std::unique_lock<std::mutex> lock(mu);
            while (!cv.wait_for(lock, std::chrono::milliseconds(trigger_ms), [&] { return over; }))
                emu::Recorder::fire_trigger_all(1);
        });

    // Until the program ends: a signal sent to this process goes on to it. One that the terminal
    // sent (Ctrl+C, a hang-up: from the kernel) reached the program's process group already and
    // is not sent twice.
    int status = 0;
    for (;;) {
        const pid_t w = ::waitpid(child, &status, WNOHANG);
        if (w == child || (w < 0 && errno != EINTR))
            break;
        siginfo_t info{};
        const timespec tick{0, 200 * 1000 * 1000};
        const int sig = ::sigtimedwait(&taken, &info, &tick);
        if (sig > 0 && sig != SIGCHLD && info.si_code != SI_KERNEL)
            ::kill(child, sig);
    }
    {
        std::lock_guard<std::mutex> lock(mu);
        over = true;
    }
    cv.notify_all();
    if (trig.joinable())
        trig.join();

    if (stats) {
        rusage ru{};
        ::getrusage(RUSAGE_SELF, &ru);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double cpu = seconds(ru.ru_utime) + seconds(ru.ru_stime);
        uint64_t bytes = 0;
        for (const emu::Recorder *r : recorders) {
            bytes += r->bytes_streamed();
            std::fprintf(stderr, "viz256-emulator: %s (%s): %.1f MB streamed, %llu frames lost in its buffer\n",
                         r->port_path().c_str(), r->serial().c_str(), double(r->bytes_streamed()) / 1e6,
                         static_cast<unsigned long long>(r->frames_dropped()));
        }
        std::fprintf(stderr,
                     "viz256-emulator: %.1f MB in %.1f s (%.1f MB/s), CPU %.2f s user + %.2f s system = %.1f %% of one core\n",
                     double(bytes) / 1e6, wall, wall > 0 ? double(bytes) / 1e6 / wall : 0.0, seconds(ru.ru_utime),
                     seconds(ru.ru_stime), wall > 0 ? 100.0 * cpu / wall : 0.0);
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}
