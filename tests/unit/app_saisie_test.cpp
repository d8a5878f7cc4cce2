// Reading a typed decimal, and how much of an insertion a length limit keeps.
#include <gtest/gtest.h>

#include "app/saisie.h"

using saisie::lit_decimal;

TEST(Saisie, EitherMarkIsTheDecimalMarkNeverAGroupSeparator)
{
    struct Cas {
        const char16_t *texte;
        double valeur; // -1: refused
    };
    const Cas cas[] = {
        {u"2.5", 2.5},   {u"2,5", 2.5},  {u" 600 ", 600}, {u"0", 0},       {u",5", 0.5},   {u"7.", 7},
        {u"103080,8", 103080.8},        {u"1,000", -1},  {u"1.000", -1},  {u"2,55", -1},  {u"1.2.3", -1},
        {u"1,2.3", -1},  {u"1 000", -1}, {u"-1", -1},     {u"", -1},       {u",", -1},     {u"5 s", -1},
        {u"1e3", -1},
    };
    for (const Cas &c : cas) {
        const QString t = QString::fromUtf16(c.texte);
        const std::optional<double> v = lit_decimal(t, 1);
        if (c.valeur < 0)
            EXPECT_FALSE(v.has_value()) << t.toStdString();
        else
            EXPECT_EQ(v, std::optional<double>(c.valeur)) << t.toStdString();
    }
}

TEST(Saisie, PrefixThatFitsTheLimit)
{
    const auto unites = [](QStringView t) { return t.size(); };
    EXPECT_EQ(saisie::prefixe_admis(u"abcdef", 4, unites), 4);
    EXPECT_EQ(saisie::prefixe_admis(u"abc", 10, unites), 3);
    EXPECT_EQ(saisie::prefixe_admis(u"abc", 0, unites), 0);
    EXPECT_EQ(saisie::prefixe_admis(u"abc", -5, unites), 0);
    // Never half of a character made of two UTF-16 units.
    EXPECT_EQ(saisie::prefixe_admis(u"a\U0001F3A4b", 2, unites), 1);
    EXPECT_EQ(saisie::prefixe_admis(u"a\U0001F3A4b", 3, unites), 3);
}
