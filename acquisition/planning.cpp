#include "acquisition/planning.h"

#include <algorithm>
#include <cmath>

namespace planning {

uint32_t nb_echantillons(double duree, float frequence, bool definie)
{
    if (!definie)
        return 0;
    return static_cast<uint32_t>(nb_echantillons_64(duree, frequence));
}

uint64_t nb_echantillons_64(double duree, float frequence)
{
    // The duration is typed in tenths of a second, but 0.7 is not exact in binary: taken as
    // 0.6999... it would lose the last frame (34 999 frames for 0.7 s at 50 kHz). A duration
    // within a hair of a whole number of tenths counts as that number.
    double dixiemes = duree * 10.0;
    const double proche = std::round(dixiemes);
    if (std::fabs(dixiemes - proche) <= 1e-7 * std::max(1.0, proche))
        dixiemes = proche;
    else
        dixiemes = std::floor(dixiemes);
    const double produit = dixiemes * static_cast<double>(frequence);
    if (!(produit > 0.0))
        return 0;
    return static_cast<uint64_t>(produit) / 10;
}

double duree_max(float frequence)
{
    // Rounded down to the tenth; the spinner's value then goes through a 32-bit float, which
    // may round it up again, so step down until the count really fits.
    auto dixiemes = static_cast<int64_t>(std::floor(double(COMPTE_MAX + 1) * 10.0 / static_cast<double>(frequence)));
    while (dixiemes > 0 && nb_echantillons_64(dixiemes / 10.0, frequence) > COMPTE_MAX)
        --dixiemes;
    return dixiemes / 10.0;
}

uint32_t paquets_definis(uint64_t demandes)
{
    if (demandes % TAILLE_PAQUET != 0)
        return static_cast<uint32_t>(demandes / TAILLE_PAQUET + 1);
    return static_cast<uint32_t>(demandes / TAILLE_PAQUET);
}

uint32_t paquets_ouverts(uint64_t utilisable)
{
    const uint64_t entiers = utilisable / TAILLE_PAQUET;
    if (entiers < 2)
        return 0;
    const uint64_t n = entiers - 1;
    return n > SANS_LIMITE ? SANS_LIMITE : static_cast<uint32_t>(n);
}

uint32_t paquets_max_trames(int32_t nb_voies, uint64_t trames)
{
    if (nb_voies <= 0)
        return SANS_LIMITE;
    const uint64_t n = trames * 4 * uint64_t(nb_voies) / TAILLE_PAQUET;
    return n > SANS_LIMITE ? SANS_LIMITE : static_cast<uint32_t>(n);
}

BudgetArret budget_arret(bool record, uint32_t count, uint64_t utilisable, int32_t nb_voies, uint64_t trames)
{
    BudgetArret b;
    if (!record || count != 0)
        return b;
    b.trames = paquets_max_trames(nb_voies, trames);
    b.arret = std::min(paquets_ouverts(utilisable), b.trames);
    return b;
}

uint64_t octets_max_trames(int32_t nb_voies, uint64_t trames)
{
    return trames * 4 * uint64_t(std::max(nb_voies, 0));
}

uint64_t espace_utilisable(uint64_t libre)
{
    return libre > RESERVE_DISQUE ? libre - RESERVE_DISQUE : 0;
}

double duree_anneau_ms(int32_t nb_voies, float frequence)
{
    const float trames = static_cast<float>(MOTS_PAQUET / static_cast<uint32_t>(nb_voies));
    return 8.0 * static_cast<double>(trames) / static_cast<double>(frequence) * 1000.0;
}

int32_t timeout_run(int32_t nb_voies, float frequence)
{
    const double anneau = duree_anneau_ms(nb_voies, frequence);
    if (anneau > 1000.0)
        return static_cast<int32_t>(anneau + 1000.0);
    return 2000;
}

uint32_t paquets_file(double octets_par_s, uint64_t memoire_physique, uint32_t taille)
{
    taille = std::max<uint32_t>(taille, 1);
    const double voulu = std::ceil(RESERVE_SECONDES * std::max(octets_par_s, 0.0) / taille);
    const uint64_t borne = std::max<uint64_t>(memoire_physique / 4 / taille, 2);
    const uint64_t n = std::max<uint64_t>(static_cast<uint64_t>(voulu), RESERVE_MIN_PAQUETS);
    return static_cast<uint32_t>(std::min(n, borne));
}

DimensionAnneau dimension_anneau(double octets_par_s)
{
    constexpr uint64_t BLOC = 4096;
    if (!(octets_par_s > 0))
        return {};
    const uint64_t voulu = uint64_t(std::ceil(octets_par_s * DUREE_TRANSFERT_S / double(BLOC))) * BLOC;
    const uint64_t taille = std::clamp<uint64_t>(voulu, BLOC, TAILLE_PAQUET);
    const uint64_t nb = std::max<uint64_t>(uint64_t(std::ceil(octets_par_s * EN_VOL_S / double(taille))), NB_BUDGET);
    // Past three quarters of the budget (the top rates), small transfers buy little and cost
    // many more completions: the ring keeps its eight packets.
    if (nb > uint64_t(NB_TRANSFERTS_MAX) || 4 * nb * taille > 3 * uint64_t(NB_BUDGET) * TAILLE_PAQUET)
        return {};
    return {uint32_t(taille), int(nb)};
}

PasCompteur pas_compteur(int32_t nb_voies)
{
    const int32_t mots = static_cast<int32_t>(MOTS_PAQUET);
    PasCompteur p;
    p.increment_position = (nb_voies - (mots % nb_voies)) % nb_voies;
    p.increment_compteur = (p.increment_position + mots) / nb_voies;
    return p;
}

uint32_t avance_compteur(uint32_t position, int32_t &attendu, const PasCompteur &pas, int32_t nb_voies)
{
    const uint32_t p = (position + static_cast<uint32_t>(pas.increment_position)) % static_cast<uint32_t>(nb_voies);
    uint32_t v = static_cast<uint32_t>(attendu) + static_cast<uint32_t>(pas.increment_compteur);
    if (p < position)
        v -= 1;
    attendu = static_cast<int32_t>(v);
    return p;
}

} // namespace planning
