#pragma once
// What viz256-run map writes: the map as a PNG picture or as an HDF5 file with every parameter.
#include "analysis/beamform.h"
#include "analysis/health.h"
#include "tools/text_out.h"

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace tools {

inline constexpr const char *kSteering =
    "formulation III (correct level): h = g/|g|^2, g_m = (r0/r_m) exp(-i k (r_m - r0)), r0 to the array centre";

struct Excluded {
    int channel;
    std::string name, kind;
};

struct MapRecord {
    std::string run, geometry;
    std::pair<double, double> band;
    std::vector<double> frequencies;
    double sample_freq = 0, speed_of_sound = 343, range_db = 15;
    int block = 0;
    uint64_t blocks = 0, first_frame = 0, frames = 0;
    bool diagonal_removed = true;
    std::vector<int> used_channels, all_channels;
    std::vector<analysis::Microphone> all_positions;
    std::vector<Excluded> excluded;
    analysis::HealthReport health;
    analysis::Map map;
};

// By the name's extension: .png, or .h5/.hdf5/.hdf. Written under a temporary name, renamed at
// the end. Throws std::runtime_error naming the file.
void write_map(const std::string &path, const MapRecord &record);


}
