// What a Linux host and the recorder refuse: the usbfs cap on the memory of in-flight
// transfers, and the recorder's own finite buffer when the host has no transfer queued.
#include "device/usbfs.h"
#include "usb_host.h"

#include <thread>

using namespace emutest;

TEST_F(UsbHost, UsbfsCapRefusesWhatWouldPassItUntilTransfersAreReaped)
{
    // An 8 MiB transfer costs the kernel a little more than its buffer: at 16 MiB only one is
    // in flight, at 64 seven.
    const struct {
        unsigned mb;
        int acceptes;
    } cas[] = {{16, 1}, {64, 7}, {65, 8}, {0, 8}};
    for (const auto &c : cas) {
        SCOPED_TRACE(c.mb);
        rec->set_usbfs_memory_mb(c.mb);
        EXPECT_EQ(usbfs::lit_limite_mo(), c.mb) << "the program reads the testbed's parameter";
        make_ring();
        int ok = 0;
        for (Slot &s : ring) {
            const int r = libusb_submit_transfer(s.t);
            EXPECT_TRUE(r == 0 || r == LIBUSB_ERROR_NO_MEM) << r;
            s.pending = r == 0;
            ok += s.pending;
        }
        EXPECT_EQ(ok, c.acceptes);
        EXPECT_GT(rec->usbfs_in_use(), uint64_t(ok) * kPacket);
        free_ring();
        EXPECT_EQ(rec->usbfs_in_use(), 0u) << "reaped transfers give their memory back";
    }

    // A control request counts too: refused before the recorder sees it.
    rec->set_usbfs_memory_mb(16);
    rec->set_usbfs_used_elsewhere((16u << 20) - 100);
    rec->clear_requests();
    EXPECT_LT(cmd({0x07, 0x05}), 0);
    EXPECT_TRUE(rec->requests().empty());
    rec->set_usbfs_used_elsewhere(0);
    EXPECT_EQ(cmd({0x07, 0x05}), 2);
}

TEST_F(UsbHost, PacedRecorderLosesWholeFramesOnlyWhenItsBufferOverflows)
{
    // 257 words at 2 000 Hz (2 056 000 B/s); a ring of two 256 KiB transfers (255 ms) and a
    // 64 KiB device buffer (32 ms). The host stops handling events for a while mid-stream.
    const uint64_t capacite = 64 * 1024, trame = 257 * 4;
    const int longueur = 256 * 1024;
    const uint32_t nb = 3000;
    rec->set_paced(true);
    rec->set_device_buffer(capacite);
    select_all_with_counter();
    ASSERT_EQ(cmd({0x01, 249}), 2);
    set_count(nb);
    for (const auto &[blocage_ms, perte] : {std::pair{50, false}, {900, true}}) {
        SCOPED_TRACE(blocage_ms);
        free_ring();
        const uint64_t perdues_avant = rec->frames_dropped();
        std::vector<uint8_t> flux;
        bool fin = false;
        on_data = [&](int, libusb_transfer *t) {
            if (t->status != LIBUSB_TRANSFER_COMPLETED)
                return false;
            flux.insert(flux.end(), t->buffer, t->buffer + t->actual_length);
            if (t->actual_length < t->length && !fin) {
                fin = true;
                cancel_all();
            }
            return !fin;
        };
        make_ring(2, longueur);
        submit_all();
        ASSERT_EQ(cmd({0x02, 0x00}), 2);
        ASSERT_TRUE(run_until([&] { return !flux.empty(); }));
        const uint64_t avant_blocage = flux.size();
        std::this_thread::sleep_for(std::chrono::milliseconds(blocage_ms));
        ASSERT_TRUE(run_until([&] { return fin && outstanding() == 0; }));

        // Whole frames only, counter jumps where frames were lost, by their number.
        ASSERT_EQ(flux.size() % trame, 0u);
        const uint64_t trames = flux.size() / trame;
        const uint64_t perdues = rec->frames_dropped() - perdues_avant;
        uint64_t sauts = 0, saut_total = 0, trame_saut = 0;
        for (uint64_t f = 1; f < trames; ++f) {
            const uint32_t ecart = word(flux.data(), f * 257) - word(flux.data(), (f - 1) * 257);
            if (ecart != 1) {
                ++sauts;
                saut_total += ecart - 1;
                trame_saut = f;
            }
        }
        EXPECT_EQ(trames + perdues, nb) << "the count is of samples taken, lost ones included";
        EXPECT_EQ(word(flux.data(), (trames - 1) * 257), nb - 1);
        EXPECT_LE(rec->device_buffer_high_water(), capacite);
        if (!perte) {
            EXPECT_EQ(perdues, 0u);
            EXPECT_EQ(sauts, 0u);
            continue;
        }
        EXPECT_GT(perdues, 0u);
        EXPECT_EQ(sauts, 1u);
        EXPECT_EQ(saut_total, perdues);
        EXPECT_GT(rec->device_buffer_high_water(), capacite - trame) << "the buffer was full";
        // Before the gap: what the queued transfers and the device buffer could take.
        EXPECT_GE(trame_saut * trame, avant_blocage + capacite);
        EXPECT_LE(trame_saut * trame, avant_blocage + 2 * longueur + capacite);
    }
}
