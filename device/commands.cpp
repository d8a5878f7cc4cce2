#include "device/commands.h"

#include <algorithm>
#include <initializer_list>

namespace cmd {

std::array<uint8_t, 8> setup(int request, int length)
{
    return {TYPE_REQUETE, static_cast<uint8_t>(request & 0xFF), 0, 0, 0, 0,
            static_cast<uint8_t>(length & 0xFF), static_cast<uint8_t>((length >> 8) & 0xFF)};
}

namespace {

Requete cadree(std::initializer_list<uint8_t> octets) // the code byte, then the arguments
{
    Requete r;
    r.code = static_cast<uint8_t>(requete_commande(int(octets.size()) - 1));
    r.longueur = static_cast<uint8_t>(octets.size());
    std::copy(octets.begin(), octets.end(), r.donnees.begin());
    return r;
}

Requete sans_donnees(uint8_t code)
{
    Requete r;
    r.code = code;
    return r;
}

} // namespace

Requete reset_micros() { return cadree({RESET_MICROS}); }
Requete horloge(uint8_t division_moins_un) { return cadree({HORLOGE, division_moins_un}); }
Requete start(uint8_t declenchement) { return cadree({START, declenchement}); }
Requete stop(uint8_t declenchement) { return cadree({STOP, declenchement}); }
Requete nb_echantillons(uint32_t n)
{
    return cadree({NB_ECH, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)});
}
Requete voies(uint8_t groupe, uint8_t masque) { return cadree({VOIES, 0, groupe, masque}); }
Requete delai(uint8_t reglage) { return cadree({DELAI, reglage}); }
Requete type_echantillons(bool flottant) { return cadree({TYPE, uint8_t(flottant ? 1 : 0)}); }
Requete reset_fx3() { return sans_donnees(REQ_RESET_FX3); }
Requete reset_ph() { return sans_donnees(REQ_RESET_PH); }

} // namespace cmd
