// The recorders on the bus, seen through a libusb context of our own: where the emulated one
// is plugged, whether a program holds it, and choosing it.
#include "device/appareil.h"
#include "device/enregistreurs.h"
#include "emulator/frames.h"
#include "usb_host.h"

#include <algorithm>
#include <thread>

using namespace emutest;
using enregistreurs::Etat;

TEST_F(UsbHost, RecordersListedWithTheirPortAndWhetherAProgramHoldsThem)
{
    enregistreurs::Bus bus;
    ASSERT_EQ(bus.erreur(), 0);
    // The fixture holds the recorder, as another program would.
    std::vector<enregistreurs::Enregistreur> l = bus.liste();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].bus, 1);
    EXPECT_EQ(l[0].chemin, "1-1");
    EXPECT_EQ(l[0].serie, rec->serial());
    EXPECT_EQ(l[0].etat, Etat::Occupe);
    int err = 0;
    EXPECT_EQ(bus.ouvre(l[0].chemin, &err), nullptr);
    EXPECT_EQ(err, LIBUSB_ERROR_BUSY);
    EXPECT_EQ(bus.ouvre("9-9", &err), nullptr);
    EXPECT_EQ(err, LIBUSB_ERROR_NO_DEVICE);

    // Given back: free, and the listing itself leaves it free (nothing was sent to it).
    rec->clear_requests();
    libusb_release_interface(h, 0);
    libusb_close(h);
    h = nullptr;
    for (int fois = 0; fois < 2; ++fois)
        EXPECT_EQ(bus.liste().at(0).etat, Etat::Libre) << fois;
    EXPECT_TRUE(rec->requests().empty());

    // Opened by port path through our context: another context sees it held.
    libusb_device_handle *pris = bus.ouvre(l[0].chemin, &err);
    ASSERT_NE(pris, nullptr) << err;
    enregistreurs::Bus autre;
    EXPECT_EQ(autre.liste().at(0).etat, Etat::Occupe);
    EXPECT_EQ(libusb_control_transfer(pris, 0x40, 0xB1, 0, 0, std::vector<uint8_t>{0x07, 0x05}.data(), 2, 1000), 2);
    EXPECT_EQ(rec->delay(), 0x05);
    libusb_release_interface(pris, 0);
    libusb_close(pris);
    EXPECT_EQ(autre.liste().at(0).etat, Etat::Libre);
}

TEST(Enregistreurs, ChoiceByPortPathThenSerialNumber)
{
    using enregistreurs::Enregistreur;
    const Enregistreur a{1, {2}, "1-2", "1-3", Etat::Libre};
    const Enregistreur b{1, {3}, "1-3", "A17", Etat::Occupe};
    const Enregistreur c{2, {1, 4}, "2-1.4", std::nullopt, Etat::Libre};
    const std::vector<Enregistreur> trois{a, b, c};
    const struct {
        std::vector<Enregistreur> liste;
        std::optional<std::string> voulu;
        int index;
        const char *raison; // a part of it
    } cas[] = {
        {{}, std::nullopt, -1, "Pas de détection de Velmarix !"},
        {{c}, std::nullopt, 0, ""},
        {trois, std::nullopt, -1, "Plusieurs Velmarix sur le bus (1-2 (série 1-3), 1-3 (série A17), 2-1.4)"},
        {trois, "1-3", 1, ""}, // a port path before a serial number that reads the same
        {trois, "A17", 1, ""},
        {trois, "2-1.4", 2, ""},
        {trois, "2-1", -1, "Aucun Velmarix au port ou de numéro de série « 2-1 »"},
        {{b, Enregistreur{3, {1}, "3-1", "A17", Etat::Libre}}, "A17", -1, "Plusieurs Velmarix portent le numéro de série A17"},
    };
    for (const auto &k : cas) {
        const enregistreurs::Choix ch = enregistreurs::choisit(k.liste, k.voulu);
        EXPECT_EQ(ch.index, k.index) << k.voulu.value_or("(none)");
        EXPECT_NE(ch.raison.find(k.raison), std::string::npos) << ch.raison;
        EXPECT_EQ(ch.raison.empty(), ch.index >= 0);
    }
    EXPECT_EQ(enregistreurs::chemin_port(3, {}), "3");
}

namespace {

// Several recorders in one testbed, each reached through a Bus (a libusb context) of its own.
class DeuxEnregistreurs : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (emu::Recorder *r : recs)
            r->reset();
        recs[0]->set_usbfs_memory_mb(256);
    }
    void TearDown() override
    {
        for (libusb_device_handle *h : pris)
            if (h) {
                libusb_release_interface(h, 0);
                libusb_close(h);
            }
    }
    libusb_device_handle *ouvre(const std::string &chemin)
    {
        int err = 0;
        libusb_device_handle *h = bus.ouvre(chemin, &err);
        EXPECT_NE(h, nullptr) << chemin << ": " << err;
        pris.push_back(h);
        return h;
    }
    static int cmd(libusb_device_handle *h, std::vector<uint8_t> b)
    {
        return libusb_control_transfer(h, 0x40, uint8_t(0xB0 + b.size() - 1), 0, 0, b.data(), uint16_t(b.size()), 1000);
    }
    // One bulk transfer on 0x81, in flight from soumet() until it comes back (attend()).
    struct Transfert {
        std::vector<uint8_t> buf;
        libusb_transfer *t = libusb_alloc_transfer(0);
        bool fini = true;
        Transfert(libusb_device_handle *h, int n) : buf(size_t(n))
        {
            libusb_fill_bulk_transfer(t, h, 0x81, buf.data(), n, [](libusb_transfer *x) { *static_cast<bool *>(x->user_data) = true; }, &fini, 0);
        }
        ~Transfert() { libusb_free_transfer(t); }
        int soumet() { return (fini = libusb_submit_transfer(t) != 0) ? -99 : 0; }
    };
    bool attend(Transfert &t)
    {
        for (int i = 0; i < 400 && !t.fini; ++i) {
            timeval tv{0, 20000};
            libusb_handle_events_timeout_completed(bus.contexte(), &tv, nullptr);
        }
        return t.fini;
    }

    std::vector<emu::Recorder *> recs = emu::Recorder::start_many(2);   // before the Bus's libusb_init
    enregistreurs::Bus bus;
    std::vector<libusb_device_handle *> pris;
};

std::vector<enregistreurs::Enregistreur> par_port(std::vector<enregistreurs::Enregistreur> l)
{
    std::sort(l.begin(), l.end(), [](const auto &a, const auto &b) { return a.chemin < b.chemin; });
    return l;
}

} // namespace

TEST_F(DeuxEnregistreurs, ListedWithPortsAndSerialsEachHeldAndCommandedOnItsOwn)
{
    const auto l = par_port(bus.liste());
    ASSERT_EQ(l.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(l[i].chemin, recs[i]->port_path());
        EXPECT_EQ(l[i].serie, recs[i]->serial());
        EXPECT_EQ(l[i].etat, Etat::Libre);
    }
    EXPECT_NE(recs[0]->serial(), recs[1]->serial());
    const enregistreurs::Choix ch = enregistreurs::choisit(l, recs[1]->serial());
    ASSERT_EQ(ch.index, 1) << ch.raison;

    libusb_device_handle *h = ouvre(l[1].chemin);
    ASSERT_NE(h, nullptr);
    enregistreurs::Bus autre;
    const auto vu = par_port(autre.liste());
    ASSERT_EQ(vu.size(), 2u);
    EXPECT_EQ(vu[0].etat, Etat::Libre);
    EXPECT_EQ(vu[1].etat, Etat::Occupe);
    // A command reaches the recorder it was sent to, and only that one.
    ASSERT_EQ(cmd(h, {0x07, 0x21}), 2);
    EXPECT_EQ(recs[1]->delay(), 0x21);
    EXPECT_EQ(recs[0]->delay(), 10);
    EXPECT_TRUE(recs[0]->requests().empty());
}

TEST_F(DeuxEnregistreurs, OneUsbfsBudgetForAllRecorders)
{
    // 16 MiB in all: a 9 MiB transfer fits on either recorder alone, not on both at once.
    recs[1]->set_usbfs_memory_mb(16);
    libusb_device_handle *a = ouvre("1-1"), *b = ouvre("1-2");
    ASSERT_TRUE(a && b);
    Transfert ta(a, 9 << 20), tb(b, 9 << 20);
    ASSERT_EQ(ta.soumet(), 0);
    EXPECT_GT(recs[0]->usbfs_in_use(), uint64_t(9 << 20));
    EXPECT_EQ(recs[1]->usbfs_in_use_all(), recs[0]->usbfs_in_use());
    EXPECT_EQ(libusb_submit_transfer(tb.t), LIBUSB_ERROR_NO_MEM);
    libusb_cancel_transfer(ta.t);
    ASSERT_TRUE(attend(ta));
    EXPECT_EQ(recs[0]->usbfs_in_use_all(), 0u);
    EXPECT_EQ(tb.soumet(), 0);
    libusb_cancel_transfer(tb.t);
    ASSERT_TRUE(attend(tb));
}

TEST_F(DeuxEnregistreurs, OneTriggerEdgeStartsBothOnTheSameSample)
{
    // Counter, beam 0 and analogue 1 at 2 kHz: 10 words, 100 frames a stream.
    libusb_device_handle *h[2] = {ouvre("1-1"), ouvre("1-2")};
    ASSERT_TRUE(h[0] && h[1]);
    for (libusb_device_handle *x : h) {
        ASSERT_EQ(cmd(x, {0x05, 0x00, 0x00, 0xFF}), 4);
        ASSERT_EQ(cmd(x, {0x05, 0x00, 0xFF, 0x81}), 4);
        ASSERT_EQ(cmd(x, {0x01, 249}), 2);
        ASSERT_EQ(cmd(x, {0x04, 100, 0, 0, 0}), 5);
    }
    const size_t octets = 100 * 10 * 4;
    const auto premiere = [&](int i) {
        std::vector<uint8_t> b(4096);
        int n = 0;
        EXPECT_EQ(libusb_bulk_transfer(h[i], 0x81, b.data(), int(b.size()), &n, 2000), 0);
        EXPECT_EQ(size_t(n), octets);
        return b;
    };
    for (libusb_device_handle *x : h)
        ASSERT_EQ(cmd(x, {0x02, 0x01}), 2);   // armed on Trig1
    std::this_thread::sleep_for(std::chrono::milliseconds(30));   // the clock is not at its origin
    emu::Recorder::fire_trigger_all(1);
    const std::vector<uint8_t> a = premiere(0), b = premiere(1);
    EXPECT_EQ(word(a.data(), 0), 0u) << "each stream's counter starts at 0";
    // Frames of the same instant hold the same samples, the microphones' but for recorder 2's
    // own offset.
    for (size_t i = 0; i < octets / 4; ++i) {
        const int64_t ecart = int64_t(int32_t(word(b.data(), i))) - int32_t(word(a.data(), i));
        if (i % 10 >= 1 && i % 10 <= 8)
            EXPECT_NEAR(double(ecart), emu::kRecorderOffset, 1.0) << "word " << i;
        else
            EXPECT_EQ(ecart, 0) << "word " << i;
    }

    // Started 100 ms later on its own, recorder 2's stream holds the samples of that later
    // instant: the signals run on the shared clock, not from each stream's start.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(cmd(h[1], {0x02, 0x00}), 2);
    const std::vector<uint8_t> c = premiere(1);
    EXPECT_EQ(word(c.data(), 0), 0u);
    EXPECT_NE(word(c.data(), 9), word(a.data(), 9)) << "analogue 1 of frame 0";
}

// The device object opens the recorder asked for, by port path or serial number: the one whose
// stream then comes (its microphones carry its own offset) and the only one its commands reach.
TEST_F(DeuxEnregistreurs, DeviceObjectStreamsFromTheRecorderAskedFor)
{
    for (const auto &[choix, i] : {std::pair<std::string, int>{"1-2", 1}, {"VZ256-0001", 0}, {"VZ256-0002", 1}, {"1-1", 0}}) {
        SCOPED_TRACE(choix);
        for (emu::Recorder *r : recs)
            r->reset();
        Appareil appareil;
        ASSERT_EQ(appareil.ouvre(choix), 0);
        libusb_device_handle *h = appareil.handle();
        // The counter and microphone 0 at 2 kHz, 100 frames.
        ASSERT_EQ(cmd(h, {0x05, 0x00, 0x00, 0x01}), 4);
        ASSERT_EQ(cmd(h, {0x05, 0x00, 0xFF, 0x80}), 4);
        ASSERT_EQ(cmd(h, {0x01, 249}), 2);
        ASSERT_EQ(cmd(h, {0x04, 100, 0, 0, 0}), 5);
        ASSERT_EQ(cmd(h, {0x02, 0x00}), 2);
        std::vector<uint8_t> b(4096);
        int n = 0;
        ASSERT_EQ(libusb_bulk_transfer(h, 0x81, b.data(), int(b.size()), &n, 2000), 0);
        ASSERT_EQ(n, 800);
        double somme = 0;   // over two periods of its sine: the offset
        for (size_t f = 0; f < 2 * emu::FrameSource::kPeriod; ++f)
            somme += int32_t(word(b.data(), 2 * f + 1));
        EXPECT_NEAR(somme / (2 * emu::FrameSource::kPeriod), i * emu::kRecorderOffset, 50.0);
        EXPECT_EQ(recs[size_t(i)]->requests().size(), 5u);
        EXPECT_TRUE(recs[size_t(1 - i)]->requests().empty());
    }
}

// Run by viz256-emulator (tests/scripts/test_emulator_process.sh): the recorders of another
// process, their serial numbers, and a stream whose data cross the process boundary intact.
TEST(AutreProcessus, RecordersOfTheEmulatorProcessStreamIntact)
{
    const char *n = std::getenv("VIZ256_EMULATOR_RECORDERS");
    if (!n)
        GTEST_SKIP() << "runs under viz256-emulator";
    enregistreurs::Bus bus;
    const auto l = par_port(bus.liste());
    ASSERT_EQ(l.size(), size_t(std::atoi(n)));
    for (size_t i = 0; i < l.size(); ++i) {
        EXPECT_EQ(l[i].chemin, "1-" + std::to_string(i + 1));
        EXPECT_EQ(l[i].serie, "VZ256-000" + std::to_string(i + 1));
    }
    int err = 0;
    libusb_device_handle *h = bus.ouvre(l.back().chemin, &err);
    ASSERT_NE(h, nullptr) << err;
    const auto cmd = [h](std::vector<uint8_t> b) {
        return libusb_control_transfer(h, 0x40, uint8_t(0xB0 + b.size() - 1), 0, 0, b.data(), uint16_t(b.size()), 1000);
    };
    for (int f = 0; f < 32; ++f)
        ASSERT_EQ(cmd({0x05, 0x00, uint8_t(f), 0xFF}), 4);
    ASSERT_EQ(cmd({0x05, 0x00, 0xFF, 0x80}), 4);   // 257 words
    ASSERT_EQ(cmd({0x04, 0, 0, 0, 0}), 5);
    ASSERT_EQ(cmd({0x02, 0x00}), 2);
    // 24 transfers of 1 MiB: every frame's counter in order, samples that are not zeros.
    std::vector<uint8_t> b(1 << 20);
    uint64_t mots = 0, faux = 0, zeros = 0;
    for (int k = 0; k < 24; ++k) {
        int recu = 0;
        ASSERT_EQ(libusb_bulk_transfer(h, 0x81, b.data(), int(b.size()), &recu, 5000), 0);
        ASSERT_EQ(recu, int(b.size()));
        for (size_t i = size_t((257 - mots % 257) % 257); i < b.size() / 4; i += 257)
            faux += word(b.data(), i) != uint32_t((mots + i) / 257);
        mots += b.size() / 4;
        zeros += uint64_t(std::count(b.begin(), b.end(), 0));
    }
    EXPECT_EQ(faux, 0u);
    EXPECT_LT(zeros, 24u * b.size() / 2);
    EXPECT_EQ(cmd({0x00}), 1);
    libusb_release_interface(h, 0);
    libusb_close(h);
}
