// The bulk stream: the probe's answer, an unpaced stream with an unbroken counter across
// transfers, the endings after a stop or a sample count, cancellations and time-outs.
#include "emulator/frames.h"
#include "emulator/pool.h"
#include "usb_host.h"

#include <cmath>
#include <cstdio>

using namespace emutest;

namespace {

// The probe's configuration: 50 kHz, 255 samples, beam 0 only, auxiliary group empty.
void probe_config(UsbHost &, std::function<int(std::initializer_list<uint8_t>)> cmd)
{
    ASSERT_EQ(cmd({0x01, 0x09}), 2);
    ASSERT_EQ(cmd({0x04, 0xFF, 0x00, 0x00, 0x00}), 5);
    ASSERT_EQ(cmd({0x05, 0x00, 0x00, 0xFF}), 4);
    for (int b = 1; b < 32; ++b)
        ASSERT_EQ(cmd({0x05, 0x00, uint8_t(b), 0x00}), 4);
    ASSERT_EQ(cmd({0x05, 0x00, 0xFF, 0x00}), 4);
}

} // namespace

class Stream : public UsbHost {
protected:
    void probe_setup()
    {
        probe_config(*this, [this](std::initializer_list<uint8_t> b) { return cmd(b); });
    }
    void run_to_end(int timeout_ms = 20000)
    {
        ASSERT_TRUE(run_until([&] { return ended && outstanding() == 0; }, timeout_ms));
    }
};

TEST_F(Stream, ProbeAnswersWith8160BytesInOneShortTransferThenCancellationsInOrder)
{
    probe_setup();
    make_ring(8, kPacket, 500);
    end_on_short_transfer();
    submit_all();
    ASSERT_EQ(cmd({0x02, 0x00}), 2);
    run_to_end(5000);

    ASSERT_EQ(done.size(), 8u);
    EXPECT_EQ(done[0].slot, 0);
    EXPECT_EQ(done[0].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(done[0].length, 8160);
    for (size_t i = 1; i < 8; ++i) {
        EXPECT_EQ(done[i].slot, int(i)) << "cancellations come back in submission order";
        EXPECT_EQ(done[i].status, LIBUSB_TRANSFER_CANCELLED);
        EXPECT_EQ(done[i].length, 0);
    }
    EXPECT_EQ(rec->bytes_streamed(), 8160u);
    EXPECT_EQ(rec->transfers_completed(), 1u);
    EXPECT_FALSE(rec->streaming());

    // 255 frames of the eight microphones of beam 0; each microphone repeats its signal period.
    const uint8_t *b = ring[0].buf.data();
    const int P = emu::FrameSource::kPeriod;
    for (int f = 0; f + P < 255; ++f)
        for (int m = 0; m < 8; ++m)
            ASSERT_EQ(word(b, size_t(f * 8 + m)), word(b, size_t((f + P) * 8 + m)));
    EXPECT_NE(word(b, 0), word(b, 8 * 3));
    EXPECT_EQ(word(b, 2040), 0u) << "nothing beyond the 8160 bytes";
}

TEST_F(Stream, UnpacedStreamKeepsTheCounterUnbrokenAcrossTransfers)
{
    select_all_with_counter();   // 257 words: frames straddle every transfer boundary
    set_count(0);
    ASSERT_EQ(cmd({0x09, 0x00}), 2);
    make_ring();
    const int nb = 257;
    uint64_t words_seen = 0;     // words of the stream consumed so far
    uint64_t bytes = 0;
    int full = 0;
    bool stop_sent = false, ended = false, broken = false;
    const int kTransfers = 48;   // 384 MiB
    on_data = [&](int, libusb_transfer *t) {
        if (t->status != LIBUSB_TRANSFER_COMPLETED)
            return false;
        const uint8_t *b = t->buffer;
        const size_t n = size_t(t->actual_length) / 4;
        // counter check at every frame start inside this transfer
        size_t first = size_t((nb - words_seen % nb) % nb);
        uint64_t frame = (words_seen + nb - 1) / nb;
        for (size_t i = first; i < n; i += nb, ++frame)
            if (word(b, i) != uint32_t(frame))
                broken = true;
        words_seen += n;
        bytes += uint64_t(t->actual_length);
        if (t->actual_length < t->length) {
            ended = true;
            cancel_all();
            return false;
        }
        ++full;
        return true;
    };
    submit_all();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(cmd({0x02, 0x00}), 2);
    ASSERT_TRUE(run_until([&] { return full >= kTransfers; }, 50000));
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("[ measure  ] unpaced through libusb: %.0f MB/s (%d transfers of 8 MiB in %.2f s)\n",
                double(full) * kPacket / secs / 1e6, full, secs);
    ASSERT_EQ(cmd({0x03, 0x00}), 2);
    stop_sent = true;
    ASSERT_TRUE(run_until([&] { return ended && outstanding() == 0; }, 10000));

    EXPECT_TRUE(stop_sent);
    EXPECT_FALSE(broken);
    EXPECT_EQ(bytes, rec->bytes_streamed());
    EXPECT_EQ(bytes % 4, 0u);
    // the end: exactly one short completion, then the seven cancellations in submission order
    const size_t k = size_t(std::find_if(done.begin(), done.end(), [](const Completion &c) {
                                return c.status == LIBUSB_TRANSFER_COMPLETED && c.length < kPacket;
                            }) - done.begin());
    ASSERT_LT(k, done.size());
    ASSERT_EQ(done.size(), k + 8);
    for (size_t i = 1; i < 8; ++i) {
        EXPECT_EQ(done[k + i].status, LIBUSB_TRANSFER_CANCELLED);
        EXPECT_EQ(done[k + i].slot, (done[k].slot + int(i)) % 8);
    }
    EXPECT_FALSE(rec->streaming());
}

TEST_F(Stream, CountEndsWithShortTransferOrZeroLengthOneOnExactMultiple)
{
    // 8 words per frame: 262144 frames fill one transfer exactly.
    uint8_t beams[32] = {0xFF};
    select(beams, 0x00);

    struct Case {
        uint32_t count;
        std::vector<int> lengths;
    };
    const std::vector<Case> cases = {
        {2 * 262144, {kPacket, kPacket, 0}},          // exact multiple: a zero-length transfer ends it
        {262144 + 1000, {kPacket, 1000 * 32}},        // the rest in one short transfer
        {10, {320}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.count);
        done.clear();
        free_ring();
        set_count(c.count);
        make_ring();
        end_on_short_transfer();
        submit_all();
        ASSERT_EQ(cmd({0x02, 0x00}), 2);
        run_to_end();
        std::vector<int> got;
        for (const Completion &d : done)
            if (d.status == LIBUSB_TRANSFER_COMPLETED)
                got.push_back(d.length);
        EXPECT_EQ(got, c.lengths);
        EXPECT_EQ(done.size(), c.lengths.size() + 7);
        EXPECT_FALSE(rec->streaming());
    }
}

TEST_F(Stream, SoftStopWhilePacedEndsWithShortTransferAtTheFrameSeam)
{
    rec->set_paced(true);
    uint8_t beams[32] = {0x0F};
    select(beams, 0x80);   // 5 words
    set_count(0);
    ASSERT_EQ(cmd({0x01, 0x09}), 2);
    make_ring();
    submit_all();
    ASSERT_EQ(cmd({0x02, 0x00}), 2);
    // as usbfs does, data reach an ordinary buffer only when its transfer is reaped
    ASSERT_TRUE(rec->wait_until([&] { return rec->bytes_streamed() > 4000; }, 5000));
    EXPECT_EQ(word(ring[0].buf.data(), 5), 0u);    // counter of frame 1, not there yet
    ASSERT_EQ(cmd({0x03, 0x00}), 2);
    ASSERT_TRUE(run_until([&] { return outstanding() == 7; }));
    ASSERT_FALSE(done.empty());
    EXPECT_EQ(done[0].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_GT(done[0].length, 0);
    EXPECT_LT(done[0].length, kPacket);
    EXPECT_EQ(uint64_t(done[0].length), rec->bytes_streamed());
    const uint8_t *b = ring[0].buf.data();
    for (int f = 0; f < done[0].length / 20; ++f)
        ASSERT_EQ(word(b, size_t(5 * f)), uint32_t(f));
}

TEST_F(Stream, TimeOutsAndCancellationsComeBackInSubmissionOrder)
{
    rec->fault_silence(true);
    uint8_t beams[32] = {0xFF};
    select(beams, 0x80);
    make_ring(8, kPacket, 300);
    submit_all();
    ASSERT_EQ(cmd({0x02, 0x00}), 2);
    ASSERT_TRUE(run_until([&] { return outstanding() == 0; }, 5000));
    ASSERT_EQ(done.size(), 8u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(done[size_t(i)].slot, i);
        EXPECT_EQ(done[size_t(i)].status, LIBUSB_TRANSFER_TIMED_OUT);
    }
    EXPECT_EQ(rec->bytes_streamed(), 0u);

    // Cancelling the ring out of order still brings the transfers back in submission order.
    free_ring();
    done.clear();
    make_ring(8, kPacket, 0);
    submit_all();
    for (int i : {5, 2, 7, 0, 1, 3, 6, 4})
        ASSERT_EQ(libusb_cancel_transfer(ring[size_t(i)].t), 0);
    ASSERT_TRUE(run_until([&] { return outstanding() == 0; }, 5000));
    ASSERT_EQ(done.size(), 8u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(done[size_t(i)].slot, i);
        EXPECT_EQ(done[size_t(i)].status, LIBUSB_TRANSFER_CANCELLED);
    }
}

// The benchmark's pool gives the bytes the strict producer builds, whatever the range: cut
// frames and counter words, a range across the pool's wrap, a counter jump, a frame without
// counter.
TEST(StreamPoolTest, PoolGivesTheStrictProducersBytes)
{
    for (const bool counter : {true, false}) {
        SCOPED_TRACE(counter);
        uint8_t beams[32] = {};
        beams[3] = 0xFF;
        beams[30] = 0x81;
        emu::FrameSource source;
        source.configure(emu::FrameLayout::from_masks(beams, counter ? 0xC0 : 0x40, false), 50000, 7, 1000, 33);
        emu::StreamPool pool;
        pool.build(source, 3000);   // two periods of 48 frames
        const uint64_t fb = source.frame_bytes();
        for (const auto &[pos, n] : {std::pair<uint64_t, size_t>{0, 5 * fb}, {2, 3}, {fb - 2, fb + 5},
                                     {95 * fb + 1, 4 * fb}, {999 * fb - 3, 3 * fb}, {123457, 20000}}) {
            std::vector<uint8_t> strict(n), pooled(n, 0xEE);
            source.generate(strict.data(), pos, n);
            pool.copy(source, pooled.data(), pos, n);
            EXPECT_EQ(pooled, strict) << pos << " + " << n;
        }
    }
}
