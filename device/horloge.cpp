#include "device/horloge.h"

namespace horloge {

float frequence_pour_octet(uint8_t octet)
{
    return static_cast<float>(BASE_HZ / (static_cast<int32_t>(octet) + 1));
}

float frequence_entree(int entree)
{
    return frequence_pour_octet(octet_entree(entree));
}

std::optional<int> entree_pour_hz(int64_t hz)
{
    for (int i = 0; i < NB_ENTREES; ++i) {
        if (hz == int64_t(BASE_HZ / DIVISIONS[static_cast<size_t>(i)]) || hz == int64_t(LIBELLES_HZ[static_cast<size_t>(i)]))
            return i;
    }
    return std::nullopt;
}

} // namespace horloge
