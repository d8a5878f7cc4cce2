#pragma once
// Channel selection as plain values: the ticked states of the selection grid, the click rules
// that keep its beam, block and all-microphones boxes consistent, and what a selection
// becomes for the recorder (beam masks, auxiliary mask, channel list, frame width).
//
// Numbering: microphone channel c = 8·b + m (beam b 0..31, microphone m 0..7); block k is
// beams 8k..8k+7; microphone m is bit m of its beam's mask.
#include "recording/frame_layout.h"

#include <array>
#include <cstdint>

namespace selection {

constexpr int NB_FAISCEAUX = 32;
constexpr int NB_MICROS_FAISCEAU = 8;
constexpr int NB_BLOCS = 4;
constexpr int FAISCEAUX_PAR_BLOC = 8;
constexpr int NB_MICROS = NB_FAISCEAUX * NB_MICROS_FAISCEAU;
constexpr int NB_VA = 4;

constexpr uint8_t AUX_COMPTEUR = 0x80;
constexpr uint8_t AUX_STATUS = 0x40;
constexpr uint8_t aux_va(int n) { return static_cast<uint8_t>(1u << n); }

using Micros = std::array<std::array<bool, NB_MICROS_FAISCEAU>, NB_FAISCEAUX>;

// Ticked state of every box of the grid that the click rules touch.
struct Grille {
    Micros micros{};
    std::array<bool, NB_FAISCEAUX> faisceaux{};
    std::array<bool, NB_BLOCS> blocs{};
    bool tous = false;

    static Grille pleine(); // everything ticked, as when the window opens
    bool operator==(const Grille &) const = default;
};

// Click rules. Each is called after the operator's click has already changed the clicked
// box (so the grid holds its new state); they set other boxes only.
void clic_micro(Grille &g, int b);   // a microphone box of beam b
void clic_faisceau(Grille &g, int b);
void clic_bloc(Grille &g, int k);
void clic_tous(Grille &g);

// A beam box is ticked exactly when its 8 microphones are, a block box exactly when its 8
// beams are, the all-microphones box exactly when all 4 blocks are.
bool coherente(const Grille &g);

// What a selection means for the recorder and for the frame layout.
struct Choix {
    std::array<uint8_t, NB_FAISCEAUX> masques{}; // mask of each beam's activation command
    uint8_t masque_aux = 0;                      // counter 0x80, status 0x40, analogue 0x01..0x08
    std::array<int32_t, NB_MICROS> voies{};      // selected channels, ascending (first nb_micros)
    int32_t nb_micros = 0;
    int32_t nb_voies = 0; // 32-bit words per frame
    bool compteur = false;

    // The frame of a run of this selection.
    FrameLayout disposition(bool floats, double frequence) const;
};

Choix calcule_choix(const Micros &micros, bool compteur, bool status, const std::array<bool, NB_VA> &va);

} // namespace selection
