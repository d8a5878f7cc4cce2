#include "tools/analysis_options.h"

#include "tools/command_line.h"

#include <QString>

#include <stdexcept>

namespace tools {

std::pair<double, double> parse_band(const std::string &text)
{
    const QString t = QString::fromLatin1(text);
    if (!t.contains(u':'))
        throw std::invalid_argument("--band: \"" + text + "\" is not F1:F2 (Hz)");
    const double f1 = tools::number(t.section(u':', 0, 0), QStringLiteral("--band")),
                 f2 = tools::number(t.section(u':', 1), QStringLiteral("--band"));
    if (f2 <= f1)
        throw std::invalid_argument("--band: F1:F2 with 0 <= F1 < F2");
    return {f1, f2};
}

} // namespace tools
