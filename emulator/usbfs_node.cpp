// The usbfs node: the ioctls libusb makes on the device node (capabilities, claims, submission,
// reap and discard of URBs), the kernel's buffers of in-flight bulk URBs copied into the client's
// at the reap, and the FIFO that wakes the host when something is reapable.
#include "emulator/recorder_impl.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emu {

// Replaces umockdev's regular-file node by a FIFO that we keep full while nothing is
// reapable. On any failure the regular file stays (libusb then spins, but works).
void Recorder::Impl::make_fifo()
{
    const std::string path = bench.root_dir + node;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    if (::unlink(path.c_str()) != 0)
        return;
    if (::mkfifo(path.c_str(), 0666) != 0) {
        std::fprintf(stderr, "emulated recorder: no FIFO (%s); polling will spin\n", std::strerror(errno));
        int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0)
            ::close(fd);
        return;
    }
    fifo = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo < 0)
        return;
    fifo_ready = true;
    update_fifo();
}

// A kernel buffer for a bulk IN URB (usbfs allocates one per submission; we keep a few).
std::unique_ptr<uint8_t[]> Recorder::Impl::take_kernel(uint32_t len)
{
    for (size_t i = 0; i < spare_kernel.size(); ++i)
        if (spare_kernel_len[i] == len) {
            auto b = std::move(spare_kernel[i]);
            spare_kernel.erase(spare_kernel.begin() + long(i));
            spare_kernel_len.erase(spare_kernel_len.begin() + long(i));
            return b;
        }
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[len]);
}

// The URB leaves the recorder: what arrived is copied into the client's buffer (the reap),
// or was there already (device memory). `to_client` is false when the client is gone. In the
// benchmark's mode a bulk URB's data come from the pool at this point, by the same one copy.
void Recorder::Impl::finish_buffer(Urb &r, bool to_client)
{
    if ((r.kernel || r.pooled) && to_client && r.length > 0) {
        timespec c0{}, c1{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
        const uint32_t at = r.control_in ? 8 : 0;   // a control buffer starts with its setup
        const auto deliver = [&](uint8_t *to) {
            if (r.kernel)
                std::memcpy(to, r.kernel.get(), r.length);
            else
                pool.copy(source, to, r.stream_pos, r.length);
        };
        if (r.data) {
            // Another process: umockdev fetches the client's buffer, and writes it back
            // with the data when the reap completes.
            GError *e = nullptr;
            if (UMockdevIoctlData *b = umockdev_ioctl_data_resolve(r.data, offsetof(usbdevfs_urb, buffer), at + r.length, &e)) {
                deliver(b->data + at);
                g_object_unref(b);
            } else {
                std::fprintf(stderr, "emulated recorder: cannot reach the host's buffer: %s\n", e ? e->message : "?");
                g_clear_error(&e);
            }
        } else {
            ignore_writes_begin();
            deliver(static_cast<uint8_t *>(r.u->buffer) + at);
            ignore_writes_end();
        }
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
        reap_copy_s += double(c1.tv_sec - c0.tv_sec) + double(c1.tv_nsec - c0.tv_nsec) * 1e-9;
    }
    if (r.kernel) {
        if (!r.control_in && spare_kernel.size() < 16) {
            spare_kernel.push_back(std::move(r.kernel));
            spare_kernel_len.push_back(uint32_t(r.u->buffer_length));
        }
        r.kernel.reset();
    }
    if (r.data && !to_client) {   // a reaped URB's goes with the reap's completion
        g_object_unref(r.data);
        r.data = nullptr;
    }
    if (r.mapping) {
        --r.mapping->urbs;
        drop_mapping_if_done(r.mapping);
        r.mapping = nullptr;
    }
    r.dest = nullptr;
}

bool Recorder::Impl::head_due() const
{
    if (paced || phase != Phase::Running || silence || stall || gone || source.words() == 0)
        return false;
    return head() != nullptr;
}

bool Recorder::Impl::reapable() const
{
    if (head_due())
        return true;
    for (const std::list<Urb> *l : {&controls, &bulk})
        for (const Urb &r : *l)
            if (r.done || r.discarded)
                return true;
    return false;
}

void Recorder::Impl::update_fifo()
{
    if (fifo < 0)
        return;
    const bool want = reapable();
    if (want && !fifo_ready) {
        char buf[65536];
        while (::read(fifo, buf, sizeof buf) > 0) {
        }
        fifo_ready = true;
    } else if (!want && fifo_ready) {
        static const char zeros[4096] = {};
        while (::write(fifo, zeros, sizeof zeros) > 0) {
        }
        fifo_ready = false;
    }
}

void Recorder::Impl::changed()
{
    update_fifo();
    cv.notify_all();
}

gboolean Recorder::Impl::on_ioctl_cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p)
{
    ignore_accesses_begin();
    static_cast<Impl *>(p)->on_ioctl(client);
    ignore_accesses_end();
    return TRUE;
}

void Recorder::Impl::on_vanished_cb(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p)
{
    Impl *d = static_cast<Impl *>(p);
    std::lock_guard<std::mutex> lock(d->mu);
    if (d->claimed_by == client) // closing the descriptor releases its interfaces
        d->claimed_by = nullptr;
    const auto gone_with_client = [d, client](Urb &r) {
        if (r.client != client)
            return false;
        d->usbfs_release(r);
        d->finish_buffer(r, false);
        return true;
    };
    d->controls.remove_if(gone_with_client);
    d->bulk.remove_if(gone_with_client);
    d->changed();
}

// The memory an ioctl's argument points to: the client's own in this process; across
// processes a local copy that umockdev fetched and writes back at the completion (held in
// `held` until then).
void *Recorder::Impl::argument(UMockdevIoctlData *arg, size_t len, std::vector<UMockdevIoctlData *> &held)
{
    if (!arg || !arg->data || size_t(arg->data_len) < sizeof(void *))
        return nullptr;
    if (!bench.remote) {
        void *p = nullptr;
        std::memcpy(&p, arg->data, sizeof p);
        return p;
    }
    GError *e = nullptr;
    UMockdevIoctlData *c = umockdev_ioctl_data_resolve(arg, 0, len, &e);
    if (!c) {
        g_clear_error(&e);
        return nullptr;
    }
    held.push_back(c);
    return c->data;
}

void Recorder::Impl::on_ioctl(UMockdevIoctlClient *client)
{
    std::lock_guard<std::mutex> lock(mu);
    if (!worker)
        worker = g_main_context_ref_thread_default();
    const unsigned long req = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    void *value = nullptr;   // the argument itself (an address in the client)
    if (arg && arg->data && size_t(arg->data_len) >= sizeof(void *))
        std::memcpy(&value, arg->data, sizeof value);
    std::vector<UMockdevIoctlData *> held;

    long res = 0;
    int err = 0;
    switch (req) {
    case USBDEVFS_GET_CAPABILITIES:
        if (gone) {
            res = -1, err = ENODEV;
        } else if (auto *caps = static_cast<uint32_t *>(argument(arg, sizeof(uint32_t), held))) {
            *caps = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        } else {
            res = -1, err = EFAULT;
        }
        break;
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
        if (gone) {
            err = ENODEV;
        } else {
            const auto *n = static_cast<const unsigned *>(argument(arg, sizeof(unsigned), held));
            if (!n)
                err = EFAULT;
            else if (*n != 0)
                err = EINVAL;
            else
                err = req == USBDEVFS_CLAIMINTERFACE ? claim(client) : release(client);
        }
        res = err ? -1 : 0;
        break;
    case USBDEVFS_CLEAR_HALT:
        if (gone)
            res = -1, err = ENODEV;
        else
            stall = false;
        break;
    case USBDEVFS_SUBMITURB:
        if (gone) {
            err = ENODEV;
        } else if (!bench.remote) {
            err = submit(client, static_cast<usbdevfs_urb *>(value), value, nullptr);
        } else {
            // The URB stays fetched until it is reaped: its reap writes it back.
            GError *e = nullptr;
            UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &e);
            g_clear_error(&e);
            err = d ? submit(client, reinterpret_cast<usbdevfs_urb *>(d->data), value, d) : EFAULT;
            if (err && d)
                g_object_unref(d);
        }
        res = err ? -1 : 0;
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        // libusb only reaps without delay; a blocking reap is answered the same way.
        err = reap(client, arg, held);
        res = err ? -1 : 0;
        break;
    case USBDEVFS_DISCARDURB:
        err = gone ? ENODEV : discard(client, value);
        res = err ? -1 : 0;
        break;
    default:
        res = -1;
        err = gone ? ENODEV : ENOTTY;
        if (std::getenv("VIZ256_EMU_DEBUG"))
            std::fprintf(stderr, "emulated recorder: ioctl 0x%lx not handled\n", req);
        break;
    }
    umockdev_ioctl_client_complete(client, res, err);
    for (UMockdevIoctlData *c : held)
        g_object_unref(c);
    changed();
}

int Recorder::Impl::submit(UMockdevIoctlClient *client, usbdevfs_urb *u, void *id, UMockdevIoctlData *data)
{
    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (u->buffer_length < 8)
            return EINVAL;
        const uint8_t *s = static_cast<const uint8_t *>(u->buffer);
        UMockdevIoctlData *fetched = nullptr;
        if (data) {
            GError *e = nullptr;
            fetched = umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), size_t(u->buffer_length), &e);
            g_clear_error(&e);
            if (!fetched)
                return EFAULT;
            s = fetched->data;
        }
        const int e = submit_control(client, u, s, id, data);
        if (fetched)
            g_object_unref(fetched);
        return e;
    }
    if (u->type == USBDEVFS_URB_TYPE_BULK) {
        if (u->endpoint != kBulkIn)
            return ENOENT;
        // usbfs claims the endpoint's interface for a descriptor that uses it unclaimed,
        // and refuses when another descriptor holds it.
        if (const int e = claim(client))
            return e;
        if (u->buffer_length < 0)
            return EINVAL;
        const uint32_t len = uint32_t(u->buffer_length);
        Urb b;
        bool partial = false;
        b.mapping = data ? nullptr : mapping_of(u->buffer, len, partial);
        if (partial)
            return EINVAL;   // usbfs: a buffer must lie wholly inside one mapping, or outside all
        // In device memory the buffer is charged with its mapping, and needs no
        // scatter-gather list: the URB costs its records only.
        b.usbfs = b.mapping ? kUrbRecords : usbfs_charge(u);
        if (!usbfs_take(b.usbfs))
            return ENOMEM;
        if (b.mapping) {
            ++b.mapping->urbs;
            b.dest = static_cast<uint8_t *>(u->buffer);
        } else if (len > 0 && pooled) {
            b.pooled = true;   // its data are written at the reap, from the pool
        } else if (len > 0) {
            b.kernel = take_kernel(len);
            if (!b.kernel) {
                usbfs_give(b.usbfs);
                return ENOMEM;
            }
            b.dest = b.kernel.get();
        }
        b.client = client;
        b.u = u;
        b.id = id;
        b.data = data;
        bulk.push_back(std::move(b));
        pump();
        return 0;
    }
    return EINVAL;
}

int Recorder::Impl::claim(UMockdevIoctlClient *client)
{
    if (claimed_by && claimed_by != client)
        return EBUSY;
    claimed_by = client;
    return 0;
}

// Releasing the interface kills the URBs still queued on its endpoint, as usbfs does: they
// come back cancelled, with what they held, and keep their memory until they are reaped.
int Recorder::Impl::release(UMockdevIoctlClient *client)
{
    if (claimed_by != client)
        return EINVAL;
    claimed_by = nullptr;
    for (Urb &r : bulk)
        if (r.client == client && !r.done && !r.discarded) {
            r.discarded = true;
            r.status = -ENOENT;
            r.length = r.filled;
        }
    return 0;
}

int Recorder::Impl::reap(UMockdevIoctlClient *client, UMockdevIoctlData *arg, std::vector<UMockdevIoctlData *> &held)
{
    Urb *pick = nullptr;
    std::list<Urb> *from = nullptr;
    for (Urb &r : controls)
        if (r.client == client && (r.done || r.discarded)) {
            pick = &r;
            from = &controls;
            break;
        }
    if (!pick) {
        // Bulk URBs come back in submission order: the first one that is completed or
        // discarded, or else the head, filled now when the stream runs unpaced.
        Urb *first_pending = nullptr;
        for (Urb &r : bulk) {
            if (r.client != client)
                continue;
            if (r.done || r.discarded) {
                pick = &r;
                break;
            }
            if (!first_pending)
                first_pending = &r;
        }
        if (!pick && first_pending && head_due() && first_pending == head()) {
            sampled += produce(first_pending->u->buffer_length - first_pending->filled);
            pump();
            if (first_pending->done)
                pick = first_pending;
            else  // the stream ended or the device vanished meanwhile: look again
                for (Urb &r : bulk)
                    if (r.client == client && (r.done || r.discarded)) {
                        pick = &r;
                        break;
                    }
        }
        from = &bulk;
        if (pick && reap_fails)
            return EIO;
    }
    if (!pick)
        return gone ? ENODEV : EAGAIN;
    void **out = static_cast<void **>(argument(arg, sizeof(void *), held));
    if (!out)
        return EFAULT;
    finish_buffer(*pick, true);
    pick->u->status = pick->status;
    pick->u->actual_length = int(pick->length);
    if (pick->data) {
        // The slot gets the URB's address in the client, and the URB (status, length, the
        // buffer's data) is written back with the completion.
        umockdev_ioctl_data_set_ptr(held.back(), 0, pick->data);
        held.push_back(pick->data);
        pick->data = nullptr;
    } else {
        *out = pick->u;
    }
    usbfs_release(*pick);
    for (auto it = from->begin(); it != from->end(); ++it)
        if (&*it == pick) {
            from->erase(it);
            break;
        }
    return 0;
}

int Recorder::Impl::discard(UMockdevIoctlClient *client, void *u)
{
    for (Urb &r : controls)
        if (r.client == client && r.id == u) {
            if (r.done || r.discarded)
                return EINVAL;
            r.discarded = true;
            r.status = -ENOENT;
            r.length = 0;
            return 0;
        }
    for (Urb &r : bulk)
        if (r.client == client && r.id == u) {
            if (r.done || r.discarded)
                return EINVAL;   // already completed: the host will reap it
            r.discarded = true;
            r.status = -ENOENT;
            r.length = r.filled;
            return 0;
        }
    return EINVAL;
}

bool Recorder::fifo_wakeups() const { LOCKED; return d->fifo >= 0; }
int Recorder::pending_transfers() const
{
    LOCKED;
    return int(d->bulk.size());
}

double Recorder::reap_copy_seconds() const { LOCKED; return d->reap_copy_s; }

} // namespace emu
