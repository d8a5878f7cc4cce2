// The positions of an array's microphones, from the XML layout array owners already have.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace analysis {

struct Microphone { std::string name; double x = 0, y = 0, z = 0; int line = 0; /* of its <pos> */ };
struct Geometry {
    std::string name;
    std::vector<Microphone> mics;   // channel order
    std::string path;               // where it was read from, for messages
    int end_line = 0;               // line of </MicArray>, where missing positions would go
};
struct GeometryError : std::runtime_error { using std::runtime_error::runtime_error; };

// The <MicArray name=".."><pos Name=".." x=".." y=".." z=".."/>...</MicArray> layout, metres.
// Throws GeometryError whose what() is "PATH:LINE: reason" (just "PATH: reason" when the file
// cannot be opened).
Geometry read_geometry(const std::string &path);

// The positions of the given microphone channels (8 x beam + microphone), in their order.
// Throws GeometryError "PATH:LINE: ..." when the layout has fewer positions than that.
std::vector<Microphone> positions_of(const Geometry &geometry, const std::vector<int> &channels);

}
