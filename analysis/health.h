// The health of each microphone of a run: level, DC offset, peak, clipped share and a verdict.
//
// Incremental: feed it blocks of frames as they come (a packet of a live run, a slice of a
// .dat); report() may be called at any time and reflects everything fed so far.
//
// Verdicts, the first that applies (the README lists them with their rules):
//   dead               flat (peak to peak at most 2 LSB of a 32-bit integer), an AC level below
//                      -140 dBFS (digital zero included), or float samples that are not finite;
//   clipping           at least 0.01 % of its samples held at its extreme value (a sample equal
//                      to the microphone's largest or smallest value, following one equal to it);
//   dropouts           runs of 8 or more equal samples (zeros or a held value) inside a live
//                      signal, away from its extremes;
//   dc_offset          a mean beyond 5 % of full scale;
//   incoherent         (positions needed) its coherence with its neighbours below 0.7 times
//                      theirs with their own neighbours, when theirs is 0.5 or more: noise of
//                      its own, whatever its level;
//   level_outlier      its level more than 6 dB from the median of the array's microphones, or
//                      of its 6 nearest neighbours when the positions are known; a microphone
//                      louder than its neighbours but coherent with them is near a source: ok,
//                      with a note;
//   reversed_polarity  (positions needed) most of its decided neighbour pairs, and at least
//                      two, of opposite sign (neighbours.h: bins below c / (4 d) only);
//   undetermined       its polarity votes tie, or a single one is against it: the scene does
//                      not allow a verdict (not a fault; the map keeps it). Also, with positions,
//                      every microphone the checks above leave ok (and a louder one) while the
//                      spectra hold too few blocks to tell coherence from chance: unrelated
//                      signals read a coherence of sqrt(pi / (4 B)) after B blocks, which must
//                      stay within half the lowest figure the incoherent rule compares (0.7 x
//                      0.5): 26 blocks of 2048 frames at 50 kHz, about 1.1 s.
// A neighbour pair votes only when its polarity evidence stands 4 of its spreads clear of what
// unrelated signals give (neighbours.h): few blocks, or few bins below c / (4 d), give no vote.
// Levels are the RMS about the mean, in dBFS (see samples.h for the full scale).
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/geometry.h"
#include "analysis/neighbours.h"
#include "analysis/sample_stats.h"
#include "analysis/samples.h"

namespace analysis {

enum class Verdict { Ok, Dead, Clipping, Dropouts, DcOffset, Incoherent, LevelOutlier, ReversedPolarity, Undetermined };
// "ok", "dead", "clipping", "dropouts", "dc_offset", "incoherent", "level_outlier",
// "reversed_polarity", "undetermined"
const char *verdict_name(Verdict v);
// A fault: neither ok nor undetermined.
bool is_fault(Verdict v);

struct MicHealth {
    int channel = 0;
    std::string name;
    double level_db = 0;     // AC level, dBFS (-inf when flat)
    double dc = 0;           // mean, fraction of full scale
    double peak = 0;         // largest magnitude, fraction of full scale
    double clipped = 0;      // share of the samples held at the microphone's extreme value
    double reference_db = 0; // the median it was compared with (array or neighbours), dBFS
    double held = 0;         // share of the samples in runs of equal samples (dropouts)
    uint64_t held_runs = 0;  // how many such runs
    double coherence = 0;    // median coherence with its neighbours (NaN: not known)
    double neighbours_coherence = 0; // the median of its neighbours' own (NaN: not known)
    int polarity_votes = 0;  // neighbours that agree in sign, minus those that disagree
    int polarity_decided = 0;// neighbours coherent enough to vote
    Verdict verdict = Verdict::Ok;
    std::string detail;      // why, in a few words (for an ok microphone, a note or nothing)
};

// "same", "reversed" or "undetermined" (no neighbour could vote, or the votes tie)
const char *polarity_name(const MicHealth &h);

struct HealthReport {
    uint64_t frames = 0;
    bool neighbours = false; // positions were known: neighbour medians and the polarity check
    std::vector<MicHealth> mics;
    std::vector<size_t> faulty() const;       // indexes into mics of the faults
    std::vector<size_t> undetermined() const; // and of those the scene gave no verdict
};

struct HealthSettings {
    double outlier_db = 6.0;
    double clipped_share = 1e-4;
    double dead_db = -140.0;
    int level_neighbours = 6;
    double dc_limit = 0.05;          // of full scale
    int held_run = 8;                // equal samples in a row that make a dropout
    int polarity_neighbours = 4;
    double vote = 0.2;               // |polarity evidence| a neighbour pair needs to vote
    double vote_spreads = 4;         // and the vote at least this many spreads of it (neighbours.h)
    double chance_share = 0.5;       // unrelated signals' coherence at most this share of the lowest compared
    double coherent_field = 0.5;     // neighbours' coherence from which a microphone is judged by it
    double incoherent_ratio = 0.7;   // its coherence against theirs below this: incoherent
    double speed_of_sound = 343.0;
    uint64_t expected_frames = 0;    // frames to come, if known (how many blocks the spectra take)
    bool spectra_thread = false;     // the neighbours' spectra on a thread of their own (feed goes on meanwhile)
    bool spectra_apart = false;      // the caller feeds the neighbours' spectra itself (spectra())
};

class HealthMeter {
public:
    // `channels` and `names` in the order of the format's microphones; `positions` likewise, or empty.
    HealthMeter(FrameFormat format, std::vector<int> channels, std::vector<std::string> names, double sample_freq,
                std::vector<Microphone> positions = {}, HealthSettings settings = {});
    ~HealthMeter();
    HealthMeter(const HealthMeter &) = delete;
    HealthMeter &operator=(const HealthMeter &) = delete;

    // Frames summed at a time; blocks of a multiple of it are cut into whole chunks.
    static constexpr size_t kChunkFrames = SampleStats::kChunkFrames;

    void feed(const uint8_t *frames, size_t n);
    // The same from samples already converted (n rows of the format's microphones).
    void feed_samples(const float *rows, size_t n);
    // The frames fed next do not follow the last ones (frames were lost in between): runs of
    // equal samples and held samples start afresh there, the neighbours' spectra drop the block
    // they were filling. The sums go on.
    void gap();
    HealthReport report() const;

    // The samples' statistics so far: a part of the run read elsewhere merges into them.
    SampleStats &samples() { return stats_; }
    SampleStats part() const { return SampleStats(format_, settings_.held_run); }
    // The neighbours' spectra (nullptr without positions), for a caller that feeds them apart.
    NeighbourSpectra *spectra() { return pairs_.get(); }
    // More of the same, for other blocks of the run on another thread (merged into spectra()).
    std::unique_ptr<NeighbourSpectra> spectra_part() const;

private:
    FrameFormat format_;
    std::vector<int> channels_;
    std::vector<std::string> names_;
    std::vector<Microphone> positions_;
    HealthSettings settings_;
    double fs_;
    size_t m_;
    SampleStats stats_;
    std::unique_ptr<NeighbourSpectra> pairs_;
};

}
