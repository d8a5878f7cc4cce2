#include "device/commands.h"

namespace cmd {

std::array<uint8_t, 8> setup(int request, int length)
{
    return {TYPE_REQUETE, static_cast<uint8_t>(request & 0xFF), 0, 0, 0, 0,
            static_cast<uint8_t>(length & 0xFF), static_cast<uint8_t>((length >> 8) & 0xFF)};
}

} // namespace cmd
