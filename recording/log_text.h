#pragma once
// The readable description of a run (".log"), built from the header record.
#include <QByteArray>
#include <QLocale>
#include <QString>

#include <cstdint>
#include <optional>

#include "recording/header_record.h"

// The whole log file: UTF-8 without byte-order mark, every line ended by CR LF. `Duree` is
// formatted in `locale` (one decimal, grouped); the comment is the last line, or an empty
// line when none was ever entered.
QByteArray texte_log(const type_header_file &h, int32_t nb_voies, int32_t nb_micros,
                     const std::optional<QString> &commentaire, const QLocale &locale = QLocale());

// A float in its shortest exact decimal form, without exponent or grouping ("41666", "2.5"
// with the locale's decimal point).
QString forme_courte(float v, const QLocale &locale);
