#pragma once
// The live levels' window of frames, gathered from the blocks of the stream as they come: a
// window starts at the first frame boundary of a block and takes NB_TRAMES + 2 whole frames,
// across as many blocks as it needs (at 2 kHz a block holds a fraction of them). Positions come
// from each block's place in the run, never from a transfer's number.
#include "tap/block.h"

#include <cstdint>
#include <vector>

namespace niveaux {

class Fenetre {
public:
    // A new run: its frame (words), the microphones recorded, whether word 0 is the counter,
    // and the sample type.
    void debut(int32_t nb_voies, int32_t nb_micros, bool compteur, bool flottant);
    // Adds a block. True when a window is complete: `sortie` (nb_micros entries) holds the
    // microphones' mean squares and `premiere` the window's first frame in the run; the next
    // window starts in a later block. A block that does not follow the last one starts again.
    bool ajoute(const unsigned char *donnees, const tap::BlockPlace &place, double *sortie, uint64_t *premiere);

private:
    void calcule(const unsigned char *trames, double *sortie) const;
    int32_t nb_voies_ = 0, nb_micros_ = 0;
    bool compteur_ = false, flottant_ = false;
    std::vector<unsigned char> tampon_; // the frames gathered so far
    uint64_t suite_ = 0;                // byte offset that the next block must start at
    uint64_t premiere_ = 0;
};

} // namespace niveaux
