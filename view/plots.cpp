#include "view/plots.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

using namespace analysis;

namespace view {

namespace {

// Dark violet through red to pale yellow, as viz256-run map draws its pictures.
QCPColorGradient map_gradient()
{
    QCPColorGradient g;
    g.setColorStopAt(0.0, QColor(0, 0, 4));
    g.setColorStopAt(0.25, QColor(81, 18, 124));
    g.setColorStopAt(0.5, QColor(183, 55, 121));
    g.setColorStopAt(0.75, QColor(252, 137, 97));
    g.setColorStopAt(1.0, QColor(252, 253, 191));
    return g;
}

QCPGraph *dots(QCustomPlot *plot, QCPScatterStyle style)
{
    QCPGraph *g = plot->addGraph();
    g->setLineStyle(QCPGraph::lsNone);
    g->setScatterStyle(style);
    return g;
}

QString number(double v, int decimals) { return QLocale().toString(v, 'f', decimals); }

} // namespace

const std::vector<QColor> &health_colours()
{
    // In the order of the verdicts, then the positions of microphones not recorded.
    static const std::vector<QColor> colours = {QColor(40, 170, 60),  QColor(0, 0, 0),       QColor(220, 0, 0),
                                                QColor(0, 150, 220),  QColor(120, 90, 40),   QColor(230, 60, 160),
                                                QColor(255, 150, 0),  QColor(150, 40, 200),  QColor(150, 210, 150),
                                                QColor(200, 200, 200)};
    return colours;
}

QString health_legend()
{
    static const char *const names[] = {"bon",        "mort",            "écrêté",          "décrochages",
                                        "décalage continu", "incohérent", "niveau aberrant", "polarité inversée",
                                        "indéterminé", "non enregistré"};
    QString html;
    for (size_t k = 0; k < health_colours().size(); ++k)
        html += QStringLiteral("<span style=\"color:%1\">&#9679;</span>&nbsp;%2 &nbsp; ")
                    .arg(health_colours()[k].name(), QString::fromUtf8(names[k]));
    return html + QStringLiteral("<span style=\"color:#0078ff\">&#9675;</span>&nbsp;tracé (clic : ajouter, retirer)");
}

QColor trace_colour(size_t i)
{
    static const QColor colours[] = {QColor(31, 119, 180), QColor(214, 39, 40), QColor(44, 160, 44), QColor(255, 127, 14),
                                     QColor(148, 103, 189), QColor(140, 86, 75), QColor(227, 119, 194), QColor(23, 190, 207)};
    return colours[i % 8];
}

QString verdict_text(Verdict v)
{
    switch (v) {
    case Verdict::Ok: return QStringLiteral("bon");
    case Verdict::Dead: return QStringLiteral("mort (dead)");
    case Verdict::Clipping: return QStringLiteral("écrêté (clipping)");
    case Verdict::Dropouts: return QStringLiteral("décrochages (dropouts)");
    case Verdict::DcOffset: return QStringLiteral("décalage continu (dc_offset)");
    case Verdict::Incoherent: return QStringLiteral("incohérent (incoherent)");
    case Verdict::LevelOutlier: return QStringLiteral("niveau aberrant (level_outlier)");
    case Verdict::ReversedPolarity: return QStringLiteral("polarité inversée (reversed_polarity)");
    case Verdict::Undetermined: return QStringLiteral("indéterminé (undetermined)");
    }
    return {};
}

MapPlot::MapPlot(QWidget *parent) : QCustomPlot(parent)
{
    plotLayout()->insertRow(0);
    title_ = new QCPTextElement(this, QStringLiteral("Carte acoustique"), QFont(font().family(), 10));
    plotLayout()->addElement(0, 0, title_);
    xAxis->setLabel(QStringLiteral("x (m)"));
    yAxis->setLabel(QStringLiteral("y (m)"));
    map_ = new QCPColorMap(xAxis, yAxis);
    map_->setGradient(map_gradient());
    map_->setInterpolate(false);
    scale_ = new QCPColorScale(this);
    plotLayout()->addElement(1, 1, scale_);
    scale_->setType(QCPAxis::atRight);
    scale_->setGradient(map_gradient());
    scale_->axis()->setLabel(QStringLiteral("dB re pleine échelle"));
    map_->setColorScale(scale_);
    auto *group = new QCPMarginGroup(this);
    axisRect()->setMarginGroup(QCP::msBottom | QCP::msTop, group);
    scale_->setMarginGroup(QCP::msBottom | QCP::msTop, group);
    used_ = dots(this, QCPScatterStyle(QCPScatterStyle::ssCircle, QPen(Qt::black), QBrush(QColor(255, 255, 255, 170)), 5));
    left_out_ = dots(this, QCPScatterStyle(QCPScatterStyle::ssCross, QPen(QColor(220, 0, 0), 2), Qt::NoBrush, 9));
    peak_ = dots(this, QCPScatterStyle(QCPScatterStyle::ssCrossCircle, QPen(QColor(0, 220, 255), 2), Qt::NoBrush, 18));
    // The buffers a replot draws are what the next paint shows.
    connect(this, &QCustomPlot::beforeReplot, this, [this] { drawn_ns_ = shown_ns_, drawn_end_ = shown_end_; });
}

void MapPlot::paintEvent(QPaintEvent *event)
{
    QCustomPlot::paintEvent(event);
    if (drawn_ns_ > 0) {
        emit painted(drawn_ns_, drawn_end_);
        drawn_ns_ = 0;
    }
}

void MapPlot::show_map(const Snapshot &s, double range_db)
{
    QVector<double> ux, uy, lx, ly;
    for (size_t i = 0; i < s.positions.size(); ++i) {
        const bool used = i < s.used.size() && s.used[i];
        (used ? ux : lx).push_back(s.positions[i].x);
        (used ? uy : ly).push_back(s.positions[i].y);
    }
    used_->setData(ux, uy);
    left_out_->setData(lx, ly);
    if (!s.has_map) {
        map_->data()->clear();
        peak_->data()->clear();
        title_->setText(s.problem.empty() ? QStringLiteral("Carte acoustique : en attente des trames")
                                          : QStringLiteral("Pas de carte : ") + QString::fromStdString(s.problem));
        replot(QCustomPlot::rpQueuedReplot);
        return;
    }
    const Grid &g = s.map.grid;
    const int nx = g.nx(), ny = g.ny();
    map_->data()->setSize(nx, ny);
    map_->data()->setRange(QCPRange(g.x0, g.x(nx - 1)), QCPRange(g.y0, g.y(ny - 1)));
    const double peak_db = to_db(s.map.power[s.map.peak]);
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i)
            map_->data()->setCell(i, j, std::max(to_db(s.map.at(i, j)), peak_db - range_db));
    map_->setDataRange(QCPRange(peak_db - range_db, peak_db));
    const double px = g.x(int(s.map.peak % size_t(nx))), py = g.y(int(s.map.peak / size_t(nx)));
    peak_->setData(QVector<double>{px}, QVector<double>{py});
    xAxis->setRange(g.x0 - g.dx / 2, g.x(nx - 1) + g.dx / 2);
    yAxis->setRange(g.y0 - g.dy / 2, g.y(ny - 1) + g.dy / 2);
    yAxis->setScaleRatio(xAxis, 1.0);
    title_->setText(QStringLiteral("%1 à %2 Hz, z = %3 m, %7 s intégrées\npic %4 dB en (%5 ; %6) m")
                        .arg(number(s.settings.f1, 0), number(s.settings.f2, 0), number(g.z, 2), number(peak_db, 1),
                             number(px, 3), number(py, 3), number(double(s.map_frames) / s.sample_freq, 2)));
    shown_ns_ = s.live ? s.map_completed_ns : 0;
    shown_end_ = s.map_first + s.map_frames;
    replot(QCustomPlot::rpQueuedReplot);
}

HealthPlot::HealthPlot(QWidget *parent) : QCustomPlot(parent)
{
    xAxis->setLabel(QStringLiteral("x (m)"));
    yAxis->setLabel(QStringLiteral("y (m)"));
    for (const QColor &colour : health_colours()) {
        kinds_.push_back(dots(this, QCPScatterStyle(QCPScatterStyle::ssDisc, colour, colour, 8)));
    }
    traced_ = dots(this, QCPScatterStyle(QCPScatterStyle::ssCircle, QPen(QColor(0, 120, 255), 2), Qt::NoBrush, 14));
    connect(this, &QCustomPlot::mousePress, this, [this](QMouseEvent *e) {
        const double x = xAxis->pixelToCoord(e->position().x()), y = yAxis->pixelToCoord(e->position().y());
        double best = 1e9;
        int channel = -1;
        for (const auto &[p, c] : at_) {
            const double d = std::hypot(p.x() - x, p.y() - y);
            if (d < best)
                best = d, channel = c;
        }
        // Within 10 pixels.
        if (channel >= 0 && best * std::abs(xAxis->coordToPixel(1) - xAxis->coordToPixel(0)) < 10)
            emit microphone_clicked(channel);
    });
}

void HealthPlot::show_health(const Snapshot &s)
{
    std::vector<QVector<double>> xs(kinds_.size()), ys(kinds_.size());
    at_.clear();
    std::vector<int> verdict_of(s.layout.size(), int(kinds_.size()) - 1);
    for (size_t i = 0; i < s.channels.size(); ++i)
        if (size_t(s.channels[i]) < verdict_of.size())
            verdict_of[size_t(s.channels[i])] =
                i < s.health.mics.size() ? std::min(int(s.health.mics[i].verdict), int(kinds_.size()) - 2) : 0;
    QVector<double> tx, ty;
    for (size_t c = 0; c < s.layout.size(); ++c) {
        xs[size_t(verdict_of[c])].push_back(s.layout[c].x);
        ys[size_t(verdict_of[c])].push_back(s.layout[c].y);
        at_.push_back({QPointF(s.layout[c].x, s.layout[c].y), int(c)});
        if (std::find(s.trace_channels.begin(), s.trace_channels.end(), int(c)) != s.trace_channels.end())
            tx.push_back(s.layout[c].x), ty.push_back(s.layout[c].y);
    }
    for (size_t k = 0; k < kinds_.size(); ++k)
        kinds_[k]->setData(xs[k], ys[k]);
    traced_->setData(tx, ty);
    rescaleAxes();
    const double span = std::max(xAxis->range().size(), yAxis->range().size()) * 0.55 + 0.02;
    xAxis->setRange(xAxis->range().center() - span, xAxis->range().center() + span);
    yAxis->setRange(yAxis->range().center() - span, yAxis->range().center() + span);
    yAxis->setScaleRatio(xAxis, 1.0); // metres the same both ways
    // Discs about as wide as most microphones are apart from their nearest (a dense centre may
    // overlap), the faults larger, on top of the others.
    std::vector<double> nearest;
    for (size_t a = 0; a < s.layout.size(); ++a) {
        double d = 1e9;
        for (size_t b = 0; b < s.layout.size(); ++b)
            if (b != a)
                d = std::min(d, std::hypot(s.layout[a].x - s.layout[b].x, s.layout[a].y - s.layout[b].y));
        nearest.push_back(d);
    }
    double size = 8;
    if (!nearest.empty()) {
        std::nth_element(nearest.begin(), nearest.begin() + long(nearest.size() / 2), nearest.end());
        const double pixels = std::min(axisRect()->width(), axisRect()->height()) / (2 * span);
        size = std::clamp(nearest[nearest.size() / 2] * pixels * 0.8, 4.0, 10.0);
    }
    for (size_t k = 0; k < kinds_.size(); ++k) {
        QCPScatterStyle style = kinds_[k]->scatterStyle();
        style.setSize(k < kinds_.size() - 1 && is_fault(Verdict(k)) ? size + 4 : size);
        kinds_[k]->setScatterStyle(style);
    }
    QCPScatterStyle ring = traced_->scatterStyle();
    ring.setSize(size + 6);
    traced_->setScatterStyle(ring);
    replot(QCustomPlot::rpQueuedReplot);
}

TracePlot::TracePlot(QWidget *parent) : QCustomPlot(parent)
{
    xAxis->setLabel(QStringLiteral("temps (s)"));
    yAxis->setLabel(QStringLiteral("pleine échelle"));
    legend->setVisible(true);
    legend->setFont(QFont(font().family(), 8));
}

void TracePlot::show_traces(const Snapshot &s, double fixed)
{
    while (graphCount() > int(s.trace_channels.size()))
        removeGraph(graphCount() - 1);
    while (graphCount() < int(s.trace_channels.size()))
        addGraph()->setPen(QPen(trace_colour(size_t(graphCount() - 1))));
    const QVector<double> t(s.trace_t.begin(), s.trace_t.end());
    // Automatic scale: each trace in a lane of its own at its own peak (a loud or clipped
    // microphone does not flatten the others), the lane named by its channel and peak.
    const bool lanes = fixed <= 0;
    QSharedPointer<QCPAxisTickerText> names(new QCPAxisTickerText);
    for (size_t j = 0; j < s.trace_channels.size(); ++j) {
        graph(int(j))->setName(QStringLiteral("canal %1").arg(s.trace_channels[j]));
        QVector<double> v(s.trace_v[j].begin(), s.trace_v[j].end());
        if (lanes) {
            double peak = 0;
            for (double x : v)
                if (std::isfinite(x))
                    peak = std::max(peak, std::abs(x));
            const double centre = -2.2 * double(j);
            for (double &x : v)
                x = centre + (peak > 0 ? x / peak : x);
            names->addTick(centre, QStringLiteral("canal %1\n± %2").arg(s.trace_channels[j]).arg(QLocale().toString(peak, 'g', 3)));
        }
        graph(int(j))->setData(t, v, true);
    }
    legend->setVisible(!lanes);
    if (lanes) {
        yAxis->setTicker(names);
        yAxis->setLabel(QString()); // each lane says its channel and its peak (full scale)
        if (!s.trace_channels.empty())
            yAxis->setRange(-2.2 * double(s.trace_channels.size() - 1) - 1.1, 1.1);
    } else {
        yAxis->setTicker(QSharedPointer<QCPAxisTicker>(new QCPAxisTicker));
        yAxis->setLabel(QStringLiteral("pleine échelle"));
    }
    if (!s.trace_t.empty()) {
        double lo = s.trace_t.front(), hi = s.trace_t.back();
        for (double v : s.trace_t)
            if (std::isfinite(v)) {
                lo = std::isfinite(lo) ? lo : v;
                break;
            }
        if (std::isfinite(lo) && std::isfinite(hi) && hi > lo)
            xAxis->setRange(lo, hi);
    }
    if (!lanes)
        yAxis->setRange(-fixed, fixed);
    replot(QCustomPlot::rpQueuedReplot);
}

SpectrumPlot::SpectrumPlot(QWidget *parent) : QCustomPlot(parent)
{
    xAxis->setLabel(QStringLiteral("fréquence (Hz)"));
    yAxis->setLabel(QStringLiteral("dB re pleine échelle"));
    xAxis->setScaleType(QCPAxis::stLogarithmic);
    xAxis->setTicker(QSharedPointer<QCPAxisTickerLog>(new QCPAxisTickerLog));
    xAxis->setNumberFormat("gb");
    xAxis->setNumberPrecision(0);
}

void SpectrumPlot::show_spectra(const Snapshot &s)
{
    while (graphCount() > int(s.spectrum_db.size()))
        removeGraph(graphCount() - 1);
    while (graphCount() < int(s.spectrum_db.size()))
        addGraph()->setPen(QPen(trace_colour(size_t(graphCount() - 1))));
    const QVector<double> f(s.spectrum_f.begin(), s.spectrum_f.end());
    double top = -400;
    for (size_t j = 0; j < s.spectrum_db.size(); ++j) {
        graph(int(j))->setData(f, QVector<double>(s.spectrum_db[j].begin(), s.spectrum_db[j].end()), true);
        for (double v : s.spectrum_db[j])
            top = std::max(top, v);
    }
    if (!f.isEmpty()) {
        xAxis->setRange(std::max(10.0, f.front()), f.back());
        yAxis->setRange(std::ceil(top / 10) * 10 - 100, std::ceil(top / 10) * 10 + 5);
    }
    replot(QCustomPlot::rpQueuedReplot);
}

}
