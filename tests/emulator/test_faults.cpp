// Fault injection, external triggers, sample formats and the cost of waiting on the recorder.
#include "emulator/frames.h"
#include "usb_host.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

using namespace emutest;

class Faults : public UsbHost {
protected:
    void beam0(uint8_t aux = 0x00)
    {
        uint8_t beams[32] = {0xFF};
        select(beams, aux);
    }
    uint64_t completed_bytes() const
    {
        uint64_t n = 0;
        for (const Completion &c : done)
            if (c.status == LIBUSB_TRANSFER_COMPLETED)
                n += uint64_t(c.length);
        return n;
    }
};

TEST_F(Faults, WrongProbeSizeIsSentAsAsked)
{
    // 0: the fault switched off again, the healthy 8160 bytes.
    for (int size : {8156, 8164, 8162, 0}) {
        SCOPED_TRACE(size);
        rec->fault_probe_size(size);
        beam0();
        set_count(255);
        done.clear();
        free_ring();
        make_ring(8, kPacket, 500);
        end_on_short_transfer();
        submit_all();
        ASSERT_EQ(cmd({0x02, 0x00}), 2);
        ASSERT_TRUE(run_until([&] { return ended && outstanding() == 0; }, 5000));
        EXPECT_EQ(completed_bytes(), uint64_t(size ? size : 8160));
    }
}

TEST_F(Faults, CounterJumpsAtTheGivenFrameAndWrapsAt32Bits)
{
    rec->set_counter_start(0xFFFFFFF0u);
    rec->fault_counter_jump_at_frame(100, 1000);
    beam0(0x80);   // counter + 8 microphones
    set_count(200);
    make_ring();
    end_on_short_transfer();
    submit_all();
    ASSERT_EQ(cmd({0x02, 0x00}), 2);
    ASSERT_TRUE(run_until([&] { return ended && outstanding() == 0; }));
    ASSERT_EQ(done[0].length, 200 * 9 * 4);
    const uint8_t *b = ring[0].buf.data();
    for (uint32_t f = 0; f < 200; ++f)
        ASSERT_EQ(word(b, 9 * f), 0xFFFFFFF0u + f + (f >= 100 ? 1000u : 0u)) << f;
    EXPECT_EQ(word(b, 9 * 16), 0u) << "the counter wraps to 0";
}

TEST_F(Faults, VanishingDeviceFailsTransfersWithNoDeviceAndEveryRequestAfterwards)
{
    const uint64_t at = uint64_t(kPacket) * 2 + 1000;
    rec->fault_vanish_at_byte(at);
    beam0(0x80);
    set_count(0);
    make_ring();
    on_data = [](int, libusb_transfer *t) { return t->status == LIBUSB_TRANSFER_COMPLETED; };
    submit_all();
    ASSERT_EQ(cmd({0x02, 0x00}), 2);
    ASSERT_TRUE(run_until([&] { return outstanding() == 0; }, 10000));
    EXPECT_TRUE(rec->vanished());
    EXPECT_EQ(rec->bytes_streamed(), at);
    ASSERT_EQ(done.size(), 10u);   // two full transfers, then the ring of eight dies
    EXPECT_EQ(done[0].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(done[1].status, LIBUSB_TRANSFER_COMPLETED);
    for (size_t i = 2; i < done.size(); ++i)
        EXPECT_EQ(done[i].status, LIBUSB_TRANSFER_NO_DEVICE) << i;
    EXPECT_EQ(cmd({0x03, 0x00}), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_submit_transfer(ring[0].t), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_release_interface(h, 0), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(Faults, StalledEndpointFailsTransfersUntilTheHaltIsCleared)
{
    rec->fault_stall(true);
    beam0(0x80);
    set_count(1000);
    make_ring(2);
    submit_all();
    ASSERT_EQ(cmd({0x02, 0x00}), 2);
    ASSERT_TRUE(run_until([&] { return outstanding() == 0; }, 5000));
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].status, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(done[1].status, LIBUSB_TRANSFER_STALL);
    EXPECT_EQ(rec->bytes_streamed(), 0u);

    ASSERT_EQ(libusb_clear_halt(h, 0x81), 0);
    done.clear();
    end_on_short_transfer();
    submit_all();
    ASSERT_TRUE(run_until([&] { return ended && outstanding() == 0; }, 5000));
    EXPECT_EQ(done[0].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(done[0].length, 1000 * 9 * 4) << "the stream resumes where it stood";
}

TEST_F(Faults, OddLengthTransferLosesTheRestOfItsWordOnly)
{
    rec->fault_odd_length_once(4099);
    beam0(0x80);
    set_count(2000);   // 72000 bytes
    make_ring(8, 65536);
    std::vector<uint8_t> got;
    on_data = [&](int, libusb_transfer *t) {
        got.insert(got.end(), t->buffer, t->buffer + t->actual_length);
        return t->status == LIBUSB_TRANSFER_COMPLETED && t->actual_length == 65536;
    };
    submit_all();
    ASSERT_EQ(cmd({0x02, 0x00}), 2);
    ASSERT_TRUE(run_until([&] { return !done.empty(); }));
    EXPECT_EQ(done[0].length, 4099);
    // the host would stop here; carry on reading: the last byte of the cut word is lost and
    // the stream goes on from the next word
    ASSERT_EQ(libusb_submit_transfer(ring[0].t), 0);
    ring[0].pending = true;
    ASSERT_TRUE(run_until([&] { return got.size() >= 71999; }));
    EXPECT_EQ(got.size(), 71999u);
    got.insert(got.begin() + 4099, 0);
    for (uint32_t f = 0; f < 2000; ++f)
        ASSERT_EQ(word(got.data(), 9 * f), f) << f;
}

TEST_F(Faults, ArmedStartAndStopWaitForTheirInputs)
{
    rec->set_paced(true);
    beam0(0x80);
    set_count(0);
    ASSERT_EQ(cmd({0x01, 0x09}), 2);
    make_ring();
    end_on_short_transfer();
    submit_all();
    ASSERT_EQ(cmd({0x02, 0x41}), 2);   // Trig1, falling edge
    EXPECT_TRUE(rec->waiting_for_trigger());
    EXPECT_EQ(rec->start_trigger(), 0x41);
    run_until([] { return false; }, 200);
    EXPECT_EQ(rec->bytes_streamed(), 0u);
    rec->fire_trigger(2);              // the other input does nothing
    run_until([] { return false; }, 100);
    EXPECT_EQ(rec->bytes_streamed(), 0u);
    rec->fire_trigger(1);
    EXPECT_FALSE(rec->waiting_for_trigger());
    ASSERT_TRUE(rec->wait_until([&] { return rec->bytes_streamed() > 0; }, 2000));

    ASSERT_EQ(cmd({0x03, 0x82}), 2);   // stop on Trig2, high level
    run_until([] { return false; }, 100);
    EXPECT_FALSE(ended);
    EXPECT_TRUE(rec->streaming());
    rec->fire_trigger(2);
    ASSERT_TRUE(run_until([&] { return ended && outstanding() == 0; }));
    EXPECT_FALSE(rec->streaming());
    EXPECT_EQ(completed_bytes(), rec->bytes_streamed());
}

TEST_F(Faults, MicrophoneResetAbandonsAnArmedRunWithoutEndTransfer)
{
    beam0(0x80);
    make_ring();
    submit_all();
    ASSERT_EQ(cmd({0x02, 0x01}), 2);
    ASSERT_EQ(cmd({0x00}), 1);
    EXPECT_FALSE(rec->streaming());
    rec->fire_trigger(1);
    run_until([] { return false; }, 200);
    EXPECT_TRUE(done.empty());
    EXPECT_EQ(rec->pending_transfers(), 8);
    cancel_all();
    ASSERT_TRUE(run_until([&] { return outstanding() == 0; }));
    for (const Completion &c : done)
        EXPECT_EQ(c.status, LIBUSB_TRANSFER_CANCELLED);
}

TEST_F(Faults, FloatAndIntegerSamplesShowALevelPictureAcrossTheArray)
{
    for (bool floats : {false, true}) {
        SCOPED_TRACE(floats);
        select_all_with_counter();
        ASSERT_EQ(cmd({0x05, 0x00, 0xFF, 0x81}), 4);   // counter and analogue 0
        ASSERT_EQ(cmd({0x09, uint8_t(floats)}), 2);
        set_count(4800);
        done.clear();
        free_ring();
        make_ring();
        end_on_short_transfer();
        submit_all();
        ASSERT_EQ(cmd({0x02, 0x00}), 2);
        ASSERT_TRUE(run_until([&] { return ended && outstanding() == 0; }));
        const int nb = 258;
        ASSERT_EQ(done[0].length, 4800 * nb * 4);
        const uint8_t *b = ring[0].buf.data();
        auto value = [&](size_t w) {
            const uint32_t v = word(b, w);
            float fv;
            std::memcpy(&fv, &v, 4);
            return floats ? double(fv) : double(int32_t(v));
        };
        double lo = 1e30, hi = 0;
        for (int m = 0; m < 256; ++m) {
            double s = 0;
            for (int f = 0; f < 4800; ++f) {
                const double v = value(size_t(f * nb + 1 + m));
                ASSERT_TRUE(std::isfinite(v));
                s += v * v;
            }
            const double rms = std::sqrt(s / 4800);
            lo = std::min(lo, rms);
            hi = std::max(hi, rms);
        }
        EXPECT_LT(lo, 30.0);
        EXPECT_GT(hi, 1.0e6);
        EXPECT_EQ(word(b, nb), 1u);   // the counter stays an integer
        // the analogue channel (last word) is a slow sine: near-identical neighbours, not constant
        const double a0 = value(size_t(nb - 1)), a1 = value(size_t(2 * nb - 1)), a_far = value(size_t(4000 * nb - 1));
        EXPECT_LT(std::abs(a1 - a0), 2.0e4);
        EXPECT_GT(std::abs(a_far - a0), 1.0e5);
    }
}

// Prints the CPU the process spends (libusb waiting on the recorder included) while idle and while
// streaming at 257 words x 50 kHz in real time. Measurement only: nothing about time is asserted.
TEST_F(Faults, MeasureCpuIdleAndPaced)
{
    auto cpu = [] {
        rusage ru{};
        getrusage(RUSAGE_SELF, &ru);
        return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + 1e-6 * double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
    };
    auto measure = [&](double seconds) {
        const double c0 = cpu();
        const auto t0 = std::chrono::steady_clock::now();
        run_until([] { return false; }, int(seconds * 1000));
        return 100.0 * (cpu() - c0) / std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    const char *mode = rec->fifo_wakeups() ? "FIFO" : "spin";
    std::printf("[ measure  ] %s idle: %.1f%% of a core\n", mode, measure(1.5));

    rec->set_paced(true);
    select_all_with_counter();
    ASSERT_EQ(cmd({0x01, 0x09}), 2);
    set_count(0);
    make_ring();
    on_data = [](int, libusb_transfer *t) { return t->status == LIBUSB_TRANSFER_COMPLETED; };
    submit_all();
    ASSERT_EQ(cmd({0x02, 0x00}), 2);
    const uint64_t b0 = rec->bytes_streamed();
    const auto t0 = std::chrono::steady_clock::now();
    const double paced = measure(2.0);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("[ measure  ] %s paced 257 words x 50 kHz: %.1f%% of a core, %.1f MB/s streamed\n", mode, paced,
                double(rec->bytes_streamed() - b0) / secs / 1e6);
    EXPECT_GT(rec->transfers_completed(), 0u);
    ASSERT_EQ(cmd({0x03, 0x00}), 2);
}

TEST_F(Faults, TransferBufferUnchangedUntilReapedUnlessDeviceMemory)
{
    // A triggered unpaced start fills the first transfer at once, before any event is handled.
    // usbfs copies it into an ordinary buffer at the reap; device memory (a mapping of the node,
    // charged to the usbfs budget while mapped) is filled in place.
    for (const bool memoire : {false, true}) {
        if (memoire && !emu::Recorder::device_memory_possible())
            continue;
        SCOPED_TRACE(memoire);
        rec->reset();
        rec->set_device_memory(memoire);
        free_ring();
        done.clear();
        beam0(0x80);
        set_count(0);
        const uint64_t avant = rec->usbfs_in_use();
        unsigned char *usb = memoire ? libusb_dev_mem_alloc(h, kPacket) : nullptr;
        ASSERT_EQ(usb != nullptr, memoire);
        EXPECT_EQ(rec->usbfs_in_use() - avant >= uint64_t(kPacket), memoire);
        make_ring(2);
        if (usb)
            ring[0].t->buffer = usb;
        const unsigned char *b = usb ? usb : ring[0].buf.data();
        const uint64_t en_vol = rec->usbfs_in_use();
        submit_all();
        // in device memory, the first transfer costs its records only: no buffer, no list
        EXPECT_EQ(rec->usbfs_in_use() - en_vol < 2 * uint64_t(kPacket), memoire);
        ASSERT_EQ(cmd({0x02, 0x02}), 2);   // Trig2, rising edge
        rec->fire_trigger(2);
        EXPECT_EQ(rec->bytes_streamed(), uint64_t(kPacket));
        EXPECT_EQ(word(b, 9), memoire ? 1u : 0u) << "counter of frame 1 before any reap";
        ASSERT_TRUE(run_until([&] { return !done.empty(); }));
        EXPECT_EQ(done[0].length, kPacket);
        EXPECT_EQ(word(b, 9), 1u);
        free_ring();
        if (usb) {
            EXPECT_EQ(libusb_dev_mem_free(h, usb, kPacket), 0);
            EXPECT_EQ(rec->usbfs_in_use(), avant) << "unmapping gives the memory back";
        }
    }
    if (!emu::Recorder::device_memory_possible())
        return;   // a ThreadSanitizer build: never offered
    // The kernel cannot pin device memory for a direct write.
    char nom[] = "/tmp/viz256-directXXXXXX";
    const int fd = mkstemp(nom);
    ASSERT_GE(fd, 0);
    ::unlink(nom);
    unsigned char *m = libusb_dev_mem_alloc(h, 4096);
    ASSERT_NE(m, nullptr);
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_DIRECT) == 0) {
        errno = 0;
        EXPECT_EQ(::write(fd, m, 4096), -1);
        EXPECT_EQ(errno, EFAULT);
    }
    ::close(fd);
    EXPECT_EQ(libusb_dev_mem_free(h, m, 4096), 0);

    // Device memory counts against the cap for as long as it is mapped; a host that cannot
    // give it refuses it.
    rec->set_usbfs_memory_mb(16);
    unsigned char *a = libusb_dev_mem_alloc(h, kPacket);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(libusb_dev_mem_alloc(h, kPacket), nullptr);
    make_ring(1);
    EXPECT_EQ(libusb_submit_transfer(ring[0].t), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(libusb_dev_mem_free(h, a, kPacket), 0);
    EXPECT_EQ(libusb_submit_transfer(ring[0].t), 0);
    ring[0].pending = true;
    free_ring();
    rec->set_device_memory(false);
    EXPECT_EQ(libusb_dev_mem_alloc(h, 4096), nullptr);
}
