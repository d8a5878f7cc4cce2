#include "analysis/geometry.h"

#include <QFile>
#include <QXmlStreamReader>

#include <cerrno>
#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace analysis {

namespace {

[[noreturn]] void fail(const std::string &path, long long line, const std::string &reason)
{
    throw GeometryError(path + ":" + std::to_string(line) + ": " + reason);
}

constexpr double kFarthest = 1000;    // metres from the origin: past it a coordinate is absurd
constexpr double kWidest = 50;        // metres across: wider, a layout is taken for millimetres
constexpr double kSamePlace = 1e-4;   // metres: closer, two positions are one

std::string place(const Microphone &m)
{
    char t[96];
    std::snprintf(t, sizeof t, "(%g, %g, %g)", m.x, m.y, m.z);
    return t;
}

// A coordinate as written: a finite decimal number of metres, within kFarthest of the origin.
double coordinate(const std::string &path, long long line, const std::string &axis, const std::string &text)
{
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    const bool whole = !text.empty() && end == text.c_str() + text.size() && !std::isspace((unsigned char)text[0]);
    if (!whole || std::isnan(v) || (std::isinf(v) && errno != ERANGE))
        fail(path, line, "coordinate " + axis + " is not a number: \"" + text + "\"");
    if (errno == ERANGE && std::abs(v) > 1)
        fail(path, line, "coordinate " + axis + " = " + text + " is out of range (past the largest number)");
    if (std::abs(v) > kFarthest)
        fail(path, line, "coordinate " + axis + " = " + text + " is out of range: more than 1 km from the origin (positions are in metres)");
    return v;
}

// Positions that are one (identical or duplicate), and layouts too wide to be in metres.
void check_positions(const Geometry &g)
{
    size_t widest = 0;
    double reach = 0;
    for (size_t i = 0; i < g.mics.size(); ++i) {
        const Microphone &a = g.mics[i];
        const double r = std::max({std::abs(a.x), std::abs(a.y), std::abs(a.z)});
        if (r > reach)
            reach = r, widest = i;
        for (size_t j = 0; j < i; ++j) {
            const Microphone &b = g.mics[j];
            if (std::abs(a.x - b.x) < kSamePlace && std::abs(a.y - b.y) < kSamePlace && std::abs(a.z - b.z) < kSamePlace)
                fail(g.path, a.line, "position " + std::to_string(i + 1) + " " + place(a) + " is that of position " +
                                         std::to_string(j + 1) + " (line " + std::to_string(b.line) +
                                         "): two microphones cannot be at one place");
        }
    }
    double lo[3] = {1e300, 1e300, 1e300}, hi[3] = {-1e300, -1e300, -1e300};
    for (const Microphone &m : g.mics) {
        const double c[3] = {m.x, m.y, m.z};
        for (int k = 0; k < 3; ++k)
            lo[k] = std::min(lo[k], c[k]), hi[k] = std::max(hi[k], c[k]);
    }
    const double span = std::max({hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]});
    if (span > kWidest) {
        char t[240];
        std::snprintf(t, sizeof t,
                      "the layout spans %g m: it looks like millimetres (positions are in metres: divide them by 1000)", span);
        fail(g.path, g.mics[widest].line, t);
    }
}

}

Geometry read_geometry(const std::string &path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        throw GeometryError(path + ": cannot open: " + file.errorString().toStdString());

    QXmlStreamReader xml(&file);
    Geometry geometry;
    geometry.path = path;
    bool in_array = false, seen_array = false;
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const long long line = xml.lineNumber();
            const QStringView tag = xml.name();
            if (!in_array) {
                if (tag != u"MicArray")
                    fail(path, line, "expected <MicArray>, found <" + tag.toString().toStdString() + ">");
                if (seen_array)
                    fail(path, line, "a second <MicArray>");
                in_array = seen_array = true;
                geometry.name = xml.attributes().value(QLatin1String("name")).toString().toStdString();
                continue;
            }
            if (tag != u"pos")
                fail(path, line, "expected <pos>, found <" + tag.toString().toStdString() + ">");
            const auto attributes = xml.attributes();
            Microphone mic;
            mic.line = int(line);
            mic.name = attributes.value(QLatin1String("Name")).toString().toStdString();
            if (mic.name.empty())
                mic.name = "Point " + std::to_string(geometry.mics.size() + 1);
            double *coordinates[] = {&mic.x, &mic.y, &mic.z};
            const QLatin1String names[] = {QLatin1String("x"), QLatin1String("y"), QLatin1String("z")};
            for (int i = 0; i < 3; ++i) {
                const std::string axis(names[i].data(), 1);
                if (!attributes.hasAttribute(names[i]))
                    fail(path, line, "<pos> without the coordinate " + axis);
                *coordinates[i] = coordinate(path, line, axis, attributes.value(names[i]).toString().trimmed().toStdString());
            }
            geometry.mics.push_back(std::move(mic));
            xml.skipCurrentElement();
        } else if (token == QXmlStreamReader::EndElement) {
            in_array = false;
            geometry.end_line = int(xml.lineNumber());
        }
    }
    if (xml.hasError())
        fail(path, xml.lineNumber(), "not a microphone array layout (XML: " + xml.errorString().toStdString() + ")");
    if (!seen_array)
        fail(path, xml.lineNumber(), "no <MicArray> element");
    if (geometry.mics.empty())
        fail(path, geometry.end_line, "the array has no <pos>");
    check_positions(geometry);
    return geometry;
}

std::vector<Microphone> positions_of(const Geometry &geometry, const std::vector<int> &channels)
{
    std::vector<Microphone> out;
    out.reserve(channels.size());
    const int top = channels.empty() ? -1 : *std::max_element(channels.begin(), channels.end());
    if (top >= 0 && size_t(top) >= geometry.mics.size())
        fail(geometry.path, geometry.end_line,
             "the layout ends after " + std::to_string(geometry.mics.size()) +
                 " positions, fewer than the microphones of the run (its microphone channels go up to " +
                 std::to_string(top) + ": " + std::to_string(top + 1) + " positions needed)");
    for (int c : channels)
        out.push_back(geometry.mics[size_t(c)]);
    return out;
}

}
