// The level pass of the live display: Principale::passe_niveaux on a full 8 MiB packet of
// 257 words a frame (the counter and 256 microphones), the window shown in its level view.
//
//   PasseNiveaux/stable   the same packet each pass: the cells keep their colour
//   PasseNiveaux/change   two packets in turn whose levels differ by 6 dB: every cell changes
//                         colour at every pass (the worst case)
//   PasseNiveaux/float    as stable, float samples
//   MoyennesCarres        reference: the arithmetic of the pass alone (2000 frames x 256)
#include "app/principale.h"
#include "channels/colormap.h"
#include "channels/fenetre_niveaux.h"

#include <QApplication>
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int32_t NB_VOIES = 257;
constexpr int32_t NB_MICROS = 256;

// A full packet of frames: word 0 the counter, microphone i a square-ish wave of amplitude
// amp(i) = 100 x 1.04^i x gain, so the 256 levels spread over the colour map.
std::vector<unsigned char> paquet(double gain, bool flottant)
{
    std::vector<unsigned char> p(Principale::TAILLE_PAQUET);
    const size_t mots = p.size() / 4;
    for (size_t k = 0; k < mots; ++k) {
        const size_t w = k % NB_VOIES;
        const size_t trame = k / NB_VOIES;
        if (w == 0) {
            const int32_t c = static_cast<int32_t>(trame);
            std::memcpy(&p[4 * k], &c, 4);
            continue;
        }
        const double a = 100.0 * std::pow(1.04, double(w - 1)) * gain * (((trame + w) % 3 == 0) ? -1.0 : 1.0);
        if (flottant) {
            const float f = static_cast<float>(a);
            std::memcpy(&p[4 * k], &f, 4);
        } else {
            const int32_t v = static_cast<int32_t>(a);
            std::memcpy(&p[4 * k], &v, 4);
        }
    }
    return p;
}

Principale *fenetre()
{
    static Principale *w = [] {
        auto *f = new Principale;
        f->show();
        f->affiche_cases(true);
        QApplication::processEvents();
        return f;
    }();
    return w;
}

void passe(benchmark::State &state, bool alterne, bool flottant)
{
    Principale *w = fenetre();
    moteur::Niveaux a, b;
    for (moteur::Niveaux *n : {&a, &b}) {
        const std::vector<unsigned char> p = paquet(n == &a ? 1.0 : 2.0, flottant); // +6 dB: another colour for each cell
        niveaux::Fenetre f;
        f.debut(NB_VOIES, NB_MICROS, true, flottant);
        n->moyennes_carres.resize(NB_MICROS);
        for (int i = 0; i < NB_MICROS; ++i)
            n->canaux.push_back(i);
        f.ajoute(p.data(), {0, 0, uint32_t(p.size()), 0}, n->moyennes_carres.data(), &n->premiere_trame);
    }
    uint32_t k = 0;
    for (auto _ : state)
        w->passe_niveaux(alterne && (k++ & 1u) ? b : a);
    QApplication::processEvents();
}

void BM_PasseNiveauxStable(benchmark::State &s) { passe(s, false, false); }
void BM_PasseNiveauxChange(benchmark::State &s) { passe(s, true, false); }
void BM_PasseNiveauxFloat(benchmark::State &s) { passe(s, false, true); }

void BM_MoyennesCarres(benchmark::State &state)
{
    const std::vector<unsigned char> p = paquet(1.0, false);
    double ms[NB_MICROS];
    const uint32_t debut = uint32_t(NB_VOIES) * 4; // the second frame: its first microphone is word 1
    for (auto _ : state) {
        niveaux::moyennes_carres(p.data(), debut, NB_VOIES, NB_MICROS, false, ms);
        benchmark::DoNotOptimize(ms);
        benchmark::ClobberMemory();
    }
}

} // namespace

BENCHMARK(BM_PasseNiveauxStable)->Name("PasseNiveaux/stable")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PasseNiveauxChange)->Name("PasseNiveaux/change")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PasseNiveauxFloat)->Name("PasseNiveaux/float")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MoyennesCarres)->Name("MoyennesCarres")->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
