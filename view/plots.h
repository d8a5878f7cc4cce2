#pragma once
// The viewer's plots (QCustomPlot): the acoustic map with its dB scale, the health of the
// microphones on the array's layout, the traces and their spectra.
#include <qcustomplot.h>

#include "view/pipeline.h"

namespace view {

// The map in dB re full scale over `range` dB below its peak, the microphones (rings; those left
// out as red crosses), the peak (a cyan cross) and its position and level in the title.
class MapPlot : public QCustomPlot {
    Q_OBJECT
public:
    explicit MapPlot(QWidget *parent = nullptr);
    void show_map(const Snapshot &s, double range_db);
signals:
    // A live map is on the screen: when its newest frames arrived (CLOCK_MONOTONIC), and the end
    // of its window of frames (each map of new frames ends further on).
    void painted(int64_t completed_ns, uint64_t window_end);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int64_t shown_ns_ = 0, drawn_ns_ = 0; // the map given to show_map, the one its last replot drew
    uint64_t shown_end_ = 0, drawn_end_ = 0;
    QCPColorMap *map_;
    QCPColorScale *scale_;
    QCPGraph *used_, *left_out_, *peak_;
    QCPTextElement *title_;
};

// Every position of the geometry coloured by its microphone's verdict; a click names the
// microphone under it (channel), to add it to the traces.
class HealthPlot : public QCustomPlot {
    Q_OBJECT
public:
    explicit HealthPlot(QWidget *parent = nullptr);
    void show_health(const Snapshot &s);
signals:
    void microphone_clicked(int channel);

private:
    std::vector<QCPGraph *> kinds_; // one per verdict, then the positions not recorded
    QCPGraph *traced_;
    std::vector<std::pair<QPointF, int>> at_; // position -> channel
};

class TracePlot : public QCustomPlot {
    Q_OBJECT
public:
    explicit TracePlot(QWidget *parent = nullptr);
    // Fixed scale: +-`fixed` of full scale; 0: automatic.
    void show_traces(const Snapshot &s, double fixed);
};

class SpectrumPlot : public QCustomPlot {
    Q_OBJECT
public:
    explicit SpectrumPlot(QWidget *parent = nullptr);
    void show_spectra(const Snapshot &s);
};

// The colours of the verdicts (in their order, then the positions not recorded) and their
// legend (HTML).
const std::vector<QColor> &health_colours();
QString health_legend();
// The colour of the i-th trace, the same in both plots.
QColor trace_colour(size_t i);
// French name of a verdict, with the kind as viz256-run health names it.
QString verdict_text(analysis::Verdict v);

}
