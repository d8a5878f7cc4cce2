#pragma once
// Integrity of a recorded run: description against data, header against log, counter
// continuity over the whole data file.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "reading/run.h"

namespace reading {

// Progress of long work: bytes done of the total.
using Progress = std::function<void(uint64_t done, uint64_t total)>;

// What is wrong with the description (no data read): each text names the file and the field.
// A partial frame at the end of the data file is none of them: whatever ended the run (a full
// disk, a kill), the recorder's packets cut frames anywhere, and the data file is never
// trimmed. Only a description that counts it (nb_ech ahead of the whole frames) is wrong.
std::vector<std::string> description_problems(const Run &run);
// "the last N bytes of x.dat are a partial frame, not counted by the header", when they are
// not; empty otherwise.
std::string partial_frame_note(const Run &run);

struct CheckReport {
    std::vector<std::string> problems; // description problems
    std::vector<std::string> notes;    // what could not be checked, and why
    bool counter_checked = false;
    std::vector<Gap> gaps;             // the first CounterTrack::kMaxKept
    uint64_t gap_count = 0;
    bool clean() const { return problems.empty() && gap_count == 0; }
};

CheckReport check_run(const Run &run, const Progress &progress = {});

// "frame 20000: 1000 frames missing (counter 19999 then 21000)"
std::string describe(const Gap &g);

} // namespace reading
