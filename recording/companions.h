#pragma once
// The names of a run's header and log from the name of its data file: shared by the program,
// which creates the three files, and the reader, which finds them again.
#include <string>

struct CompanionPaths {
    std::string header; // ".Vlx"
    std::string log;    // ".log"
};

// The final ".dat" extension of the file name (any case) replaced by ".Vlx" and ".log", or
// those appended to a file name without that extension. A file name that is ".dat" and
// nothing else has no extension (as a hidden file's name), so its companions are ".dat.Vlx"
// and ".dat.log": the three names always differ and are never names of nothing but an
// extension. Folder names are never touched. Works on the bytes of the path.
CompanionPaths companion_paths(const std::string &data_path);
