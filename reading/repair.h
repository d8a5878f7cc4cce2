#pragma once
// Bringing the description of a cut run (killed, power lost) back to its data: the frame count
// and duration of the header and the log rewritten to the whole frames of the data file, every
// other field kept. The data file is never touched.
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "reading/run.h"

namespace reading {

struct RepairPlan {
    std::vector<std::string> changes;                           // what changes, file by file
    std::optional<std::array<uint8_t, TAILLE_HEADER>> header;   // new header image, when it changes
    std::optional<std::string> log;                             // new log text, when it changes
};

// What a repair would write. Throws ReadError when the run cannot be repaired (no description
// to rebuild from, more frames than the header can count).
RepairPlan plan_repair(const Run &run);

// Writes the plan: each file through a temporary name renamed over it.
void apply_repair(const Run &run, const RepairPlan &plan);

// Writes `bytes` to `path` through a temporary name in the same folder, renamed at the end.
void write_file_atomically(const std::string &path, const void *bytes, size_t n);

} // namespace reading
