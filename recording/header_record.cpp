// The header record and its 2097-byte file image, field by field, little-endian.
#include "recording/header_record.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

using Image = std::array<uint8_t, TAILLE_HEADER>;

void pose16(Image &b, int pos, uint16_t v)
{
    b[pos] = static_cast<uint8_t>(v);
    b[pos + 1] = static_cast<uint8_t>(v >> 8);
}

void pose32(Image &b, int pos, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[pos + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint16_t lit16(const Image &b, int pos)
{
    return static_cast<uint16_t>(b[pos] | (b[pos + 1] << 8));
}

uint32_t lit32(const Image &b, int pos)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(b[pos + i]) << (8 * i);
    return v;
}

// The eight words of the date, in file order.
constexpr uint16_t SystemTime::*mots_date[8] = {
    &SystemTime::wYear, &SystemTime::wMonth,  &SystemTime::wDayOfWeek, &SystemTime::wDay,
    &SystemTime::wHour, &SystemTime::wMinute, &SystemTime::wSecond,    &SystemTime::wMilliseconds,
};

} // namespace

std::array<uint8_t, TAILLE_HEADER> serialise(const type_header_file &h)
{
    using namespace header_offsets;
    Image b{};
    for (int i = 0; i < 8; ++i)
        pose16(b, date_heure + 2 * i, h.date_heure.*mots_date[i]);
    for (int f = 0; f < 128; ++f)
        for (int m = 0; m < 8; ++m)
            b[micros_actifs + 8 * f + m] = static_cast<uint8_t>(h.micros_actifs[f][m]);
    for (int n = 0; n < 4; ++n)
        for (int k = 0; k < 4; ++k)
            b[va_actives + 4 * n + k] = static_cast<uint8_t>(h.va_actives[n][k]);
    for (int k = 0; k < 4; ++k)
        b[compteurs_actifs + k] = static_cast<uint8_t>(h.compteurs_actifs[k]);
    pose32(b, freq, std::bit_cast<uint32_t>(h.freq));
    pose32(b, nb_ech, h.nb_ech);
    pose32(b, duree_acquise, std::bit_cast<uint32_t>(h.duree_acquise));
    b[type_float] = h.type_float;
    std::memcpy(b.data() + texte_commentaire, h.texte_commentaire, sizeof h.texte_commentaire);
    return b;
}

type_header_file deserialise(const std::array<uint8_t, TAILLE_HEADER> &b)
{
    using namespace header_offsets;
    type_header_file h;
    for (int i = 0; i < 8; ++i)
        h.date_heure.*mots_date[i] = lit16(b, date_heure + 2 * i);
    for (int f = 0; f < 128; ++f)
        for (int m = 0; m < 8; ++m)
            h.micros_actifs[f][m] = static_cast<int8_t>(b[micros_actifs + 8 * f + m]);
    for (int n = 0; n < 4; ++n)
        for (int k = 0; k < 4; ++k)
            h.va_actives[n][k] = static_cast<int8_t>(b[va_actives + 4 * n + k]);
    for (int k = 0; k < 4; ++k)
        h.compteurs_actifs[k] = static_cast<int8_t>(b[compteurs_actifs + k]);
    h.freq = std::bit_cast<float>(lit32(b, freq));
    h.nb_ech = lit32(b, nb_ech);
    h.duree_acquise = std::bit_cast<float>(lit32(b, duree_acquise));
    h.type_float = b[type_float];
    std::memcpy(h.texte_commentaire, b.data() + texte_commentaire, sizeof h.texte_commentaire);
    return h;
}

void fixe_totaux(type_header_file &h, uint64_t octets_ecrits, int32_t nb_voies, float frequence)
{
    const uint64_t trames = nb_voies > 0 ? octets_ecrits / 4 / uint64_t(nb_voies) : 0;
    h.nb_ech = static_cast<uint32_t>(std::min<uint64_t>(trames, UINT32_MAX));
    h.duree_acquise = static_cast<float>(h.nb_ech) / frequence;
}
