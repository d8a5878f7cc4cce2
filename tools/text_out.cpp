#include "tools/text_out.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tools {

bool ends_with_any(const std::string &s, std::initializer_list<const char *> suffixes)
{
    for (const char *x : suffixes) {
        const size_t n = std::strlen(x);
        if (s.size() >= n) {
            bool same = true;
            for (size_t i = 0; i < n; ++i)
                same = same && std::tolower((unsigned char)s[s.size() - n + i]) == x[i];
            if (same)
                return true;
        }
    }
    return false;
}

std::string json_string(const std::string &s)
{
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += char(c);
        } else if (c < 0x20) {
            char t[8];
            std::snprintf(t, sizeof t, "\\u%04x", c);
            o += t;
        } else {
            o += char(c);
        }
    }
    return o + "\"";
}

std::string json_number(double v)
{
    if (!std::isfinite(v))
        return "null";
    char t[32];
    std::snprintf(t, sizeof t, "%.10g", v);
    return t;
}

}
