#include <gtest/gtest.h>
#include "device/commands.h"
TEST(Framing, RequestCodes) { EXPECT_EQ(cmd::requete_commande(1), 0xB1); }
