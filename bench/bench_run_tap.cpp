// The live tap through the whole program (bench_run tap): a paced recorded run at the peak
// (50 kHz x 257 words) through the window, with 0 or with N reader processes following the
// recorder's tap, as `viz256-run tap` or a viewer would. What the readers cost the recording is
// the difference of the program's CPU between the two; each reader measures, for every block,
// the time from the block's completion (its place's completed_ns, taken on the data path) to
// the moment it holds the block's bytes.
#include "bench/bench_support.h"

#include "tap/reader.h"

#include <QDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

int tube = -1; // the readers write "r" once attached, then their figures, into it
std::vector<pid_t> lecteurs;

int64_t monotone_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A reader process: opens the only tap there is (once the window's Init has made it), follows
// the run to its end and writes "blocks missed median_ms p99_ms" into fd.
[[noreturn]] void lecteur(int fd, double limite_s)
{
    const double t0 = maintenant_s();
    std::string erreur;
    std::unique_ptr<tap::Reader> r;
    while (!(r = tap::Reader::open("", erreur)) && maintenant_s() - t0 < limite_s)
        usleep(20000);
    if (!r || write(fd, "r", 1) != 1)
        _exit(1);
    std::vector<double> ms;
    uint64_t blocs = 0, manques = 0, m = 0;
    tap::Block b;
    while (maintenant_s() - t0 < limite_s) {
        const tap::Reader::Next n = r->next(b, m, 1000);
        manques += m;
        if (n == tap::Reader::Next::Block) {
            ms.push_back(double(monotone_ns() - b.place.completed_ns) / 1e6);
            ++blocs;
        } else if ((n == tap::Reader::Next::Ended && blocs > 0) || n == tap::Reader::Next::Error) {
            break;
        }
    }
    std::sort(ms.begin(), ms.end());
    const auto q = [&](double f) { return ms.empty() ? 0.0 : ms[std::min(ms.size() - 1, size_t(f * double(ms.size())))]; };
    char ligne[128];
    const int n = std::snprintf(ligne, sizeof ligne, "%llu %llu %.3f %.3f\n", (unsigned long long)blocs,
                                (unsigned long long)manques, q(0.5), q(0.99));
    _exit(write(fd, ligne, size_t(n)) == n ? 0 : 1);
}

} // namespace

void lance_lecteurs_tap(int n, double limite_s)
{
    if (n <= 0)
        return;
    int p[2];
    if (pipe(p) != 0)
        echec("tap: no pipe");
    std::fflush(stdout);
    for (int i = 0; i < n; ++i) {
        const pid_t pid = fork();
        if (pid < 0)
            echec("tap: cannot start a reader");
        if (pid == 0) {
            close(p[0]);
            lecteur(p[1], limite_s);
        }
        lecteurs.push_back(pid);
    }
    close(p[1]);
    tube = p[0];
}

int mesure_tap(Banc &b, const QString &dossier, double secondes)
{
    const int n = int(lecteurs.size());
    for (int i = 0; i < n; ++i) { // every reader attached before Start
        char c = 0;
        if (read(tube, &c, 1) != 1 || c != 'r')
            echec("tap: a reader could not open the tap");
    }
    b.regle(0, secondes, !dossier.isEmpty());
    QString dat;
    if (!dossier.isEmpty()) {
        dat = QDir(dossier).filePath(QStringLiteral("bench_tap.dat"));
        efface(dat);
        b.fichier = dat;
    }
    const auto avant = fils();
    const double t0 = maintenant_s();
    b.w->button_Start->click();
    const double t1 = maintenant_s();
    const auto apres = fils();
    b.verifie("tap");
    if (!dat.isEmpty())
        efface(dat);
    const std::string prefixe = "tap" + std::to_string(n);
    const char *p = prefixe.c_str();
    std::printf("%s_run_s %.3f\n", p, t1 - t0);
    rapporte_cpu(p, avant, apres, t1 - t0);
    rapporte_fils_run(p, b, t1 - t0);
    if (n == 0)
        return 0;
    // The readers' figures once they have seen the run's end: the worst reader's.
    std::string texte;
    char tampon[512];
    for (ssize_t k; (k = read(tube, tampon, sizeof tampon)) > 0;)
        texte.append(tampon, size_t(k));
    int ok = 0;
    for (pid_t pid : lecteurs) {
        int st = 0;
        waitpid(pid, &st, 0);
        ok += WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }
    unsigned long long blocs_min = ~0ull, manques = 0;
    double mediane = 0, p99 = 0;
    int lignes = 0;
    for (size_t i = 0; i < texte.size();) {
        const size_t fin = texte.find('\n', i);
        unsigned long long bl = 0, ma = 0;
        double me = 0, pq = 0;
        if (std::sscanf(texte.c_str() + i, "%llu %llu %lf %lf", &bl, &ma, &me, &pq) == 4) {
            blocs_min = std::min(blocs_min, bl);
            manques += ma;
            mediane = std::max(mediane, me);
            p99 = std::max(p99, pq);
            ++lignes;
        }
        if (fin == std::string::npos)
            break;
        i = fin + 1;
    }
    if (ok != n || lignes != n || blocs_min == 0)
        echec("tap: " + std::to_string(n - ok) + " reader(s) failed, " + std::to_string(lignes) + " reported");
    std::printf("%s_readers %d\n", p, n);
    std::printf("%s_reader_blocks_min %llu\n", p, blocs_min);
    std::printf("%s_readers_missed %llu\n", p, manques);
    std::printf("%s_latency_median_ms %.3f\n", p, mediane);
    std::printf("%s_latency_p99_ms %.3f\n", p, p99);
    return 0;
}

} // namespace bench
