// Windows-1252 both ways.
#include "recording/cp1252.h"

namespace {

// Windows-1252 codes 0x80..0x9F; 0 where the code page leaves the code unassigned.
constexpr char32_t cp1252_80_9F[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

} // namespace

char32_t depuis_cp1252(uint8_t octet)
{
    if (octet < 0x80 || octet >= 0xA0)
        return octet;
    const char32_t c = cp1252_80_9F[octet - 0x80];
    return c != 0 ? c : 0xFFFD;
}

uint8_t octet_cp1252(char32_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<uint8_t>(c);
    for (int i = 0; i < 32; ++i)
        if (cp1252_80_9F[i] != 0 && cp1252_80_9F[i] == c)
            return static_cast<uint8_t>(0x80 + i);
    return '?';
}
