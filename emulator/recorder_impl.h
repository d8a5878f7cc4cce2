// The emulated recorder's inside, shared by the files that make it: the testbed (testbed.cpp),
// the host's usbfs budget (usbfs_budget.cpp), device memory and the interposed calls
// (device_memory.cpp), the recorder's command decoder (commands.cpp), the stream and its clock
// (stream.cpp), the usbfs node and its ioctls (usbfs_node.cpp), fault injection (faults.cpp) and
// the public face (recorder.cpp). Nothing outside emulator/ includes it.
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
// device_memory.cpp interposes mmap and munmap for the process, and write and writev, which
// refuse a direct (O_DIRECT) write from device memory with EFAULT, as the kernel does (it cannot
// pin a VM_IO mapping).
// Across processes (Options::remote, viz256-emulator) the client's memory is not ours to address:
// umockdev fetches the URB at its submission, and at its reap the URB and the transfer's buffer
// (fetched then) are written back into the client with the completion. No device memory there.
//
// Wake-ups. umockdev's device node is a regular file, so poll() always reports it ready and libusb
// spins. By default the node is replaced by a FIFO that the handler keeps full (no POLLOUT, which
// is what libusb polls usbfs descriptors for) while nothing is reapable, and empty as soon as an
// URB is ready. Options::spin_fallback keeps the regular file. The FIFO is one pipe in the
// kernel, so it wakes programs of other processes just as well.
#pragma once

#include "emulator/frames.h"
#include "emulator/pool.h"
#include "emulator/recorder.h"
#include "emulator/scene.h"

#include <umockdev.h>

// clang-format off
#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <sys/uio.h>
#include <vector>

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
inline void ignore_writes_begin() { AnnotateIgnoreWritesBegin(__FILE__, __LINE__); }
inline void ignore_writes_end() { AnnotateIgnoreWritesEnd(__FILE__, __LINE__); }
inline void ignore_accesses_begin() { AnnotateIgnoreReadsBegin(__FILE__, __LINE__); AnnotateIgnoreWritesBegin(__FILE__, __LINE__); }
inline void ignore_accesses_end() { AnnotateIgnoreWritesEnd(__FILE__, __LINE__); AnnotateIgnoreReadsEnd(__FILE__, __LINE__); }
#else
inline void ignore_writes_begin() {}
inline void ignore_writes_end() {}
inline void ignore_accesses_begin() {}
inline void ignore_accesses_end() {}
#endif

// Device memory is modelled by interposing mmap, munmap, write and writev (device_memory.cpp),
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

using Clock = std::chrono::steady_clock;

constexpr int kMaxRecorders = 16;

// The pool of the benchmark's producer holds about this much of the stream (a full transfer).
constexpr uint64_t kPoolSpan = 8u << 20;

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
inline Bench *g_bench = nullptr;
// The recorders, readable without a lock by the mmap, munmap and write interposers.
inline std::atomic<Recorder::Impl *> g_impls[kMaxRecorders];
inline std::atomic<int> g_impl_count{0};

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
        bool pooled = false;         // benchmark mode: no kernel buffer, the pool's data at the reap
        uint64_t stream_pos = 0;     // bulk: stream byte of its first byte
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
    // The benchmark's producer (Options::pooled_stream): the stream's data from a pool.
    bool pooled = false;
    StreamPool pool;
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
    // The node's identity, so that a mapping of it is recognised whatever descriptor maps it.
    std::atomic<ino_t> node_ino{0};
    std::atomic<dev_t> node_dev{0};

    static inline std::atomic<int> mapping_count{0};   // device memory mapped, of all recorders
    // CPU time spent copying URB data into the client's buffers at the reap (the kernel's
    // share of a transfer into ordinary memory), in seconds.
    double reap_copy_s = 0;

    // ---------------------------------------------------------------- the testbed (testbed.cpp)
    static void create_bench(Bench &b, const Options &o);
    void create(const Options &o);
    void prepare_scene();
    void note_node();
    [[noreturn]] static void die(const char *what, GError *err);

    // ---------------------------------------------------------------- usbfs memory (usbfs_budget.cpp)
    static void write_usbfs_param(Bench &b, unsigned mb);
    unsigned usbfs_limit_mb();
    static uint64_t usbfs_charge(const usbdevfs_urb *u);
    bool usbfs_take(uint64_t charge);
    void usbfs_give(uint64_t charge);
    void usbfs_release(const Urb &r) { usbfs_give(r.usbfs); }

    // ---------------------------------------------------------------- device memory (device_memory.cpp)
    Mapping *mapping_of(const void *p, size_t len, bool &partial);
    void drop_mapping_if_done(Mapping *m);
    using MmapFn = void *(*)(void *, size_t, int, int, int, off_t);
    using MunmapFn = int (*)(void *, size_t);
    static MmapFn real_mmap();
    static MunmapFn real_munmap();
    void *map_device_memory(size_t len, int prot, int &err);
    bool unmap_device_memory(void *p, size_t len);
    bool in_device_memory(const void *p, size_t len);
    static bool direct_write_from_device_memory(int fd, const struct iovec *v, int n);

    // ---------------------------------------------------------------- vendor requests (commands.cpp)
    bool command(const Request &r);
    std::optional<std::vector<uint8_t>> standard(const Request &r, uint16_t wLength) const;
    int submit_control(UMockdevIoctlClient *client, usbdevfs_urb *u, const uint8_t *s, void *id, UMockdevIoctlData *data);

    // ---------------------------------------------------------------- the stream and its clock (stream.cpp)
    Urb *head() const;
    void complete_bulk(Urb &r, int status);
    void start(uint8_t t);
    void begin_running(Clock::time_point t = Clock::now());
    void stop(uint8_t t);
    void end_stream();
    void reset_acquisition();
    uint64_t produce(uint64_t budget);
    void pump();
    void vanish();
    void trigger(int input, Clock::time_point t);
    void ensure_ticker();
    void stop_ticker();
    void produce_paced();
    static gboolean on_tick_cb(gpointer p);
    void set_paced(bool on);

    // ---------------------------------------------------------------- the usbfs node (usbfs_node.cpp)
    void make_fifo();
    bool head_due() const;
    bool reapable() const;
    void update_fifo();
    void changed();
    std::unique_ptr<uint8_t[]> take_kernel(uint32_t len);
    void finish_buffer(Urb &r, bool to_client);
    static gboolean on_ioctl_cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p);
    static void on_vanished_cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p);
    void *argument(UMockdevIoctlData *arg, size_t len, std::vector<UMockdevIoctlData *> &held);
    void on_ioctl(UMockdevIoctlClient *client);
    int submit(UMockdevIoctlClient *client, usbdevfs_urb *u, void *id, UMockdevIoctlData *data);
    int claim(UMockdevIoctlClient *client);
    int release(UMockdevIoctlClient *client);
    int reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg, std::vector<UMockdevIoctlData *> &held);
    int discard(UMockdevIoctlClient *client, void *u);
};

// The public calls hold the bench's lock.
#define LOCKED std::lock_guard<std::mutex> lock(d->mu)

} // namespace emu
