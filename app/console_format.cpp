#include "app/console_format.h"

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
