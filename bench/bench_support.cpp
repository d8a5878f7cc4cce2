#include "bench/bench_support.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace bench {

[[noreturn]] void echec(const std::string &m)
{
    std::fprintf(stderr, "bench_run: %s\n", m.c_str());
    std::fflush(stdout);
    std::_Exit(2);
}

// The test suite's smoke run (bench/run.sh with VIZ256_BENCH_SMOKE): every measurement once
// and short, to show it still runs.
bool fumee()
{
    return std::getenv("VIZ256_BENCH_SMOKE") != nullptr;
}

double maintenant_s()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

namespace {

std::string lit_fichier(const std::string &chemin)
{
    std::string s;
    FILE *f = std::fopen(chemin.c_str(), "r");
    if (!f)
        return s;
    char b[4096];
    size_t n;
    while ((n = std::fread(b, 1, sizeof b, f)) > 0)
        s.append(b, n);
    std::fclose(f);
    return s;
}

} // namespace

// CPU time of every thread of this process: schedstat's run time (ns) when the kernel has it,
// else utime + stime from stat.
std::map<int, Fil> fils()
{
    std::map<int, Fil> m;
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return m;
    static const double tick = double(sysconf(_SC_CLK_TCK));
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const int tid = std::atoi(e->d_name);
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        Fil f;
        f.nom = lit_fichier(base + "/comm");
        while (!f.nom.empty() && f.nom.back() == '\n')
            f.nom.pop_back();
        const std::string ss = lit_fichier(base + "/schedstat");
        if (!ss.empty()) {
            f.cpu_s = std::strtod(ss.c_str(), nullptr) * 1e-9;
        } else {
            const std::string st = lit_fichier(base + "/stat");
            const size_t p = st.rfind(')');
            if (p != std::string::npos) {
                // Fields after the name: state is field 3; utime and stime are 14 and 15.
                std::vector<std::string> champs;
                size_t i = p + 2;
                while (i < st.size()) {
                    size_t j = st.find(' ', i);
                    if (j == std::string::npos)
                        j = st.size();
                    champs.push_back(st.substr(i, j - i));
                    i = j + 1;
                }
                if (champs.size() > 12)
                    f.cpu_s = (std::strtod(champs[11].c_str(), nullptr) + std::strtod(champs[12].c_str(), nullptr)) / tick;
            }
        }
        m[tid] = f;
    }
    closedir(d);
    // Entry 0: the whole process, threads that have already ended included (the data-file
    // writer ends with its run, before the snapshot after it).
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    m[0] = {"(process)", double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6};
    return m;
}

std::set<int> fils_emulateur; // threads present right after the recorder started

// Prints the CPU of each thread between two snapshots over `duree_s` seconds, as a percentage
// of one core, and the sums for the program and the emulator.
void rapporte_cpu(const std::string &prefixe, const std::map<int, Fil> &avant, const std::map<int, Fil> &apres, double duree_s)
{
    const int principal = int(getpid());
    double programme = 0, emulateur = 0, total = 0, fenetre = 0;
    for (const auto &[tid, f] : apres) {
        if (tid == 0)
            continue;
        const auto a = avant.find(tid);
        const double cpu = f.cpu_s - (a != avant.end() ? a->second.cpu_s : 0.0);
        const bool emu = fils_emulateur.count(tid) || f.nom.rfind("umockdev", 0) == 0 || f.nom == "gmain" || f.nom == "gdbus" || f.nom == "pool-spawner";
        const double pc = 100.0 * cpu / duree_s;
        std::string nom = f.nom.empty() ? std::string("?") : f.nom;
        std::replace(nom.begin(), nom.end(), ' ', '_');
        std::printf("%s_thread %d %s %s %.3f\n", prefixe.c_str(), tid, nom.c_str(),
                    tid == principal ? "window" : (emu ? "emulator" : "program"), pc);
        total += pc;
        if (tid == principal)
            fenetre += pc;
        if (emu)
            emulateur += pc;
        else
            programme += pc;
    }
    // Threads that ended between the snapshots (the program's: the data-file writer).
    const auto p0 = avant.find(0), p1 = apres.find(0);
    if (p0 != avant.end() && p1 != apres.end()) {
        const double finis = 100.0 * (p1->second.cpu_s - p0->second.cpu_s) / duree_s - total;
        if (finis > 0.005) {
            std::printf("%s_thread 0 ended_threads program %.3f\n", prefixe.c_str(), finis);
            programme += finis;
            total += finis;
        }
    }
    std::printf("%s_cpu_window_pct %.3f\n", prefixe.c_str(), fenetre);
    std::printf("%s_cpu_program_pct %.3f\n", prefixe.c_str(), programme);
    std::printf("%s_cpu_emulator_pct %.3f\n", prefixe.c_str(), emulateur);
    std::printf("%s_cpu_process_pct %.3f\n", prefixe.c_str(), total);
}

long statut_kb(const char *cle)
{
    const std::string s = lit_fichier("/proc/self/status");
    const size_t p = s.find(cle);
    if (p == std::string::npos)
        return -1;
    return std::atol(s.c_str() + p + std::strlen(cle) + 1);
}


void efface(const QString &dat)
{
    QString base = dat;
    base.chop(4);
    for (const char *ext : {".dat", ".Vlx", ".log"})
        QFile::remove(base + QLatin1String(ext));
}

bool reference_directe = false;
double ecriture_simple(const QString &chemin, uint64_t octets)
{
    const uint32_t bloc = Principale::TAILLE_PAQUET;
    void *m = nullptr;
    if (posix_memalign(&m, 4096, bloc) != 0)
        echec("reference write: no memory");
    unsigned char *tampon = static_cast<unsigned char *>(m);
    for (size_t i = 0; i < bloc; ++i)
        tampon[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    const QByteArray nom = QFile::encodeName(chemin);
    const double t0 = maintenant_s();
    int fd = ::open(nom.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_DIRECT, 0644);
    reference_directe = fd >= 0;
    if (fd < 0)
        fd = ::open(nom.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        echec("reference write: cannot create " + chemin.toStdString());
    uint64_t reste = octets;
    while (reste > 0) {
        size_t n = size_t(std::min<uint64_t>(reste, bloc));
        if (reference_directe && n % 4096 != 0) {
            const int fl = ::fcntl(fd, F_GETFL);
            ::fcntl(fd, F_SETFL, fl & ~O_DIRECT);
        }
        const ssize_t e = ::write(fd, tampon, n);
        if (e != ssize_t(n))
            echec(std::string("reference write failed: ") + std::strerror(errno));
        reste -= n;
    }
    ::close(fd);
    std::free(m);
    return maintenant_s() - t0;
}

void rapporte_fils_run(const char *p, Banc &b, double duree_s)
{
    std::printf("%s_cpu_datapath_pct %.3f\n", p, 1e-7 * double(b.w->moteur.diagnostic().cpu_donnees_ns) / duree_s);
    std::printf("%s_cpu_writer_pct %.3f\n", p, 1e-7 * double(b.w->moteur.diagnostic().cpu_ecriture_ns) / duree_s);
}

} // namespace bench
