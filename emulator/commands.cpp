// The recorder's command decoder: the vendor requests of its command table (framing, clock,
// start and stop with their trigger bytes, count, channel masks, delay, data type, resets) and
// the standard requests its USB controller answers itself (string descriptors).
#include "emulator/recorder_impl.h"

#include <cstring>

namespace emu {

bool Recorder::Impl::command(const Request &r)
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

// A standard request the recorder's USB controller answers itself: GET_DESCRIPTOR of a
// string (the language table, the serial number). The answer, or nothing (a stall).
std::optional<std::vector<uint8_t>> Recorder::Impl::standard(const Request &r, uint16_t wLength) const
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

int Recorder::Impl::submit_control(UMockdevIoctlClient *client, usbdevfs_urb *u, const uint8_t *s, void *id, UMockdevIoctlData *data)
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

} // namespace emu
