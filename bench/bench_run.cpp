// Whole-run measurements of the real window against the emulated recorder (run under
// umockdev-wrapper; bench/run.sh does it). One measurement per process, printed as
// "key value" lines on stdout for bench/table.py.
//
//   bench_run record  DIR SECONDS [reference-first] [cold] [strict]
//                                   unpaced recorded run at 50 kHz, 257 words, SECONDS of
//                                   frames; and a plain direct (O_DIRECT) write of the same bytes in
//                                   8 MiB blocks to the same folder, after the run or before
//                                   it (both files deleted); each right after an untimed
//                                   write of the same size (warm page cache) or, with
//                                   `cold`, after a 5 s pause. The recorder's data come from
//                                   the emulator's pool (Options::pooled_stream: one copy at
//                                   the reap), so that the program is what is measured; with
//                                   `strict`, from the strict producer every test uses
//   bench_run cpu     DIR|- SECONDS [device-memory]
//                                   paced run at 50 kHz, 257 words, recorded into DIR (or
//                                   not, with -): CPU per thread; with device-memory the
//                                   host offers usbfs device memory (zero-copy) to the ring.
//                                   The recorded run without device memory is followed by the
//                                   reference: the same stream written at the same rate by a
//                                   plain loop, with O_DIRECT as the program's writer
//   bench_run cli     DIR|- SECONDS paced run at 50 kHz, 257 words, through viz256-record's work
//                                   (record_cli::execute, its Init included) instead of the
//                                   window, recorded into DIR or not: CPU per thread, as `cpu`
//   bench_run latency HZ  SECONDS   paced unrecorded run at HZ (50000 or 2000), 257 words:
//                                   longest delay of a 10 ms timer on the window's thread
//   bench_run idle    SECONDS       after Init, the event loop alone: CPU per thread
//   bench_run tap     DIR|- SECONDS READERS
//                                   paced run at 50 kHz, 257 words, recorded into DIR (or
//                                   not, with -), with READERS reader processes of the live
//                                   tap attached: CPU per thread, the readers' latency
//   bench_run stall   DIR           paced recorded run at 50 kHz, 257 words, whose writer
//                                   stalls until the run stops itself: the stall ridden out
//
// Threads. The emulated recorder runs in this process on umockdev's worker threads. The
// threads that exist right after the recorder has started (before Qt and the window) and the
// ones umockdev starts later are the emulator's; the window's thread (the main thread) and any
// thread Qt or libusb start are the program's. Each thread is listed with its name.
#include "acquisition/anneau.h"
#include "acquisition/ecrivain.h"
#include "acquisition/moteur.h"
#include "app/principale.h"
#include "acquisition/planning.h"
#include "bench/bench_support.h"
#include "device/usbfs.h"
#include "emulator/recorder.h"
#include "tools/record_run.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <sys/resource.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace bench;

// ------------------------------------------------------------------ measurements
int mesure_record(Banc &b, const QString &dossier, double secondes, bool reference_d_abord, bool froid, bool strict)
{
    b.regle(0, secondes, true);
    const QString dat = QDir(dossier).filePath(QStringLiteral("bench_run.dat"));
    const QString ref = QDir(dossier).filePath(QStringLiteral("bench_reference.bin"));
    efface(dat);
    QFile::remove(ref);
    b.fichier = dat;
    // Page cache that has not been used for a while costs far more to fill here: on a
    // virtual machine that reports free pages to its host, the host backs them again on first
    // touch. So each timed write (the run's and the reference's) starts right after an
    // untimed write of the same size has been deleted, and both fill the same kind of pages.
    const uint64_t prevu = uint64_t(b.w->moteur.diagnostic().count) * 257 * 4;
    const QString chaud = QDir(dossier).filePath(QStringLiteral("bench_warm.bin"));
    // With `froid`, each timed write follows a 5 s pause instead: the pages it fills are cold,
    // as in a long recording.
    auto rechauffe = [&] {
        ::sync();
        if (froid) {
            usleep(5000000);
            return;
        }
        ecriture_simple(chaud, prevu);
        QFile::remove(chaud);
    };
    double t_ref = 0;
    if (reference_d_abord) {
        rechauffe();
        t_ref = ecriture_simple(ref, prevu);
        QFile::remove(ref);
    }

    b.w->button_Fichier->click();
    if (!b.w->moteur.diagnostic().fichiers_ouverts)
        echec("cannot create the run's files in " + dossier.toStdString());
    rechauffe();

    // The program's run: from the click to the files closed, and from the recorder's first
    // byte (watched from a thread of our own, off the window's thread) to the files closed.
    const uint64_t deja = b.rec->bytes_streamed(); // the probe's bytes at Init
    std::atomic<double> t_flux{0};
    std::atomic<bool> fin{false};
    std::thread sonde([&] {
        while (!fin && b.rec->bytes_streamed() == deja)
            usleep(200);
        t_flux = maintenant_s();
    });
    const auto cpu_avant = fils();
    const double copie0 = b.rec->reap_copy_seconds();
    const double t0 = maintenant_s();
    b.w->button_Start->click();
    const double t1 = maintenant_s();
    const auto cpu_apres = fils();
    const double copie = b.rec->reap_copy_seconds() - copie0;
    fin = true;
    sonde.join();
    b.verifie("record");
    const uint64_t octets = b.w->moteur.diagnostic().octets_ecrits;
    const qint64 taille = QFileInfo(dat).size();
    if (octets == 0 || uint64_t(taille) != octets || octets != uint64_t(b.w->moteur.diagnostic().count) * 257 * 4)
        echec("record: .dat holds " + std::to_string(taille) + " bytes, ntw " + std::to_string(octets));
    const long hwm = statut_kb("VmHWM:");
    efface(dat);
    if (!reference_d_abord) {
        rechauffe();
        t_ref = ecriture_simple(ref, octets);
        QFile::remove(ref);
    }
    ::sync();

    const std::string prefixe = std::string("record") + (strict ? "strict" : "") + (froid ? "cold" : "");
    const char *p = prefixe.c_str();
    std::printf("%s_reference_first %d\n", p, reference_d_abord ? 1 : 0);
    std::printf("%s_bytes %llu\n", p, static_cast<unsigned long long>(octets));
    std::printf("%s_run_s %.4f\n", p, t1 - t0);
    std::printf("%s_stream_s %.4f\n", p, t1 - t_flux);
    std::printf("%s_run_MBps %.1f\n", p, double(octets) / (t1 - t0) / 1e6);
    std::printf("%s_stream_MBps %.1f\n", p, double(octets) / (t1 - t_flux) / 1e6);
    std::printf("%s_reference_write_s %.4f\n", p, t_ref);
    std::printf("%s_reference_write_MBps %.1f\n", p, double(octets) / t_ref / 1e6);
    std::printf("%s_reference_direct %d\n", p, reference_directe ? 1 : 0);
    std::printf("%s_vmhwm_kB %ld\n", p, hwm);
    // The emulator's own cost per byte: its copy of every transfer into the program's buffers
    // at the reap (the pool's, or the strict producer's kernel buffers').
    std::printf("%s_emulator_copy_s %.4f\n", p, copie);
    std::printf("%s_emulator_copy_MBps %.1f\n", p, copie > 0 ? double(octets) / copie / 1e6 : 0.0);
    rapporte_cpu(p, cpu_avant, cpu_apres, t1 - t0);
    rapporte_fils_run(p, b, t1 - t0);
    return 0;
}

// viz256-record's run in this process: what its threads cost beside the emulator's, as the
// window's in mesure_cpu (the same recorder in the same process, the same thread accounting).
int mesure_cli(emu::Recorder &rec, const QString &dossier, const char *secondes)
{
    QStringList args = {"--frequency", "50000", "--duration", QString::fromLatin1(secondes)};
    const QString dat = dossier.isEmpty() ? QString() : QDir(dossier).filePath(QStringLiteral("bench_cli.dat"));
    args += dat.isEmpty() ? QStringList{"--no-record"} : QStringList{"--out", dat, "--force"};
    const auto avant = fils();
    const double copie0 = rec.reap_copy_seconds();
    const double t0 = maintenant_s();
    const int statut = record_cli::execute(args);
    const double t1 = maintenant_s();
    const auto apres = fils();
    std::printf("cli_status %d\n", statut);
    std::printf("cli_run_s %.3f\n", t1 - t0);
    rapporte_cpu("cli", avant, apres, t1 - t0);
    std::printf("cli_reap_copy_pct %.3f\n", 100.0 * (rec.reap_copy_seconds() - copie0) / (t1 - t0));
    if (!dat.isEmpty())
        efface(dat);
    return statut == 0 ? 0 : 2;
}

int mesure_cpu(Banc &b, const QString &dossier, double secondes, bool memoire_appareil)
{
    b.regle(0, secondes, !dossier.isEmpty());
    QString dat;
    if (!dossier.isEmpty()) {
        dat = QDir(dossier).filePath(QStringLiteral("bench_cpu.dat"));
        efface(dat);
        b.fichier = dat;
    }
    std::printf("baseline_vmrss_kB %ld\n", statut_kb("VmRSS:"));
    std::printf("baseline_vmhwm_kB %ld\n", statut_kb("VmHWM:"));
    const auto avant = fils();
    const double copie0 = b.rec->reap_copy_seconds();
    const double t0 = maintenant_s();
    b.w->button_Start->click();
    const double t1 = maintenant_s();
    const auto apres = fils();
    b.verifie("cpu");
    const std::string prefixe = std::string(memoire_appareil ? "cpuzc" : "cpu") + (dat.isEmpty() ? "norec" : "");
    const char *p = prefixe.c_str();
    if (b.w->moteur.diagnostic().memoire_appareil != memoire_appareil)
        echec("cpu: the ring's buffers are not of the kind asked for");
    std::printf("%s_bytes %llu\n", p, static_cast<unsigned long long>(b.w->moteur.diagnostic().octets_recus));
    std::printf("%s_run_s %.3f\n", p, t1 - t0);
    rapporte_cpu(p, avant, apres, t1 - t0);
    rapporte_fils_run(p, b, t1 - t0);
    // The copy into ordinary buffers at the reap is the kernel's on Linux, in the thread that
    // reaps (the window's); the emulated recorder makes it on its own thread.
    std::printf("%s_reap_copy_pct %.3f\n", p, 100.0 * (b.rec->reap_copy_seconds() - copie0) / (t1 - t0));
    std::printf("%s_vmhwm_kB %ld\n", p, statut_kb("VmHWM:"));
    if (dat.isEmpty() || memoire_appareil)
        return 0;
    efface(dat);
    ::sync();

    // Reference: the same stream written by a plain loop at the same rate, 8 MiB every
    // 8 MiB / (257 x 4 x 50 000) s, each block freshly written by another thread (as the
    // recorder's data land in the transfer buffers) and then written to the folder with
    // O_DIRECT, as the program's writer does (the page cache where the folder refuses it); the
    // CPU of the writing thread for at most 20 s.
    const QString ref = QDir(dossier).filePath(QStringLiteral("bench_cpu_reference.bin"));
    const QByteArray nom = QFile::encodeName(ref);
    int fd = ::open(nom.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_DIRECT, 0644);
    const bool direct = fd >= 0;
    if (!direct)
        fd = ::open(nom.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        echec("cpu reference: cannot create " + ref.toStdString());
    const size_t bloc = Principale::TAILLE_PAQUET;
    const double periode = double(bloc) / (257.0 * 4.0 * 50000.0);
    const double duree_ref = std::min(20.0, secondes);
    std::vector<unsigned char *> anneau(Anneau::NB_SLOTS);
    for (unsigned char *&t : anneau) {
        void *m = nullptr;
        if (posix_memalign(&m, 4096, bloc) != 0)
            echec("cpu reference: no memory");
        t = static_cast<unsigned char *>(m);
    }
    double cpu = 0;
    const double r0 = maintenant_s();
    for (int k = 0; maintenant_s() - r0 < duree_ref; ++k) {
        unsigned char *t = anneau[size_t(k) % anneau.size()];
        std::thread remplit([t, k, bloc] {
            for (size_t i = 0; i < bloc; i += 4) {
                const uint32_t v = uint32_t(k) * 2654435761u + uint32_t(i);
                std::memcpy(&t[i], &v, 4);
            }
        });
        remplit.join();
        timespec c0{}, c1{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
        if (::write(fd, t, bloc) != ssize_t(bloc))
            echec(std::string("cpu reference: write failed: ") + std::strerror(errno));
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
        cpu += double(c1.tv_sec - c0.tv_sec) + double(c1.tv_nsec - c0.tv_nsec) * 1e-9;
        const double prochain = r0 + double(k + 1) * periode;
        const double attente = prochain - maintenant_s();
        if (attente > 0)
            usleep(useconds_t(attente * 1e6));
    }
    const double r1 = maintenant_s();
    ::close(fd);
    for (unsigned char *t : anneau)
        std::free(t);
    QFile::remove(ref);
    std::printf("cpu_reference_write_pct %.3f\n", 100.0 * cpu / (r1 - r0));
    std::printf("cpu_reference_direct %d\n", direct ? 1 : 0);
    return 0;
}

int mesure_latence(Banc &b, int hz, double secondes)
{
    if (hz != 2000 && hz != 50000)
        echec("latency: 50000 or 2000 Hz");
    const int entree = hz == 2000 ? 16 : 0;
    b.regle(entree, secondes, false);
    if (std::abs(b.w->moteur.diagnostic().frequence - float(hz)) > 1.0f)
        echec("frequency " + std::to_string(b.w->moteur.diagnostic().frequence) + " instead of " + std::to_string(hz));

    // Longest gap between two ticks of a 10 ms timer, over the whole click and over the
    // streaming loop alone; also over 2 s of the idle window as a reference.
    // Beside each gap, the CPU the window's thread spent in it and the time it waited for a core
    // (runnable, not running: schedstat's second field): a gap made of that wait is other
    // processes on the machine, not the program's work.
    double dernier = 0, pire_run = 0, pire_flux = 0, cpu_dernier = 0, cpu_pire_flux = 0, occupe_flux = 0;
    double file_dernier = 0, file_pire_flux = 0;
    const auto file_fil = [] {
        FILE *f = std::fopen("/proc/thread-self/schedstat", "r");
        unsigned long long run = 0, attente = 0;
        if (f) {
            if (std::fscanf(f, "%llu %llu", &run, &attente) != 2)
                attente = 0;
            std::fclose(f);
        }
        return double(attente) * 1e-9;
    };
    bool dans_flux = false;
    const auto cpu_fil = [] {
        timespec c{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c);
        return double(c.tv_sec) + double(c.tv_nsec) * 1e-9;
    };
    QTimer t;
    t.setTimerType(Qt::PreciseTimer);
    QObject::connect(&t, &QTimer::timeout, [&] {
        const double n = maintenant_s(), c = cpu_fil(), q = file_fil();
        if (dernier != 0) {
            const double g = n - dernier;
            pire_run = std::max(pire_run, g);
            if (dans_flux && b.w->moteur.diagnostic().started) {
                if (g > pire_flux) {
                    pire_flux = g;
                    cpu_pire_flux = c - cpu_dernier;
                    file_pire_flux = q - file_dernier;
                }
                occupe_flux = std::max(occupe_flux, c - cpu_dernier);
            }
        }
        dans_flux = b.w->moteur.diagnostic().started;
        dernier = n;
        cpu_dernier = c;
        file_dernier = q;
    });
    t.start(10);
    const double r0 = maintenant_s();
    while (maintenant_s() - r0 < 2.0)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const double pire_repos = pire_run;
    pire_run = 0; // the first gap of the run spans the click's set-up before the streaming loop
    const uint32_t n_pkt_attendu = uint32_t((uint64_t(b.w->moteur.diagnostic().count) * 257 * 4 + Principale::TAILLE_PAQUET - 1) / Principale::TAILLE_PAQUET);
    b.w->button_Start->click();
    t.stop();
    b.verifie("latency");
    if (b.w->moteur.diagnostic().octets_recus != uint64_t(b.w->moteur.diagnostic().count) * 257 * 4)
        echec("latency: incomplete run");
    const char *p = hz == 2000 ? "latency2000" : "latency50000";
    std::printf("%s_packets %u\n", p, n_pkt_attendu);
    std::printf("%s_idle_gap_ms %.2f\n", p, pire_repos * 1e3);
    std::printf("%s_run_gap_ms %.2f\n", p, pire_run * 1e3);
    std::printf("%s_stream_gap_ms %.2f\n", p, pire_flux * 1e3);
    std::printf("%s_stream_delay_ms %.2f\n", p, std::max(0.0, pire_flux * 1e3 - 10.0));
    std::printf("%s_stream_gap_cpu_ms %.2f\n", p, cpu_pire_flux * 1e3);
    std::printf("%s_stream_gap_runqueue_ms %.2f\n", p, file_pire_flux * 1e3);
    std::printf("%s_stream_busy_ms %.2f\n", p, occupe_flux * 1e3);
    return 0;
}

// Longest stall of the data file the run rides out with no frame lost, in a paced recorded
// run of 257 words at 50 kHz: the writer stops at its first write and stays stopped until the
// run stops itself (the reserve in memory 90 % full); then every frame received must reach
// the file, with an unbroken counter.
int mesure_calage(Banc &b, const QString &dossier)
{
    if (fumee()) // a reserve of two packets: ridden out in a fraction of a second
        moteur::Moteur::memoire_physique_hook = [] { return 4ull * 2 * Principale::TAILLE_PAQUET; };
    b.regle(0, 120.0, true);
    const QString dat = QDir(dossier).filePath(QStringLiteral("bench_stall.dat"));
    efface(dat);
    b.fichier = dat;
    std::atomic<bool> relache{false};
    std::atomic<double> debut{0};
    Ecrivain::avant_ecriture = [&](uint64_t position) {
        if (position != 0)
            return;
        debut = maintenant_s();
        while (!relache && maintenant_s() - debut < 120.0)
            usleep(1000);
    };
    double t_arret = 0;
    QTimer guet;
    QObject::connect(&guet, &QTimer::timeout, [&] {
        if (t_arret == 0 && b.w->moteur.diagnostic().stopped) {
            t_arret = maintenant_s();
            relache = true;
        }
    });
    guet.start(5);
    const uint64_t perdues_avant = b.rec->frames_dropped();
    b.w->button_Start->click();
    guet.stop();
    relache = true;
    Ecrivain::avant_ecriture = nullptr;
    if (!b.vides())
        echec("stall: alert " + b.alertes.join('|').toStdString());
    // Every frame received reached the file, and the counter runs unbroken through it.
    const uint64_t ntr = b.w->moteur.diagnostic().octets_recus, ntw = b.w->moteur.diagnostic().octets_ecrits;
    QFile f(dat);
    if (!f.open(QIODevice::ReadOnly) || uint64_t(f.size()) != ntw)
        echec("stall: the file does not hold what was written");
    const uint64_t trame = 257 * 4;
    uint64_t trames = 0, ruptures = 0;
    uint32_t attendu = 0;
    std::vector<char> tampon(trame * 8192);
    for (;;) {
        const qint64 n = f.read(tampon.data(), qint64(tampon.size()));
        if (n <= 0)
            break;
        for (qint64 i = 0; i + qint64(trame) <= n; i += qint64(trame)) {
            uint32_t v;
            std::memcpy(&v, tampon.data() + i, 4);
            if (trames > 0 && v != attendu)
                ++ruptures;
            attendu = v + 1;
            ++trames;
        }
    }
    f.close();
    efface(dat);
    const uint64_t perdues = b.rec->frames_dropped() - perdues_avant;
    const bool sans_perte = ntw == ntr && ruptures == 0 && perdues == 0 &&
                            !Principale::console_text.contains(QStringLiteral("Erreur sur le compteur"));
    std::printf("stall_ridden_s %.2f\n", t_arret > 0 ? t_arret - debut : 0.0);
    std::printf("stall_reserve_packets %u\n", b.w->moteur.diagnostic().capacite);
    std::printf("stall_queue_max_packets %u\n", b.w->moteur.diagnostic().file_max);
    std::printf("stall_lossless %d\n", sans_perte ? 1 : 0);
    std::printf("stall_counter_breaks %llu\n", (unsigned long long)ruptures);
    std::printf("stall_frames_lost %llu\n", (unsigned long long)perdues);
    std::printf("stall_vmhwm_kB %ld\n", statut_kb("VmHWM:"));
    return 0;
}

// Longest block of the window's thread, in a paced run of 257 words at 50 kHz, that loses no
// frame: the space left in the ring when the block begins (7 to 8 packets of 163 ms) and the
// recorder's own buffer. Searched by halving, 10 ms apart.
int mesure_blocage(Banc &b)
{
    b.regle(0, fumee() ? 1.0 : 3.0, false);
    int sans_perte = 0, avec_perte = 3000;
    while (avec_perte - sans_perte > 10) {
        const int ms = fumee() ? 100 : (sans_perte + avec_perte) / 2;
        const uint64_t avant = b.rec->frames_dropped();
        QTimer::singleShot(700, b.w, [ms] { QThread::msleep(ms); });
        b.w->button_Start->click();
        const uint64_t perdues = b.rec->frames_dropped() - avant;
        b.alertes.clear();
        std::printf("block_trial_ms %d frames_lost %llu\n", ms, (unsigned long long)perdues);
        (perdues ? avec_perte : sans_perte) = ms;
        if (fumee())
            break;
    }
    std::printf("block_lossless_ms %d\n", sans_perte);
    std::printf("block_ring_ms %.1f\n", planning::duree_anneau_ms(257, 50000.0f));
    return 0;
}

int mesure_repos(Banc &, double secondes)
{
    // Let the window settle after Init, then measure the event loop alone.
    QElapsedTimer e;
    e.start();
    while (e.elapsed() < 1000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    const auto avant = fils();
    const double t0 = maintenant_s();
    QTimer::singleShot(int(secondes * 1000), qApp, &QCoreApplication::quit);
    QApplication::exec();
    const double t1 = maintenant_s();
    rapporte_cpu("idle", avant, fils(), t1 - t0);
    return 0;
}

void usage()
{
    std::fprintf(stderr, "usage: bench_run record DIR SECONDS [reference-first] [cold] [strict] | cpu DIR|- SECONDS [device-memory] | cli DIR|- SECONDS | latency HZ SECONDS | tap DIR|- SECONDS READERS | idle SECONDS | block | stall DIR\n");
    std::exit(1);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || (argc < 3 && std::strcmp(argv[1], "block") != 0))
        usage();
    const std::string mode = argv[1];
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    bool memoire_appareil = false;
    if (mode == "cpu" && argc == 5 && std::strcmp(argv[4], "device-memory") == 0) {
        memoire_appareil = true;
        --argc;
    }
    bool strict = false;
    for (int i = 4; mode == "record" && i < argc; ++i)
        strict = strict || std::strcmp(argv[i], "strict") == 0;
    // The tap's readers start first, as processes of their own (before any thread is made).
    if (mode == "tap" && argc == 5)
        lance_lecteurs_tap(std::atoi(argv[4]), std::atof(argv[3]) + 120.0);
    emu::Options o;
    o.paced = mode != "record";
    o.pooled_stream = mode == "record" && !strict;
    o.device_memory = memoire_appareil;
    o.usbfs_memory_mb = usbfs::LIMITE_REGLE_MO;   // a set-up workstation
    emu::Recorder &rec = emu::Recorder::start(o);
    for (const auto &[tid, f] : fils())
        if (tid != int(getpid()))
            fils_emulateur.insert(tid);
    std::printf("emulator_fifo %d\n", rec.fifo_wakeups() ? 1 : 0);

    if (mode == "cli" && argc == 4) {
        QCoreApplication app(argc, argv);
        return mesure_cli(rec, std::strcmp(argv[2], "-") == 0 ? QString() : QString::fromLocal8Bit(argv[2]), argv[3]);
    }
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    QApplication app(argc, argv);
    Banc b;
    b.rec = &rec;
    b.ouvre();

    int r = 0;
    bool d_abord = false, froid = false, options_ok = true;
    for (int i = 4; mode == "record" && i < argc; ++i) {
        if (std::strcmp(argv[i], "reference-first") == 0)
            d_abord = true;
        else if (std::strcmp(argv[i], "cold") == 0)
            froid = true;
        else if (std::strcmp(argv[i], "strict") != 0)
            options_ok = false;
    }
    if (mode == "record" && argc >= 4 && options_ok)
        r = mesure_record(b, QString::fromLocal8Bit(argv[2]), std::atof(argv[3]), d_abord, froid, strict);
    else if (mode == "cpu" && argc == 4)
        r = mesure_cpu(b, std::strcmp(argv[2], "-") == 0 ? QString() : QString::fromLocal8Bit(argv[2]), std::atof(argv[3]),
                       memoire_appareil);
    else if (mode == "latency" && argc == 4)
        r = mesure_latence(b, std::atoi(argv[2]), std::atof(argv[3]));
    else if (mode == "tap" && argc == 5)
        r = mesure_tap(b, std::strcmp(argv[2], "-") == 0 ? QString() : QString::fromLocal8Bit(argv[2]), std::atof(argv[3]));
    else if (mode == "stall" && argc == 3)
        r = mesure_calage(b, QString::fromLocal8Bit(argv[2]));
    else if (mode == "idle" && argc == 3)
        r = mesure_repos(b, std::atof(argv[2]));
    else if (mode == "block")
        r = mesure_blocage(b);
    else
        usage();
    std::fflush(stdout);
    delete b.w;
    return r;
}
