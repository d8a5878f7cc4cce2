#include "device/horloge.h"

namespace horloge {

float frequence_pour_octet(uint8_t octet)
{
    return static_cast<float>(BASE_HZ / (static_cast<int32_t>(octet) + 1));
}

float duree_max_pour(float frequence)
{
    return static_cast<float>(4294967296.0 / static_cast<double>(frequence));
}

} // namespace horloge
