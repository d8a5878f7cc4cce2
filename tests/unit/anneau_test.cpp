// The completion routine on its own: transfers handed back in the orders a real endpoint can
// produce, without a device (transfers that were never submitted cannot be cancelled, which
// libusb reports as "not found").
#include <gtest/gtest.h>

#include <libusb.h>

#include <vector>

#include "app/principale.h"

namespace {

class Anneau : public ::testing::Test {
protected:
    void SetUp() override
    {
        Principale::console_text.clear();
        for (int i = 0; i < Principale::NB_SLOTS; ++i) {
            memoire[i].assign(Principale::TAILLE_PAQUET, 0);
            Principale::buffers[i] = memoire[i].data();
            Principale::transfert[i] = libusb_alloc_transfer(0);
            Principale::transfert[i]->user_data = reinterpret_cast<void *>(static_cast<intptr_t>(i));
            Principale::transfert[i]->buffer = Principale::buffers[i];
            Principale::transf_arret[i] = false;
            Principale::a_ecrire[i] = 0;
        }
        Principale::en_vol = Principale::NB_SLOTS;
        Principale::num_pkt = 0;
        Principale::ntr = Principale::ntw = 0;
        Principale::fini = false;
        Principale::record = false;
        Principale::compteur = false;
        Principale::test = false;
        Principale::test_init = false;
    }
    void TearDown() override
    {
        for (int i = 0; i < Principale::NB_SLOTS; ++i) {
            libusb_free_transfer(Principale::transfert[i]);
            Principale::transfert[i] = nullptr;
            Principale::buffers[i] = nullptr;
        }
        Principale::en_vol = 0;
    }
    // The library hands slot i back with this status and length.
    static void rend(int i, libusb_transfer_status status, int longueur)
    {
        libusb_transfer *t = Principale::transfert[i];
        t->status = status;
        t->actual_length = longueur;
        Principale::fn_callback(t);
    }
    std::vector<unsigned char> memoire[Principale::NB_SLOTS];
};

} // namespace

TEST_F(Anneau, LateCompletionsInsteadOfCancellationsStillEndTheRing)
{
    // Slot 0 ends the stream; the other seven had completed before their cancellation could
    // take effect and come back completed, full of data that no longer belong to the run.
    rend(0, LIBUSB_TRANSFER_COMPLETED, 1000);
    EXPECT_FALSE(Principale::fini);
    for (int i = 1; i < Principale::NB_SLOTS; ++i)
        rend(i, LIBUSB_TRANSFER_COMPLETED, int(Principale::TAILLE_PAQUET));
    EXPECT_TRUE(Principale::fini);
    EXPECT_EQ(Principale::ntr, 1000u);
    EXPECT_EQ(Principale::num_pkt, 8u);
    EXPECT_EQ(Principale::en_vol, 0);
}

TEST_F(Anneau, SlotsThatAllDieEndTheRing)
{
    for (int i = 0; i < Principale::NB_SLOTS; ++i) {
        EXPECT_FALSE(Principale::fini) << i;
        rend(i, i % 2 ? LIBUSB_TRANSFER_TIMED_OUT : LIBUSB_TRANSFER_NO_DEVICE, 0);
    }
    EXPECT_TRUE(Principale::fini);
    EXPECT_TRUE(Principale::err_timeout);
    EXPECT_TRUE(Principale::console_text.contains(QStringLiteral("TIMEOUT lors du transfert du paquet 1\r\n")));
    EXPECT_TRUE(Principale::console_text.contains(QStringLiteral("Erreur lors du transfert du paquet 0 status 5\r\n")));
}

TEST_F(Anneau, TheSlotComesFromTheTransferNotFromTheCount)
{
    // Slot 0 died (its submission failed, say): the next completion is slot 1's, and its
    // data must be accounted to slot 1 and read from slot 1's buffer.
    Principale::transf_arret[0] = true;
    Principale::en_vol = Principale::NB_SLOTS - 1;
    rend(1, LIBUSB_TRANSFER_COMPLETED, 4000);
    EXPECT_EQ(Principale::a_ecrire[1], 4000u);
    EXPECT_EQ(Principale::a_ecrire[0], 0u);
    EXPECT_EQ(Principale::ntr, 4000u);
}
