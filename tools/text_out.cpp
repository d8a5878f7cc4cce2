#include "tools/text_out.h"

#include <cctype>
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

}
