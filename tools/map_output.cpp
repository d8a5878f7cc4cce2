#include "tools/map_output.h"

#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>

#include <hdf5.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

using namespace analysis;

namespace tools {

namespace {

// Dark violet through red to pale yellow: the quiet end dark, the loud end light.
QColor colour(double t)
{
    static const double stops[][3] = {{0, 0, 4}, {81, 18, 124}, {183, 55, 121}, {252, 137, 97}, {252, 253, 191}};
    t = std::clamp(t, 0.0, 1.0) * 4;
    const int i = std::min(3, int(t));
    const double f = t - i;
    return QColor(int(stops[i][0] + f * (stops[i + 1][0] - stops[i][0])), int(stops[i][1] + f * (stops[i + 1][1] - stops[i][1])),
                  int(stops[i][2] + f * (stops[i + 1][2] - stops[i][2])));
}

// Round steps for the axes' ticks: 1, 2 or 5 times a power of ten, about `count` of them.
double tick_step(double span, int count)
{
    const double raw = span / count, p = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * p >= raw)
            return m * p;
    return 10 * p;
}

void write_png(const std::string &path, const MapRecord &r)
{
    // The picture is drawn without a display: QtGui's offscreen platform, set from here.
    std::unique_ptr<QGuiApplication> app;
    if (!QGuiApplication::instance()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        // The platform's start-up remarks (no runtime folder, no fonts database) are not ours.
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
            if (type == QtCriticalMsg || type == QtFatalMsg)
                std::fprintf(stderr, "viz256-run: %s\n", qPrintable(text));
        });
        static int argc = 1;
        static char name[] = "viz256-run";
        static char *argv[] = {name, nullptr};
        app = std::make_unique<QGuiApplication>(argc, argv);
    }
    const Map &m = r.map;
    const Grid &g = m.grid;
    const int nx = g.nx(), ny = g.ny();
    const double wx = std::max(g.x1 - g.x0, g.dx), wy = std::max(g.y1 - g.y0, g.dy);
    const double scale = 560.0 / std::max(wx + g.dx, wy + g.dy); // pixels per metre, cells centred on points
    const int pw = int(std::lround((wx + g.dx) * scale)), ph = int(std::lround((wy + g.dy) * scale));
    const int left = 80, top = 60, bar = 24;
    QImage image(left + pw + 140, top + ph + 70, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QFont font = p.font();
    font.setPixelSize(13);
    p.setFont(font);

    const double peak_db = to_db(m.power[m.peak]), floor_db = peak_db - r.range_db;
    const auto px = [&](double x) { return left + (x - g.x0 + 0.5 * g.dx) * scale; };
    const auto py = [&](double y) { return top + ph - (y - g.y0 + 0.5 * g.dy) * scale; }; // y up
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            const double db = to_db(m.at(i, j));
            const QRectF cell(QPointF(px(g.x(i) - 0.5 * g.dx), py(g.y(j) + 0.5 * g.dy)), QSizeF(g.dx * scale, g.dy * scale));
            p.fillRect(cell.adjusted(0, 0, 0.6, 0.6), colour((db - floor_db) / r.range_db));
        }
    p.setPen(Qt::black);
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(left, top, pw, ph));

    // Axes in metres.
    const double step = tick_step(std::max(wx, wy), 6);
    for (double x = std::ceil(g.x0 / step) * step; x <= g.x1 + 1e-9; x += step) {
        p.drawLine(QPointF(px(x), top + ph), QPointF(px(x), top + ph + 5));
        p.drawText(QRectF(px(x) - 30, top + ph + 6, 60, 16), Qt::AlignHCenter, QString::number(x, 'g', 3));
    }
    for (double y = std::ceil(g.y0 / step) * step; y <= g.y1 + 1e-9; y += step) {
        p.drawLine(QPointF(left - 5, py(y)), QPointF(left, py(y)));
        p.drawText(QRectF(left - 60, py(y) - 8, 52, 16), Qt::AlignRight, QString::number(y, 'g', 3));
    }
    p.drawText(QRectF(left, top + ph + 26, pw, 18), Qt::AlignHCenter, "x (m)");
    p.save();
    p.translate(18, top + ph / 2.0);
    p.rotate(-90);
    p.drawText(QRectF(-60, -9, 120, 18), Qt::AlignHCenter, "y (m)");
    p.restore();

    // The microphones: used ones as rings, those left out as red crosses.
    const QRectF inside(left, top, pw, ph);
    for (size_t i = 0; i < r.all_positions.size(); ++i) {
        const QPointF c(px(r.all_positions[i].x), py(r.all_positions[i].y));
        if (!inside.contains(c))
            continue;
        const bool used = std::find(r.used_channels.begin(), r.used_channels.end(), r.all_channels[i]) != r.used_channels.end();
        if (used) {
            p.setPen(QPen(Qt::black, 1));
            p.setBrush(QColor(255, 255, 255, 170));
            p.drawEllipse(c, 2.5, 2.5);
        } else {
            p.setPen(QPen(QColor(220, 0, 0), 2));
            p.drawLine(c + QPointF(-4, -4), c + QPointF(4, 4));
            p.drawLine(c + QPointF(-4, 4), c + QPointF(4, -4));
        }
    }
    // The peak.
    const double peak_x = g.x(int(m.peak % size_t(nx))), peak_y = g.y(int(m.peak / size_t(nx)));
    const QPointF pk(px(peak_x), py(peak_y));
    p.setPen(QPen(QColor(0, 220, 255), 2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(pk, 9, 9);
    p.drawLine(pk + QPointF(-14, 0), pk + QPointF(14, 0));
    p.drawLine(pk + QPointF(0, -14), pk + QPointF(0, 14));

    // Colour scale.
    const int bx = left + pw + 30;
    for (int k = 0; k < ph; ++k)
        p.fillRect(QRectF(bx, top + k, bar, 1.5), colour(1.0 - double(k) / ph));
    p.setPen(Qt::black);
    p.drawRect(QRectF(bx, top, bar, ph));
    const double db_step = tick_step(r.range_db, 5);
    for (double db = std::ceil(floor_db / db_step) * db_step; db <= peak_db + 1e-9; db += db_step) {
        const double yy = top + ph * (peak_db - db) / r.range_db;
        p.drawLine(QPointF(bx + bar, yy), QPointF(bx + bar + 5, yy));
        p.drawText(QRectF(bx + bar + 7, yy - 8, 60, 16), Qt::AlignLeft, QString::number(db, 'f', 1));
    }
    p.drawText(QRectF(bx - 20, top - 22, 120, 16), Qt::AlignLeft, "dB re full scale");

    char title[400];
    std::snprintf(title, sizeof title, "%g to %g Hz, z = %g m, peak %.1f dB at (%.3f, %.3f) m, %zu mics%s",
                  r.band.first, r.band.second, g.z, peak_db, peak_x, peak_y, r.used_channels.size(),
                  r.diagonal_removed ? ", diagonal removed" : "");
    p.drawText(QRectF(10, 8, image.width() - 20, 18), Qt::AlignLeft, QString::fromUtf8(title));
    // The run's file name (or the runs', "; " between them) without their folders.
    std::string base;
    for (size_t from = 0; from <= r.run.size();) {
        const size_t end = std::min(r.run.find("; ", from), r.run.size());
        const std::string one = r.run.substr(from, end - from);
        base += (base.empty() ? "" : ", ") + one.substr(one.find_last_of('/') == std::string::npos ? 0 : one.find_last_of('/') + 1);
        from = end + 2;
    }
    p.drawText(QRectF(10, 28, image.width() - 20, 18), Qt::AlignLeft,
               QString::fromStdString(base + ", delay-and-sum, steering formulation III, Welch " + std::to_string(r.block) +
                                      "-frame Hann blocks, 50 % overlap"));
    p.end();
    const std::string temporary = path + ".part";
    if (!image.save(QString::fromStdString(temporary), "PNG"))
        throw std::runtime_error(path + ": cannot write the picture");
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw std::runtime_error(path + ": cannot rename the picture into place");
    }
}

// A small HDF5 writer: every failure throws naming the file and the object.
class H5 {
public:
    explicit H5(const std::string &path) : path_(path)
    {
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
        file_ = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
        check(file_, "create");
    }
    ~H5() { close(); }
    void close()
    {
        for (auto it = groups_.rbegin(); it != groups_.rend(); ++it)
            H5Gclose(*it);
        groups_.clear();
        if (file_ >= 0)
            H5Fclose(file_);
        file_ = -1;
    }
    hid_t group(const char *name)
    {
        const hid_t g = H5Gcreate2(file_, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        check(g, name);
        groups_.push_back(g);
        return g;
    }
    hid_t root() const { return file_; }

    void doubles(hid_t where, const char *name, const std::vector<double> &v, std::vector<hsize_t> dims = {})
    {
        if (dims.empty())
            dims = {v.size()};
        data(where, name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, v.data(), dims);
    }
    void ints(hid_t where, const char *name, const std::vector<int> &v)
    {
        data(where, name, H5T_STD_I32LE, H5T_NATIVE_INT, v.data(), {v.size()});
    }
    void strings(hid_t where, const char *name, const std::vector<std::string> &v)
    {
        size_t width = 1;
        for (const auto &s : v)
            width = std::max(width, s.size());
        std::vector<char> flat(v.size() * width, '\0');
        for (size_t i = 0; i < v.size(); ++i)
            std::copy(v[i].begin(), v[i].end(), flat.begin() + long(i * width));
        const hid_t type = H5Tcopy(H5T_C_S1);
        H5Tset_size(type, width);
        H5Tset_strpad(type, H5T_STR_NULLPAD);
        data(where, name, type, type, flat.data(), {v.size()});
        H5Tclose(type);
    }
    void attribute(hid_t where, const char *name, double v) { scalar(where, name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, &v); }
    void attribute(hid_t where, const char *name, long long v) { scalar(where, name, H5T_STD_I64LE, H5T_NATIVE_LLONG, &v); }
    void attribute(hid_t where, const char *name, const std::string &v)
    {
        // Variable-length UTF-8, which h5py reads as str.
        const hid_t type = H5Tcopy(H5T_C_S1);
        H5Tset_size(type, H5T_VARIABLE);
        H5Tset_cset(type, H5T_CSET_UTF8);
        const char *text = v.c_str();
        scalar(where, name, type, type, &text);
        H5Tclose(type);
    }

private:
    void check(hid_t id, const std::string &what)
    {
        if (id < 0) {
            close();
            throw std::runtime_error(path_ + ": HDF5 cannot " + (what == "create" ? what : "write " + what));
        }
    }
    void data(hid_t where, const char *name, hid_t file_type, hid_t mem_type, const void *v, const std::vector<hsize_t> &dims)
    {
        const hid_t space = H5Screate_simple(int(dims.size()), dims.data(), nullptr);
        const hid_t set = H5Dcreate2(where, name, file_type, space, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
        const herr_t e = set >= 0 ? H5Dwrite(set, mem_type, H5S_ALL, H5S_ALL, H5P_DEFAULT, v) : -1;
        if (set >= 0)
            H5Dclose(set);
        H5Sclose(space);
        check(e < 0 ? -1 : 0, name);
    }
    void scalar(hid_t where, const char *name, hid_t file_type, hid_t mem_type, const void *v)
    {
        const hid_t space = H5Screate(H5S_SCALAR);
        const hid_t a = H5Acreate2(where, name, file_type, space, H5P_DEFAULT, H5P_DEFAULT);
        const herr_t e = a >= 0 ? H5Awrite(a, mem_type, v) : -1;
        if (a >= 0)
            H5Aclose(a);
        H5Sclose(space);
        check(e < 0 ? -1 : 0, name);
    }
    std::string path_;
    hid_t file_ = -1;
    std::vector<hid_t> groups_;
};

// A grid's figure as the command line takes it back.
std::string figure(double v)
{
    char t[32];
    std::snprintf(t, sizeof t, "%.10g", v);
    return t;
}

void write_h5(const std::string &path, const MapRecord &r)
{
    const std::string temporary = path + ".part";
    try {
        H5 f(temporary);
        const Map &m = r.map;
        const Grid &g = m.grid;
        const hsize_t nx = hsize_t(g.nx()), ny = hsize_t(g.ny());
        std::vector<double> db(m.power.size()), xs, ys;
        std::transform(m.power.begin(), m.power.end(), db.begin(), to_db);
        for (int i = 0; i < g.nx(); ++i)
            xs.push_back(g.x(i));
        for (int j = 0; j < g.ny(); ++j)
            ys.push_back(g.y(j));
        f.doubles(f.root(), "map", m.power, {ny, nx});
        f.doubles(f.root(), "map_db", db, {ny, nx});
        f.doubles(f.root(), "x", xs);
        f.doubles(f.root(), "y", ys);
        f.doubles(f.root(), "frequencies", r.frequencies);
        f.ints(f.root(), "channels", r.used_channels);
        std::vector<double> pos;
        for (size_t i = 0; i < r.all_channels.size(); ++i)
            if (std::find(r.used_channels.begin(), r.used_channels.end(), r.all_channels[i]) != r.used_channels.end())
                pos.insert(pos.end(), {r.all_positions[i].x, r.all_positions[i].y, r.all_positions[i].z});
        f.doubles(f.root(), "positions", pos, {r.used_channels.size(), 3});
        const hid_t a = f.root();
        f.attribute(a, "z", g.z);
        f.attribute(a, "grid", figure(g.x0) + ":" + figure(g.x1) + ":" + figure(g.dx) + "," + figure(g.y0) + ":" +
                                   figure(g.y1) + ":" + figure(g.dy) + "," + figure(g.z));
        f.attribute(a, "band_low", r.band.first);
        f.attribute(a, "band_high", r.band.second);
        f.attribute(a, "sample_freq", r.sample_freq);
        f.attribute(a, "block", (long long)r.block);
        f.attribute(a, "overlap", 0.5);
        f.attribute(a, "window", std::string("hann (periodic)"));
        f.attribute(a, "blocks", (long long)r.blocks);
        f.attribute(a, "first_frame", (long long)r.first_frame);
        f.attribute(a, "frames", (long long)r.frames);
        f.attribute(a, "start_s", double(r.first_frame) / r.sample_freq);
        f.attribute(a, "duration_s", double(r.frames) / r.sample_freq);
        f.attribute(a, "speed_of_sound", r.speed_of_sound);
        f.attribute(a, "diagonal_removed", (long long)r.diagonal_removed);
        f.attribute(a, "steering", std::string(kSteering));
        f.attribute(a, "map_units", std::string("mean square in the band at the array centre, full scale = 1 (2^31)"));
        f.attribute(a, "run", r.run);
        f.attribute(a, "geometry", r.geometry);
        f.attribute(a, "peak_x", g.x(int(m.peak % nx)));
        f.attribute(a, "peak_y", g.y(int(m.peak / nx)));
        f.attribute(a, "peak_z", g.z);
        f.attribute(a, "peak_level_db", to_db(m.power[m.peak]));

        // The health figures of every microphone of the run.
        const hid_t h = f.group("health");
        std::vector<int> ch;
        std::vector<std::string> names, verdicts, details;
        std::vector<double> level, dc, peak, clipped, reference;
        for (const MicHealth &mh : r.health.mics) {
            ch.push_back(mh.channel);
            names.push_back(mh.name);
            verdicts.push_back(verdict_name(mh.verdict));
            details.push_back(mh.detail);
            level.push_back(mh.level_db);
            dc.push_back(mh.dc);
            peak.push_back(mh.peak);
            clipped.push_back(mh.clipped);
            reference.push_back(mh.reference_db);
        }
        f.ints(h, "channel", ch);
        f.strings(h, "name", names);
        f.strings(h, "verdict", verdicts);
        f.strings(h, "detail", details);
        f.doubles(h, "level_db", level);
        f.doubles(h, "dc", dc);
        f.doubles(h, "peak", peak);
        f.doubles(h, "clipped", clipped);
        f.doubles(h, "reference_db", reference);
        f.attribute(h, "frames", (long long)r.health.frames);
        f.close();
    } catch (...) {
        std::remove(temporary.c_str());
        throw;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw std::runtime_error(path + ": cannot rename the file into place");
    }
}

}

void write_map(const std::string &path, const MapRecord &record)
{
    if (ends_with_any(path, {".png"}))
        write_png(path, record);
    else
        write_h5(path, record);
}

}
