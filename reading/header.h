#pragma once
// Reading a recorded run back: the names of its three files, and the header record parsed and
// validated field by field. Files from disk are input from outside: every error names the
// file and the field.
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "recording/header_record.h"

namespace reading {

// A file of a run that cannot be read as it should: "mesure.Vlx: freq: NaN is not a frequency".
class ReadError : public std::runtime_error {
public:
    ReadError(const std::string &file, const std::string &field, const std::string &what);
    const std::string &file() const { return file_; }
    const std::string &field() const { return field_; }

private:
    std::string file_, field_;
};

// The three files of a run, from any of its names: "x.dat", "x.Vlx" or "x.log" (any case).
// The companions are named from the data file as the program names them (`companion_paths`);
// a data file without the ".dat" extension has theirs appended to its whole name, so "x.Vlx"
// may belong to "x.dat" or to "x": the one that exists wins, ".dat" when both or neither do.
struct RunPaths {
    std::string dat, header, log;
};
RunPaths run_paths(const std::string &any_name);

// Words of a frame that the header's flags account for: microphones, analogue channels and
// the counter. The status word has no flag: a frame may hold one word more.
struct HeaderCounts {
    int mics = 0, analog = 0, counters = 0;
    int words() const { return mics + analog + counters; }
};
HeaderCounts counts(const type_header_file &h);

// Whether day/month/year is a day of the Gregorian calendar (29 February in leap years only).
bool day_exists(int year, int month, int day);

// The 2097-byte image of the header file, validated: a wrong size, a date that is no date,
// flags other than 0 and 1, flags of beams or blocks the recorder does not have, no channel
// at all, a frequency that is not a positive finite number, a duration that is not finite or
// negative, a sample type other than 0 and 1. Throws ReadError naming `file` and the field.
type_header_file parse_header(std::span<const uint8_t> bytes, const std::string &file);

// The comment field decoded from Windows-1252 to UTF-8, up to its zero byte, fill blanks
// included; empty when the field holds 1024 blanks (no comment was ever entered).
std::string comment_utf8(const type_header_file &h);
// The same without the trailing fill blanks.
std::string comment_trimmed(const type_header_file &h);

// UTF-8 both ways: one code point appended; the code points of a text (a malformed sequence
// gives U+FFFD for each of its bytes).
void append_utf8(std::string &s, char32_t c);
std::u32string decode_utf8(std::string_view s);

} // namespace reading
