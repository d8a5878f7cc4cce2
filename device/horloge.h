#pragma once
// The sampling clock: a 500 000 Hz base divided by an integer.
#include <cstdint>

namespace horloge {

constexpr int32_t BASE_HZ = 500000;
constexpr int NB_ENTREES = 17;

// Frequency the host uses for the byte sent (division - 1): integer quotient, as float.
float frequence_pour_octet(uint8_t octet);

} // namespace horloge
