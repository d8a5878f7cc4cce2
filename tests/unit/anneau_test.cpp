// The completion routine on its own: transfers handed back in the orders a real endpoint can
// produce, without a device (transfers that were never submitted cannot be cancelled, which
// libusb reports as "not found").
#include <gtest/gtest.h>

#include <libusb.h>

#include <vector>

#include "acquisition/anneau.h"

namespace {

// A ring with no window and no device: its slots are as if submitted, and the test plays the
// library handing them back.
class AnneauSeul : public ::testing::Test {
protected:
    void SetUp() override
    {
        a.journal = [this](const QString &t, int) { console += t; };
        ASSERT_TRUE(a.prepare(nullptr, 1000, {}));
        for (int i = 0; i < Anneau::NB_SLOTS; ++i)
            a.en_attente[i] = true;
        a.en_vol = Anneau::NB_SLOTS;
    }
    void TearDown() override
    {
        for (bool &e : a.en_attente)
            e = false;
        a.libere();
    }
    // The library hands slot i back with this status and length.
    void rend(int i, libusb_transfer_status status, int longueur)
    {
        libusb_transfer *t = a.transfert[i];
        t->status = status;
        t->actual_length = longueur;
        Anneau::fn_callback(t);
    }
    Anneau a;
    QString console;
};

} // namespace

TEST_F(AnneauSeul, LateCompletionsInsteadOfCancellationsStillEndTheRing)
{
    // Slot 0 ends the stream; the other seven had completed before their cancellation could
    // take effect and come back completed, full of data that no longer belong to the run.
    rend(0, LIBUSB_TRANSFER_COMPLETED, 1000);
    EXPECT_FALSE(a.fini);
    for (int i = 1; i < Anneau::NB_SLOTS; ++i)
        rend(i, LIBUSB_TRANSFER_COMPLETED, int(Anneau::TAILLE_PAQUET));
    EXPECT_TRUE(a.fini);
    EXPECT_EQ(a.ntr, 1000u);
    EXPECT_EQ(a.num_pkt, 8u);
    EXPECT_EQ(a.en_vol, 0);
}

TEST_F(AnneauSeul, SlotsThatAllDieEndTheRing)
{
    for (int i = 0; i < Anneau::NB_SLOTS; ++i) {
        EXPECT_FALSE(a.fini) << i;
        rend(i, i % 2 ? LIBUSB_TRANSFER_TIMED_OUT : LIBUSB_TRANSFER_NO_DEVICE, 0);
    }
    EXPECT_TRUE(a.fini);
    EXPECT_TRUE(a.err_timeout);
    EXPECT_TRUE(console.contains(QStringLiteral("TIMEOUT lors du transfert du paquet 1\r\n")));
    EXPECT_TRUE(console.contains(QStringLiteral("Erreur lors du transfert du paquet 0 status 5\r\n")));
}

TEST_F(AnneauSeul, TheSlotComesFromTheTransferNotFromTheCount)
{
    // Slot 0 died (its submission failed, say): the next completion is slot 1's, and its
    // data must be accounted to slot 1 and read from slot 1's buffer.
    a.transf_arret[0] = true;
    a.en_vol = Anneau::NB_SLOTS - 1;
    rend(1, LIBUSB_TRANSFER_COMPLETED, 4000);
    EXPECT_EQ(a.a_ecrire[1], 4000u);
    EXPECT_EQ(a.a_ecrire[0], 0u);
    EXPECT_EQ(a.ntr, 4000u);
}
