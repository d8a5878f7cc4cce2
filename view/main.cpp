// viz256-view: the array seen live (the tap of a recorder that records) or a recorded run: the
// acoustic map of a band, the health of every microphone, traces and spectra, what was missed.
#include "tools/command_line.h"
#include "view/options.h"
#include "view/pipeline.h"
#include "view/run_source.h"
#include "view/window.h"
#ifdef VIZ256_VIEW_TAP
#include "view/tap_source.h"
#endif

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <cblas.h>
#include <sys/resource.h>

#include <algorithm>
#include <functional>
#include <cstdio>

int main(int argc, char **argv)
{
    view::Options options;
    try {
        options = view::parse_options(tools::byte_arguments(argc, argv, 1));
    } catch (const std::exception &e) {
        std::fprintf(stderr, "viz256-view: %s\n%s", e.what(), view::usage);
        return 2;
    }
    if (options.help) {
        std::fputs(view::usage, stdout);
        return 0;
    }
    // A viewer attached to a recording never takes the processor from it: it and every thread
    // it starts run below the recording program's priority (a nice value of 10). A recorded run
    // opened from disk has no recording to protect and keeps the user's priority.
    if (options.run.empty())
        setpriority(PRIO_PROCESS, 0, std::max(10, getpriority(PRIO_PROCESS, 0)));
    // One thread does the map's products: OpenBLAS's helper threads wait for work spinning,
    // which on a loaded machine starves the pipeline they serve.
    openblas_set_num_threads(1);
    QApplication app(argc, argv);
    QApplication::setOrganizationName("viz256");
    QApplication::setApplicationName("viz256-view");

    std::unique_ptr<view::BlockSource> source;
    if (!options.run.empty()) {
        try {
            source = std::make_unique<view::RunSource>(options.run);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "viz256-view: %s\n", e.what());
            return 2;
        }
    } else {
#ifdef VIZ256_VIEW_TAP
        std::string error;
        source = view::TapSource::open(options.device, error);
        if (!source) {
            std::fprintf(stderr, "viz256-view: %s\n", error.c_str());
            return 2;
        }
#else
        std::fprintf(stderr, "viz256-view: this build reads recorded runs only (no live tap): viz256-view RUN.dat\n");
        return 2;
#endif
    }
    const bool recorded = source->total_frames() > 0;
    view::Pipeline pipeline(std::move(source));
    view::ViewWindow window(pipeline, options);
    window.resize(1400, 900);
    window.show();
    if (recorded) {
        if (options.save_after)
            pipeline.set_playing(true); // from the start, at the run's pace
        else
            pipeline.seek(1.0); // the first second's map, still
    }
    pipeline.start();

    int status = 0;
    // A view that has no map yet when the time is up (a slow or busy machine, a recorder whose
    // run has not told its channels yet) waits for its first one, up to kFirstMapWaitS more,
    // rather than fail a script that asked for a map; a view that cannot map at all (its
    // problem says why) fails at once.
    constexpr double kFirstMapWaitS = 30;
    QElapsedTimer since_due;
    std::function<void()> save_when_mapped = [&] {
        const view::Snapshot &shown = window.shown();
        const bool may_come = shown.problem.empty() || (shown.live && shown.channels.empty());
        if (!shown.has_map && may_come && !shown.ended &&
            (!since_due.isValid() || since_due.elapsed() < qint64(kFirstMapWaitS * 1000))) {
            if (!since_due.isValid()) {
                since_due.start();
                std::fprintf(stderr, "viz256-view: no map yet after %g s: waiting for the first one\n", *options.save_after);
            }
            QTimer::singleShot(50, &window, save_when_mapped);
            return;
        }
        const QString problem = window.save(QString::fromStdString(options.to));
        if (!problem.isEmpty()) {
            std::fprintf(stderr, "viz256-view: %s\n", qPrintable(problem));
            status = 1;
        } else {
            const view::Snapshot &s = window.shown();
            const analysis::Grid &g = s.map.grid;
            if (s.has_map)
                std::printf("peak at x = %.3f m, y = %.3f m: %.1f dB re full scale; frames %llu to %llu\n",
                            g.x(int(s.map.peak % size_t(g.nx()))), g.y(int(s.map.peak / size_t(g.nx()))),
                            analysis::to_db(s.map.power[s.map.peak]), (unsigned long long)s.map_first,
                            (unsigned long long)(s.map_first + s.map_frames));
            std::vector<double> l = window.latencies_ms();
            std::sort(l.begin(), l.end());
            std::printf("maps shown: %zu in %.1f s", window.maps_painted(),
                        *options.save_after + (since_due.isValid() ? since_due.elapsed() / 1000.0 : 0.0));
            if (!l.empty())
                std::printf("; arrival to map: median %.0f ms, 99th percentile %.0f ms (%zu maps of new windows of frames, the first "
                            "second's left out)",
                            l[l.size() / 2], l[l.size() * 99 / 100], l.size());
            std::printf("; frames from %llu on; missed %llu frames in %llu gaps\nwritten: %s\n",
                        (unsigned long long)s.first_seen, (unsigned long long)s.missed_frames, (unsigned long long)s.gap_count,
                        options.to.c_str());
        }
        window.close();
        QApplication::exit(status);
    };
    if (options.save_after)
        QTimer::singleShot(int(*options.save_after * 1000), &window, save_when_mapped);
    const int code = app.exec();
    pipeline.stop();
    return status ? status : code;
}
