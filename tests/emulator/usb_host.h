// A small libusb host for the emulator's conformance tests: opens the recorder, sends vendor
// requests, and runs a ring of bulk transfers as the program does.
#pragma once

#include "emulator/recorder.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <vector>

namespace emutest {

constexpr int kPacket = 8388608;

struct Completion {
    int slot;
    libusb_transfer_status status;
    int length;
};

// Starts the recorder (once per process; VIZ256_EMU_SPIN=1 keeps the spinning node) and opens it
// through a fresh libusb context.
class UsbHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        emu::Options o;
        o.spin_fallback = std::getenv("VIZ256_EMU_SPIN") != nullptr;
        rec = &emu::Recorder::start(o);
        rec->reset();
        rec->set_usbfs_memory_mb(256);   // a set-up workstation (the udev rule's value)
        ASSERT_EQ(libusb_init(&ctx), 0);
        h = libusb_open_device_with_vid_pid(ctx, 0xFE27, 0xAC01);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    }

    void TearDown() override
    {
        on_data = nullptr;   // it may refer to the test body's locals
        free_ring();
        if (h) {
            libusb_release_interface(h, 0);
            libusb_close(h);
        }
        if (ctx)
            libusb_exit(ctx);
    }

    int send(uint8_t bRequest, std::vector<uint8_t> data, unsigned timeout = 1000)
    {
        return libusb_control_transfer(h, 0x40, bRequest, 0, 0, data.empty() ? nullptr : data.data(),
                                       uint16_t(data.size()), timeout);
    }
    // A framed command: request 0xB0 + number of arguments, data = code then arguments.
    int cmd(std::initializer_list<uint8_t> bytes) { return send(uint8_t(0xB0 + bytes.size() - 1), bytes); }

    void select(const uint8_t beams[32], uint8_t aux)
    {
        for (int b = 0; b < 32; ++b)
            ASSERT_EQ(cmd({0x05, 0x00, uint8_t(b), beams[b]}), 4);
        ASSERT_EQ(cmd({0x05, 0x00, 0xFF, aux}), 4);
    }
    void select_all_with_counter()
    {
        uint8_t beams[32];
        std::memset(beams, 0xFF, sizeof beams);
        select(beams, 0x80);
    }
    void set_count(uint32_t n) { ASSERT_EQ(cmd({0x04, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)}), 5); }

    // The ring: slots 0..n-1, each a transfer of `length` bytes on 0x81. on_data sees every
    // completion; it returns whether to resubmit (only COMPLETED full transfers are resubmitted,
    // and only while it says so).
    void make_ring(int n = 8, int length = kPacket, unsigned timeout = 0)
    {
        for (int i = 0; i < n; ++i) {
            Slot s;
            s.buf.assign(size_t(length), 0);
            s.t = libusb_alloc_transfer(0);
            ring.push_back(std::move(s));
        }
        for (int i = 0; i < n; ++i) {
            libusb_fill_bulk_transfer(ring[i].t, h, 0x81, ring[i].buf.data(), length, &UsbHost::on_done, this, timeout);
            ring[i].t->user_data = this;
        }
    }
    void submit_all()
    {
        for (Slot &s : ring) {
            ASSERT_EQ(libusb_submit_transfer(s.t), 0);
            s.pending = true;
        }
    }
    int outstanding() const
    {
        int n = 0;
        for (const Slot &s : ring)
            n += s.pending;
        return n;
    }
    // Handles events until pred() holds or the time runs out.
    bool run_until(std::function<bool()> pred, int timeout_ms = 20000)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            timeval tv{0, 50000};
            if (libusb_handle_events_timeout_completed(ctx, &tv, nullptr) != 0)
                return false;
        }
        return true;
    }
    void cancel_all()
    {
        for (Slot &s : ring)
            if (s.pending)
                libusb_cancel_transfer(s.t);
    }
    void free_ring()
    {
        if (ring.empty())
            return;
        cancel_all();
        run_until([&] { return outstanding() == 0; }, 5000);
        for (Slot &s : ring)
            if (!s.pending)
                libusb_free_transfer(s.t);
        ring.clear();
    }

    static void LIBUSB_CALL on_done(libusb_transfer *t)
    {
        auto *self = static_cast<UsbHost *>(t->user_data);
        int slot = 0;
        while (self->ring[size_t(slot)].t != t)
            ++slot;
        Slot &s = self->ring[size_t(slot)];
        s.pending = false;
        self->done.push_back({slot, t->status, t->actual_length});
        bool again = self->on_data ? self->on_data(slot, t) : false;
        if (again && t->status == LIBUSB_TRANSFER_COMPLETED && t->actual_length == t->length) {
            if (libusb_submit_transfer(t) == 0)
                s.pending = true;
        }
    }

    struct Slot {
        libusb_transfer *t = nullptr;
        std::vector<uint8_t> buf;
        bool pending = false;
    };

    emu::Recorder *rec = nullptr;
    libusb_context *ctx = nullptr;
    libusb_device_handle *h = nullptr;
    std::vector<Slot> ring;
    std::vector<Completion> done;
    std::function<bool(int, libusb_transfer *)> on_data;

    // Like the program: full transfers are resubmitted; a short one ends the stream and has the
    // rest of the ring cancelled. Set before the start, as completions may arrive inside it.
    void end_on_short_transfer()
    {
        ended = false;
        on_data = [this](int, libusb_transfer *t) {
            if (t->status == LIBUSB_TRANSFER_COMPLETED && t->actual_length < t->length && !ended) {
                ended = true;
                cancel_all();
            }
            return !ended;
        };
    }
    bool ended = false;
};

inline uint32_t word(const uint8_t *p, size_t i)
{
    uint32_t v;
    std::memcpy(&v, p + 4 * i, 4);
    return v;
}

} // namespace emutest
