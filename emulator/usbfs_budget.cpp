// The host's usbfs budget: the kernel's cap on the memory of in-flight transfers (its
// usbfs_memory_mb parameter, one for every device and program) and what each URB and mapping is
// charged against it.
#include "emulator/recorder_impl.h"

#include <cstdio>

namespace emu {

void Recorder::Impl::write_usbfs_param(Bench &b, unsigned mb)
{
    if (FILE *f = std::fopen(b.usbfs_param.c_str(), "w")) {
        std::fprintf(f, "%u\n", mb);
        std::fclose(f);
    }
    b.usbfs_mb = mb;
}

// The kernel reads its parameter at every submission; so do we (a test may write the file).
unsigned Recorder::Impl::usbfs_limit_mb()
{
    if (FILE *f = std::fopen(bench.usbfs_param.c_str(), "r")) {
        unsigned v = 0;
        if (std::fscanf(f, "%u", &v) == 1)
            bench.usbfs_mb = v;
        std::fclose(f);
    }
    return bench.usbfs_mb;
}

uint64_t Recorder::Impl::usbfs_charge(const usbdevfs_urb *u)
{
    const uint64_t len = uint64_t(u->buffer_length);
    uint64_t c = kUrbRecords + len;
    if (u->type == USBDEVFS_URB_TYPE_BULK && len > kSgChunk)
        c += (len + kSgChunk - 1) / kSgChunk * kSgEntry;
    return c;
}

// False (ENOMEM for the host) when the URB would take the memory in flight past the cap.
bool Recorder::Impl::usbfs_take(uint64_t charge)
{
    const uint64_t cap = uint64_t(usbfs_limit_mb()) << 20;
    if (cap != 0 && bench.usbfs_used + bench.usbfs_elsewhere + charge > cap)
        return false;
    usbfs_used += charge;
    bench.usbfs_used += charge;
    return true;
}

void Recorder::Impl::usbfs_give(uint64_t charge)
{
    usbfs_used -= charge;
    bench.usbfs_used -= charge;
}

uint64_t Recorder::usbfs_in_use() const { LOCKED; return d->usbfs_used; }
uint64_t Recorder::usbfs_in_use_all() const { LOCKED; return d->bench.usbfs_used; }
void Recorder::set_usbfs_memory_mb(unsigned mb) { LOCKED; Impl::write_usbfs_param(d->bench, mb); }
void Recorder::set_usbfs_used_elsewhere(uint64_t bytes) { LOCKED; d->bench.usbfs_elsewhere = bytes; }

} // namespace emu
