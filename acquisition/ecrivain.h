#pragma once
// The data-file writer: a pool of packet buffers and a queue that one thread empties into the
// data file, so the ring never waits for the disk.
//
// The data path (the completion routine) takes free buffers with prend() and hands filled ones
// over with depose(); the writer thread writes them in order and puts them back in the pool.
// Nothing else is shared: the queue and the pool are under one lock, the counters other
// threads read are atomics. The writer thread only writes: it makes no buffer.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

struct iovec;

class Ecrivain {
public:
    static constexpr uint32_t TAILLE_TAMPON = 8388608; // one packet: the largest buffer
    static constexpr uint32_t BLOC_DIRECT = 4096;      // alignment of direct writes
    static constexpr int LOT = 8;                      // packets written in one call at most

    Ecrivain() = default;
    ~Ecrivain();
    Ecrivain(const Ecrivain &) = delete;
    Ecrivain &operator=(const Ecrivain &) = delete;

    // Buffers this pool may hold at most (the ring's own plus the queue's) and their size (a
    // multiple of BLOC_DIRECT, at most TAILLE_TAMPON); resets the counts. Only while no buffer
    // is out (the pool is empty).
    void dimensionne(uint32_t max_tampons, uint32_t capacite_file, uint32_t taille = TAILLE_TAMPON);
    uint32_t taille_tampon() const { return taille; }
    // A free buffer (aligned for direct writes), made when the pool has none, is below its size
    // and `nouveau_permis`; nullptr when every buffer is in use (or may not be made) or memory
    // is short. Buffers written are taken again before any is made: a new one costs its pages.
    unsigned char *prend(bool nouveau_permis = true);
    // Gives back a buffer that holds no data to write.
    void rend(unsigned char *tampon);

    // Starts the thread that writes to the open descriptor `fd`, with O_DIRECT where the file
    // system takes it.
    void demarre(int fd);
    // Queues `len` bytes of `tampon` for writing; the buffer returns to the pool once written.
    void depose(unsigned char *tampon, uint32_t len);
    // Waits until every queued packet is written, then stops the thread.
    void arrete();
    // Gives up what is still queued: nothing more is written in this run (a write in progress
    // ends first), and the queue empties at once.
    void abandonne() { abandon = true; }
    bool actif() const { return fil.joinable(); }
    // Forgets a buffer, which its new owner frees with std::free.
    void oublie(const unsigned char *tampon);
    // Frees every buffer of the pool but those of `garde` (still with the USB library: they
    // are left allocated rather than freed under its feet).
    void libere(const unsigned char *const *garde = nullptr, int n = 0);

    uint32_t capacite() const { return capacite_file; }
    uint32_t en_file() const { return file_n.load(std::memory_order_relaxed); } // queued or being written
    uint64_t octets_en_file() const { return octets_file.load(std::memory_order_relaxed); }
    uint32_t file_max() const { return max_vu.load(std::memory_order_relaxed); } // largest queue of the run
    uint32_t tampons_faits() const
    {
        std::lock_guard<std::mutex> l(mu);
        return faits;
    }

    std::atomic<uint64_t> ecrits{0};   // bytes that reached the file
    std::atomic<bool> erreur{false};   // a write failed: nothing more is written in this run
    std::atomic<int> erreur_errno{0};
    std::atomic<bool> direct{false};   // writes go round the page cache
    std::atomic<bool> abandon{false};  // abandonne(): the queue is dropped, not written
    std::atomic<uint64_t> cpu_ns{0};   // CPU time of the writer thread of the last run, once it has ended

    static uint64_t cpu_fil_ns(); // CPU time of the calling thread
    // Called on the writer thread each time written buffers have gone back to the pool (set
    // while no writer runs).
    std::function<void()> tampons_rendus;

    // Test seam: called on the writer thread before each write, with the file offset.
    static std::function<void(uint64_t position)> avant_ecriture;
    // Test seam: when set, takes the place of fcntl(fd, F_SETFL, drapeaux) when the writer
    // turns O_DIRECT on (a file system that refuses it answers -1, errno EINVAL).
    static std::function<int(int fd, int drapeaux)> fixe_drapeaux;

private:
    struct Paquet {
        unsigned char *tampon;
        uint32_t len;
    };
    unsigned char *nouveau(uint32_t octets);
    void boucle(int fd);
    bool ecrit(int fd, iovec *v, int n);
    void sans_direct(int fd);

    mutable std::mutex mu;
    std::condition_variable cv;
    std::deque<Paquet> file;
    std::vector<unsigned char *> libres;
    std::vector<unsigned char *> tous;
    bool fin = false;
    uint32_t max_tampons = 0;
    uint32_t capacite_file = 0;
    uint32_t faits = 0;
    uint32_t taille = TAILLE_TAMPON;
    std::atomic<uint32_t> file_n{0};
    std::atomic<uint64_t> octets_file{0};
    std::atomic<uint32_t> max_vu{0};
    std::thread fil;
};
