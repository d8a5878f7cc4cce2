// The comment text and its code-page form.
#include "recording/commentaire.h"

#include <QList>

namespace {

// Windows-1252 codes 0x80..0x9F; 0 where the code page leaves the code unassigned.
constexpr char32_t cp1252_80_9F[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char octet_cp1252(char32_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<char>(c);
    for (int i = 0; i < 32; ++i)
        if (cp1252_80_9F[i] != 0 && cp1252_80_9F[i] == c)
            return static_cast<char>(0x80 + i);
    return '?';
}

bool est_saut(char32_t c)
{
    return c == u'\n' || c == u'\r' || c == 0x2028 || c == 0x2029;
}

} // namespace

QString commentaire_complete(const QString &texte)
{
    QString s;
    s.reserve(texte.size() + TAILLE_COMMENTAIRE);
    qsizetype points = 0;
    const QList<uint> codes = texte.toUcs4();
    for (qsizetype i = 0; i < codes.size(); ++i) {
        const char32_t c = codes[i];
        if (est_saut(c)) {
            if (c == u'\r' && i + 1 < codes.size() && codes[i + 1] == u'\n')
                ++i;
            s += QLatin1String("\r\n");
            points += 2;
            continue;
        }
        const char32_t u[1] = {c};
        s += QString::fromUcs4(u, 1);
        ++points;
    }
    if (points < TAILLE_COMMENTAIRE - 1)
        s += QString(TAILLE_COMMENTAIRE - 1 - points, QLatin1Char(' '));
    return s;
}

QByteArray vers_cp1252(const QString &texte)
{
    QByteArray b;
    const QList<uint> codes = texte.toUcs4();
    b.reserve(codes.size());
    for (uint c : codes)
        b += octet_cp1252(c);
    return b;
}

std::array<uint8_t, TAILLE_COMMENTAIRE> champ_commentaire(const QString &commentaire)
{
    std::array<uint8_t, TAILLE_COMMENTAIRE> champ{};
    const QByteArray b = vers_cp1252(commentaire);
    const qsizetype n = std::min<qsizetype>(b.size(), TAILLE_COMMENTAIRE);
    for (qsizetype i = 0; i < n; ++i)
        champ[i] = static_cast<uint8_t>(b[i]);
    return champ; // the zero byte after the text, when it fits, is already there
}
