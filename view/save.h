#pragma once
// What the viewer saves: the current map as viz256-run map writes it (HDF5, its peak_x/peak_y
// attributes included).
#include <string>

#include "tools/map_output.h"
#include "view/pipeline.h"

namespace view {

// The record of the snapshot's map; throws std::runtime_error when there is none.
tools::MapRecord map_record(const Snapshot &s, double range_db);
// Writes FILE.h5 (under a temporary name, renamed at the end). Throws naming the file.
void save_map(const std::string &path, const Snapshot &s, double range_db);

}
