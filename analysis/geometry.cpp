#include "analysis/geometry.h"

#include <QFile>
#include <QXmlStreamReader>

#include <cmath>

namespace analysis {

namespace {

[[noreturn]] void fail(const std::string &path, long long line, const std::string &reason)
{
    throw GeometryError(path + ":" + std::to_string(line) + ": " + reason);
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
                bool ok = false;
                *coordinates[i] = attributes.value(names[i]).toDouble(&ok);
                if (!ok || !std::isfinite(*coordinates[i]))
                    fail(path, line, "coordinate " + axis + " is not a number: \""
                                         + attributes.value(names[i]).toString().toStdString() + "\"");
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
    return geometry;
}

std::vector<Microphone> positions_of(const Geometry &geometry, const std::vector<int> &channels)
{
    std::vector<Microphone> out;
    out.reserve(channels.size());
    for (int c : channels) {
        if (c < 0 || size_t(c) >= geometry.mics.size())
            fail(geometry.path, geometry.end_line,
                 "the layout ends after " + std::to_string(geometry.mics.size()) +
                     " positions, fewer than the microphones of the run (it has microphone channel " +
                     std::to_string(c) + ", " + std::to_string(c + 1) + " positions needed)");
        out.push_back(geometry.mics[size_t(c)]);
    }
    return out;
}

}
