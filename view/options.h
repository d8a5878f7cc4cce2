#pragma once
// viz256-view's command line.
#include <QStringList>

#include "analysis/beamform.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace view {

struct Options {
    std::string run;                 // a recorded run (any of its three names); empty: the live tap
    std::string device;              // the recorder's port or serial (live)
    std::string geometry, band, grid, to;
    std::optional<double> window_s, save_after;
    std::vector<int> traces;         // microphone channels, at most 8
    bool help = false;
};

extern const char *const usage;

// Throws std::invalid_argument saying what is wrong.
Options parse_options(const QStringList &args);
// "F1:F2" in Hz, 0 <= F1 < F2.
std::pair<double, double> parse_band(const std::string &text);
// The grid after --grid (X0:X1:DX,Y0:Y1:DY,Z, metres); throws std::invalid_argument.
analysis::Grid parse_grid(const std::string &text);
// "0, 37,200" (channels 0..255, at most 8).
std::vector<int> parse_channels(const std::string &text);

}
