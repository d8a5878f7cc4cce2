// The emulated recorder: a umockdev testbed with USB devices 0xFE27/0xAC01 (the first at port
// 1-1, /dev/bus/usb/001/002) whose usbfs ioctls are answered in this process, for programs in
// it or, through umockdev's socket, in others (viz256-emulator), so the real libusb drives them
// exactly as it drives the hardware. Nothing of the program proper knows about it.
//
// Use: Recorder::start() once per process, BEFORE libusb_init, in a process running under
// umockdev-wrapper. Every getter and fault switch is thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace emu {

class Scene;

// One control request as the recorder received it (accepted or stalled).
struct Request {
    uint8_t bRequest = 0;
    std::vector<uint8_t> data;      // data stage (empty for wLength 0)
    uint8_t bmRequestType = 0x40;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    bool accepted = true;           // false: answered with a stall
    uint64_t transfers_before = 0;  // bulk transfers the recorder had completed with data when it arrived
};

// The recorder's own buffer between its sampling and the USB transfers the host has queued.
// Its USB controller holds a few DMA buffers of some tens of KiB in 512 KiB of RAM shared with
// its firmware, and the acquisition FIFO in front of it is of the same order: 256 KiB in all,
// 5 ms of the peak stream (262 words at 50 kHz), 0.13 s of 257 words at 2 kHz.
constexpr uint64_t kDefaultDeviceBuffer = 256 * 1024;

// The kernel's default cap on the memory of in-flight usbfs transfers, in MiB (0: no cap).
constexpr unsigned kKernelUsbfsMemoryMb = 16;

struct Options {
    bool paced = false;          // real time at 500 000 / (clock arg + 1) frames/s; else as fast as possible
    bool spin_fallback = false;  // keep umockdev's regular-file node (libusb then polls in a spin)
    // Published as /sys/module/usbcore/parameters/usbfs_memory_mb in the testbed.
    unsigned usbfs_memory_mb = kKernelUsbfsMemoryMb;
    uint64_t device_buffer_bytes = kDefaultDeviceBuffer;   // used when paced
    // The sound field the microphones hear (scene.h); none: VIZ256_EMU_SCENE names its file,
    // else the built-in signals.
    std::shared_ptr<const Scene> scene;
    // Device memory (libusb_dev_mem_alloc, a usbfs mmap of the node): offered, or refused with
    // ENOMEM as by a host whose controller cannot give that much DMA memory in one piece (the
    // program then uses ordinary memory, which the recorder's data reach only at the reap).
    bool device_memory = false;
    // The programs are other processes (viz256-emulator): the handlers reach their memory
    // through umockdev's socket, not by address; device memory is never offered (a mapping of
    // the node fails in the program's process, which then uses ordinary memory).
    bool remote = false;
    // Benchmarks only: the stream's data come from a pool of frames made once per stream and are
    // written into the host's buffer at the reap by one copy (emulator/pool.h says what that
    // leaves out), so that the emulator costs next to nothing per byte and the program is what
    // a benchmark measures. Every test keeps the strict producer.
    bool pooled_stream = false;
};

class Recorder {
public:
    // Once per process, before libusb_init; later calls return the same recorder (options ignored).
    // Aborts with a message when the process does not run under umockdev-wrapper (unless remote).
    static Recorder &start(const Options &o = {});
    static Recorder *instance();   // recorder 0
    // Recorders 0..n-1 in one testbed (those missing are plugged in now, with the options of the
    // first start): recorder i at port 1-(i + 1), /dev/bus/usb/001/(i + 2), serial number
    // VZ256-000(i + 1). They share the host's usbfs budget, the Trig1/Trig2 lines and, from two
    // on, one sampling clock: frames sampled at the same instant hold the same samples on all
    // but for each one's own offset of its built-in microphone signals (i x kRecorderOffset
    // counts, frames.h), by which a test tells them apart (one recorder alone starts its
    // built-in signals with each stream, so runs repeat exactly).
    static std::vector<Recorder *> start_many(int n, const Options &o = {});
    static Recorder *at(int i);    // nullptr when there is no such recorder
    static int recorders();
    static std::string testbed_dir();   // the testbed's folder (UMOCKDEV_DIR for the programs)
    // The testbed's folder goes at exit, and also when the process is killed: a small watcher
    // process removes it once this one has gone, whatever ended it.
    static void watch_testbed();
    // An edge on input 1 or 2 reaching every recorder at one instant.
    static void fire_trigger_all(int input);
    std::string serial() const;
    std::string port_path() const;      // "1-2"
    std::string node() const;           // "/dev/bus/usb/001/003"

    // Observability.
    std::vector<Request> requests() const;
    void clear_requests();
    uint64_t bytes_streamed() const;       // stream bytes written into transfers since start()/reset()
    uint64_t transfers_completed() const;  // bulk transfers completed with data (full, short or empty)
    bool streaming() const;                // started (or armed on a trigger) and not yet ended
    bool waiting_for_trigger() const;      // a start is armed on Trig1/Trig2
    uint32_t count() const;
    uint8_t clock_arg() const;
    uint8_t delay() const;
    bool float_samples() const;
    uint8_t beam_mask(int b) const;
    uint8_t aux_mask() const;
    int words_per_frame() const;           // of the current configuration
    uint8_t start_trigger() const;         // last start trigger byte
    uint8_t stop_trigger() const;          // last stop trigger byte
    int pending_transfers() const;         // bulk URBs queued by the host and not yet given back
    bool fifo_wakeups() const;             // true when the node is the FIFO (no spinning)
    // The paced recorder's own buffer: frames lost when it overflowed (the counter jumps by as
    // many), and the most it ever held, in bytes, since start()/reset().
    uint64_t frames_dropped() const;
    uint64_t device_buffer_high_water() const;
    // usbfs memory our URBs (submitted and not yet reaped) and device-memory mappings hold
    // now, counted as the kernel does.
    uint64_t usbfs_in_use() const;
    uint64_t usbfs_in_use_all() const;     // of every recorder of the testbed
    uint64_t device_memory_mapped() const;   // bytes of device memory the host has mapped
    // CPU seconds spent copying transfers into the host's ordinary buffers at their reap: on
    // Linux the kernel does it in the reaping thread (the emulator does it on its own thread).
    double reap_copy_seconds() const;

    // Waits (polling cond on the caller's thread) until cond() holds; false on time-out.
    // It does not service libusb: use it from a thread other than the one handling events,
    // or for state that changes without the host's help (triggers, pacing).
    bool wait_until(std::function<bool()> cond, int timeout_ms);

    // Behaviour.
    void set_paced(bool);
    void set_counter_start(uint32_t v);    // counter value of frame 0 of the next stream (default 0)
    void fire_trigger(int input);          // 1 or 2: an armed start or stop on that input goes off
                                           // (the line is wired to every recorder: fire_trigger_all)
    void reset();                          // power-on configuration, pacing as started, faults off, counts 0
                                           // (the host's usbfs settings below stay as they are)
    void set_device_buffer(uint64_t bytes);
    // The scene of the streams started from now on (nullptr: the built-in signals). A scene's
    // time runs on across streams at one frequency; reset() sets it back to frame 0.
    void set_scene(std::shared_ptr<const Scene> scene);
    void set_device_memory(bool offered);  // until reset(), which returns to Options::device_memory
    // Whether device memory can be offered at all: not in a ThreadSanitizer build, whose runtime
    // owns mmap and munmap (the model interposes them), where a mapping of the node fails.
    static bool device_memory_possible();

    // The host's usbfs cap. The testbed's sysfs file is the setting, read at every submission as
    // the kernel reads its parameter; this writes it. A submission that would take the memory
    // in flight past the cap fails with ENOMEM.
    void set_usbfs_memory_mb(unsigned mb);
    // usbfs memory held by other devices and programs, counted against the same cap (the cap and
    // this are the testbed's, shared by its recorders).
    void set_usbfs_used_elsewhere(uint64_t bytes);

    // Faults.
    void fault_silence(bool on);                          // starts accepted, nothing ever sent
    void fault_probe_size(int bytes);                     // counted streams end after this many bytes; 0 = normal
    void fault_counter_jump_at_frame(uint64_t frame, uint32_t jump = 1000);
    void fault_vanish_at_byte(uint64_t byte);             // at that stream byte the device goes away (ENODEV)
    void fault_stall(bool on);                            // bulk endpoint halted: URBs fail with -EPIPE
    void fault_odd_length_once(uint32_t bytes);           // next bulk completion carries this many bytes; the rest of its last word is lost
    void fault_reap_error(bool on);                       // reaping a bulk URB fails (EIO): the host's event handling fails
    void fault_controls_unanswered(bool on);              // control requests are neither done nor answered: they stay in flight until the host times them out
    bool vanished() const;

    struct Impl;
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

private:
    Recorder();
    ~Recorder();
    Impl *d;
};

} // namespace emu
