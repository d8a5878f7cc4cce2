#pragma once
// The log file of a run read back: sections of "key = value" lines whose numbers follow the
// operator's locale ("Duree = 1 000,0" with a narrow no-break space in French, "1,000.0" in
// English), the comment on the lines after "[OPTIONNAL]".
#include <cstdint>
#include <string>
#include <string_view>

#include "recording/header_record.h"

namespace reading {

struct LogRecord {
    // What the log says, as a header record: the date (its day of week computed, its
    // milliseconds 0: the log has none), the flags, the frequency, Nb_ech, the duration, the
    // sample type and the comment in Windows-1252 (1024 blanks when the log has none).
    type_header_file rec;
    int nb_voies = 0;            // Nb_voies: words per frame, the status word included
    int nb_micros = 0;
    bool status = false;         // Nb_voies counts one word more than the flags: the status word
    double duree = 0;            // Duree as written, one decimal
    std::string duree_text;      // its text, in the locale it was written in
    std::u32string decimal_point; // the separator before its last digit
    std::string freq_text;
    bool has_comment = false;
    std::string comment;         // UTF-8, fill blanks and CR LF line breaks included
};

// Parses and validates a whole log file. Throws ReadError naming `file` and the key.
LogRecord parse_log(std::string_view text, const std::string &file);

// A number of the log in any locale: decimal digits of any script, any separators between
// them. `decimals` = -1: any number of decimals after the last separator (the frequency),
// else exactly that many (the duration has one). Throws ReadError naming `file` and `key`.
double parse_locale_number(std::u32string_view v, int decimals, const std::string &file, const std::string &key);

// Day of week (0 = Sunday) of a date of the Gregorian calendar.
int day_of_week(int year, int month, int day);

} // namespace reading
