#include "view/window.h"

#include "tap/block.h"
#include "tools/command_line.h"
#include "tools/grid_option.h"

#include "view/plots.h"
#include "view/save.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDockWidget>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QSettings>
#include <QSlider>
#include <QStatusBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

using namespace analysis;

namespace view {

namespace {

// Third octaves of base 10 from 100 Hz to 20 kHz: nominal centre, edges fc 10^(+-1/20).
struct ThirdOctave {
    double centre, low, high;
};
std::vector<ThirdOctave> third_octaves()
{
    static const double nominal[] = {100,  125,  160,  200,  250,  315,  400,  500,   630,   800,   1000,  1250,
                                     1600, 2000, 2500, 3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000};
    std::vector<ThirdOctave> out;
    for (int n = -10; n <= 13; ++n) {
        const double fc = 1000 * std::pow(10.0, n / 10.0);
        out.push_back({nominal[n + 10], fc * std::pow(10.0, -0.05), fc * std::pow(10.0, 0.05)});
    }
    return out;
}

QString n0(double v) { return QLocale().toString(v, 'f', 0); }


QDockWidget *dock(QMainWindow *w, const QString &title, const QString &name, QWidget *inside, Qt::DockWidgetArea area)
{
    auto *d = new QDockWidget(title, w);
    d->setObjectName(name);
    d->setWidget(inside);
    w->addDockWidget(area, d);
    return d;
}

} // namespace

QString default_geometry()
{
    const QString candidates[] = {QApplication::applicationDirPath() + "/../share/viz256/viz256_spiral.xml",
                                  QStringLiteral(VIZ256_SOURCE_DIR "/arrays/viz256_spiral.xml")};
    for (const QString &c : candidates)
        if (QFileInfo(c).isFile())
            return QFileInfo(c).canonicalFilePath();
    return {};
}

ViewWindow::ViewWindow(Pipeline &pipeline, const Options &options, QWidget *parent) : QMainWindow(parent), pipeline_(pipeline)
{
    setObjectName("viz256_view");
    if (!options.grid.empty())
        grid_ = tools::parse_grid(options.grid);
    setWindowTitle(QStringLiteral("viz256-view : ") + QString::fromStdString(pipeline.snapshot().source));
    map_ = new MapPlot;
    map_->setObjectName("carte");
    map_->setMinimumSize(420, 380);
    setCentralWidget(map_);
    health_ = new HealthPlot;
    health_->setObjectName("sante");
    faulty_ = new QListWidget;
    faulty_->setObjectName("defaillants");
    faulty_->setWordWrap(true);
    auto *health_box = new QWidget;
    auto *hl = new QVBoxLayout(health_box);
    hl->setContentsMargins(2, 2, 2, 2);
    hl->addWidget(health_, 3);
    auto *legend = new QLabel(health_legend());
    legend->setWordWrap(true);
    hl->addWidget(legend);
    hl->addWidget(new QLabel(QStringLiteral("Micros défaillants :")));
    hl->addWidget(faulty_, 1);
    health_->setMinimumSize(300, 280);
    QDockWidget *health_dock = dock(this, QStringLiteral("Santé des micros"), "dock_sante", health_box, Qt::RightDockWidgetArea);
    traces_ = new TracePlot;
    traces_->setObjectName("traces");
    traces_->setMinimumSize(300, 180);
    spectrum_ = new SpectrumPlot;
    spectrum_->setObjectName("spectre");
    spectrum_->setMinimumSize(300, 180);
    dock(this, QStringLiteral("Traces"), "dock_traces", traces_, Qt::BottomDockWidgetArea);
    dock(this, QStringLiteral("Spectre moyen"), "dock_spectre", spectrum_, Qt::BottomDockWidgetArea);
    build_controls();
    connect(health_, &HealthPlot::microphone_clicked, this, &ViewWindow::toggle_trace);
    // Arrival of the newest frames' block to their map on the screen, once per window of frames
    // (a block is mapped in slices: each slice's map counts from its block's arrival).
    connect(map_, &MapPlot::painted, this, [this](int64_t completed_ns, uint64_t window_end) {
        if (window_end == last_window_end_)
            return;
        last_window_end_ = window_end;
        // The maps of the first second are left out: their frames waited while the map was set up.
        const int64_t now = tap::monotonic_ns();
        if (first_painted_ns_ == 0)
            first_painted_ns_ = now;
        if (now - first_painted_ns_ < 1000000000)
            return;
        latencies_.push_back(double(now - completed_ns) / 1e6);
        // Said twice a second: a label redrawn with every map costs the window for nothing.
        if (now - latency_said_ns_ < 500000000)
            return;
        latency_said_ns_ = now;
        std::vector<double> last(latencies_.end() - long(std::min<size_t>(latencies_.size(), 200)), latencies_.end());
        std::sort(last.begin(), last.end());
        latency_->setText(QStringLiteral("Latence arrivée → carte : médiane %1 ms, 99e centile %2 ms")
                              .arg(QLocale().toString(last[last.size() / 2], 'f', 0),
                                   QLocale().toString(last[last.size() * 99 / 100], 'f', 0)));
    });

    // What it remembers, then what the command line says.
    QSettings settings;
    QString geometry = QString::fromStdString(options.geometry);
    if (geometry.isEmpty())
        geometry = settings.value("geometry").toString();
    if (geometry.isEmpty() || !QFileInfo(geometry).isFile())
        geometry = options.geometry.empty() ? default_geometry() : geometry;
    const QString problem = use_geometry(geometry);
    if (!problem.isEmpty())
        statusBar()->showMessage(problem);
    // Read before any control is set: setting one saves the settings.
    double f1 = settings.value("band_low", 1782.5).toDouble(), f2 = settings.value("band_high", 2244.0).toDouble();
    const double window_s = options.window_s ? *options.window_s : settings.value("window_s", 1.0).toDouble();
    const double range_db = settings.value("range_db", 15.0).toDouble();
    QString traces = settings.value("traces").toString();
    QSignalBlocker b1(f1_), b2(f2_), b3(window_), b4(range_);
    if (!options.band.empty())
        std::tie(f1, f2) = tools::parse_band(options.band);
    f1_->setValue(f1);
    f2_->setValue(f2);
    const auto octaves = third_octaves();
    int index = band_->count() - 1;
    for (size_t i = 0; i < octaves.size(); ++i)
        if (std::abs(octaves[i].low - f1) < 8 && std::abs(octaves[i].high - f2) < 8) // exact or nominal edges
            index = int(i);
    band_->setCurrentIndex(index);
    window_->setValue(window_s);
    range_->setValue(range_db);
    if (!options.traces.empty()) {
        traces.clear();
        for (int c : options.traces)
            traces += (traces.isEmpty() ? "" : ", ") + QString::number(c);
    }
    trace_list_->setText(traces);
    // The layout wide enough to tell the microphones apart, unless the operator arranged it.
    resizeDocks({health_dock}, {430}, Qt::Horizontal);
    restoreGeometry(settings.value("window_geometry").toByteArray());
    restoreState(settings.value("window_state").toByteArray());
    apply_map_settings();
    apply_traces();

    // Each new snapshot is shown at once; the timer moves a recorded run's time between them.
    pipeline_.on_snapshot([this] { QMetaObject::invokeMethod(this, &ViewWindow::refresh, Qt::QueuedConnection); });
    connect(&timer_, &QTimer::timeout, this, &ViewWindow::refresh);
    timer_.start(50);
}

ViewWindow::~ViewWindow() = default;

void ViewWindow::build_controls()
{
    auto *box = new QWidget;
    auto *form = new QFormLayout(box);
    source_ = new QLabel(QString::fromStdString(pipeline_.snapshot().source));
    source_->setWordWrap(true);
    form->addRow(QStringLiteral("Source :"), source_);

    // Time: a recorded run is scrubbed and played.
    auto *time_row = new QWidget;
    auto *tl = new QHBoxLayout(time_row);
    tl->setContentsMargins(0, 0, 0, 0);
    play_ = new QPushButton(QStringLiteral("Lecture"));
    play_->setObjectName("lecture");
    play_->setCheckable(true);
    slider_ = new QSlider(Qt::Horizontal);
    slider_->setObjectName("temps");
    tl->addWidget(play_);
    tl->addWidget(slider_, 1);
    time_ = new QLabel;
    form->addRow(QStringLiteral("Temps :"), time_row);
    form->addRow(QString(), time_);
    const Snapshot s = pipeline_.snapshot();
    if (s.live) {
        play_->setEnabled(false);
        slider_->setEnabled(false);
        time_->setText(QStringLiteral("en direct"));
    } else {
        slider_->setRange(0, int(std::ceil(double(s.total) / pipeline_.layout().frequency * 100)));
    }
    connect(slider_, &QSlider::sliderMoved, this, [this](int v) { pipeline_.seek(v / 100.0); });
    connect(play_, &QPushButton::toggled, this, [this](bool on) {
        if (on && shown_.ended)
            pipeline_.seek(0);
        pipeline_.set_playing(on);
        play_->setText(on ? QStringLiteral("Pause") : QStringLiteral("Lecture"));
    });

    // The band: a third octave, or a free band.
    band_ = new QComboBox;
    band_->setObjectName("bande");
    for (const ThirdOctave &o : third_octaves())
        band_->addItem(QStringLiteral("tiers d'octave %1 Hz (%2 à %3)").arg(n0(o.centre), n0(o.low), n0(o.high)));
    band_->addItem(QStringLiteral("bande libre"));
    form->addRow(QStringLiteral("Bande :"), band_);
    auto *free_row = new QWidget;
    auto *fl = new QHBoxLayout(free_row);
    fl->setContentsMargins(0, 0, 0, 0);
    f1_ = new QDoubleSpinBox;
    f2_ = new QDoubleSpinBox;
    for (QDoubleSpinBox *f : {f1_, f2_}) {
        f->setRange(0, 250000);
        f->setDecimals(0);
        f->setSuffix(QStringLiteral(" Hz"));
        f->setKeyboardTracking(false);
        fl->addWidget(f);
    }
    f1_->setObjectName("bande_basse");
    f2_->setObjectName("bande_haute");
    form->addRow(QStringLiteral("De / à :"), free_row);
    connect(band_, &QComboBox::activated, this, [this](int i) {
        const auto octaves = third_octaves();
        if (i < int(octaves.size())) {
            QSignalBlocker a(f1_), b(f2_);
            f1_->setValue(octaves[size_t(i)].low);
            f2_->setValue(octaves[size_t(i)].high);
        }
        apply_map_settings();
    });
    for (QDoubleSpinBox *f : {f1_, f2_})
        connect(f, &QDoubleSpinBox::valueChanged, this, [this] {
            band_->setCurrentIndex(band_->count() - 1);
            apply_map_settings();
        });

    range_ = new QDoubleSpinBox;
    range_->setObjectName("dynamique");
    range_->setRange(1, 80);
    range_->setDecimals(0);
    range_->setSuffix(QStringLiteral(" dB"));
    form->addRow(QStringLiteral("Dynamique :"), range_);
    connect(range_, &QDoubleSpinBox::valueChanged, this, [this] {
        map_->show_map(shown_, range_->value());
        QSettings().setValue("range_db", range_->value());
    });
    window_ = new QDoubleSpinBox;
    window_->setObjectName("integration");
    window_->setRange(0.1, 5);
    window_->setSingleStep(0.1);
    window_->setDecimals(1);
    window_->setSuffix(QStringLiteral(" s"));
    window_->setKeyboardTracking(false);
    form->addRow(QStringLiteral("Intégration :"), window_);
    connect(window_, &QDoubleSpinBox::valueChanged, this, &ViewWindow::apply_map_settings);
    peak_ = new QLabel;
    peak_->setObjectName("pic");
    form->addRow(QStringLiteral("Pic :"), peak_);

    // Geometry.
    geometry_label_ = new QLabel;
    geometry_label_->setWordWrap(true);
    auto *choose = new QPushButton(QStringLiteral("Géométrie…"));
    choose->setObjectName("geometrie");
    form->addRow(choose, geometry_label_);
    connect(choose, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Géométrie de l'antenne"), geometry_label_->text(),
                                                          QStringLiteral("Géométrie XML (*.xml);;Tous les fichiers (*)"));
        if (!path.isEmpty()) {
            const QString problem = use_geometry(path);
            statusBar()->showMessage(problem.isEmpty() ? QStringLiteral("Géométrie : ") + path : problem);
        }
    });

    // Traces.
    trace_list_ = new QLineEdit;
    trace_list_->setObjectName("canaux_traces");
    trace_list_->setPlaceholderText(QStringLiteral("canaux, p. ex. 0, 37 (8 au plus ; clic sur un micro)"));
    form->addRow(QStringLiteral("Traces :"), trace_list_);
    connect(trace_list_, &QLineEdit::editingFinished, this, &ViewWindow::apply_traces);
    span_ = new QDoubleSpinBox;
    span_->setRange(1, 2000);
    span_->setDecimals(0);
    span_->setValue(100);
    span_->setSuffix(QStringLiteral(" ms"));
    form->addRow(QStringLiteral("Durée tracée :"), span_);
    connect(span_, &QDoubleSpinBox::valueChanged, this, &ViewWindow::apply_traces);
    auto *scale_row = new QWidget;
    auto *sl = new QHBoxLayout(scale_row);
    sl->setContentsMargins(0, 0, 0, 0);
    auto_scale_ = new QCheckBox(QStringLiteral("auto"));
    auto_scale_->setChecked(true);
    fixed_ = new QDoubleSpinBox;
    fixed_->setRange(1e-6, 1);
    fixed_->setDecimals(6);
    fixed_->setValue(0.01);
    fixed_->setPrefix(QStringLiteral("± "));
    sl->addWidget(auto_scale_);
    sl->addWidget(fixed_, 1);
    form->addRow(QStringLiteral("Échelle :"), scale_row);

    auto *save_button = new QPushButton(QStringLiteral("Enregistrer…"));
    save_button->setObjectName("enregistrer");
    form->addRow(save_button);
    connect(save_button, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Enregistrer la vue ou la carte"), QString(),
                                                          QStringLiteral("Image PNG (*.png);;Carte HDF5 (*.h5)"));
        if (!path.isEmpty()) {
            const QString problem = save(path);
            statusBar()->showMessage(problem.isEmpty() ? QStringLiteral("Enregistré : ") + path : problem);
        }
    });
    dock(this, QStringLiteral("Réglages"), "dock_reglages", box, Qt::LeftDockWidgetArea);

    // What it missed.
    auto *missed_box = new QWidget;
    auto *ml = new QVBoxLayout(missed_box);
    ml->setContentsMargins(2, 2, 2, 2);
    missed_ = new QLabel(QStringLiteral("Rien de manqué"));
    missed_->setObjectName("manque");
    gaps_ = new QListWidget;
    gaps_->setObjectName("trous");
    ml->addWidget(missed_);
    ml->addWidget(gaps_);
    latency_ = new QLabel;
    ml->addWidget(latency_);
    dock(this, QStringLiteral("Manqués"), "dock_manques", missed_box, Qt::LeftDockWidgetArea);
}

QString ViewWindow::use_geometry(const QString &path)
{
    if (path.isEmpty())
        return QStringLiteral("Pas de géométrie : choisissez-en une (Géométrie…)");
    try {
        const Geometry g = read_geometry(path.toStdString());
        pipeline_.set_geometry(g);
        geometry_label_->setText(path);
        QSettings().setValue("geometry", QFileInfo(path).absoluteFilePath());
        return {};
    } catch (const std::exception &e) {
        return QString::fromStdString(e.what());
    }
}

void ViewWindow::apply_map_settings()
{
    MapSettings m;
    m.f1 = f1_->value();
    m.f2 = std::max(f2_->value(), f1_->value() + 1);
    m.window_s = window_->value();
    m.grid = grid_;
    pipeline_.set_map(m);
    QSettings s;
    s.setValue("band_low", m.f1);
    s.setValue("band_high", m.f2);
    s.setValue("window_s", m.window_s);
}

void ViewWindow::apply_traces()
{
    try {
        const std::vector<int> channels = parse_channels(trace_list_->text().toStdString());
        pipeline_.set_traces(channels, span_->value() / 1000);
        QSettings().setValue("traces", trace_list_->text());
    } catch (const std::exception &e) {
        statusBar()->showMessage(QString::fromStdString(e.what()));
    }
}

void ViewWindow::toggle_trace(int channel)
{
    std::vector<int> channels;
    try {
        channels = parse_channels(trace_list_->text().toStdString());
    } catch (const std::exception &) {
    }
    const auto it = std::find(channels.begin(), channels.end(), channel);
    if (it != channels.end())
        channels.erase(it);
    else if (channels.size() < 8)
        channels.push_back(channel);
    QString text;
    for (int c : channels)
        text += (text.isEmpty() ? "" : ", ") + QString::number(c);
    trace_list_->setText(text);
    apply_traces();
}

void ViewWindow::refresh()
{
    // A copy only of a snapshot not seen yet; otherwise the position alone.
    const uint64_t version = pipeline_.version();
    Snapshot s;
    if (version != version_) {
        version_ = version;
        s = pipeline_.snapshot();
        if (s.serial == shown_.serial) // set_playing: the same results, another state
            shown_.ended = s.ended, shown_.playing = s.playing;
    } else {
        s.serial = shown_.serial, s.live = shown_.live, s.ended = shown_.ended, s.total = shown_.total;
        s.sample_freq = shown_.sample_freq, s.problem = shown_.problem, s.has_map = shown_.has_map;
        s.position = pipeline_.position();
    }
    const bool fresh = s.serial != shown_.serial;
    if (!s.live && !slider_->isSliderDown()) {
        QSignalBlocker block(slider_);
        slider_->setValue(int(double(s.position) / s.sample_freq * 100));
        time_->setText(QStringLiteral("%1 s sur %2 s")
                           .arg(QLocale().toString(double(s.position) / std::max(1.0, s.sample_freq), 'f', 2),
                                QLocale().toString(double(s.total) / std::max(1.0, s.sample_freq), 'f', 2)));
        if (s.ended && play_->isChecked()) {
            QSignalBlocker b(play_);
            play_->setChecked(false);
            play_->setText(QStringLiteral("Lecture"));
            pipeline_.set_playing(false);
        }
    }
    if (s.live)
        time_->setText(s.ended ? QStringLiteral("en direct : l'enregistrement est terminé")
                               : s.problem.empty() || s.has_map ? QStringLiteral("en direct")
                                                                : QStringLiteral("en direct : ") + QString::fromStdString(s.problem));
    if (!fresh)
        return;
    // The health changes twice a second: its layout is drawn again only then. The traces and
    // spectra only when they hold other values (a map of the same frames, a health report).
    const bool health_changed = s.health.frames != shown_.health.frames || s.trace_channels != shown_.trace_channels ||
                                s.layout.size() != shown_.layout.size() || s.channels != shown_.channels;
    const bool traces_changed = s.trace_channels != shown_.trace_channels || s.trace_t.size() != shown_.trace_t.size() ||
                                (!s.trace_t.empty() && !(s.trace_t.back() == shown_.trace_t.back())) || painted_ == 0;
    const bool spectra_changed = s.spectrum_db != shown_.spectrum_db || s.spectrum_f.size() != shown_.spectrum_f.size() || painted_ == 0;
    shown_ = std::move(s);
    const Snapshot &v = shown_;
    map_->show_map(v, range_->value());
    if (health_changed)
        health_->show_health(v);
    if (traces_changed)
        traces_->show_traces(v, auto_scale_->isChecked() ? 0 : fixed_->value());
    if (spectra_changed)
        spectrum_->show_spectra(v);
    ++painted_;
    if (v.has_map) {
        const Grid &g = v.map.grid;
        peak_->setText(QStringLiteral("%1 dB en x = %2 m, y = %3 m")
                           .arg(QLocale().toString(to_db(v.map.power[v.map.peak]), 'f', 1),
                                QLocale().toString(g.x(int(v.map.peak % size_t(g.nx()))), 'f', 3),
                                QLocale().toString(g.y(int(v.map.peak / size_t(g.nx()))), 'f', 3)));
    } else {
        peak_->setText(QString::fromStdString(v.problem));
    }
    if (health_changed)
        faulty_->clear();
    for (size_t i : health_changed ? v.health.faulty() : std::vector<size_t>{}) {
        const MicHealth &m = v.health.mics[i];
        faulty_->addItem(QStringLiteral("canal %1 %2 : %3%4")
                             .arg(m.channel)
                             .arg(QString::fromStdString(m.name), verdict_text(m.verdict),
                                  m.detail.empty() ? QString() : QStringLiteral(" — ") + QString::fromStdString(m.detail)));
    }
    if (v.missed_frames == 0 && v.gap_count == 0) {
        missed_->setText(QStringLiteral("Rien de manqué"));
    } else {
        missed_->setText(QStringLiteral("Manqué : %1 trames (%2 s) en %3 trous")
                             .arg(QLocale().toString(qulonglong(v.missed_frames)),
                                  QLocale().toString(double(v.missed_frames) / v.sample_freq, 'f', 3),
                                  QLocale().toString(qulonglong(v.gap_count))));
        if (gaps_->count() != int(v.gaps.size()) || fresh) {
            gaps_->clear();
            for (auto it = v.gaps.rbegin(); it != v.gaps.rend(); ++it)
                gaps_->addItem(it->frames ? QStringLiteral("à %1 s : %2 trames manquées")
                                                .arg(QLocale().toString(it->at_s, 'f', 3), QLocale().toString(qulonglong(it->frames)))
                                          : QStringLiteral("à %1 s : le compteur recule").arg(QLocale().toString(it->at_s, 'f', 3)));
        }
    }
}

QString ViewWindow::save(const QString &path)
{
    const std::string p = path.toStdString();
    try {
        if (path.endsWith(".png", Qt::CaseInsensitive)) {
            const QString part = path + ".part";
            // std::rename replaces an existing file, as the map's writer does (QFile::rename does not).
            if (!grab().save(part, "PNG") || std::rename(part.toLocal8Bit().constData(), path.toLocal8Bit().constData()) != 0) {
                QFile::remove(part);
                return path + QStringLiteral(" : impossible d'écrire l'image");
            }
            return {};
        }
        save_map(p, shown_, range_->value());
        return {};
    } catch (const std::exception &e) {
        return QString::fromStdString(e.what());
    }
}

void ViewWindow::closeEvent(QCloseEvent *e)
{
    QSettings s;
    s.setValue("window_geometry", saveGeometry());
    s.setValue("window_state", saveState());
    QMainWindow::closeEvent(e);
}

}
