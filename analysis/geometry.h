// The positions of an array's microphones, from the XML layout array owners already have.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace analysis {

struct Microphone { std::string name; double x = 0, y = 0, z = 0; };
struct Geometry { std::string name; std::vector<Microphone> mics; };   // channel order
struct GeometryError : std::runtime_error { using std::runtime_error::runtime_error; };

// The <MicArray name=".."><pos Name=".." x=".." y=".." z=".."/>...</MicArray> layout, metres.
// Throws GeometryError whose what() is "PATH:LINE: reason" (just "PATH: reason" when the file
// cannot be opened).
Geometry read_geometry(const std::string &path);

}
