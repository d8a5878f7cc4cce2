// The health of each microphone of a run: level, DC offset, peak, clipped share and a verdict.
//
// Incremental: feed it blocks of frames as they come (a packet of a live run, a slice of a
// .dat); report() may be called at any time and reflects everything fed so far.
//
// Verdicts, the first that applies:
//   dead               flat (peak to peak at most 2 LSB of a 32-bit integer) or an AC level
//                      below -140 dBFS (digital zero included), or float samples that are
//                      not finite;
//   clipping           at least 0.01 % of its samples held at its extreme value (a sample equal
//                      to the microphone's largest or smallest value, following one equal to it);
//   level_outlier      its level more than 6 dB from the median of the array's microphones, or
//                      of its 6 nearest neighbours when the positions are known;
//   reversed_polarity  (positions needed) the normalised cross-correlation with most of its 4
//                      nearest neighbours peaks negative within the lags their distance allows.
// Levels are the RMS about the mean, in dBFS (see samples.h for the full scale).
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/geometry.h"
#include "analysis/samples.h"

namespace analysis {

enum class Verdict { Ok, Dead, Clipping, LevelOutlier, ReversedPolarity };
// "ok", "dead", "clipping", "level_outlier", "reversed_polarity"
const char *verdict_name(Verdict v);

struct MicHealth {
    int channel = 0;
    std::string name;
    double level_db = 0;     // AC level, dBFS (-inf when flat)
    double dc = 0;           // mean, fraction of full scale
    double peak = 0;         // largest magnitude, fraction of full scale
    double clipped = 0;      // share of the samples held at the microphone's extreme value
    double reference_db = 0; // the median it was compared with (array or neighbours), dBFS
    int polarity_votes = 0;  // neighbours that agree in sign, minus those that disagree
    int polarity_decided = 0;// neighbours coherent enough to vote
    Verdict verdict = Verdict::Ok;
    std::string detail;      // why, in a few words (empty when ok)
};

struct HealthReport {
    uint64_t frames = 0;
    bool neighbours = false; // positions were known: neighbour medians and the polarity check
    std::vector<MicHealth> mics;
    std::vector<size_t> faulty() const; // indexes into mics of those not ok
};

struct HealthSettings {
    double outlier_db = 6.0;
    double clipped_share = 1e-4;
    double dead_db = -140.0;
    int level_neighbours = 6;
    int polarity_neighbours = 4;
    double coherence = 0.2;          // |normalised cross-correlation| a neighbour needs to vote
    int polarity_block = 256;        // frames of one block of the polarity check
    int polarity_stride = 16;        // one block in this many goes to the polarity check
    double speed_of_sound = 343.0;
};

class HealthMeter {
public:
    // `channels` and `names` in the order of format.mic_words; `positions` likewise, or empty.
    HealthMeter(FrameFormat format, std::vector<int> channels, std::vector<std::string> names, double sample_freq,
                std::vector<Microphone> positions = {}, HealthSettings settings = {});
    ~HealthMeter();
    HealthMeter(const HealthMeter &) = delete;
    HealthMeter &operator=(const HealthMeter &) = delete;

    void feed(const uint8_t *frames, size_t n);
    // The same from samples already converted (n rows of the format's microphones).
    void feed_samples(const float *rows, size_t n);
    HealthReport report() const;

private:
    struct Polarity;
    void chunk(const float *rows, const uint8_t *frames, size_t n);

    FrameFormat format_;
    std::vector<int> channels_;
    std::vector<std::string> names_;
    std::vector<Microphone> positions_;
    HealthSettings settings_;
    double fs_;
    size_t m_;
    bool in_a_row_ = false; // the microphones are consecutive words of a frame
    uint64_t frames_ = 0;
    std::vector<float> buffer_, ref_, last_;
    std::vector<double> sum_, sumsq_;
    std::vector<float> hi_, lo_;
    std::vector<uint64_t> hi_held_, lo_held_;
    std::unique_ptr<Polarity> polarity_;
};

}
