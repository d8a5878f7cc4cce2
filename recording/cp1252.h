#pragma once
// Windows-1252, the 8-bit code page of the header's comment field: ASCII and U+00A0..U+00FF
// map to themselves, the typographic characters of 0x80..0x9F to their codes.
#include <cstdint>

// The code point of one byte; the five unassigned codes give U+FFFD.
char32_t depuis_cp1252(uint8_t octet);
// The byte of one code point; '?' when the code page lacks it.
uint8_t octet_cp1252(char32_t c);
