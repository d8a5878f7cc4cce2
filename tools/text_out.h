#pragma once
// A small text helper of viz256-run's analysis commands (no Qt, no file formats).
#include <initializer_list>
#include <string>

namespace tools {

bool ends_with_any(const std::string &s, std::initializer_list<const char *> suffixes); // any case

}
