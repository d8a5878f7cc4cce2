// Vendor requests as the recorder receives them: recorded in order with their exact bytes, and
// the configuration they set.
#include "usb_host.h"

using namespace emutest;

TEST_F(UsbHost, RequestsAreRecordedInOrderWithTheirBytes)
{
    ASSERT_EQ(send(0xC0, {}), 0);
    ASSERT_EQ(send(0xC4, {}), 0);
    ASSERT_EQ(cmd({0x00}), 1);
    ASSERT_EQ(cmd({0x01, 0x09}), 2);
    ASSERT_EQ(cmd({0x04, 0xFF, 0x00, 0x00, 0x00}), 5);
    ASSERT_EQ(cmd({0x05, 0x00, 0x03, 0x81}), 4);
    ASSERT_EQ(cmd({0x05, 0x00, 0xFF, 0xC9}), 4);
    ASSERT_EQ(cmd({0x07, 0x08}), 2);
    ASSERT_EQ(cmd({0x09, 0x01}), 2);

    const std::vector<emu::Request> r = rec->requests();
    ASSERT_EQ(r.size(), 9u);
    const std::vector<std::pair<uint8_t, std::vector<uint8_t>>> want = {
        {0xC0, {}}, {0xC4, {}}, {0xB0, {0x00}}, {0xB1, {0x01, 0x09}}, {0xB4, {0x04, 0xFF, 0, 0, 0}},
        {0xB3, {0x05, 0x00, 0x03, 0x81}}, {0xB3, {0x05, 0x00, 0xFF, 0xC9}}, {0xB1, {0x07, 0x08}}, {0xB1, {0x09, 0x01}},
    };
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(r[i].bRequest, want[i].first) << i;
        EXPECT_EQ(r[i].data, want[i].second) << i;
        EXPECT_EQ(r[i].bmRequestType, 0x40) << i;
        EXPECT_TRUE(r[i].accepted) << i;
    }

    EXPECT_EQ(rec->clock_arg(), 9);
    EXPECT_EQ(rec->count(), 255u);
    EXPECT_EQ(rec->beam_mask(3), 0x81);
    EXPECT_EQ(rec->beam_mask(4), 0x00);
    EXPECT_EQ(rec->aux_mask(), 0xC9);
    EXPECT_EQ(rec->delay(), 8);
    EXPECT_TRUE(rec->float_samples());
    // microphones 24 and 31, counter, status, analogue 0 and 3
    EXPECT_EQ(rec->words_per_frame(), 6);

    rec->clear_requests();
    EXPECT_TRUE(rec->requests().empty());
    ASSERT_EQ(cmd({0x04, 0x78, 0x56, 0x34, 0x12}), 5);
    EXPECT_EQ(rec->count(), 0x12345678u);
}

TEST_F(UsbHost, UnknownOrMisframedRequestsStallAndAreRecorded)
{
    EXPECT_EQ(send(0xB2, {0x06, 0x00, 0x00}), LIBUSB_ERROR_PIPE);       // code 6 does not exist
    EXPECT_EQ(send(0xB1, {0x04, 0x01}), LIBUSB_ERROR_PIPE);             // count with one argument
    EXPECT_EQ(send(0xB1, {0x01}), LIBUSB_ERROR_PIPE);                   // wLength disagrees with 0xB1
    EXPECT_EQ(send(0xC0, {0x00}), LIBUSB_ERROR_PIPE);                   // C0 carries no data
    EXPECT_EQ(send(0x55, {}), LIBUSB_ERROR_PIPE);
    uint8_t in[4];
    EXPECT_EQ(libusb_control_transfer(h, 0xC0, 0xB0, 0, 0, in, 4, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h, 0x40, 0xB1, 1, 0, in, 2, 1000), LIBUSB_ERROR_PIPE); // wValue 1

    const auto r = rec->requests();
    ASSERT_EQ(r.size(), 7u);
    for (const auto &q : r)
        EXPECT_FALSE(q.accepted);
    EXPECT_EQ(r[0].bRequest, 0xB2);
    EXPECT_EQ(r[0].data, (std::vector<uint8_t>{0x06, 0x00, 0x00}));
    EXPECT_EQ(r[5].bmRequestType, 0xC0);
    EXPECT_EQ(r[6].wValue, 1);
    // nothing was changed by the rejected requests, and the recorder still answers
    EXPECT_EQ(rec->count(), 0u);
    EXPECT_EQ(rec->clock_arg(), 9);
    EXPECT_EQ(cmd({0x01, 0x31}), 2);
    EXPECT_EQ(rec->clock_arg(), 0x31);

    // A recorder that stops answering: the request stays in flight until the host's time-out
    // takes it back, and does nothing.
    rec->fault_controls_unanswered(true);
    EXPECT_EQ(send(0xB1, {0x01, 0x09}, 200), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(rec->clock_arg(), 0x31);
    EXPECT_EQ(rec->usbfs_in_use(), 0u);
    rec->fault_controls_unanswered(false);
    EXPECT_EQ(cmd({0x01, 0x09}), 2);
    EXPECT_EQ(rec->clock_arg(), 9);
}

TEST_F(UsbHost, PseudoHardResetRestoresPowerOnConfiguration)
{
    select_all_with_counter();
    set_count(1000);
    ASSERT_EQ(cmd({0x01, 0x18}), 2);
    ASSERT_EQ(cmd({0x00}), 1);    // acquisition reset keeps the configuration
    EXPECT_EQ(rec->words_per_frame(), 257);
    EXPECT_EQ(rec->count(), 1000u);
    ASSERT_EQ(send(0xC4, {}), 0);
    EXPECT_EQ(rec->words_per_frame(), 0);
    EXPECT_EQ(rec->count(), 0u);
    EXPECT_EQ(rec->clock_arg(), 9);
}
