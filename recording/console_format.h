#pragma once
// Number formats of the console and log messages, in the operator's locale (QLocale()).
//   G   general form, no grouping          N0  grouped, no decimals
//   N1  grouped, one decimal                D   zero-padded integer of at least n digits
#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

QString fmt_G(int64_t v);
QString fmt_G(double v);
QString fmt_N0(double v);
QString fmt_N0(uint64_t v);
QString fmt_N1(double v);
QString fmt_D(int64_t v, int digits);

namespace saisie {
// A number of at most `decimales` decimals, written with '.' or ',' as its decimal mark
// (neither is ever a thousands separator), blanks allowed around it; nothing else. The
// window's duration box and the settings of a run read durations with it.
std::optional<double> lit_decimal(QStringView texte, int decimales);
} // namespace saisie
