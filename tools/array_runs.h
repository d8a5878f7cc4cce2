#pragma once
// Several runs recorded on one trigger by several recorders, read as one array: run k's
// microphone channel c is the array's channel 256 k + c (the layout numbers its positions on
// across the recorders), and the runs are read frame by frame side by side.
#include "analysis/samples.h"
#include "reading/export.h"

#include <optional>
#include <string>
#include <vector>

namespace tools {

constexpr int kChannelsPerRecorder = 256;

struct ArrayRuns {
    std::vector<reading::Run> runs;
    std::vector<reading::FrameRange> ranges; // each run's frames, all of one count
    std::vector<analysis::FrameFormat> formats;
    std::vector<int> channels;               // the array's microphone channels, run after run
    std::vector<std::string> names;          // "mic_b_m", or "K:mic_b_m" (K from 1) for several runs
};

// Opens the runs. Throws reading::ReadError for a run that cannot be read, std::invalid_argument
// saying why when they cannot be one array (another sampling frequency, started more than 2 s
// apart by their headers, counts of frames further apart than 1 % and one second, no
// microphone). The frames analysed are those every run holds.
ArrayRuns open_array(const std::vector<std::string> &names, std::optional<double> start, std::optional<double> duration);

// n rows of the array's microphones (n x channels.size(), scaled as analysis::to_samples),
// from frame `done` of the ranges on.
void read_rows(const ArrayRuns &a, uint64_t done, size_t n, float *rows);

}
