// The testbed: the umockdev bench the recorders are plugged into (port 1-(i + 1), device number
// i + 2, serial number VZ256-000(i + 1)), what they share, and the watcher that removes the
// testbed's folder when the process is gone.
#include "emulator/recorder_impl.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emu {

namespace {

constexpr const char *kDescriptors =
    "120100030000000927FE01AC000100000301"
    "09021F000101008032"
    "0904000001FF000000"
    "07058102000400"
    "06300F000000";

std::string hex_without_blanks(const char *s)
{
    std::string out;
    for (; *s; ++s)
        if (*s != ' ')
            out += *s;
    return out;
}

Options with_scene_of_environment(const Options &o)
{
    Options options = o;
    if (const char *file = std::getenv("VIZ256_EMU_SCENE"); !options.scene && file && *file) {
        try {
            options.scene = Scene::load(file);
        } catch (const SceneError &e) {
            std::fprintf(stderr, "emulated recorder: %s\n", e.what());
            std::exit(2);
        }
    }
    return options;
}

} // namespace

// The scene's signals at the power-on frequency (the probe's), made before the program can
// send anything: the start request must be answered as promptly as the hardware answers it,
// within the program's bound on a control request, however slow the making (a sanitizer
// build takes seconds).
void Recorder::Impl::prepare_scene()
{
    if (scene)
        scene->at_rate(500000.0 / (9 + 1), index);
}

// Plugs this recorder into the bench's testbed: port 1-(index + 1) of bus 1, device number
// index + 2 (the root hub is 1), its serial number in its string descriptor 3.
void Recorder::Impl::create(const Options &o)
{
    paced = paced_option = o.paced;
    pooled = o.pooled_stream;
    source.set_recorder(index);
    scene = o.scene;
    prepare_scene();
    capacity = capacity_option = o.device_buffer_bytes;
    device_memory = device_memory_option = o.device_memory && !bench.remote;
    char buf[64];
    std::snprintf(buf, sizeof buf, "/dev/bus/usb/001/%03d", index + 2);
    node = buf;
    std::snprintf(buf, sizeof buf, "VZ256-%04d", index + 1);
    serial = buf;
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(&Impl::on_ioctl_cb), this);
    g_signal_connect(handler, "client-vanished", G_CALLBACK(&Impl::on_vanished_cb), this);
    GError *err = nullptr;
    if (!umockdev_testbed_attach_ioctl(bench.testbed, node.c_str(), handler, &err))
        die("cannot attach the ioctl handler", err);

    const int port = index + 1, devnum = index + 2;
    std::snprintf(buf, sizeof buf, "1-%d", port);
    const std::string name = buf;
    std::snprintf(buf, sizeof buf, "%03d", devnum);
    const std::string dev = "P: /devices/pci0000:00/0000:00:14.0/usb1/" + name + "\n"
                            "N: bus/usb/001/" + buf + "\n"
                            "E: SUBSYSTEM=usb\n"
                            "E: DEVTYPE=usb_device\n"
                            "E: DRIVER=usb\n"
                            "E: BUSNUM=001\n"
                            "E: DEVNUM=" + buf + "\n"
                            "E: DEVNAME=" + node + "\n"
                            "E: ID_SERIAL_SHORT=" + serial + "\n"
                            "A: busnum=1\\n\n"
                            "A: devnum=" + std::to_string(devnum) + "\\n\n"
                            "A: devpath=" + std::to_string(port) + "\\n\n"
                            "A: speed=5000\\n\n"
                            "A: bConfigurationValue=1\\n\n"
                            "A: idVendor=fe27\\n\n"
                            "A: idProduct=ac01\\n\n"
                            "A: serial=" + serial + "\\n\n"
                            "H: descriptors=" + hex_without_blanks(kDescriptors) + "\n";
    if (!umockdev_testbed_add_from_string(bench.testbed, dev.c_str(), &err))
        die("cannot add the recorder", err);

    if (!o.spin_fallback)
        make_fifo();
    note_node();
}

// The testbed and what the recorders share; the host's usbfs parameter where the program
// looks for it (umockdev redirects /sys).
void Recorder::Impl::create_bench(Bench &b, const Options &o)
{
    b.options = o;
    b.testbed = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(b.testbed);
    b.root_dir = root;
    g_free(root);
    b.usbfs_param = b.root_dir + kUsbfsParam;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(b.usbfs_param).parent_path(), ec);
    write_usbfs_param(b, o.usbfs_memory_mb);
    // The testbed lives as long as the process; its directory goes with it.
    std::atexit([] {
        if (g_bench) {
            std::error_code ec;
            std::filesystem::remove_all(g_bench->root_dir, ec);
        }
    });
}

void Recorder::Impl::die(const char *what, GError *err)
{
    std::fprintf(stderr, "emulated recorder: %s: %s\n", what, err ? err->message : "?");
    std::abort();
}

// The node's identity, so that a mapping of it is recognised whatever descriptor maps it.
void Recorder::Impl::note_node()
{
    const std::string path = bench.root_dir + node;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        node_dev.store(st.st_dev);
        node_ino.store(st.st_ino);
    }
}

Recorder::Recorder() : d(nullptr) {}
Recorder::~Recorder() = default;   // lives for the whole process

std::vector<Recorder *> Recorder::start_many(int n, const Options &o)
{
    static std::mutex starting;
    std::lock_guard<std::mutex> once(starting);
    if (!g_bench) {
        if (!o.remote) {
            const char *preload = std::getenv("LD_PRELOAD");
            if (!preload || !std::strstr(preload, "umockdev-preload")) {
                std::fprintf(stderr, "emulated recorder: run this program under umockdev-wrapper\n");
                std::abort();
            }
        }
        Bench *b = new Bench;
        b->remote = o.remote;
        Impl::create_bench(*b, with_scene_of_environment(o));
        g_bench = b;
    }
    Bench &b = *g_bench;
    if (n > kMaxRecorders) {
        std::fprintf(stderr, "emulated recorder: at most %d recorders\n", kMaxRecorders);
        std::exit(2);
    }
    {
        std::lock_guard<std::mutex> lock(b.mu);
        // Several recorders sample on the one clock; one alone starts its signals with its stream.
        if (n > 1)
            b.shared_clock = true;
    }
    while (int(b.recorders.size()) < n) {
        Recorder *r = new Recorder;
        r->d = new Impl(b, int(b.recorders.size()));
        r->d->create(b.options);
        g_impls[r->d->index].store(r->d);
        g_impl_count.store(r->d->index + 1);
        std::lock_guard<std::mutex> lock(b.mu);
        b.recorders.push_back(r);
    }
    return b.recorders;
}

Recorder &Recorder::start(const Options &o) { return *start_many(1, o).front(); }
Recorder *Recorder::instance() { return at(0); }
Recorder *Recorder::at(int i)
{
    if (!g_bench)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_bench->mu);
    return i >= 0 && i < int(g_bench->recorders.size()) ? g_bench->recorders[size_t(i)] : nullptr;
}

int Recorder::recorders()
{
    if (!g_bench)
        return 0;
    std::lock_guard<std::mutex> lock(g_bench->mu);
    return int(g_bench->recorders.size());
}

std::string Recorder::testbed_dir() { return g_bench ? g_bench->root_dir : std::string(); }
void Recorder::fire_trigger_all(int input)
{
    if (!g_bench)
        return;
    std::lock_guard<std::mutex> lock(g_bench->mu);
    const Clock::time_point edge = Clock::now();   // one edge, seen by every recorder at once
    for (Recorder *r : g_bench->recorders)
        r->d->trigger(input, edge);
}

// The testbed's folder goes at exit (the emulator sees to that), but a process that is
// killed runs no exit handler: a small watcher process removes the folder once this one has
// gone, whatever ended it. Between fork and exec it makes only async-signal-safe calls.
void Recorder::watch_testbed()
{
    if (!g_bench)
        return;
    const std::string root = g_bench->root_dir;
    const char *dir = root.c_str();
    if (!dir || std::strncmp(dir, "/", 1) != 0 || !std::strstr(dir, "umockdev."))
        return;
    int tube[2];
    if (::pipe2(tube, O_CLOEXEC) != 0)
        return;
    rlimit lim{};
    const int max_fd = ::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < 65536 ? int(lim.rlim_cur) : 65536;
    const char *const argv[] = {"rm", "-rf", "--", dir, nullptr};
    const char *const envp[] = {nullptr}; // no preload: rm must see the real file system
    const pid_t pid = ::fork();
    if (pid == 0) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            ::sigaction(sig, &ignore, nullptr);
        for (int fd = 3; fd < max_fd; ++fd)
            if (fd != tube[0])
                ::close(fd);
        // Nor does it hold the terminal or the pipes of whoever started the program.
        if (const int nul = ::open("/dev/null", O_RDWR); nul >= 0)
            for (int fd = 0; fd < 3; ++fd)
                ::dup2(nul, fd);
        char c;
        while (::read(tube[0], &c, 1) != 0) { // end of file: the program has gone
        }
        ::execve("/bin/rm", const_cast<char *const *>(argv), const_cast<char *const *>(envp));
        ::_exit(1);
    }
    ::close(tube[0]); // the write end stays open, unseen, until this process ends
}

} // namespace emu
