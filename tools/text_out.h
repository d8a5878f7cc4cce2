#pragma once
// Small text helpers of viz256-run's analysis commands (no Qt, no file formats).
#include <initializer_list>
#include <string>
#include <utility>

namespace tools {

bool ends_with_any(const std::string &s, std::initializer_list<const char *> suffixes); // any case
std::string json_string(const std::string &s);
std::string json_number(double v); // null when not finite
// The number after `option`; throws std::invalid_argument "OPTION: \"TEXT\" is not a number".
double option_number(const std::string &option, const std::string &text);
// A band "F1:F2" in Hz after --band, 0 <= F1 < F2; throws std::invalid_argument saying why.
std::pair<double, double> parse_band(const std::string &text);

}
