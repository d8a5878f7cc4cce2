// Companion names of a data file.
#include "recording/companions.h"

#include <algorithm>
#include <cctype>

CompanionPaths companion_paths(const std::string &data_path)
{
    static const std::string ext = ".dat";
    const size_t slash = data_path.find_last_of('/');
    const size_t debut_nom = slash == std::string::npos ? 0 : slash + 1;
    const bool extension =
        data_path.size() - debut_nom > ext.size() &&
        std::equal(ext.begin(), ext.end(), data_path.end() - ext.size(),
                   [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
    const std::string base = extension ? data_path.substr(0, data_path.size() - ext.size()) : data_path;
    return {base + ".Vlx", base + ".log"};
}
