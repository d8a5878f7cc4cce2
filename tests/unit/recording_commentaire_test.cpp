#include <gtest/gtest.h>

#include "recording/commentaire.h"
#include "recording/fichiers.h"

#include <algorithm>
#include <vector>

namespace {
std::vector<uint8_t> champ(const QString &texte_tape)
{
    const auto c = champ_commentaire(commentaire_complete(texte_tape));
    return {c.begin(), c.end()};
}
std::vector<uint8_t> blancs(int n) { return std::vector<uint8_t>(n, ' '); }
} // namespace

TEST(RecordingComment, PaddingByLength)
{
    // 0 characters: 1023 blanks, then the zero byte.
    EXPECT_EQ(commentaire_complete(QString()), QString(1023, QLatin1Char(' ')));
    std::vector<uint8_t> attendu = blancs(1023);
    attendu.push_back(0);
    EXPECT_EQ(champ(QString()), attendu);

    // 10 characters: the text, 1013 blanks, the zero byte.
    const QString dix = QStringLiteral("0123456789");
    EXPECT_EQ(commentaire_complete(dix), dix + QString(1013, QLatin1Char(' ')));
    attendu = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    const auto b = blancs(1013);
    attendu.insert(attendu.end(), b.begin(), b.end());
    attendu.push_back(0);
    EXPECT_EQ(champ(dix), attendu);

    // 1023 characters: no blank, zero byte last.
    const QString t1023(1023, QLatin1Char('x'));
    EXPECT_EQ(commentaire_complete(t1023), t1023);
    attendu.assign(1023, 'x');
    attendu.push_back(0);
    EXPECT_EQ(champ(t1023), attendu);

    // 1024 characters: the field is the text, without zero byte.
    const QString t1024(1024, QLatin1Char('y'));
    EXPECT_EQ(commentaire_complete(t1024), t1024);
    EXPECT_EQ(champ(t1024), std::vector<uint8_t>(1024, 'y'));
}

TEST(RecordingComment, Windows1252Bytes)
{
    EXPECT_EQ(vers_cp1252(QStringLiteral("AZaz09 ~\t")), QByteArray("AZaz09 ~\t"));
    EXPECT_EQ(vers_cp1252(QStringLiteral("é")), QByteArray("\xE9"));
    EXPECT_EQ(vers_cp1252(QStringLiteral("€")), QByteArray("\x80"));
    EXPECT_EQ(vers_cp1252(QStringLiteral("œŸ—")), QByteArray("\x9C\x9F\x97"));
    EXPECT_EQ(vers_cp1252(QStringLiteral("\u00A0ÿ")), QByteArray("\xA0\xFF"));
    // Outside the code page: one '?' per character, also for a character beyond the BMP
    // (two UTF-16 units) and for C1 controls the code page does not carry.
    EXPECT_EQ(vers_cp1252(QStringLiteral("Ω")), QByteArray("?"));
    EXPECT_EQ(vers_cp1252(QString::fromUtf8("a\xF0\x9F\x98\x80" "b")), QByteArray("a?b"));
    EXPECT_EQ(vers_cp1252(QStringLiteral("\u0081\u0080")), QByteArray("??"));
}

// A character outside the code page still takes one byte, so padding counts characters,
// not UTF-16 units.
TEST(RecordingComment, PaddingCountsCharactersNotUnits)
{
    const QString t = QString::fromUtf8("\xF0\x9F\x98\x80" "é€");
    const auto c = champ(t);
    EXPECT_EQ(c[0], '?');
    EXPECT_EQ(c[1], 0xE9);
    EXPECT_EQ(c[2], 0x80);
    EXPECT_EQ(c[3], ' ');
    EXPECT_EQ(c[1022], ' ');
    EXPECT_EQ(c[1023], 0);
}

// A typed line break is CR LF, two characters of the field; a text at the box's limit that
// grows past 1024 bytes that way is cut to the field.
TEST(RecordingComment, LineBreaksBecomeCrLf)
{
    const QString c = commentaire_complete(QStringLiteral("a\nb"));
    EXPECT_EQ(c.left(4), QStringLiteral("a\r\nb"));
    EXPECT_EQ(c.size(), 1023);
    const auto f = champ(QStringLiteral("a\nb\r\nc"));
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + 8),
              (std::vector<uint8_t>{'a', '\r', '\n', 'b', '\r', '\n', 'c', ' '}));
    EXPECT_EQ(f[1023], 0);

    const QString plein = QStringLiteral("\n") + QString(1023, QLatin1Char('z'));
    EXPECT_EQ(commentaire_complete(plein).size(), 1025);
    const auto g = champ(plein);
    EXPECT_EQ(g[0], '\r');
    EXPECT_EQ(g[1], '\n');
    EXPECT_EQ(g[1023], 'z');
}

// What the box's limit counts: the characters the stored comment takes, a line break two.
TEST(RecordingComment, StoredLength)
{
    const struct {
        const char16_t *texte;
        qsizetype longueur;
    } cas[] = {{u"", 0}, {u"abc", 3}, {u"a\nb", 4}, {u"a\r\nb", 4}, {u"a\rb", 4}, {u"\u2028\u2029", 4},
               {u"\U0001F3A4", 1}, {u"\n\n", 4}};
    for (const auto &c : cas) {
        const QString t = QString::fromUtf16(c.texte);
        EXPECT_EQ(longueur_stockee(t), c.longueur) << t.toStdString();
        // The padded comment is exactly as long as counted, padding aside.
        EXPECT_EQ(longueur_stockee(commentaire_complete(t)), std::max<qsizetype>(c.longueur, 1023)) << t.toStdString();
    }
}

// A pasted NUL or other control character reaches neither the header field nor the log: it
// becomes a blank. Tabs and line breaks stay.
TEST(RecordingComment, ControlCharactersBecomeBlanks)
{
    const QString tape = QStringLiteral("a") + QChar(0) + QStringLiteral("b\x01" "c\x1B\x7F\u0085" "d\te\nf");
    EXPECT_TRUE(commentaire_complete(tape).startsWith(QStringLiteral("a b c   d\te\r\nf ")));
    const auto f = champ(tape);
    EXPECT_EQ(std::count(f.begin(), f.end(), 0), 1);
    EXPECT_EQ(f[1023], 0);
}

TEST(RecordingNames, CompanionNames)
{
    auto verifie = [](const QString &dat, const QString &vlx, const QString &log) {
        const NomsCompagnons n = noms_compagnons(dat);
        EXPECT_EQ(n.entete, vlx) << dat.toStdString();
        EXPECT_EQ(n.log, log) << dat.toStdString();
    };
    verifie(QStringLiteral("/tmp/mesures/essai.dat"), QStringLiteral("/tmp/mesures/essai.Vlx"),
            QStringLiteral("/tmp/mesures/essai.log"));
    verifie(QStringLiteral("essai.dat"), QStringLiteral("essai.Vlx"), QStringLiteral("essai.log"));
    verifie(QStringLiteral("/d/ESSAI.DAT"), QStringLiteral("/d/ESSAI.Vlx"), QStringLiteral("/d/ESSAI.log"));
    // Only the final extension of the file name, never a folder's.
    verifie(QStringLiteral("/tmp/a.dat.d/x.dat"), QStringLiteral("/tmp/a.dat.d/x.Vlx"), QStringLiteral("/tmp/a.dat.d/x.log"));
    verifie(QStringLiteral("/tmp/a.dat/x"), QStringLiteral("/tmp/a.dat/x.Vlx"), QStringLiteral("/tmp/a.dat/x.log"));
    verifie(QStringLiteral("/tmp/essai.dat.bak"), QStringLiteral("/tmp/essai.dat.bak.Vlx"), QStringLiteral("/tmp/essai.dat.bak.log"));
    verifie(QStringLiteral("/tmp/essai.txt"), QStringLiteral("/tmp/essai.txt.Vlx"), QStringLiteral("/tmp/essai.txt.log"));
    verifie(QStringLiteral("/tmp/essai"), QStringLiteral("/tmp/essai.Vlx"), QStringLiteral("/tmp/essai.log"));
}
