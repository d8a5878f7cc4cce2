// The comment text and its code-page form.
#include "recording/commentaire.h"

#include "recording/cp1252.h"

#include <QList>

namespace {

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
        b += static_cast<char>(octet_cp1252(c));
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
