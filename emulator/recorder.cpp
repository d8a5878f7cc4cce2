// The emulated recorder's USB side: a umockdev ioctl handler answering the usbfs requests that
// libusb makes, and the recorder's acquisition logic behind its vendor requests and its bulk IN
// endpoint 0x81.
//
// Threads. umockdev calls the handler on its own worker thread, which runs its own GLib main
// context; the handler never sleeps there, and real-time pacing is a GLib timeout attached to that
// context. The public API may be called from any thread: the state of every recorder of the
// testbed sits behind the one mutex of their bench (what they share: the usbfs budget, the
// trigger lines, the sampling clock).
//
// Memory. As usbfs does, a bulk IN URB gets a buffer of the "kernel's" own: the stream is written
// there while the URB is in flight, and copied into the client's buffer only when the URB is
// reaped (with its status and length). The one exception is device memory: a client that maps
// the device node (libusb_dev_mem_alloc, usbfs mmap) gets memory charged to the usbfs budget for
// as long as it is mapped, and an URB whose buffer lies in it is filled in place. umockdev does
// not model mmap on its nodes (its preload leaves mmap to the kernel, which refuses a FIFO), so
// this file interposes mmap and munmap for the process (see the end of the file), and write
// and writev, which refuse a direct (O_DIRECT) write from device memory with EFAULT, as the
// kernel does (it cannot pin a VM_IO mapping).
// Across processes (Options::remote, viz256-emulator) the client's memory is not ours to address:
// umockdev fetches the URB at its submission, and at its reap the URB and the transfer's buffer
// (fetched then) are written back into the client with the completion. No device memory there.
//
// Wake-ups. umockdev's device node is a regular file, so poll() always reports it ready and libusb
// spins. By default the node is replaced by a FIFO that the handler keeps full (no POLLOUT, which
// is what libusb polls usbfs descriptors for) while nothing is reapable, and empty as soon as an
// URB is ready. Options::spin_fallback keeps the regular file. The FIFO is one pipe in the
// kernel, so it wakes programs of other processes just as well.
#include "emulator/recorder.h"

#include "emulator/frames.h"
#include "emulator/scene.h"

#include <umockdev.h>

// clang-format off
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
// clang-format on

#include <atomic>
#include <cerrno>
#include <dlfcn.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <ctime>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <cstddef>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <sys/resource.h>
#include <csignal>
#include <thread>
#include <unistd.h>

// ThreadSanitizer cannot see the hand-over of a transfer through umockdev's socket (umockdev
// calls libc directly), so the stream written into the host's buffers here would be reported
// against every later read of them by the program. On hardware these writes are DMA that no
// thread makes: they are hidden from it.
// For the same reason the handler's reads and writes of the host's URBs (what the kernel does
// inside the ioctl, which no thread of the program makes) are hidden from it: libusb frees a
// control transfer's URB as soon as its reap has come back through the socket, which the
// sanitizer would otherwise pair with the handler's read of that URB at its submission.
#if defined(__SANITIZE_THREAD__)
extern "C" void AnnotateIgnoreWritesBegin(const char *file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char *file, int line);
extern "C" void AnnotateIgnoreReadsBegin(const char *file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char *file, int line);
static void ignore_writes_begin() { AnnotateIgnoreWritesBegin(__FILE__, __LINE__); }
static void ignore_writes_end() { AnnotateIgnoreWritesEnd(__FILE__, __LINE__); }
static void ignore_accesses_begin() { AnnotateIgnoreReadsBegin(__FILE__, __LINE__); AnnotateIgnoreWritesBegin(__FILE__, __LINE__); }
static void ignore_accesses_end() { AnnotateIgnoreWritesEnd(__FILE__, __LINE__); AnnotateIgnoreReadsEnd(__FILE__, __LINE__); }
#else
static void ignore_writes_begin() {}
static void ignore_writes_end() {}
static void ignore_accesses_begin() {}
static void ignore_accesses_end() {}
#endif

// Device memory is modelled by interposing mmap, munmap, write and writev (see the end of the file),
// which a ThreadSanitizer build must not do.
#if defined(__SANITIZE_THREAD__)
#define VIZ256_EMU_INTERPOSE 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VIZ256_EMU_INTERPOSE 0
#endif
#endif
#ifndef VIZ256_EMU_INTERPOSE
#define VIZ256_EMU_INTERPOSE 1
#endif

namespace emu {

namespace {

constexpr uint8_t kBulkIn = 0x81;
constexpr int kTickMs = 10;

// What the kernel charges an URB against usbfs_memory_mb: its own records (about this much on a
// 64-bit kernel), the whole buffer (the 8-byte setup included for a control URB) and, for a bulk
// buffer of more than 16 KiB, its scatter-gather list of one 32-byte entry per 16 KiB.
constexpr uint64_t kUrbRecords = 384;
constexpr uint64_t kSgChunk = 16384;
constexpr uint64_t kSgEntry = 32;
// What the kernel charges a usbfs mapping besides its size (its struct usb_memory).
constexpr uint64_t kMappingRecord = 64;
constexpr const char *kUsbfsParam = "/sys/module/usbcore/parameters/usbfs_memory_mb";

// Device (USB 3, vendor 0xFE27, product 0xAC01, serial number in string 3), one configuration,
// one vendor-class interface 0 with a bulk IN endpoint 0x81 (1024-byte packets, with its
// SuperSpeed companion).
constexpr uint8_t kSerialIndex = 3;
constexpr uint16_t kLangId = 0x0409;   // English (United States), the one language it offers
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

using Clock = std::chrono::steady_clock;

constexpr int kMaxRecorders = 16;

} // namespace

// What the recorders of one testbed share: the testbed itself, the host's usbfs budget (the
// kernel counts every device and program against one cap), the clock their sampling runs on,
// and the Trig1/Trig2 lines wired to all of them. One lock guards it and every recorder: the
// handlers all run on umockdev's one worker thread anyway.
struct Bench {
    std::mutex mu;
    std::condition_variable cv;
    UMockdevTestbed *testbed = nullptr;
    std::string root_dir;
    std::string usbfs_param;              // the parameter's file in the testbed
    unsigned usbfs_mb = kKernelUsbfsMemoryMb;
    uint64_t usbfs_used = 0;              // all recorders' URBs and mappings
    uint64_t usbfs_elsewhere = 0;
    Clock::time_point epoch = Clock::now();
    bool shared_clock = false;
    bool remote = false;
    Options options;
    std::vector<Recorder *> recorders;
};
static Bench *g_bench = nullptr;
// The recorders, readable without a lock by the mmap, munmap and write interposers.
static std::atomic<Recorder::Impl *> g_impls[kMaxRecorders];
static std::atomic<int> g_impl_count{0};

struct Recorder::Impl {
    Impl(Bench &b, int i) : bench(b), mu(b.mu), cv(b.cv), index(i) {}
    Bench &bench;
    struct Mapping;
    // One URB handed to us by a client, identified by its address in the client's memory.
    struct Urb {
        UMockdevIoctlClient *client = nullptr;
        usbdevfs_urb *u = nullptr;   // in-process: the client's; remote: the local copy in `data`
        void *id = nullptr;          // its address in the client
        UMockdevIoctlData *data = nullptr;   // remote: the URB as umockdev fetched it
        bool control_in = false;     // a control read: `kernel` holds the answer for buffer + 8
        bool done = false;        // completed: reapable
        bool discarded = false;   // discarded by the host: reapable
        int status = 0;
        uint32_t filled = 0;      // bulk: stream bytes written into the buffer so far
        uint32_t length = 0;      // value to report in actual_length
        uint64_t usbfs = 0;       // usbfs memory it holds until it is reaped
        // Bulk IN: where the stream goes while in flight: the kernel's buffer, copied into the
        // client's at the reap, or the client's device memory itself.
        uint8_t *dest = nullptr;
        std::unique_ptr<uint8_t[]> kernel;
        Mapping *mapping = nullptr;
    };
    // Device memory: one usbfs mapping of the node. It lives (and is charged) until it is
    // unmapped and no URB uses it any more, as the kernel keeps it.
    struct Mapping {
        uint8_t *addr = nullptr;
        size_t len = 0;
        uint64_t usbfs = 0;
        int urbs = 0;
        bool unmapped = false;
    };

    enum class Phase { Idle, ArmedStart, Running, Ending };

    std::mutex &mu;                 // the bench's
    std::condition_variable &cv;
    const int index;                // 0, 1, ...: port 1-(index + 1), device number index + 2
    std::string node;               // /dev/bus/usb/001/00N
    std::string serial;

    UMockdevIoctlBase *handler = nullptr;
    GMainContext *worker = nullptr;
    GSource *ticker = nullptr;
    int fifo = -1;
    bool fifo_ready = true;        // the FIFO is empty (POLLOUT)

    // Configuration, as the vendor requests set it.
    uint8_t clock_arg = 9;
    uint32_t count = 0;
    uint8_t beams[32] = {};
    uint8_t aux = 0;
    bool floats = false;
    uint8_t delay = 10;
    uint8_t start_byte = 0, stop_byte = 0;

    std::vector<Request> requests;
    std::list<Urb> controls;       // control URBs, in submission order (completed at once unless unanswered)
    std::list<Urb> bulk;           // bulk URBs in submission order

    // The stream.
    Phase phase = Phase::Idle;
    int armed_start = 0, armed_stop = 0;
    FrameSource source;
    // The scene: the absolute frame each sampling frequency (clock argument) has reached.
    std::shared_ptr<const Scene> scene;
    std::map<uint8_t, uint64_t> scene_clock;
    uint8_t stream_clock = 9;
    bool scene_carry = false;     // the last stream's scene time runs on into the next
    uint64_t limit = UINT64_MAX;   // bytes of this stream (counted runs)
    uint64_t produced = 0;
    Clock::time_point pace_t0;
    uint64_t pace_bytes0 = 0;
    double bytes_per_second = 0;

    // Behaviour and faults.
    bool paced = false;
    bool paced_option = false;     // paced as asked at start(); reset() returns to it
    uint32_t counter_start = 0;
    bool silence = false;
    int probe_size = 0;
    uint64_t jump_frame = UINT64_MAX;
    uint32_t jump = 0;
    uint64_t vanish_at = UINT64_MAX;
    bool stall = false;
    uint32_t odd_once = 0;
    bool reap_fails = false;
    bool controls_unanswered = false;
    bool gone = false;

    // Device memory (usbfs mmap): offered or refused (ENOMEM, as a host whose controller cannot
    // give that much DMA memory), and the mappings made.
    bool device_memory = false;
    bool device_memory_option = false;
    std::list<Mapping> mappings;          // changed under mu and maps_mu
    std::mutex maps_mu;
    std::vector<std::unique_ptr<uint8_t[]>> spare_kernel;   // kernel buffers of reaped URBs, for reuse
    std::vector<uint32_t> spare_kernel_len;

    // Interface 0 belongs to one open descriptor at a time, as usbfs makes it.
    UMockdevIoctlClient *claimed_by = nullptr;

    uint64_t streamed = 0;
    uint64_t completed = 0;

    // The recorder's own buffer (paced): stream bytes sampled, held, lost. `produced` counts the
    // bytes sent, so sampled = produced + held + lost frames' bytes.
    uint64_t sampled = 0;
    uint64_t sample_limit = UINT64_MAX;   // bytes the recorder samples in this stream
    uint64_t held = 0;
    uint64_t capacity = kDefaultDeviceBuffer;
    uint64_t capacity_option = kDefaultDeviceBuffer;
    uint64_t high_water = 0;
    uint64_t dropped = 0;                 // frames

    // usbfs memory this recorder's URBs and mappings hold (the bench keeps the total).
    uint64_t usbfs_used = 0;
    // The shared clock's tick (at the stream's frequency) of the stream's first frame.
    uint64_t tick0 = 0;

    // ---------------------------------------------------------------- set-up

    // The scene's signals at the power-on frequency (the probe's), made before the program can
    // send anything: the start request must be answered as promptly as the hardware answers it,
    // within the program's bound on a control request, however slow the making (a sanitizer
    // build takes seconds).
    void prepare_scene()
    {
        if (scene)
            scene->at_rate(500000.0 / (9 + 1));
    }

    // Plugs this recorder into the bench's testbed: port 1-(index + 1) of bus 1, device number
    // index + 2 (the root hub is 1), its serial number in its string descriptor 3.
    void create(const Options &o)
    {
        paced = paced_option = o.paced;
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
    static void create_bench(Bench &b, const Options &o)
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

    [[noreturn]] static void die(const char *what, GError *err)
    {
        std::fprintf(stderr, "emulated recorder: %s: %s\n", what, err ? err->message : "?");
        std::abort();
    }

    // Replaces umockdev's regular-file node by a FIFO that we keep full while nothing is
    // reapable. On any failure the regular file stays (libusb then spins, but works).
    void make_fifo()
    {
        const std::string path = bench.root_dir + node;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return;
        if (::unlink(path.c_str()) != 0)
            return;
        if (::mkfifo(path.c_str(), 0666) != 0) {
            std::fprintf(stderr, "emulated recorder: no FIFO (%s); polling will spin\n", std::strerror(errno));
            int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
            if (fd >= 0)
                ::close(fd);
            return;
        }
        fifo = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fifo < 0)
            return;
        fifo_ready = true;
        update_fifo();
    }

    // The node's identity, so that a mapping of it is recognised whatever descriptor maps it.
    void note_node()
    {
        const std::string path = bench.root_dir + node;
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            node_dev.store(st.st_dev);
            node_ino.store(st.st_ino);
        }
    }
    std::atomic<ino_t> node_ino{0};
    std::atomic<dev_t> node_dev{0};

    // ---------------------------------------------------------------- usbfs memory

    static void write_usbfs_param(Bench &b, unsigned mb)
    {
        if (FILE *f = std::fopen(b.usbfs_param.c_str(), "w")) {
            std::fprintf(f, "%u\n", mb);
            std::fclose(f);
        }
        b.usbfs_mb = mb;
    }

    // The kernel reads its parameter at every submission; so do we (a test may write the file).
    unsigned usbfs_limit_mb()
    {
        if (FILE *f = std::fopen(bench.usbfs_param.c_str(), "r")) {
            unsigned v = 0;
            if (std::fscanf(f, "%u", &v) == 1)
                bench.usbfs_mb = v;
            std::fclose(f);
        }
        return bench.usbfs_mb;
    }

    static uint64_t usbfs_charge(const usbdevfs_urb *u)
    {
        const uint64_t len = uint64_t(u->buffer_length);
        uint64_t c = kUrbRecords + len;
        if (u->type == USBDEVFS_URB_TYPE_BULK && len > kSgChunk)
            c += (len + kSgChunk - 1) / kSgChunk * kSgEntry;
        return c;
    }

    // False (ENOMEM for the host) when the URB would take the memory in flight past the cap.
    bool usbfs_take(uint64_t charge)
    {
        const uint64_t cap = uint64_t(usbfs_limit_mb()) << 20;
        if (cap != 0 && bench.usbfs_used + bench.usbfs_elsewhere + charge > cap)
            return false;
        usbfs_used += charge;
        bench.usbfs_used += charge;
        return true;
    }

    void usbfs_give(uint64_t charge)
    {
        usbfs_used -= charge;
        bench.usbfs_used -= charge;
    }
    void usbfs_release(const Urb &r) { usbfs_give(r.usbfs); }

    // ---------------------------------------------------------------- buffers of in-flight URBs

    // A kernel buffer for a bulk IN URB (usbfs allocates one per submission; we keep a few).
    std::unique_ptr<uint8_t[]> take_kernel(uint32_t len)
    {
        for (size_t i = 0; i < spare_kernel.size(); ++i)
            if (spare_kernel_len[i] == len) {
                auto b = std::move(spare_kernel[i]);
                spare_kernel.erase(spare_kernel.begin() + long(i));
                spare_kernel_len.erase(spare_kernel_len.begin() + long(i));
                return b;
            }
        return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[len]);
    }

    // The URB leaves the recorder: what arrived is copied into the client's buffer (the reap),
    // or was there already (device memory). `to_client` is false when the client is gone.
    void finish_buffer(Urb &r, bool to_client)
    {
        if (r.kernel) {
            if (to_client && r.length > 0) {
                timespec c0{}, c1{};
                clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
                const uint32_t at = r.control_in ? 8 : 0;   // a control buffer starts with its setup
                if (r.data) {
                    // Another process: umockdev fetches the client's buffer, and writes it back
                    // with the data when the reap completes.
                    GError *e = nullptr;
                    if (UMockdevIoctlData *b = umockdev_ioctl_data_resolve(r.data, offsetof(usbdevfs_urb, buffer), at + r.length, &e)) {
                        std::memcpy(b->data + at, r.kernel.get(), r.length);
                        g_object_unref(b);
                    } else {
                        std::fprintf(stderr, "emulated recorder: cannot reach the host's buffer: %s\n", e ? e->message : "?");
                        g_clear_error(&e);
                    }
                } else {
                    ignore_writes_begin();
                    std::memcpy(static_cast<uint8_t *>(r.u->buffer) + at, r.kernel.get(), r.length);
                    ignore_writes_end();
                }
                clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
                reap_copy_s += double(c1.tv_sec - c0.tv_sec) + double(c1.tv_nsec - c0.tv_nsec) * 1e-9;
            }
            if (!r.control_in && spare_kernel.size() < 16) {
                spare_kernel.push_back(std::move(r.kernel));
                spare_kernel_len.push_back(uint32_t(r.u->buffer_length));
            }
            r.kernel.reset();
        }
        if (r.data && !to_client) {   // a reaped URB's goes with the reap's completion
            g_object_unref(r.data);
            r.data = nullptr;
        }
        if (r.mapping) {
            --r.mapping->urbs;
            drop_mapping_if_done(r.mapping);
            r.mapping = nullptr;
        }
        r.dest = nullptr;
    }

    // The mapping that holds [p, p + len): nullptr when none; `partial` when one holds only
    // part of it (usbfs refuses such an URB).
    Mapping *mapping_of(const void *p, size_t len, bool &partial)
    {
        partial = false;
        const uint8_t *b = static_cast<const uint8_t *>(p);
        for (Mapping &m : mappings) {
            if (m.unmapped)
                continue;
            const bool starts = b >= m.addr && b < m.addr + m.len;
            const bool ends = b + len > m.addr && b + len <= m.addr + m.len;
            if (starts && ends)
                return &m;
            if (starts || ends || (b < m.addr && b + len > m.addr + m.len))
                partial = true;
        }
        return nullptr;
    }

    void drop_mapping_if_done(Mapping *m)
    {
        if (!m->unmapped || m->urbs > 0)
            return;
        usbfs_give(m->usbfs);
        real_munmap()(m->addr, m->len);
        std::lock_guard<std::mutex> lock(maps_mu);
        mappings.remove_if([m](const Mapping &x) { return &x == m; });
    }

    using MmapFn = void *(*)(void *, size_t, int, int, int, off_t);
    using MunmapFn = int (*)(void *, size_t);
    static MmapFn real_mmap();
    static MunmapFn real_munmap();

    // usbfs mmap of the node: memory for the client's transfers, zeroed, charged to the budget.
    void *map_device_memory(size_t len, int prot, int &err)
    {
        std::lock_guard<std::mutex> lock(mu);
        if (gone) {
            err = ENODEV;
            return nullptr;
        }
        const uint64_t charge = len + kMappingRecord;
        if (!device_memory || len == 0 || !usbfs_take(charge)) {
            err = ENOMEM;
            return nullptr;
        }
        void *p = real_mmap()(nullptr, len, prot, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            usbfs_give(charge);
            err = ENOMEM;
            return nullptr;
        }
        Mapping m;
        m.addr = static_cast<uint8_t *>(p);
        m.len = len;
        m.usbfs = charge;
        std::lock_guard<std::mutex> maps_lock(maps_mu);
        mappings.push_back(m);
        mapping_count.fetch_add(1);
        return p;
    }

    // True when [p, p + len) was a mapping of the node (now unmapped for the client).
    bool unmap_device_memory(void *p, size_t len)
    {
        std::lock_guard<std::mutex> lock(mu);
        for (Mapping &m : mappings)
            if (!m.unmapped && m.addr == p && m.len == len) {
                m.unmapped = true;
                mapping_count.fetch_sub(1);
                drop_mapping_if_done(&m);
                return true;
            }
        return false;
    }
    static inline std::atomic<int> mapping_count{0};   // of all recorders

    // The kernel cannot pin device memory (a VM_IO mapping) for a direct write: such a write
    // fails with EFAULT.
    bool in_device_memory(const void *p, size_t len)
    {
        std::lock_guard<std::mutex> lock(maps_mu);   // not mu: the emulator itself writes under mu
        const uint8_t *b = static_cast<const uint8_t *>(p);
        for (const Mapping &m : mappings)
            if (b < m.addr + m.len && b + len > m.addr)
                return true;
        return false;
    }
    static bool direct_write_from_device_memory(int fd, const struct iovec *v, int n);

    // CPU time spent copying URB data into the client's buffers at the reap (the kernel's
    // share of a transfer into ordinary memory), in seconds.
    double reap_copy_s = 0;

    // ---------------------------------------------------------------- wake-ups

    bool head_due() const
    {
        if (paced || phase != Phase::Running || silence || stall || gone || source.words() == 0)
            return false;
        return head() != nullptr;
    }

    bool reapable() const
    {
        if (head_due())
            return true;
        for (const std::list<Urb> *l : {&controls, &bulk})
            for (const Urb &r : *l)
                if (r.done || r.discarded)
                    return true;
        return false;
    }

    void update_fifo()
    {
        if (fifo < 0)
            return;
        const bool want = reapable();
        if (want && !fifo_ready) {
            char buf[65536];
            while (::read(fifo, buf, sizeof buf) > 0) {
            }
            fifo_ready = true;
        } else if (!want && fifo_ready) {
            static const char zeros[4096] = {};
            while (::write(fifo, zeros, sizeof zeros) > 0) {
            }
            fifo_ready = false;
        }
    }

    void changed()
    {
        update_fifo();
        cv.notify_all();
    }

    // ---------------------------------------------------------------- the stream

    Urb *head() const
    {
        for (const Urb &r : bulk)
            if (!r.done && !r.discarded)
                return const_cast<Urb *>(&r);
        return nullptr;
    }

    void complete_bulk(Urb &r, int status)
    {
        r.done = true;
        r.status = status;
        r.length = r.filled;
        if (status == 0)
            ++completed;
    }

    void start(uint8_t t)
    {
        if (phase != Phase::Idle)
            return;   // already started: the recorder ignores a second start
        start_byte = t;
        const FrameLayout layout = FrameLayout::from_masks(beams, aux, floats);
        const double rate = 500000.0 / (clock_arg + 1);
        if (scene_carry && source.has_scene() && source.frame_bytes())
            scene_clock[stream_clock] = source.scene_frame((produced + source.frame_bytes() - 1) / source.frame_bytes());
        stream_clock = clock_arg;
        scene_carry = true;
        source.configure(layout, rate, counter_start, jump_frame, jump,
                         scene ? scene->at_rate(rate) : nullptr, scene ? scene_clock[clock_arg] : 0);
        bytes_per_second = rate * source.frame_bytes();
        limit = UINT64_MAX;
        if (count != 0)
            limit = probe_size > 0 ? uint64_t(probe_size) : uint64_t(count) * source.frame_bytes();
        sample_limit = limit;
        produced = 0;
        sampled = 0;
        held = 0;
        armed_stop = 0;
        const int input = t & 3;
        if (input == 1 || input == 2) {
            armed_start = input;
            phase = Phase::ArmedStart;
        } else {
            begin_running();
        }
    }

    // At instant `t`: a soft start's arrival, or the trigger edge every armed recorder sees.
    void begin_running(Clock::time_point t = Clock::now())
    {
        armed_start = 0;
        phase = Phase::Running;
        pace_t0 = t;
        // On a shared clock, frame 0 is the sample of the clock's tick at that instant, the same
        // on every recorder at that frequency.
        tick0 = 0;
        if (bench.shared_clock && t > bench.epoch)
            tick0 = uint64_t(std::chrono::duration<double>(t - bench.epoch).count() * 500000.0 / (stream_clock + 1));
        source.set_first_tick(tick0);
        pace_bytes0 = 0;
        if (produced >= limit)
            phase = Phase::Ending;
        // Unpaced, the first transfer fills at once (the host sees it at its reap, or at once in
        // device memory); later ones fill when reaped.
        if (!paced)
            if (Urb *h = head())
                sampled += produce(h->u->buffer_length - h->filled);
        ensure_ticker();
        pump();
    }

    void stop(uint8_t t)
    {
        stop_byte = t;
        const int input = t & 3;
        if (phase == Phase::ArmedStart) {
            if (input == 0) {   // a soft stop before the trigger: nothing was sent, nothing to end
                phase = Phase::Idle;
                armed_start = 0;
            }
            return;
        }
        if (phase != Phase::Running)
            return;
        if (input == 1 || input == 2)
            armed_stop = input;
        else
            end_stream();
    }

    // A stop: the transfer being filled completes short. Unpaced, the stream has no "current"
    // data of its own, so the recorder still flushes half a transfer's worth it had in hand.
    // Paced, sampling stops and what its buffer holds is sent first.
    void end_stream()
    {
        armed_stop = 0;
        if (paced && phase == Phase::Running) {
            produce_paced();
            sample_limit = sampled;
            limit = produced + held;
            if (held > 0)
                return;   // the ticker sends the rest, then the stream ends
        }
        if (!paced && !silence)
            if (Urb *h = head(); h && phase == Phase::Running)
                sampled += produce(((h->u->buffer_length - h->filled) / 2) & ~3u);
        if (phase == Phase::Running)
            phase = Phase::Ending;
        stop_ticker();
        pump();
    }

    // B0, C0, C4: the acquisition logic stops at once; no end-of-stream transfer is sent, the
    // queued URBs stay queued until the host cancels them.
    void reset_acquisition()
    {
        phase = Phase::Idle;
        armed_start = armed_stop = 0;
        stop_ticker();
    }

    // Writes up to budget bytes of the stream into the queued URBs, completing those that fill.
    // Returns the stream bytes consumed: those sent and the rest of a word a cut transfer lost.
    uint64_t produce(uint64_t budget)
    {
        uint64_t sent = 0;
        while (budget > 0 && phase == Phase::Running && !silence && !stall && !gone && produced < limit) {
            Urb *h = head();
            if (!h || source.words() == 0)
                break;
            uint32_t target = h->u->buffer_length;
            const bool odd = odd_once != 0 && odd_once > h->filled && odd_once < target;
            if (odd)
                target = odd_once;
            uint64_t n = std::min<uint64_t>(budget, target - h->filled);
            n = std::min(n, limit - produced);
            const bool vanish_now = streamed + n >= vanish_at;
            if (vanish_now)
                n = vanish_at - streamed;
            ignore_writes_begin(); // the recorder writes as its DMA would (device memory: the host's buffer)
            source.generate(h->dest + h->filled, produced, size_t(n));
            ignore_writes_end();
            h->filled += uint32_t(n);
            produced += n;
            streamed += n;
            budget -= n;
            sent += n;
            if (vanish_now) {
                vanish();
                break;
            }
            if (h->filled == target) {
                complete_bulk(*h, 0);
                if (odd) {
                    // The rest of the cut word is lost: the next transfer starts on a word.
                    // Those bytes count as consumed, so a paced recorder's buffer does not
                    // send them again after the next word.
                    odd_once = 0;
                    const uint64_t perdu = std::min(limit, (produced + 3) & ~uint64_t(3)) - produced;
                    produced += perdu;
                    sent += perdu;
                    budget -= std::min(budget, perdu);
                }
            }
            if (produced >= limit)
                phase = Phase::Ending;
        }
        return sent;
    }

    // Moves the stream on after any change: stalls, the end of a stream, unpaced production is
    // done lazily by reap().
    void pump()
    {
        if (gone)
            return;
        if (stall)
            for (Urb &r : bulk)
                if (!r.done && !r.discarded)
                    complete_bulk(r, -EPIPE);
        if (silence)
            return;
        if (phase == Phase::Ending)
            if (Urb *h = head()) {
                complete_bulk(*h, 0);
                phase = Phase::Idle;
            }
    }

    // The device goes away: URBs in flight come back with -ESHUTDOWN (libusb: NO_DEVICE), every
    // later request fails with ENODEV.
    void vanish()
    {
        gone = true;
        phase = Phase::Idle;
        stop_ticker();
        for (Urb &r : bulk)
            if (!r.done && !r.discarded) {
                r.done = true;
                r.status = -ESHUTDOWN;
                r.length = r.filled;
            }
    }

    // ---------------------------------------------------------------- pacing

    void ensure_ticker()
    {
        if (!paced || phase != Phase::Running || ticker || !worker)
            return;
        ticker = g_timeout_source_new(kTickMs);
        g_source_set_callback(ticker, &Impl::on_tick_cb, this, nullptr);
        g_source_attach(ticker, worker);
    }

    void stop_ticker()
    {
        if (!ticker)
            return;
        g_source_destroy(ticker);
        g_source_unref(ticker);
        ticker = nullptr;
    }

    // The recorder samples whole frames at its own rate, whatever the host does, into its buffer;
    // the buffer empties into the transfers the host has queued. What does not fit is lost in
    // whole frames, the newest first, so the counter of the next frame sent jumps by their number.
    void produce_paced()
    {
        if (phase != Phase::Running || gone)
            return;
        const uint64_t fb = source.frame_bytes();
        if (fb == 0)
            return;
        const double secs = std::chrono::duration<double>(Clock::now() - pace_t0).count();
        uint64_t due = pace_bytes0 + uint64_t(secs * bytes_per_second) / fb * fb;
        due = std::min(due, sample_limit);
        if (due > sampled) {
            if (silence) {   // the recorder is mute: nothing is kept, nothing is sent
                sampled = due;
                return;
            }
            held += due - sampled;
            sampled = due;
        }
        if (held == 0)
            return;
        held -= produce(held);
        if (held > capacity) {
            const uint64_t frames = (held - capacity + fb - 1) / fb;
            const uint64_t kept = (produced + held) / fb - frames;   // sent frame the gap comes before
            source.drop(kept, frames);
            held -= frames * fb;
            dropped += frames;
            if (limit != UINT64_MAX)
                limit -= frames * fb;
            if (produced >= limit)
                phase = Phase::Ending;
        }
        high_water = std::max(high_water, held);
    }

    static gboolean on_tick_cb(gpointer p)
    {
        Impl *d = static_cast<Impl *>(p);
        std::lock_guard<std::mutex> lock(d->mu);
        if (g_main_current_source() != d->ticker)
            return G_SOURCE_REMOVE;
        if (!d->paced || d->phase != Phase::Running) {
            g_source_unref(d->ticker);
            d->ticker = nullptr;
            return G_SOURCE_REMOVE;
        }
        d->produce_paced();
        d->pump();
        d->changed();
        if (g_main_current_source() != d->ticker || d->ticker == nullptr)
            return G_SOURCE_REMOVE;
        return G_SOURCE_CONTINUE;
    }

    void set_paced(bool on)
    {
        if (on == paced)
            return;
        paced = on;
        if (!paced) {   // on demand from now on: what the buffer held is simply the next data
            sampled = produced;
            held = 0;
        }
        pace_t0 = Clock::now();
        pace_bytes0 = sampled;
        if (paced)
            ensure_ticker();
        else
            stop_ticker();
    }

    // ---------------------------------------------------------------- vendor requests

    bool command(const Request &r)
    {
        if (r.bmRequestType != 0x40 || r.wValue != 0 || r.wIndex != 0)
            return false;
        if (r.bRequest == 0xC0 || r.bRequest == 0xC4) {
            if (!r.data.empty())
                return false;
            reset_acquisition();
            if (r.bRequest == 0xC0) {
                stall = false;   // the controller reset clears the endpoint halt
            } else {             // pseudo-hard reset: configuration back to power-on values
                clock_arg = 9;
                count = 0;
                std::memset(beams, 0, sizeof beams);
                aux = 0;
                floats = false;
                delay = 10;
            }
            return true;
        }
        if ((r.bRequest & 0xF0) != 0xB0)
            return false;
        const size_t n = r.bRequest - 0xB0;
        if (r.data.size() != n + 1)
            return false;
        const uint8_t *a = r.data.data() + 1;
        switch (r.data[0]) {
        case 0x00:
            if (n != 0)
                return false;
            reset_acquisition();
            return true;
        case 0x01:
            if (n != 1)
                return false;
            clock_arg = a[0];
            return true;
        case 0x02:
            if (n != 1)
                return false;
            start(a[0]);
            return true;
        case 0x03:
            if (n != 1)
                return false;
            stop(a[0]);
            return true;
        case 0x04:
            if (n != 4)
                return false;
            count = uint32_t(a[0]) | uint32_t(a[1]) << 8 | uint32_t(a[2]) << 16 | uint32_t(a[3]) << 24;
            return true;
        case 0x05:
            if (n != 3)
                return false;
            if (a[1] < 32)
                beams[a[1]] = a[2];
            else if (a[1] == 0xFF)
                aux = a[2] & 0xCF;
            else
                return false;
            return true;
        case 0x07:
            if (n != 1)
                return false;
            delay = a[0];
            return true;
        case 0x09:
            if (n != 1)
                return false;
            floats = a[0] != 0;
            return true;
        default:
            return false;
        }
    }

    // ---------------------------------------------------------------- usbfs

    static gboolean on_ioctl_cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p)
    {
        ignore_accesses_begin();
        static_cast<Impl *>(p)->on_ioctl(client);
        ignore_accesses_end();
        return TRUE;
    }

    static void on_vanished_cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p)
    {
        Impl *d = static_cast<Impl *>(p);
        std::lock_guard<std::mutex> lock(d->mu);
        if (d->claimed_by == client) // closing the descriptor releases its interfaces
            d->claimed_by = nullptr;
        const auto gone_with_client = [d, client](Urb &r) {
            if (r.client != client)
                return false;
            d->usbfs_release(r);
            d->finish_buffer(r, false);
            return true;
        };
        d->controls.remove_if(gone_with_client);
        d->bulk.remove_if(gone_with_client);
        d->changed();
    }

    // The memory an ioctl's argument points to: the client's own in this process; across
    // processes a local copy that umockdev fetched and writes back at the completion (held in
    // `held` until then).
    void *argument(UMockdevIoctlData *arg, size_t len, std::vector<UMockdevIoctlData *> &held)
    {
        if (!arg || !arg->data || size_t(arg->data_len) < sizeof(void *))
            return nullptr;
        if (!bench.remote) {
            void *p = nullptr;
            std::memcpy(&p, arg->data, sizeof p);
            return p;
        }
        GError *e = nullptr;
        UMockdevIoctlData *c = umockdev_ioctl_data_resolve(arg, 0, len, &e);
        if (!c) {
            g_clear_error(&e);
            return nullptr;
        }
        held.push_back(c);
        return c->data;
    }

    void on_ioctl(UMockdevIoctlClient *client)
    {
        std::lock_guard<std::mutex> lock(mu);
        if (!worker)
            worker = g_main_context_ref_thread_default();
        const unsigned long req = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        void *value = nullptr;   // the argument itself (an address in the client)
        if (arg && arg->data && size_t(arg->data_len) >= sizeof(void *))
            std::memcpy(&value, arg->data, sizeof value);
        std::vector<UMockdevIoctlData *> held;

        long res = 0;
        int err = 0;
        switch (req) {
        case USBDEVFS_GET_CAPABILITIES:
            if (gone) {
                res = -1, err = ENODEV;
            } else if (auto *caps = static_cast<uint32_t *>(argument(arg, sizeof(uint32_t), held))) {
                *caps = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
            } else {
                res = -1, err = EFAULT;
            }
            break;
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
            if (gone) {
                err = ENODEV;
            } else {
                const auto *n = static_cast<const unsigned *>(argument(arg, sizeof(unsigned), held));
                if (!n)
                    err = EFAULT;
                else if (*n != 0)
                    err = EINVAL;
                else
                    err = req == USBDEVFS_CLAIMINTERFACE ? claim(client) : release(client);
            }
            res = err ? -1 : 0;
            break;
        case USBDEVFS_CLEAR_HALT:
            if (gone)
                res = -1, err = ENODEV;
            else
                stall = false;
            break;
        case USBDEVFS_SUBMITURB:
            if (gone) {
                err = ENODEV;
            } else if (!bench.remote) {
                err = submit(client, static_cast<usbdevfs_urb *>(value), value, nullptr);
            } else {
                // The URB stays fetched until it is reaped: its reap writes it back.
                GError *e = nullptr;
                UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &e);
                g_clear_error(&e);
                err = d ? submit(client, reinterpret_cast<usbdevfs_urb *>(d->data), value, d) : EFAULT;
                if (err && d)
                    g_object_unref(d);
            }
            res = err ? -1 : 0;
            break;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            // libusb only reaps without delay; a blocking reap is answered the same way.
            err = reap(client, arg, held);
            res = err ? -1 : 0;
            break;
        case USBDEVFS_DISCARDURB:
            err = gone ? ENODEV : discard(client, value);
            res = err ? -1 : 0;
            break;
        default:
            res = -1;
            err = gone ? ENODEV : ENOTTY;
            if (std::getenv("VIZ256_EMU_DEBUG"))
                std::fprintf(stderr, "emulated recorder: ioctl 0x%lx not handled\n", req);
            break;
        }
        umockdev_ioctl_client_complete(client, res, err);
        for (UMockdevIoctlData *c : held)
            g_object_unref(c);
        changed();
    }

    // A standard request the recorder's USB controller answers itself: GET_DESCRIPTOR of a
    // string (the language table, the serial number). The answer, or nothing (a stall).
    std::optional<std::vector<uint8_t>> standard(const Request &r, uint16_t wLength) const
    {
        if (r.bmRequestType != 0x80 || r.bRequest != 0x06 || (r.wValue >> 8) != 0x03)
            return std::nullopt;
        std::vector<uint8_t> d;
        const uint8_t i = uint8_t(r.wValue);
        if (i == 0) {
            d = {4, 0x03, uint8_t(kLangId), uint8_t(kLangId >> 8)};
        } else if (i == kSerialIndex && r.wIndex == kLangId) {
            d = {uint8_t(2 + 2 * serial.size()), 0x03};
            for (char c : serial)
                d.insert(d.end(), {uint8_t(c), 0});
        } else {
            return std::nullopt;
        }
        if (d.size() > wLength)
            d.resize(wLength);
        return d;
    }

    int submit(UMockdevIoctlClient *client, usbdevfs_urb *u, void *id, UMockdevIoctlData *data)
    {
        if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
            if (u->buffer_length < 8)
                return EINVAL;
            const uint8_t *s = static_cast<const uint8_t *>(u->buffer);
            UMockdevIoctlData *fetched = nullptr;
            if (data) {
                GError *e = nullptr;
                fetched = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), size_t(u->buffer_length), &e);
                g_clear_error(&e);
                if (!fetched)
                    return EFAULT;
                s = fetched->data;
            }
            const int e = submit_control(client, u, s, id, data);
            if (fetched)
                g_object_unref(fetched);
            return e;
        }
        if (u->type == USBDEVFS_URB_TYPE_BULK) {
            if (u->endpoint != kBulkIn)
                return ENOENT;
            // usbfs claims the endpoint's interface for a descriptor that uses it unclaimed,
            // and refuses when another descriptor holds it.
            if (const int e = claim(client))
                return e;
            if (u->buffer_length < 0)
                return EINVAL;
            const uint32_t len = uint32_t(u->buffer_length);
            Urb b;
            bool partial = false;
            b.mapping = data ? nullptr : mapping_of(u->buffer, len, partial);
            if (partial)
                return EINVAL;   // usbfs: a buffer must lie wholly inside one mapping, or outside all
            // In device memory the buffer is charged with its mapping, and needs no
            // scatter-gather list: the URB costs its records only.
            b.usbfs = b.mapping ? kUrbRecords : usbfs_charge(u);
            if (!usbfs_take(b.usbfs))
                return ENOMEM;
            if (b.mapping) {
                ++b.mapping->urbs;
                b.dest = static_cast<uint8_t *>(u->buffer);
            } else if (len > 0) {
                b.kernel = take_kernel(len);
                if (!b.kernel) {
                    usbfs_give(b.usbfs);
                    return ENOMEM;
                }
                b.dest = b.kernel.get();
            }
            b.client = client;
            b.u = u;
            b.id = id;
            b.data = data;
            bulk.push_back(std::move(b));
            pump();
            return 0;
        }
        return EINVAL;
    }

    int submit_control(UMockdevIoctlClient *client, usbdevfs_urb *u, const uint8_t *s, void *id, UMockdevIoctlData *data)
    {
        Request r;
        r.bmRequestType = s[0];
        r.bRequest = s[1];
        r.wValue = uint16_t(s[2] | s[3] << 8);
        r.wIndex = uint16_t(s[4] | s[5] << 8);
        const uint16_t wLength = uint16_t(s[6] | s[7] << 8);
        if (8 + int(wLength) > u->buffer_length)
            return EINVAL;
        Urb c;
        c.usbfs = usbfs_charge(u);
        if (!usbfs_take(c.usbfs))
            return ENOMEM;   // refused before the recorder sees the request
        if (!(r.bmRequestType & 0x80))
            r.data.assign(s + 8, s + 8 + wLength);
        r.transfers_before = completed;
        c.client = client;
        c.u = u;
        c.id = id;
        c.data = data;
        if (r.bmRequestType == 0x80) {
            // A standard request, answered by the controller, not the firmware's command logic: not in requests().
            const auto answer = standard(r, wLength);
            c.done = true;
            c.status = answer ? 0 : -EPIPE;
            if (answer && !answer->empty()) {
                c.control_in = true;
                c.kernel.reset(new uint8_t[answer->size()]);
                std::memcpy(c.kernel.get(), answer->data(), answer->size());
                c.length = uint32_t(answer->size());
            }
            controls.push_back(std::move(c));
            return 0;
        }
        if (controls_unanswered) {
            // The recorder does not answer: nothing is done, the URB stays in flight until
            // the host gives up on it (libusb's time-out discards it).
            r.accepted = false;
            requests.push_back(r);
            controls.push_back(std::move(c));
            return 0;
        }
        r.accepted = command(r);
        requests.push_back(r);
        c.done = true;
        c.status = r.accepted ? 0 : -EPIPE;
        c.length = r.accepted ? wLength : 0;
        controls.push_back(std::move(c));
        return 0;
    }

    int claim(UMockdevIoctlClient *client)
    {
        if (claimed_by && claimed_by != client)
            return EBUSY;
        claimed_by = client;
        return 0;
    }

    // Releasing the interface kills the URBs still queued on its endpoint, as usbfs does: they
    // come back cancelled, with what they held, and keep their memory until they are reaped.
    int release(UMockdevIoctlClient *client)
    {
        if (claimed_by != client)
            return EINVAL;
        claimed_by = nullptr;
        for (Urb &r : bulk)
            if (r.client == client && !r.done && !r.discarded) {
                r.discarded = true;
                r.status = -ENOENT;
                r.length = r.filled;
            }
        return 0;
    }

    int reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg, std::vector<UMockdevIoctlData *> &held)
    {
        Urb *pick = nullptr;
        std::list<Urb> *from = nullptr;
        for (Urb &r : controls)
            if (r.client == client && (r.done || r.discarded)) {
                pick = &r;
                from = &controls;
                break;
            }
        if (!pick) {
            // Bulk URBs come back in submission order: the first one that is completed or
            // discarded, or else the head, filled now when the stream runs unpaced.
            Urb *first_pending = nullptr;
            for (Urb &r : bulk) {
                if (r.client != client)
                    continue;
                if (r.done || r.discarded) {
                    pick = &r;
                    break;
                }
                if (!first_pending)
                    first_pending = &r;
            }
            if (!pick && first_pending && head_due() && first_pending == head()) {
                sampled += produce(first_pending->u->buffer_length - first_pending->filled);
                pump();
                if (first_pending->done)
                    pick = first_pending;
                else  // the stream ended or the device vanished meanwhile: look again
                    for (Urb &r : bulk)
                        if (r.client == client && (r.done || r.discarded)) {
                            pick = &r;
                            break;
                        }
            }
            from = &bulk;
            if (pick && reap_fails)
                return EIO;
        }
        if (!pick)
            return gone ? ENODEV : EAGAIN;
        void **out = static_cast<void **>(argument(arg, sizeof(void *), held));
        if (!out)
            return EFAULT;
        finish_buffer(*pick, true);
        pick->u->status = pick->status;
        pick->u->actual_length = int(pick->length);
        if (pick->data) {
            // The slot gets the URB's address in the client, and the URB (status, length, the
            // buffer's data) is written back with the completion.
            umockdev_ioctl_data_set_ptr(held.back(), 0, pick->data);
            held.push_back(pick->data);
            pick->data = nullptr;
        } else {
            *out = pick->u;
        }
        usbfs_release(*pick);
        for (auto it = from->begin(); it != from->end(); ++it)
            if (&*it == pick) {
                from->erase(it);
                break;
            }
        return 0;
    }

    // An edge on input 1 or 2 at instant t: an armed start or stop on it goes off.
    void trigger(int input, Clock::time_point t)
    {
        if (phase == Phase::ArmedStart && armed_start == input)
            begin_running(t);
        else if (phase == Phase::Running && armed_stop == input)
            end_stream();
        changed();
    }

    int discard(UMockdevIoctlClient *client, void *u)
    {
        for (Urb &r : controls)
            if (r.client == client && r.id == u) {
                if (r.done || r.discarded)
                    return EINVAL;
                r.discarded = true;
                r.status = -ENOENT;
                r.length = 0;
                return 0;
            }
        for (Urb &r : bulk)
            if (r.client == client && r.id == u) {
                if (r.done || r.discarded)
                    return EINVAL;   // already completed: the host will reap it
                r.discarded = true;
                r.status = -ENOENT;
                r.length = r.filled;
                return 0;
            }
        return EINVAL;
    }
};

// -------------------------------------------------------------------- public API

Recorder::Recorder() : d(nullptr) {}
Recorder::~Recorder() = default;   // lives for the whole process

namespace {

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


#define LOCKED std::lock_guard<std::mutex> lock(d->mu)

std::vector<Request> Recorder::requests() const { LOCKED; return d->requests; }
void Recorder::clear_requests() { LOCKED; d->requests.clear(); }
uint64_t Recorder::bytes_streamed() const { LOCKED; return d->streamed; }
uint64_t Recorder::transfers_completed() const { LOCKED; return d->completed; }
bool Recorder::streaming() const { LOCKED; return d->phase != Impl::Phase::Idle; }
bool Recorder::waiting_for_trigger() const { LOCKED; return d->phase == Impl::Phase::ArmedStart; }
uint32_t Recorder::count() const { LOCKED; return d->count; }
uint8_t Recorder::clock_arg() const { LOCKED; return d->clock_arg; }
uint8_t Recorder::delay() const { LOCKED; return d->delay; }
bool Recorder::float_samples() const { LOCKED; return d->floats; }
uint8_t Recorder::beam_mask(int b) const { LOCKED; return b >= 0 && b < 32 ? d->beams[b] : 0; }
uint8_t Recorder::aux_mask() const { LOCKED; return d->aux; }
int Recorder::words_per_frame() const { LOCKED; return FrameLayout::from_masks(d->beams, d->aux, d->floats).words(); }
uint8_t Recorder::start_trigger() const { LOCKED; return d->start_byte; }
uint8_t Recorder::stop_trigger() const { LOCKED; return d->stop_byte; }
bool Recorder::vanished() const { LOCKED; return d->gone; }
bool Recorder::fifo_wakeups() const { LOCKED; return d->fifo >= 0; }
uint64_t Recorder::frames_dropped() const { LOCKED; return d->dropped; }
uint64_t Recorder::device_buffer_high_water() const { LOCKED; return d->high_water; }
uint64_t Recorder::usbfs_in_use() const { LOCKED; return d->usbfs_used; }
uint64_t Recorder::usbfs_in_use_all() const { LOCKED; return d->bench.usbfs_used; }
std::string Recorder::serial() const { return d->serial; }
std::string Recorder::port_path() const { return "1-" + std::to_string(d->index + 1); }
std::string Recorder::node() const { return d->node; }
void Recorder::set_device_buffer(uint64_t bytes) { LOCKED; d->capacity = bytes; }
void Recorder::set_usbfs_memory_mb(unsigned mb) { LOCKED; Impl::write_usbfs_param(d->bench, mb); }
void Recorder::set_usbfs_used_elsewhere(uint64_t bytes) { LOCKED; d->bench.usbfs_elsewhere = bytes; }

int Recorder::pending_transfers() const
{
    LOCKED;
    return int(d->bulk.size());
}

bool Recorder::wait_until(std::function<bool()> cond, int timeout_ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (cond())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::unique_lock<std::mutex> lock(d->mu);
        d->cv.wait_for(lock, std::chrono::milliseconds(2));
    }
}

void Recorder::set_paced(bool on) { LOCKED; d->set_paced(on); d->changed(); }
void Recorder::set_counter_start(uint32_t v) { LOCKED; d->counter_start = v; }

void Recorder::fire_trigger(int input) { fire_trigger_all(input); }

void Recorder::set_scene(std::shared_ptr<const Scene> scene)
{
    LOCKED;
    d->scene = std::move(scene);
    d->scene_clock.clear();
    d->scene_carry = false;
    d->prepare_scene();
}

void Recorder::reset()
{
    LOCKED;
    d->scene_clock.clear();
    d->scene_carry = false;
    d->reset_acquisition();
    d->set_paced(d->paced_option);
    d->clock_arg = 9;
    d->count = 0;
    std::memset(d->beams, 0, sizeof d->beams);
    d->aux = 0;
    d->floats = false;
    d->delay = 10;
    d->start_byte = d->stop_byte = 0;
    d->requests.clear();
    d->counter_start = 0;
    d->silence = false;
    d->probe_size = 0;
    d->jump_frame = UINT64_MAX;
    d->jump = 0;
    d->vanish_at = UINT64_MAX;
    d->stall = false;
    d->odd_once = 0;
    d->reap_fails = false;
    d->controls_unanswered = false;
    d->device_memory = d->device_memory_option;
    d->gone = false;
    d->streamed = 0;
    d->completed = 0;
    d->capacity = d->capacity_option;
    d->high_water = 0;
    d->dropped = 0;
    d->held = 0;
    d->changed();
}

void Recorder::fault_silence(bool on) { LOCKED; d->silence = on; d->pump(); d->changed(); }
void Recorder::fault_probe_size(int bytes) { LOCKED; d->probe_size = bytes > 0 ? bytes : 0; }

void Recorder::fault_counter_jump_at_frame(uint64_t frame, uint32_t jump)
{
    LOCKED;
    d->jump_frame = frame;
    d->jump = jump;
}

void Recorder::fault_vanish_at_byte(uint64_t byte)
{
    LOCKED;
    d->vanish_at = byte;
    if (d->streamed >= byte)
        d->vanish();
    d->changed();
}

void Recorder::fault_stall(bool on) { LOCKED; d->stall = on; d->pump(); d->changed(); }
void Recorder::fault_odd_length_once(uint32_t bytes) { LOCKED; d->odd_once = bytes; }
void Recorder::fault_reap_error(bool on) { LOCKED; d->reap_fails = on; d->changed(); }
void Recorder::fault_controls_unanswered(bool on) { LOCKED; d->controls_unanswered = on; }
void Recorder::set_device_memory(bool on) { LOCKED; d->device_memory = on; }
double Recorder::reap_copy_seconds() const { LOCKED; return d->reap_copy_s; }
bool Recorder::device_memory_possible() { return VIZ256_EMU_INTERPOSE != 0; }

uint64_t Recorder::device_memory_mapped() const
{
    LOCKED;
    uint64_t n = 0;
    for (const Impl::Mapping &m : d->mappings)
        if (!m.unmapped)
            n += m.len;
    return n;
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


// -------------------------------------------------------------------- usbfs mmap
// libusb_dev_mem_alloc maps the device node (mmap, MAP_SHARED, offset 0) and frees it with
// munmap. These two definitions, in the executable, come before the C library's for every
// library of the process: a mapping of the emulated node becomes device memory, anything else
// goes on to the next definition (umockdev's preload has none; the sanitizers' or the C
// library's).
Recorder::Impl::MmapFn Recorder::Impl::real_mmap()
{
    static const MmapFn f = reinterpret_cast<MmapFn>(dlsym(RTLD_NEXT, "mmap"));
    return f;
}

Recorder::Impl::MunmapFn Recorder::Impl::real_munmap()
{
    static const MunmapFn f = reinterpret_cast<MunmapFn>(dlsym(RTLD_NEXT, "munmap"));
    return f;
}

} // namespace emu

// ThreadSanitizer's runtime intercepts these same functions by defining them in the executable's
// search order ahead of the C library; a definition here would replace its interceptors and the
// runtime would run uninitialised (it dies before main). In such a build the model is left out:
// a mapping of the node fails as the kernel fails it on a FIFO or a regular file, so the program
// uses ordinary memory, and device memory is never offered (Recorder::device_memory_possible).
#if VIZ256_EMU_INTERPOSE
extern "C" void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) noexcept
{
    using emu::Recorder;
    struct stat st {};
    if (fd >= 0 && (flags & MAP_SHARED) && emu::g_impl_count.load() > 0 && ::fstat(fd, &st) == 0) {
        Recorder::Impl *rec = nullptr;
        for (int i = 0; i < emu::g_impl_count.load() && !rec; ++i)
            if (Recorder::Impl *r = emu::g_impls[i].load();
                r && r->node_ino.load() == st.st_ino && r->node_dev.load() == st.st_dev)
                rec = r;
        if (rec) {
            int err = 0;
            void *p = rec->map_device_memory(len, prot, err);
            if (!p) {
                errno = err;
                return MAP_FAILED;
            }
            return p;
        }
    }
    return Recorder::Impl::real_mmap()(addr, len, prot, flags, fd, off);
}

extern "C" void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off) noexcept
{
    return mmap(addr, len, prot, flags, fd, off);
}

bool emu::Recorder::Impl::direct_write_from_device_memory(int fd, const struct iovec *v, int n)
{
    if (mapping_count.load() == 0)
        return false;
    bool dedans = false;
    for (int k = 0; k < g_impl_count.load(); ++k)
        if (Impl *r = g_impls[k].load())
            for (int i = 0; i < n && !dedans; ++i)
                dedans = v[i].iov_len > 0 && r->in_device_memory(v[i].iov_base, v[i].iov_len);
    if (!dedans)
        return false;
    const int fl = ::fcntl(fd, F_GETFL);
    return fl != -1 && (fl & O_DIRECT);
}

extern "C" ssize_t writev(int fd, const struct iovec *v, int n)
{
    using Fn = ssize_t (*)(int, const struct iovec *, int);
    static const Fn suivant = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "writev"));
    if (emu::Recorder::Impl::direct_write_from_device_memory(fd, v, n)) {
        errno = EFAULT;
        return -1;
    }
    return suivant(fd, v, n);
}

extern "C" ssize_t write(int fd, const void *p, size_t len)
{
    using Fn = ssize_t (*)(int, const void *, size_t);
    static const Fn suivant = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "write"));
    const iovec v{const_cast<void *>(p), len};
    if (emu::Recorder::Impl::direct_write_from_device_memory(fd, &v, 1)) {
        errno = EFAULT;
        return -1;
    }
    return suivant(fd, p, len);
}

extern "C" int munmap(void *addr, size_t len) noexcept
{
    using emu::Recorder;
    if (Recorder::Impl::mapping_count.load() > 0)
        for (int i = 0; i < emu::g_impl_count.load(); ++i)
            if (Recorder::Impl *r = emu::g_impls[i].load(); r && r->unmap_device_memory(addr, len))
                return 0;
    return Recorder::Impl::real_munmap()(addr, len);
}
#endif // VIZ256_EMU_INTERPOSE

namespace emu {

} // namespace emu
