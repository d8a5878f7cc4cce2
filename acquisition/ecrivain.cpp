// The data-file writer thread, its queue and its pool of packet buffers.
#include "acquisition/ecrivain.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <sys/uio.h>
#include <unistd.h>

std::function<void(uint64_t)> Ecrivain::avant_ecriture;
std::function<int(int, int)> Ecrivain::fixe_drapeaux;

Ecrivain::~Ecrivain()
{
    arrete();
    libere();
}

void Ecrivain::dimensionne(uint32_t max, uint32_t capacite, uint32_t octets)
{
    std::lock_guard<std::mutex> l(mu);
    max_tampons = max;
    taille = octets;
    capacite_file = capacite;
    max_vu = 0;
    ecrits = 0;
    erreur = false;
    erreur_errno = 0;
    abandon = false;
    direct = false;
}

unsigned char *Ecrivain::prend(bool nouveau_permis)
{
    std::lock_guard<std::mutex> l(mu);
    if (!libres.empty()) {
        unsigned char *p = libres.back();
        libres.pop_back();
        return p;
    }
    if (!nouveau_permis || tous.size() >= max_tampons)
        return nullptr;
    unsigned char *p = nouveau(taille);
    if (p) {
        tous.push_back(p);
        ++faits;
    }
    return p;
}

// Its pages are made by the first write into it (the reap's copy, or the controller's).
unsigned char *Ecrivain::nouveau(uint32_t octets)
{
    void *p = nullptr;
    if (posix_memalign(&p, BLOC_DIRECT, octets) != 0)
        return nullptr;
    return static_cast<unsigned char *>(p);
}

void Ecrivain::rend(unsigned char *tampon)
{
    if (!tampon)
        return;
    std::lock_guard<std::mutex> l(mu);
    libres.push_back(tampon);
}

void Ecrivain::oublie(const unsigned char *tampon)
{
    std::lock_guard<std::mutex> l(mu);
    tous.erase(std::remove(tous.begin(), tous.end(), tampon), tous.end());
    libres.erase(std::remove(libres.begin(), libres.end(), tampon), libres.end());
}

void Ecrivain::libere(const unsigned char *const *garde, int n)
{
    std::lock_guard<std::mutex> l(mu);
    for (unsigned char *p : tous)
        if (std::find(garde, garde + n, p) == garde + n)
            std::free(p);
    tous.clear();
    libres.clear();
    faits = 0;
}

void Ecrivain::demarre(int fd)
{
    arrete();
    {
        std::lock_guard<std::mutex> l(mu);
        fin = false;
    }
    cpu_ns = 0;
    // Direct writes need an aligned file offset; a file system that refuses the flag
    // (tmpfs on older kernels, some network file systems) keeps the page cache.
    const off_t pos = ::lseek(fd, 0, SEEK_CUR);
    const int fl = ::fcntl(fd, F_GETFL);
    const auto fixe = [fd](int drapeaux) { return fixe_drapeaux ? fixe_drapeaux(fd, drapeaux) : ::fcntl(fd, F_SETFL, drapeaux); };
    direct = pos >= 0 && pos % BLOC_DIRECT == 0 && fl != -1 && fixe(fl | O_DIRECT) == 0;
    fil = std::thread(&Ecrivain::boucle, this, fd);
}

void Ecrivain::depose(unsigned char *tampon, uint32_t len)
{
    {
        std::lock_guard<std::mutex> l(mu);
        file.push_back({tampon, len});
        const uint32_t n = file_n.fetch_add(1, std::memory_order_relaxed) + 1;
        octets_file.fetch_add(len, std::memory_order_relaxed);
        if (n > max_vu.load(std::memory_order_relaxed))
            max_vu.store(n, std::memory_order_relaxed);
    }
    cv.notify_one();
}

void Ecrivain::arrete()
{
    if (!fil.joinable())
        return;
    {
        std::lock_guard<std::mutex> l(mu);
        fin = true;
    }
    cv.notify_one();
    fil.join();
}

uint64_t Ecrivain::cpu_fil_ns()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

void Ecrivain::boucle(int fd)
{
    pthread_setname_np(pthread_self(), "viz256-ecriture");
    Paquet lot[LOT];
    iovec v[LOT];
    for (;;) {
        int n = 0;
        {
            std::unique_lock<std::mutex> l(mu);
            cv.wait(l, [this] { return fin || !file.empty(); });
            if (file.empty())
                break; // asked to stop and nothing left
            for (; n < LOT && n < int(file.size()); ++n)
                lot[n] = file[size_t(n)];
        }
        // After a failure the file keeps the unbroken part of the stream it holds.
        if (!erreur.load() && !abandon.load()) {
            for (int i = 0; i < n; ++i)
                v[i] = {lot[i].tampon, lot[i].len};
            ecrit(fd, v, n);
        }
        {
            std::lock_guard<std::mutex> l(mu);
            for (int i = 0; i < n; ++i) {
                file.pop_front();
                libres.push_back(lot[i].tampon);
                file_n.fetch_sub(1, std::memory_order_relaxed);
                octets_file.fetch_sub(lot[i].len, std::memory_order_relaxed);
            }
        }
        if (tampons_rendus)
            tampons_rendus();
    }
    // The file is closed with the ordinary flags, as it was opened.
    if (direct)
        sans_direct(fd);
    cpu_ns = cpu_fil_ns();
}

void Ecrivain::sans_direct(int fd)
{
    const int fl = ::fcntl(fd, F_GETFL);
    if (fl != -1)
        ::fcntl(fd, F_SETFL, fl & ~O_DIRECT);
    direct = false;
}

// Writes the packets in order, as few calls as it takes: whole aligned blocks directly, the
// packets that end on a block boundary all in one call; a partial tail through the page cache,
// after which the offset is no longer aligned, so the rest of the run goes that way too.
bool Ecrivain::ecrit(int fd, iovec *v, int n)
{
    if (avant_ecriture)
        avant_ecriture(ecrits.load());
    const auto aligne = [](const iovec &x, size_t taille) {
        return taille % BLOC_DIRECT == 0 && reinterpret_cast<uintptr_t>(x.iov_base) % BLOC_DIRECT == 0;
    };
    int k = 0; // first packet not wholly written
    while (k < n && !abandon.load()) {
        if (v[k].iov_len == 0) {
            ++k;
            continue;
        }
        const bool en_direct = direct.load(std::memory_order_relaxed);
        const iovec *appel = v + k;
        int m = n - k;
        iovec tete;
        if (en_direct) {
            m = 0;
            while (k + m < n && aligne(v[k + m], v[k + m].iov_len))
                ++m;
            if (m == 0) { // a packet with a tail: its whole blocks first
                tete = {v[k].iov_base, v[k].iov_len & ~size_t(BLOC_DIRECT - 1)};
                if (tete.iov_len == 0 || !aligne(tete, tete.iov_len)) {
                    sans_direct(fd);
                    continue;
                }
                appel = &tete;
                m = 1;
            }
        }
        const ssize_t r = ::writev(fd, appel, m);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && en_direct && errno == EINVAL) {
            // The file system refuses this direct write (or a size limit cut it off a block
            // boundary): the page cache takes over, silently.
            sans_direct(fd);
            continue;
        }
        if (r <= 0) {
            erreur_errno = r < 0 ? errno : ENOSPC;
            erreur = true;
            return false;
        }
        ecrits.fetch_add(uint64_t(r));
        for (size_t reste = size_t(r); reste > 0 && k < n;) {
            const size_t d = std::min(reste, v[k].iov_len);
            v[k].iov_base = static_cast<unsigned char *>(v[k].iov_base) + d;
            v[k].iov_len -= d;
            reste -= d;
            if (v[k].iov_len == 0)
                ++k;
        }
    }
    return true;
}
