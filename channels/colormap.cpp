#include "channels/colormap.h"

#include <cmath>
#include <cstring>

namespace niveaux {

Rvb couleur(int i)
{
    Rvb c;
    if (i <= 14) {
        c.b = 143 + 8 * i;
    } else if (i <= 45) {
        c.v = 8 * (i - 14);
        c.b = 255;
    } else if (i == 46) {
        c.v = 255;
        c.b = 255;
    } else if (i <= 77) {
        c.r = 8 * (i - 46);
        c.v = 255;
        c.b = 255 - 8 * (i - 46);
    } else if (i == 78) {
        c.r = 255;
        c.v = 255;
    } else if (i <= 109) {
        c.r = 255;
        c.v = 255 - 8 * (i - 78);
    } else if (i == 110) {
        c.r = 255;
    } else {
        c.r = 255 - 8 * (i - 110);
    }
    return c;
}

void remplit_tables(int32_t *r, int32_t *v, int32_t *b)
{
    for (int i = 0; i < NB_COULEURS; ++i) {
        const Rvb c = couleur(i);
        r[i] = c.r;
        v[i] = c.v;
        b[i] = c.b;
    }
}

int indice_db(double db)
{
    const double i = std::floor(db - 15.0 + 0.5);
    if (!(i >= 1.0)) // NaN too
        return 0;
    if (i >= NB_COULEURS - 1)
        return NB_COULEURS - 1;
    return static_cast<int>(i);
}

int indice_niveau(double moyenne_carres)
{
    if (!(moyenne_carres >= 1.0))
        moyenne_carres = 1.0;
    return indice_db(10.0 * std::log10(moyenne_carres));
}

namespace {

// Frame by frame, so the packet is read once and in order; each microphone's sum still runs
// over its samples in time order, so the result does not depend on the loop order. The inner
// loop runs over consecutive words and is vectorised (AVX2 where the processor has it).
template <class T>
inline void somme(const unsigned char *__restrict paquet, uint32_t debut, int32_t nb_voies, int32_t nb_micros,
                  double *__restrict acc)
{
    for (int32_t i = 0; i < nb_micros; ++i)
        acc[i] = 0.0;
    const size_t pas = 4 * static_cast<size_t>(nb_voies);
    const unsigned char *__restrict trame = paquet + debut + 4; // word 1
    for (int j = 0; j < NB_TRAMES; ++j, trame += pas)
        for (int32_t i = 0; i < nb_micros; ++i) {
            T x;
            std::memcpy(&x, trame + 4 * static_cast<size_t>(i), sizeof x);
            const double d = static_cast<double>(x);
            acc[i] += d * d;
        }
}

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VIZ256_VECTORISE __attribute__((target_clones("avx2", "default"), optimize("O3")))
#else
#define VIZ256_VECTORISE
#endif

VIZ256_VECTORISE void somme_entiers(const unsigned char *paquet, uint32_t debut, int32_t nb_voies, int32_t nb_micros,
                                    double *acc)
{
    somme<int32_t>(paquet, debut, nb_voies, nb_micros, acc);
}

VIZ256_VECTORISE void somme_flottants(const unsigned char *paquet, uint32_t debut, int32_t nb_voies,
                                      int32_t nb_micros, double *acc)
{
    somme<float>(paquet, debut, nb_voies, nb_micros, acc);
}

} // namespace

void moyennes_carres(const unsigned char *paquet, uint32_t debut, int32_t nb_voies, int32_t nb_micros,
                     bool flottant, double *sortie)
{
    if (flottant)
        somme_flottants(paquet, debut, nb_voies, nb_micros, sortie);
    else
        somme_entiers(paquet, debut, nb_voies, nb_micros, sortie);
    for (int32_t i = 0; i < nb_micros; ++i)
        sortie[i] /= static_cast<double>(NB_TRAMES);
}

} // namespace niveaux
