#pragma once
// The sampling clock: a 500 000 Hz base divided by an integer, and the 17 entries of the
// frequency list (division and default delay setting of each).
#include <array>
#include <cstdint>
#include <optional>

namespace horloge {

constexpr int32_t BASE_HZ = 500000;
constexpr int NB_ENTREES = 17;

// Clock division of each entry, 50 000 Hz down to 2 000 Hz, and its default delay setting.
constexpr std::array<int32_t, NB_ENTREES> DIVISIONS = {10, 11, 12, 13, 14, 15, 16, 20, 25, 40, 50, 80, 100, 125, 160, 200, 250};
constexpr std::array<int32_t, NB_ENTREES> DELAIS = {10, 9, 9, 9, 9, 9, 9, 8, 8, 7, 7, 7, 7, 7, 7, 7, 7};
// The value each entry's text in the list shows (entry 2 reads 41 667 where the host uses 41 666).
constexpr std::array<int32_t, NB_ENTREES> LIBELLES_HZ = {50000, 45454, 41667, 38461, 35714, 33333, 31250, 25000, 20000,
                                                         12500, 10000, 6250,  5000,  4000,  3125,  2500,  2000};
// The delay setting the recorder takes (the advanced mode's spinner range).
constexpr int DELAI_MIN = 0;
constexpr int DELAI_MAX = 16;

// Frequency the host uses for the byte sent (division - 1): integer quotient, as float.
float frequence_pour_octet(uint8_t octet);

// Byte of the clock command for an entry (division - 1), and the host's frequency of that entry.
constexpr uint8_t octet_entree(int entree) { return static_cast<uint8_t>(DIVISIONS[static_cast<size_t>(entree)] - 1); }
float frequence_entree(int entree);

// The entry of a frequency in whole hertz: the host's value (500 000 / division, rounded
// down) or the value its text in the list shows. None for any other value.
std::optional<int> entree_pour_hz(int64_t hz);

} // namespace horloge
