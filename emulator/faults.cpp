// Fault injection: what tests make the recorder do wrong (silence, a wrong probe size, a counter
// jump, a vanished device, a stall, an odd transfer length, a failing reap, control requests left
// unanswered).
#include "emulator/recorder_impl.h"

namespace emu {

bool Recorder::vanished() const { LOCKED; return d->gone; }
void Recorder::fault_silence(bool on) { LOCKED; d->silence = on; d->pump(); d->changed(); }
void Recorder::fault_probe_size(int bytes) { LOCKED; d->probe_size = bytes > 0 ? bytes : 0; }
void Recorder::fault_counter_jump_at_frame(uint64_t frame, uint32_t jump)
{
    LOCKED;
    d->jump_frame = frame;
    d->jump = jump;
}

void Recorder::fault_vanish_at_byte(uint64_t byte)
{
    LOCKED;
    d->vanish_at = byte;
    if (d->streamed >= byte)
        d->vanish();
    d->changed();
}

void Recorder::fault_stall(bool on) { LOCKED; d->stall = on; d->pump(); d->changed(); }
void Recorder::fault_odd_length_once(uint32_t bytes) { LOCKED; d->odd_once = bytes; }
void Recorder::fault_reap_error(bool on) { LOCKED; d->reap_fails = on; d->changed(); }
void Recorder::fault_controls_unanswered(bool on) { LOCKED; d->controls_unanswered = on; }

} // namespace emu
