// Vendor requests as the recorder receives them: recorded in order with their exact bytes, and
// the configuration they set.
#include "usb_host.h"

#include "device/commands.h"

using namespace emutest;

// The program's encoding of every command (device/commands.h) against the recorder's decoder:
// the bytes on the wire, and the configuration each sets.
TEST_F(UsbHost, RequestsAreRecordedInOrderWithTheirBytes)
{
    const std::vector<std::pair<cmd::Requete, std::vector<uint8_t>>> want = {
        {cmd::reset_fx3(), {}},
        {cmd::reset_ph(), {}},
        {cmd::reset_micros(), {0x00}},
        {cmd::horloge(9), {0x01, 0x09}},
        {cmd::nb_echantillons(255), {0x04, 0xFF, 0, 0, 0}},
        {cmd::voies(3, 0x81), {0x05, 0x00, 0x03, 0x81}},
        {cmd::voies(cmd::GROUPE_AUX, 0xC9), {0x05, 0x00, 0xFF, 0xC9}},
        {cmd::delai(8), {0x07, 0x08}},
        {cmd::type_echantillons(true), {0x09, 0x01}},
        {cmd::stop(cmd::octet_declenchement(2, 1)), {0x03, 0x42}},
    };
    for (const auto &[r, octets] : want)
        ASSERT_EQ(send(r.code, std::vector<uint8_t>(r.donnees.begin(), r.donnees.begin() + r.longueur)), int(octets.size()));

    const std::vector<emu::Request> r = rec->requests();
    ASSERT_EQ(r.size(), want.size());
    const uint8_t codes[] = {0xC0, 0xC4, 0xB0, 0xB1, 0xB4, 0xB3, 0xB3, 0xB1, 0xB1, 0xB1};
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(r[i].bRequest, codes[i]) << i;
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
    EXPECT_EQ(rec->stop_trigger(), 0x42);
    // microphones 24 and 31, counter, status, analogue 0 and 3
    EXPECT_EQ(rec->words_per_frame(), 6);

    rec->clear_requests();
    EXPECT_TRUE(rec->requests().empty());
    const cmd::Requete n = cmd::nb_echantillons(0x12345678);
    ASSERT_EQ(send(n.code, std::vector<uint8_t>(n.donnees.begin(), n.donnees.begin() + n.longueur)), 5);
    EXPECT_EQ(rec->count(), 0x12345678u);
    const cmd::Requete debut = cmd::start(cmd::octet_declenchement(1, 3));
    ASSERT_EQ(send(debut.code, std::vector<uint8_t>(debut.donnees.begin(), debut.donnees.begin() + debut.longueur)), 2);
    EXPECT_EQ(rec->start_trigger(), 0xC1);
    EXPECT_TRUE(rec->waiting_for_trigger());
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
