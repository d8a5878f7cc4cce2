#pragma once
// viz256-view's window: the map in the middle, the health, traces, spectra, settings and what
// was missed in docks the operator arranges; it only shows what the pipeline computes.
#include <QMainWindow>
#include <QTimer>

#include <optional>
#include <vector>

#include "view/options.h"
#include "view/pipeline.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSlider;

namespace view {

class MapPlot;
class HealthPlot;
class TracePlot;
class SpectrumPlot;

class ViewWindow : public QMainWindow {
    Q_OBJECT
public:
    ViewWindow(Pipeline &pipeline, const Options &options, QWidget *parent = nullptr);
    ~ViewWindow() override;
    // PNG of the window or HDF5 of the map, by the extension; the error, empty when written.
    QString save(const QString &path);
    // Maps painted, and the arrival-to-paint times of live maps of new frames (ms), one per
    // window of frames.
    size_t maps_painted() const { return painted_; }
    const std::vector<double> &latencies_ms() const { return latencies_; }
    // The most recent snapshot shown.
    const Snapshot &shown() const { return shown_; }
    // Reads the geometry file into the pipeline; the error, empty when read.
    QString use_geometry(const QString &path);

private:
    void build_controls();
    void refresh();
    void apply_map_settings();
    void apply_traces();
    void toggle_trace(int channel);
    void closeEvent(QCloseEvent *e) override;

    Pipeline &pipeline_;
    Snapshot shown_;
    std::optional<analysis::Grid> grid_;
    QTimer timer_;
    size_t painted_ = 0;
    std::vector<double> latencies_;
    int64_t first_painted_ns_ = 0, latency_said_ns_ = 0;
    uint64_t last_window_end_ = 0;
    uint64_t version_ = 0; // of the pipeline's snapshot last copied

    MapPlot *map_;
    HealthPlot *health_;
    TracePlot *traces_;
    SpectrumPlot *spectrum_;
    QListWidget *faulty_, *gaps_;
    QLabel *source_, *time_, *peak_, *missed_, *latency_, *geometry_label_;
    QSlider *slider_;
    QPushButton *play_;
    QComboBox *band_;
    QDoubleSpinBox *f1_, *f2_, *range_, *window_, *fixed_, *span_;
    QCheckBox *auto_scale_;
    QLineEdit *trace_list_;
};

// The full spiral installed with the program (or beside the sources); empty when not found.
QString default_geometry();

}
