// The comment text and its code-page form.
#include "recording/commentaire.h"

#include "recording/cp1252.h"

#include <QList>

namespace {

// Whether a line break starts at code point i; a CR LF pair is one break, and `i` then
// moves onto its LF.
bool saut_a(const QList<uint> &codes, qsizetype &i)
{
    const char32_t c = codes[i];
    if (c != u'\n' && c != u'\r' && c != 0x2028 && c != 0x2029)
        return false;
    if (c == u'\r' && i + 1 < codes.size() && codes[i + 1] == u'\n')
        ++i;
    return true;
}

// A control character would reach the header field and the log as it is: a NUL, for one,
// would end the comment early for any reader.
bool est_controle(char32_t c)
{
    return (c < 0x20 && c != u'\t') || (c >= 0x7F && c <= 0x9F);
}

} // namespace

QString commentaire_complete(const QString &texte)
{
    QString s;
    s.reserve(texte.size() + TAILLE_COMMENTAIRE);
    const QList<uint> codes = texte.toUcs4();
    for (qsizetype i = 0; i < codes.size(); ++i) {
        if (saut_a(codes, i)) {
            s += QLatin1String("\r\n");
            continue;
        }
        const char32_t u[1] = {est_controle(codes[i]) ? char32_t(u' ') : char32_t(codes[i])};
        s += QString::fromUcs4(u, 1);
    }
    const qsizetype points = longueur_stockee(s);
    if (points < TAILLE_COMMENTAIRE - 1)
        s += QString(TAILLE_COMMENTAIRE - 1 - points, QLatin1Char(' '));
    return s;
}

qsizetype longueur_stockee(QStringView texte)
{
    const QList<uint> codes = texte.toUcs4();
    qsizetype n = 0;
    for (qsizetype i = 0; i < codes.size(); ++i)
        n += saut_a(codes, i) ? 2 : 1;
    return n;
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
