#include "device/horloge.h"

namespace horloge {

float frequence_pour_octet(uint8_t octet)
{
    return static_cast<float>(BASE_HZ / (static_cast<int32_t>(octet) + 1));
}

} // namespace horloge
