#include "view/save.h"

#include <stdexcept>

using namespace analysis;

namespace view {

tools::MapRecord map_record(const Snapshot &s, double range_db)
{
    if (!s.has_map)
        throw std::runtime_error(s.problem.empty() ? "no map yet" : "no map: " + s.problem);
    tools::MapRecord r;
    r.run = s.source;
    r.geometry = s.geometry_path;
    r.band = {s.settings.f1, s.settings.f2};
    r.frequencies = s.frequencies;
    r.sample_freq = s.sample_freq;
    r.speed_of_sound = s.settings.speed_of_sound;
    r.range_db = range_db;
    r.block = s.settings.block;
    r.blocks = s.map_blocks;
    r.first_frame = s.map_first;
    r.frames = s.map_frames;
    r.diagonal_removed = true;
    r.all_channels = s.channels;
    r.all_positions = s.positions;
    for (size_t i = 0; i < s.channels.size() && i < s.used.size(); ++i) {
        if (s.used[i])
            r.used_channels.push_back(s.channels[i]);
        else if (i < s.health.mics.size())
            r.excluded.push_back({s.channels[i], s.names[i], verdict_name(s.health.mics[i].verdict)});
    }
    r.health = s.health;
    r.map = s.map;
    return r;
}

void save_map(const std::string &path, const Snapshot &s, double range_db)
{
    tools::write_map(path, map_record(s, range_db));
}

}
