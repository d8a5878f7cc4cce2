// Number formats of console and log messages in a French locale.
#include <gtest/gtest.h>

#include <QLocale>

#include "recording/console_format.h"

TEST(ConsoleFormat, FrenchLocale)
{
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    const QString espace = QLocale().groupSeparator();
    EXPECT_TRUE(espace.size() == 1 && espace.at(0).isSpace()) << espace.toStdString();

    EXPECT_EQ(fmt_N0(50000.0), QStringLiteral("50") + espace + QStringLiteral("000"));
    EXPECT_EQ(fmt_N0(uint64_t(257000000)), QStringLiteral("257") + espace + "000" + espace + "000");
    EXPECT_EQ(fmt_N0(uint64_t(8)), QStringLiteral("8"));
    EXPECT_EQ(fmt_N1(85899.3459), QStringLiteral("85") + espace + QStringLiteral("899,3"));
    EXPECT_EQ(fmt_N1(245.09375), QStringLiteral("245,1"));
    EXPECT_EQ(fmt_N1(5.0), QStringLiteral("5,0"));
    EXPECT_EQ(fmt_G(int64_t(257)), QStringLiteral("257"));
    EXPECT_EQ(fmt_G(int64_t(-7)), QStringLiteral("-7"));
    EXPECT_EQ(fmt_G(41666.0), QStringLiteral("41666"));
    EXPECT_EQ(fmt_G(2.5), QStringLiteral("2,5"));
    EXPECT_EQ(fmt_D(7, 2), QStringLiteral("07"));
    EXPECT_EQ(fmt_D(5, 3), QStringLiteral("005"));
    EXPECT_EQ(fmt_D(2022, 4), QStringLiteral("2022"));
    EXPECT_EQ(fmt_D(12345, 2), QStringLiteral("12345"));
}
