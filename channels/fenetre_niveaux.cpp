// The live levels' window of frames across blocks.
#include "channels/fenetre_niveaux.h"

#include "channels/colormap.h"

#include <algorithm>
#include <cstring>

namespace niveaux {

namespace {
// Whole frames of one window: the pass reads NB_TRAMES + 1 frames from one word before the
// second frame's first microphone.
constexpr uint64_t TRAMES_FENETRE = NB_TRAMES + 2;
} // namespace

void Fenetre::debut(int32_t nb_voies, int32_t nb_micros, bool compteur, bool flottant)
{
    nb_voies_ = nb_voies;
    nb_micros_ = std::min(nb_micros, 256);
    compteur_ = compteur;
    flottant_ = flottant;
    tampon_.clear();
    suite_ = 0;
}

// Microphone i is word i + 1 of a frame for the pass: with the counter the window's second
// frame starts it, without it one word earlier.
void Fenetre::calcule(const unsigned char *trames, double *sortie) const
{
    const uint32_t trame = uint32_t(nb_voies_) * 4;
    moyennes_carres(trames, trame - (compteur_ ? 0u : 4u), nb_voies_, nb_micros_, flottant_, sortie);
}

bool Fenetre::ajoute(const unsigned char *donnees, const tap::BlockPlace &place, double *sortie, uint64_t *premiere)
{
    if (nb_voies_ <= 0 || nb_micros_ <= 0 || !donnees)
        return false;
    const uint32_t trame = uint32_t(nb_voies_) * 4;
    const uint64_t voulu = TRAMES_FENETRE * trame;
    uint32_t debut = 0;
    if (!tampon_.empty() && place.byte_offset != suite_)
        tampon_.clear(); // a block is missing: the window starts again
    if (tampon_.empty()) {
        debut = place.first_frame_at(trame);
        if (debut >= place.bytes)
            return false;
        premiere_ = place.first_frame(trame);
        if (place.bytes - debut >= voulu) { // the whole window in this block
            calcule(donnees + debut, sortie);
            *premiere = premiere_;
            return true;
        }
    }
    const uint64_t prend = std::min<uint64_t>(voulu - tampon_.size(), place.bytes - debut);
    tampon_.insert(tampon_.end(), donnees + debut, donnees + debut + prend);
    suite_ = place.byte_offset + place.bytes;
    if (tampon_.size() < voulu)
        return false;
    calcule(tampon_.data(), sortie);
    *premiere = premiere_;
    tampon_.clear();
    return true;
}

} // namespace niveaux
