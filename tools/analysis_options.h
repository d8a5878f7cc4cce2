#pragma once
// The values of the analysis options (a band, a grid), read by the command line's one number
// routine: viz256-run's map and health, and viz256-view, take them alike.
#include "analysis/beamform.h"

#include <string>
#include <utility>

namespace tools {

// F1:F2 in Hz, 0 <= F1 < F2.
std::pair<double, double> parse_band(const std::string &text);
// X0:X1:DX,Y0:Y1:DY,Z in metres.
analysis::Grid parse_grid(const std::string &text);

} // namespace tools
