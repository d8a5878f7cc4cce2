#pragma once
// The grid of a map from its option "X0:X1:DX,Y0:Y1:DY,Z" (metres): viz256-run map and
// viz256-view read it alike. Apart from the command line's own reader, since it needs the
// beamformer, which viz256-run itself does not load.
#include "analysis/beamform.h"

#include <string>

namespace tools {

analysis::Grid parse_grid(const std::string &text);

} // namespace tools
