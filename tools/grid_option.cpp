#include "tools/grid_option.h"

#include "tools/command_line.h"

#include <array>

namespace tools {

analysis::Grid parse_grid(const std::string &text)
{
    const std::array<double, 7> v = grid_figures(text);
    const analysis::Grid g{v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
    g.nx();
    g.ny();
    return g;
}

} // namespace tools
