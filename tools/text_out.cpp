#include "tools/text_out.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

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

namespace tools {

double option_number(const std::string &option, const std::string &text)
{
    char *end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end || !std::isfinite(v))
        throw std::invalid_argument(option + ": \"" + text + "\" is not a number");
    return v;
}

std::pair<double, double> parse_band(const std::string &text)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        throw std::invalid_argument("--band: \"" + text + "\" is not F1:F2 (Hz)");
    const double f1 = option_number("--band", text.substr(0, colon)), f2 = option_number("--band", text.substr(colon + 1));
    if (f1 < 0 || f2 <= f1)
        throw std::invalid_argument("--band: F1:F2 with 0 <= F1 < F2");
    return {f1, f2};
}

}
