#include "tools/array_runs.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace tools {

namespace {

// The header's start date, seconds (the recorder's host clock; no time zone needed to compare).
double seconds_of(const SystemTime &d)
{
    std::tm t{};
    t.tm_year = d.wYear - 1900, t.tm_mon = d.wMonth - 1, t.tm_mday = d.wDay;
    t.tm_hour = d.wHour, t.tm_min = d.wMinute, t.tm_sec = d.wSecond;
    return double(timegm(&t)) + d.wMilliseconds / 1000.0;
}

std::string figure(double v)
{
    char t[32];
    std::snprintf(t, sizeof t, "%g", v);
    return t;
}

}

ArrayRuns open_array(const std::vector<std::string> &names, std::optional<double> start, std::optional<double> duration)
{
    ArrayRuns a;
    for (const std::string &name : names) {
        a.runs.push_back(reading::open_run(name));
        a.ranges.push_back(reading::frame_range(a.runs.back(), start, duration));
    }
    const reading::Run &first = a.runs.front();
    uint64_t fewest = a.ranges.front().count, most = fewest;
    for (size_t k = 1; k < a.runs.size(); ++k) {
        const reading::Run &r = a.runs[k];
        const std::string both = first.paths.dat + " and " + r.paths.dat + " cannot be one array: ";
        if (r.rec.freq != first.rec.freq)
            throw std::invalid_argument(both + "sampled at " + figure(first.rec.freq) + " and " + figure(r.rec.freq) + " Hz");
        const double apart = std::abs(seconds_of(r.rec.date_heure) - seconds_of(first.rec.date_heure));
        if (apart > 2)
            throw std::invalid_argument(both + "started " + figure(apart) +
                                        " s apart (their headers' dates), not on one trigger");
        fewest = std::min(fewest, a.ranges[k].count), most = std::max(most, a.ranges[k].count);
    }
    if (double(most - fewest) > std::max(0.01 * double(most), double(first.rec.freq)))
        throw std::invalid_argument("the runs cannot be one array: they hold from " + std::to_string(fewest) + " to " +
                                    std::to_string(most) + " frames, further apart than 1 % and one second");
    for (reading::FrameRange &range : a.ranges)
        range.count = fewest;
    for (size_t k = 0; k < a.runs.size(); ++k) {
        const reading::Run &r = a.runs[k];
        const FrameLayout layout = r.frame_layout();
        analysis::FrameFormat f(layout);
        for (size_t i = 0; i < f.mics(); ++i) {
            a.channels.push_back(kChannelsPerRecorder * int(k) + layout.mics[i]);
            a.names.push_back((a.runs.size() > 1 ? std::to_string(k + 1) + ":" : "") + r.layout.channels[size_t(f.mic_word(i))].name);
        }
        if (f.mics() == 0)
            throw reading::ReadError(r.paths.dat, "", "the run recorded no microphone");
        a.formats.push_back(std::move(f));
    }
    return a;
}

void read_rows(const ArrayRuns &a, uint64_t done, size_t n, float *rows)
{
    const size_t total = a.channels.size();
    std::vector<float> own;
    size_t column = 0;
    for (size_t k = 0; k < a.runs.size(); ++k) {
        const analysis::FrameFormat &f = a.formats[k];
        const size_t m = f.mics();
        own.resize(n * m);
        size_t row = 0;
        reading::read_frames(a.runs[k], a.ranges[k].first + done, n, [&](const uint8_t *frames, size_t got, uint64_t) {
            analysis::to_samples(frames, got, f, own.data() + row * m);
            row += got;
            return true;
        }, size_t(1) << 20);
        for (size_t t = 0; t < n; ++t)
            std::memcpy(rows + t * total + column, own.data() + t * m, m * sizeof(float));
        column += m;
    }
}

}
