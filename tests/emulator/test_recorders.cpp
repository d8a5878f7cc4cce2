// The recorders on the bus, seen through a libusb context of our own: where the emulated one
// is plugged, whether a program holds it, and choosing it.
#include "device/enregistreurs.h"
#include "usb_host.h"

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
    EXPECT_EQ(l[0].chemin, enregistreurs::chemin_port(1, l[0].ports));
    EXPECT_FALSE(l[0].serie); // the emulated recorder has no serial string
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
