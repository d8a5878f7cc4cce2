#pragma once
// viz256-run tap: follows the live tap of a recording process and says what it received.
#include <optional>
#include <string>

namespace tools {

extern const char *const tap_usage;

struct TapOptions {
    std::string device;              // port or serial; empty: the only recorder recording
    std::optional<double> duration;  // seconds; none: until the recording process ends or a signal
    bool json = false;
};

// Prints a line (or a JSON object) a second and one at the end. Exit status: 0, or 2 when no
// tap can be read (none, several without a choice, a damaged segment).
int run_tap(const TapOptions &options);

} // namespace tools
