// Device memory and the interposed calls: a usbfs mapping of the node (libusb_dev_mem_alloc) is
// memory charged to the usbfs budget that bulk URBs are filled in place in; the process's mmap,
// munmap, write and writev are interposed to model it (a direct write from it fails with EFAULT).
#include "emulator/recorder_impl.h"

#include <cerrno>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

namespace emu {

// libusb_dev_mem_alloc maps the device node (mmap, MAP_SHARED, offset 0) and frees it with
// munmap. These two definitions, in the executable, come before the C library's for every
// library of the process: a mapping of the emulated node becomes device memory, anything else
// goes on to the next definition (umockdev's preload has none; the sanitizers' or the C
// library's).
Recorder::Impl::MmapFn Recorder::Impl::real_mmap()
{
    static const MmapFn f = reinterpret_cast<MmapFn>(dlsym(RTLD_NEXT, "mmap"));
    return f;
}

Recorder::Impl::MunmapFn Recorder::Impl::real_munmap()
{
    static const MunmapFn f = reinterpret_cast<MunmapFn>(dlsym(RTLD_NEXT, "munmap"));
    return f;
}

// The mapping that holds [p, p + len): nullptr when none; `partial` when one holds only
// part of it (usbfs refuses such an URB).
Recorder::Impl::Mapping *Recorder::Impl::mapping_of(const void *p, size_t len, bool &partial)
{
    partial = false;
    const uint8_t *b = static_cast<const uint8_t *>(p);
    for (Mapping &m : mappings) {
        if (m.unmapped)
            continue;
        const bool starts = b >= m.addr && b < m.addr + m.len;
        const bool ends = b + len > m.addr && b + len <= m.addr + m.len;
        if (starts && ends)
            return &m;
        if (starts || ends || (b < m.addr && b + len > m.addr + m.len))
            partial = true;
    }
    return nullptr;
}

void Recorder::Impl::drop_mapping_if_done(Mapping *m)
{
    if (!m->unmapped || m->urbs > 0)
        return;
    usbfs_give(m->usbfs);
    real_munmap()(m->addr, m->len);
    std::lock_guard<std::mutex> lock(maps_mu);
    mappings.remove_if([m](const Mapping &x) { return &x == m; });
}

// usbfs mmap of the node: memory for the client's transfers, zeroed, charged to the budget.
void *Recorder::Impl::map_device_memory(size_t len, int prot, int &err)
{
    std::lock_guard<std::mutex> lock(mu);
    if (gone) {
        err = ENODEV;
        return nullptr;
    }
    const uint64_t charge = len + kMappingRecord;
    if (!device_memory || len == 0 || !usbfs_take(charge)) {
        err = ENOMEM;
        return nullptr;
    }
    void *p = real_mmap()(nullptr, len, prot, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        usbfs_give(charge);
        err = ENOMEM;
        return nullptr;
    }
    Mapping m;
    m.addr = static_cast<uint8_t *>(p);
    m.len = len;
    m.usbfs = charge;
    std::lock_guard<std::mutex> maps_lock(maps_mu);
    mappings.push_back(m);
    mapping_count.fetch_add(1);
    return p;
}

// True when [p, p + len) was a mapping of the node (now unmapped for the client).
bool Recorder::Impl::unmap_device_memory(void *p, size_t len)
{
    std::lock_guard<std::mutex> lock(mu);
    for (Mapping &m : mappings)
        if (!m.unmapped && m.addr == p && m.len == len) {
            m.unmapped = true;
            mapping_count.fetch_sub(1);
            drop_mapping_if_done(&m);
            return true;
        }
    return false;
}

// The kernel cannot pin device memory (a VM_IO mapping) for a direct write: such a write
// fails with EFAULT.
bool Recorder::Impl::in_device_memory(const void *p, size_t len)
{
    std::lock_guard<std::mutex> lock(maps_mu);   // not mu: the emulator itself writes under mu
    const uint8_t *b = static_cast<const uint8_t *>(p);
    for (const Mapping &m : mappings)
        if (b < m.addr + m.len && b + len > m.addr)
            return true;
    return false;
}

void Recorder::set_device_memory(bool on) { LOCKED; d->device_memory = on; }
bool Recorder::device_memory_possible() { return VIZ256_EMU_INTERPOSE != 0; }
uint64_t Recorder::device_memory_mapped() const
{
    LOCKED;
    uint64_t n = 0;
    for (const Impl::Mapping &m : d->mappings)
        if (!m.unmapped)
            n += m.len;
    return n;
}

} // namespace emu

// ThreadSanitizer's runtime intercepts these same functions by defining them in the executable's
// search order ahead of the C library; a definition here would replace its interceptors and the
// runtime would run uninitialised (it dies before main). In such a build the model is left out:
// a mapping of the node fails as the kernel fails it on a FIFO or a regular file, so the program
// uses ordinary memory, and device memory is never offered (Recorder::device_memory_possible).
#if VIZ256_EMU_INTERPOSE
extern "C" void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) noexcept
{
    using emu::Recorder;
    struct stat st {};
    if (fd >= 0 && (flags & MAP_SHARED) && emu::g_impl_count.load() > 0 && ::fstat(fd, &st) == 0) {
        Recorder::Impl *rec = nullptr;
        for (int i = 0; i < emu::g_impl_count.load() && !rec; ++i)
            if (Recorder::Impl *r = emu::g_impls[i].load();
                r && r->node_ino.load() == st.st_ino && r->node_dev.load() == st.st_dev)
                rec = r;
        if (rec) {
            int err = 0;
            void *p = rec->map_device_memory(len, prot, err);
            if (!p) {
                errno = err;
                return MAP_FAILED;
            }
            return p;
        }
    }
    return Recorder::Impl::real_mmap()(addr, len, prot, flags, fd, off);
}

extern "C" void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off64_t off) noexcept
{
    return mmap(addr, len, prot, flags, fd, off);
}

bool emu::Recorder::Impl::direct_write_from_device_memory(int fd, const struct iovec *v, int n)
{
    if (mapping_count.load() == 0)
        return false;
    bool dedans = false;
    for (int k = 0; k < g_impl_count.load(); ++k)
        if (Impl *r = g_impls[k].load())
            for (int i = 0; i < n && !dedans; ++i)
                dedans = v[i].iov_len > 0 && r->in_device_memory(v[i].iov_base, v[i].iov_len);
    if (!dedans)
        return false;
    const int fl = ::fcntl(fd, F_GETFL);
    return fl != -1 && (fl & O_DIRECT);
}

extern "C" ssize_t writev(int fd, const struct iovec *v, int n)
{
    using Fn = ssize_t (*)(int, const struct iovec *, int);
    static const Fn suivant = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "writev"));
    if (emu::Recorder::Impl::direct_write_from_device_memory(fd, v, n)) {
        errno = EFAULT;
        return -1;
    }
    return suivant(fd, v, n);
}

extern "C" ssize_t write(int fd, const void *p, size_t len)
{
    using Fn = ssize_t (*)(int, const void *, size_t);
    static const Fn suivant = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "write"));
    const iovec v{const_cast<void *>(p), len};
    if (emu::Recorder::Impl::direct_write_from_device_memory(fd, &v, 1)) {
        errno = EFAULT;
        return -1;
    }
    return suivant(fd, p, len);
}

extern "C" int munmap(void *addr, size_t len) noexcept
{
    using emu::Recorder;
    if (Recorder::Impl::mapping_count.load() > 0)
        for (int i = 0; i < emu::g_impl_count.load(); ++i)
            if (Recorder::Impl *r = emu::g_impls[i].load(); r && r->unmap_device_memory(addr, len))
                return 0;
    return Recorder::Impl::real_munmap()(addr, len);
}
#endif // VIZ256_EMU_INTERPOSE
