#pragma once
// Number formats of the console and log messages, in the operator's locale (QLocale()).
//   G   general form, no grouping          N0  grouped, no decimals
//   N1  grouped, one decimal                D   zero-padded integer of at least n digits
#include <QString>
#include <cstdint>

QString fmt_G(int64_t v);
QString fmt_G(double v);
QString fmt_N0(double v);
QString fmt_N0(uint64_t v);
QString fmt_N1(double v);
QString fmt_D(int64_t v, int digits);
