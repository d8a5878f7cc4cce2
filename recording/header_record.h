#pragma once
// The header record written as the 2097-byte ".Vlx" file: packed, little-endian.
//
//   offset    0  date_heure         8 x uint16: year, month, day of week (0 = Sunday), day,
//                                   hour, minute, second, milliseconds
//   offset   16  micros_actifs      128 beams x 8 microphones, one signed byte each
//   offset 1040  va_actives         4 blocks x 4 analogue channels, one signed byte each
//   offset 1056  compteurs_actifs   4 signed bytes
//   offset 1060  freq               float
//   offset 1064  nb_ech             uint32
//   offset 1068  duree_acquise      float
//   offset 1072  type_float         uint8
//   offset 1073  texte_commentaire  1024 bytes
//
// The in-memory struct is NOT the file image: serialise() writes every field at its offset,
// so the file never depends on the compiler's packing.

#include <array>
#include <cstdint>

struct SystemTime {
    uint16_t wYear = 0;
    uint16_t wMonth = 0;
    uint16_t wDayOfWeek = 0;
    uint16_t wDay = 0;
    uint16_t wHour = 0;
    uint16_t wMinute = 0;
    uint16_t wSecond = 0;
    uint16_t wMilliseconds = 0;
};

struct type_header_file {
    SystemTime date_heure;
    int8_t micros_actifs[128][8] = {};
    int8_t va_actives[4][4] = {};
    int8_t compteurs_actifs[4] = {};
    float freq = 0.0f;
    uint32_t nb_ech = 0;
    float duree_acquise = 0.0f;
    uint8_t type_float = 0;
    uint8_t texte_commentaire[1024] = {};
};

constexpr int TAILLE_HEADER = 2097;

namespace header_offsets {
constexpr int date_heure = 0;
constexpr int micros_actifs = 16;
constexpr int va_actives = 1040;
constexpr int compteurs_actifs = 1056;
constexpr int freq = 1060;
constexpr int nb_ech = 1064;
constexpr int duree_acquise = 1068;
constexpr int type_float = 1072;
constexpr int texte_commentaire = 1073;
} // namespace header_offsets

// The 2097 bytes of the record as they go to the .Vlx file.
std::array<uint8_t, TAILLE_HEADER> serialise(const type_header_file &h);
// Reads a record back from its file image (used by tests and tools).
type_header_file deserialise(const std::array<uint8_t, TAILLE_HEADER> &bytes);

// The run's totals from the bytes written to the data file: `nb_ech` the whole frames
// (never wrapped: at most 2^32 - 1), then `duree_acquise` = nb_ech / frequence.
void fixe_totaux(type_header_file &h, uint64_t octets_ecrits, int32_t nb_voies, float frequence);
