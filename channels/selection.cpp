#include "channels/selection.h"

#include <algorithm>

namespace selection {

namespace {

bool tout_coche(const auto &cases)
{
    return std::all_of(cases.begin(), cases.end(), [](bool c) { return c; });
}

bool faisceau_plein(const Grille &g, int b) { return tout_coche(g.micros[b]); }

bool bloc_plein(const Grille &g, int k)
{
    for (int b = FAISCEAUX_PAR_BLOC * k; b < FAISCEAUX_PAR_BLOC * (k + 1); ++b)
        if (!g.faisceaux[b])
            return false;
    return true;
}

// Blocks from their beams, then the all-microphones box from the blocks.
void recalcule_blocs_et_tous(Grille &g)
{
    g.tous = true;
    for (int k = 0; k < NB_BLOCS; ++k) {
        g.blocs[k] = bloc_plein(g, k);
        if (!g.blocs[k])
            g.tous = false;
    }
}

} // namespace

Grille Grille::pleine()
{
    Grille g;
    for (auto &f : g.micros)
        f.fill(true);
    g.faisceaux.fill(true);
    g.blocs.fill(true);
    g.tous = true;
    return g;
}

void clic_micro(Grille &g, int b)
{
    g.faisceaux[b] = faisceau_plein(g, b);
    recalcule_blocs_et_tous(g);
}

void clic_faisceau(Grille &g, int b)
{
    g.micros[b].fill(g.faisceaux[b]);
    recalcule_blocs_et_tous(g);
}

void clic_bloc(Grille &g, int k)
{
    const bool s = g.blocs[k];
    for (int b = FAISCEAUX_PAR_BLOC * k; b < FAISCEAUX_PAR_BLOC * (k + 1); ++b) {
        g.faisceaux[b] = s;
        g.micros[b].fill(s);
    }
    g.tous = tout_coche(g.faisceaux);
}

void clic_tous(Grille &g)
{
    const bool s = g.tous;
    g.faisceaux.fill(s);
    for (auto &f : g.micros)
        f.fill(s);
    g.blocs.fill(s);
}

bool coherente(const Grille &g)
{
    for (int b = 0; b < NB_FAISCEAUX; ++b)
        if (g.faisceaux[b] != faisceau_plein(g, b))
            return false;
    for (int k = 0; k < NB_BLOCS; ++k)
        if (g.blocs[k] != bloc_plein(g, k))
            return false;
    return g.tous == tout_coche(g.blocs);
}

Choix calcule_choix(const Micros &micros, bool compteur, bool status, const std::array<bool, NB_VA> &va)
{
    Choix c;
    for (int b = 0; b < NB_FAISCEAUX; ++b)
        for (int m = 0; m < NB_MICROS_FAISCEAU; ++m)
            if (micros[b][m])
                c.masques[b] |= static_cast<uint8_t>(1u << m);
    c.masque_aux = uint8_t((compteur ? AUX_COMPTEUR : 0) | (status ? AUX_STATUS : 0));
    for (int n = 0; n < NB_VA; ++n)
        if (va[n])
            c.masque_aux |= aux_va(n);
    // The channel list and the frame's width as the recorder's masks give them.
    const FrameLayout l = c.disposition(false, 0);
    c.nb_micros = int32_t(l.mics.size());
    std::copy(l.mics.begin(), l.mics.end(), c.voies.begin());
    c.nb_voies = l.words();
    c.compteur = l.counter;
    return c;
}

FrameLayout Choix::disposition(bool floats, double frequence) const
{
    return FrameLayout::from_masks(masques.data(), masque_aux, floats, frequence);
}

} // namespace selection
