#pragma once
// Bringing the description of a cut run (killed, power lost) back to its data: the frame count
// and duration of the header and the log rewritten to the whole frames of the data file, every
// other field kept. The data file is never touched.
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "reading/run.h"

namespace reading {

// One file of the run rewritten: its path, its new contents, what changes, said for people.
struct RepairChange {
    std::string path;
    std::string bytes;
    std::string text;
};

struct RepairPlan {
    std::vector<RepairChange> changes; // the header's first, then the log's
};

// What a repair would write. Throws ReadError when the run cannot be repaired (no description
// to rebuild from, more frames than the header can count).
RepairPlan plan_repair(const Run &run);

// Writes the plan file by file, calling `written` after each file is on disk. Throws ReadError
// (naming the file and the system's reason) at the first file that cannot be written.
void apply_repair(const RepairPlan &plan, const std::function<void(const RepairChange &)> &written = {});

// Writes `bytes` over the file at `path` in place, as the program rewrites a run's description:
// its mode, owner and hard links stay, a symbolic link is written through to its target, and a
// file the caller may not write is refused with the system's reason rather than replaced. A
// missing file is created.
void write_in_place(const std::string &path, const std::string &bytes);

} // namespace reading
