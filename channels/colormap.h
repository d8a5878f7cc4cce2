#pragma once
// Level colour map and the arithmetic of the live level display, as plain functions.
//
// The 128-step map runs dark blue, blue, cyan, yellow, red, dark red in ramps of exactly 8.
// A microphone's level is the mean square of 2000 of its samples, shown as the colour index
// round(10·log10(ms) − 15), clamped to 0..127: decibels above one count squared, less 15.
#include <cstdint>

namespace niveaux {

constexpr int NB_COULEURS = 128;
constexpr int NB_TRAMES = 2000;           // frames of one level window

struct Rvb {
    int r = 0, v = 0, b = 0;
    bool operator==(const Rvb &) const = default;
};

// Colour of index i (0..127).
Rvb couleur(int i);
// Fills the three 128-entry component tables.
void remplit_tables(int32_t *r, int32_t *v, int32_t *b);

// Colour index from a level in decibels: floor(db − 15 + 0.5), below 1 → 0, 127 and up → 127.
int indice_db(double db);
// Colour index from a mean square (floored at 1.0, so silence gives index 0).
int indice_niveau(double moyenne_carres);

// Mean squares of the first nb_micros microphones over NB_TRAMES frames of nb_voies words
// starting at byte `debut` of `paquet`; microphone i is word i + 1 of each frame. Samples are
// little-endian signed 32-bit integers, or 32-bit floats when `flottant`. The caller makes
// sure the packet holds debut + 4·(NB_TRAMES + 1)·nb_voies bytes.
void moyennes_carres(const unsigned char *paquet, uint32_t debut, int32_t nb_voies, int32_t nb_micros,
                     bool flottant, double *sortie);

} // namespace niveaux
