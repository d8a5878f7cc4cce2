#pragma once
// The example run used by the recording tests: Wednesday 7 December 2022 14:05:09.250,
// 50 000 Hz, the sixteen microphones of beams 0 and 1 plus the counter, float samples,
// 250 000 frames (5 s), no comment entered.
#include <cstring>

#include "recording/header_record.h"

inline type_header_file exemple_run()
{
    type_header_file h;
    h.date_heure = {2022, 12, 3, 7, 14, 5, 9, 250};
    for (int b = 0; b < 2; ++b)
        for (int m = 0; m < 8; ++m)
            h.micros_actifs[b][m] = 1;
    h.compteurs_actifs[0] = 1;
    h.freq = 50000.0f;
    h.nb_ech = 250000;
    h.duree_acquise = 5.0f;
    h.type_float = 1;
    std::memset(h.texte_commentaire, ' ', sizeof h.texte_commentaire);
    return h;
}
