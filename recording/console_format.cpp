#include "recording/console_format.h"

#include <QLocale>

QString fmt_G(int64_t v)
{
    return QString::number(v);
}

QString fmt_G(double v)
{
    QLocale loc;
    loc.setNumberOptions(QLocale::OmitGroupSeparator);
    return loc.toString(v, 'g', QLocale::FloatingPointShortest);
}

QString fmt_N0(double v)
{
    return QLocale().toString(v, 'f', 0);
}

QString fmt_N0(uint64_t v)
{
    return QLocale().toString(static_cast<qulonglong>(v));
}

QString fmt_N1(double v)
{
    return QLocale().toString(v, 'f', 1);
}

QString fmt_D(int64_t v, int digits)
{
    if (v < 0)
        return QStringLiteral("-") + QString::number(-v).rightJustified(digits, QLatin1Char('0'));
    return QString::number(v).rightJustified(digits, QLatin1Char('0'));
}

namespace saisie {

namespace {
bool blanc(QChar c)
{
    return c == u' ' || c == QChar::Nbsp || c == u'\u202F';
}
} // namespace

std::optional<double> lit_decimal(QStringView texte, int decimales)
{
    qsizetype i = 0, n = texte.size();
    while (i < n && blanc(texte[i]))
        ++i;
    while (n > i && blanc(texte[n - 1]))
        --n;
    QString chiffres;
    int apres_marque = -1; // decimals seen after the mark; -1 before it
    for (; i < n; ++i) {
        const QChar c = texte[i];
        if (c >= u'0' && c <= u'9') {
            chiffres += c;
            if (apres_marque >= 0 && ++apres_marque > decimales)
                return std::nullopt;
        } else if ((c == u'.' || c == u',') && apres_marque < 0) {
            chiffres += u'.';
            apres_marque = 0;
        } else {
            return std::nullopt;
        }
    }
    if (chiffres.isEmpty() || chiffres == u"." )
        return std::nullopt;
    bool ok = false;
    const double v = chiffres.toDouble(&ok); // C locale: '.' is the mark
    return ok ? std::optional<double>(v) : std::nullopt;
}

} // namespace saisie
