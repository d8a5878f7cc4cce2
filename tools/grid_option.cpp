// Apart from the band: the grid needs the beamformer, which viz256-run itself does not load.
#include "tools/analysis_options.h"

#include "tools/command_line.h"

#include <QString>
#include <QStringList>

#include <array>
#include <stdexcept>

namespace tools {

// X0:X1:DX,Y0:Y1:DY,Z in metres, each figure read as every number of the command line is.
analysis::Grid parse_grid(const std::string &text)
{
    const QStringList parts = QString::fromLatin1(text).split(u',');
    QStringList f;
    if (parts.size() == 3)
        f = parts[0].split(u':') + parts[1].split(u':') + QStringList{parts[2]};
    if (f.size() != 7)
        throw std::invalid_argument("grid: \"" + text + "\" is not X0:X1:DX,Y0:Y1:DY,Z (metres)");
    std::array<double, 7> v{};
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = tools::number(f[qsizetype(i)], QStringLiteral("--grid"), true);
    const analysis::Grid g{v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
    g.nx();
    g.ny();
    return g;
}

} // namespace tools
