// The stream and its clock: starting, triggering and ending a stream, writing its frames into the
// queued bulk URBs, and the real-time pacing of a recorder that samples at its own rate into a
// buffer of its own.
#include "emulator/recorder_impl.h"

#include <algorithm>
#include <cerrno>

namespace emu {

Recorder::Impl::Urb *Recorder::Impl::head() const
{
    for (const Urb &r : bulk)
        if (!r.done && !r.discarded)
            return const_cast<Urb *>(&r);
    return nullptr;
}

void Recorder::Impl::complete_bulk(Urb &r, int status)
{
    r.done = true;
    r.status = status;
    r.length = r.filled;
    if (status == 0)
        ++completed;
}

void Recorder::Impl::start(uint8_t t)
{
    if (phase != Phase::Idle)
        return;   // already started: the recorder ignores a second start
    start_byte = t;
    const FrameLayout layout = FrameLayout::from_masks(beams, aux, floats);
    const double rate = 500000.0 / (clock_arg + 1);
    if (scene_carry && source.has_scene() && source.frame_bytes())
        scene_clock[stream_clock] = source.scene_frame((produced + source.frame_bytes() - 1) / source.frame_bytes());
    stream_clock = clock_arg;
    scene_carry = true;
    // Several recorders play the scene on their shared clock (frames.cpp), one alone from where
    // its last stream at this frequency stopped.
    source.configure(layout, rate, counter_start, jump_frame, jump, scene ? scene->at_rate(rate, index) : nullptr,
                     scene && !bench.shared_clock ? scene_clock[clock_arg] : 0);
    bytes_per_second = rate * source.frame_bytes();
    limit = UINT64_MAX;
    if (count != 0)
        limit = probe_size > 0 ? uint64_t(probe_size) : uint64_t(count) * source.frame_bytes();
    sample_limit = limit;
    produced = 0;
    sampled = 0;
    held = 0;
    armed_stop = 0;
    const int input = t & 3;
    if (input == 1 || input == 2) {
        armed_start = input;
        phase = Phase::ArmedStart;
    } else {
        begin_running();
    }
}

// At instant `t`: a soft start's arrival, or the trigger edge every armed recorder sees.
void Recorder::Impl::begin_running(Clock::time_point t)
{
    armed_start = 0;
    phase = Phase::Running;
    pace_t0 = t;
    // On a shared clock, frame 0 is the sample of the clock's tick at that instant, the same
    // on every recorder at that frequency.
    tick0 = 0;
    if (bench.shared_clock && t > bench.epoch)
        tick0 = uint64_t(std::chrono::duration<double>(t - bench.epoch).count() * 500000.0 / (stream_clock + 1));
    source.set_first_tick(tick0);
    if (pooled)
        pool.build(source, kPoolSpan);
    pace_bytes0 = 0;
    if (produced >= limit)
        phase = Phase::Ending;
    // Unpaced, the first transfer fills at once (the host sees it at its reap, or at once in
    // device memory); later ones fill when reaped.
    if (!paced)
        if (Urb *h = head())
            sampled += produce(h->u->buffer_length - h->filled);
    ensure_ticker();
    pump();
}

void Recorder::Impl::stop(uint8_t t)
{
    stop_byte = t;
    const int input = t & 3;
    if (phase == Phase::ArmedStart) {
        if (input == 0) {   // a soft stop before the trigger: nothing was sent, nothing to end
            phase = Phase::Idle;
            armed_start = 0;
        }
        return;
    }
    if (phase != Phase::Running)
        return;
    if (input == 1 || input == 2)
        armed_stop = input;
    else
        end_stream();
}

// A stop: the transfer being filled completes short. Unpaced, the stream has no "current"
// data of its own, so the recorder still flushes half a transfer's worth it had in hand.
// Paced, sampling stops and what its buffer holds is sent first.
void Recorder::Impl::end_stream()
{
    armed_stop = 0;
    if (paced && phase == Phase::Running) {
        produce_paced();
        sample_limit = sampled;
        limit = produced + held;
        if (held > 0)
            return;   // the ticker sends the rest, then the stream ends
    }
    if (!paced && !silence)
        if (Urb *h = head(); h && phase == Phase::Running)
            sampled += produce(((h->u->buffer_length - h->filled) / 2) & ~3u);
    if (phase == Phase::Running)
        phase = Phase::Ending;
    stop_ticker();
    pump();
}

// B0, C0, C4: the acquisition logic stops at once; no end-of-stream transfer is sent, the
// queued URBs stay queued until the host cancels them.
void Recorder::Impl::reset_acquisition()
{
    phase = Phase::Idle;
    armed_start = armed_stop = 0;
    stop_ticker();
}

// Writes up to budget bytes of the stream into the queued URBs, completing those that fill.
// Returns the stream bytes consumed: those sent and the rest of a word a cut transfer lost.
uint64_t Recorder::Impl::produce(uint64_t budget)
{
    uint64_t sent = 0;
    while (budget > 0 && phase == Phase::Running && !silence && !stall && !gone && produced < limit) {
        Urb *h = head();
        if (!h || source.words() == 0)
            break;
        uint32_t target = h->u->buffer_length;
        const bool odd = odd_once != 0 && odd_once > h->filled && odd_once < target;
        if (odd)
            target = odd_once;
        uint64_t n = std::min<uint64_t>(budget, target - h->filled);
        n = std::min(n, limit - produced);
        const bool vanish_now = streamed + n >= vanish_at;
        if (vanish_now)
            n = vanish_at - streamed;
        if (h->filled == 0)
            h->stream_pos = produced;
        ignore_writes_begin(); // the recorder writes as its DMA would (device memory: the host's buffer)
        if (!pooled)
            source.generate(h->dest + h->filled, produced, size_t(n));
        else if (h->dest)
            pool.copy(source, h->dest + h->filled, produced, size_t(n));
        ignore_writes_end();
        h->filled += uint32_t(n);
        produced += n;
        streamed += n;
        budget -= n;
        sent += n;
        if (vanish_now) {
            vanish();
            break;
        }
        if (h->filled == target) {
            complete_bulk(*h, 0);
            if (odd) {
                // The rest of the cut word is lost: the next transfer starts on a word.
                // Those bytes count as consumed, so a paced recorder's buffer does not
                // send them again after the next word.
                odd_once = 0;
                const uint64_t perdu = std::min(limit, (produced + 3) & ~uint64_t(3)) - produced;
                produced += perdu;
                sent += perdu;
                budget -= std::min(budget, perdu);
            }
        }
        if (produced >= limit)
            phase = Phase::Ending;
    }
    return sent;
}

// Moves the stream on after any change: stalls, the end of a stream, unpaced production is
// done lazily by reap().
void Recorder::Impl::pump()
{
    if (gone)
        return;
    if (stall)
        for (Urb &r : bulk)
            if (!r.done && !r.discarded)
                complete_bulk(r, -EPIPE);
    if (silence)
        return;
    if (phase == Phase::Ending)
        if (Urb *h = head()) {
            complete_bulk(*h, 0);
            phase = Phase::Idle;
        }
}

// The device goes away: URBs in flight come back with -ESHUTDOWN (libusb: NO_DEVICE), every
// later request fails with ENODEV.
void Recorder::Impl::vanish()
{
    gone = true;
    phase = Phase::Idle;
    stop_ticker();
    for (Urb &r : bulk)
        if (!r.done && !r.discarded) {
            r.done = true;
            r.status = -ESHUTDOWN;
            r.length = r.filled;
        }
}

void Recorder::Impl::ensure_ticker()
{
    if (!paced || phase != Phase::Running || ticker || !worker)
        return;
    ticker = g_timeout_source_new(kTickMs);
    g_source_set_callback(ticker, &Impl::on_tick_cb, this, nullptr);
    g_source_attach(ticker, worker);
}

void Recorder::Impl::stop_ticker()
{
    if (!ticker)
        return;
    g_source_destroy(ticker);
    g_source_unref(ticker);
    ticker = nullptr;
}

// The recorder samples whole frames at its own rate, whatever the host does, into its buffer;
// the buffer empties into the transfers the host has queued. What does not fit is lost in
// whole frames, the newest first, so the counter of the next frame sent jumps by their number.
void Recorder::Impl::produce_paced()
{
    if (phase != Phase::Running || gone)
        return;
    const uint64_t fb = source.frame_bytes();
    if (fb == 0)
        return;
    const double secs = std::chrono::duration<double>(Clock::now() - pace_t0).count();
    uint64_t due = pace_bytes0 + uint64_t(secs * bytes_per_second) / fb * fb;
    due = std::min(due, sample_limit);
    if (due > sampled) {
        if (silence) {   // the recorder is mute: nothing is kept, nothing is sent
            sampled = due;
            return;
        }
        held += due - sampled;
        sampled = due;
    }
    if (held == 0)
        return;
    held -= produce(held);
    if (held > capacity) {
        const uint64_t frames = (held - capacity + fb - 1) / fb;
        const uint64_t kept = (produced + held) / fb - frames;   // sent frame the gap comes before
        source.drop(kept, frames);
        held -= frames * fb;
        dropped += frames;
        if (limit != UINT64_MAX)
            limit -= frames * fb;
        if (produced >= limit)
            phase = Phase::Ending;
    }
    high_water = std::max(high_water, held);
}

gboolean Recorder::Impl::on_tick_cb(gpointer p)
{
    Impl *d = static_cast<Impl *>(p);
    std::lock_guard<std::mutex> lock(d->mu);
    if (g_main_current_source() != d->ticker)
        return G_SOURCE_REMOVE;
    if (!d->paced || d->phase != Phase::Running) {
        g_source_unref(d->ticker);
        d->ticker = nullptr;
        return G_SOURCE_REMOVE;
    }
    d->produce_paced();
    d->pump();
    d->changed();
    if (g_main_current_source() != d->ticker || d->ticker == nullptr)
        return G_SOURCE_REMOVE;
    return G_SOURCE_CONTINUE;
}

void Recorder::Impl::set_paced(bool on)
{
    if (on == paced)
        return;
    paced = on;
    if (!paced) {   // on demand from now on: what the buffer held is simply the next data
        sampled = produced;
        held = 0;
    }
    pace_t0 = Clock::now();
    pace_bytes0 = sampled;
    if (paced)
        ensure_ticker();
    else
        stop_ticker();
}

// An edge on input 1 or 2 at instant t: an armed start or stop on it goes off.
void Recorder::Impl::trigger(int input, Clock::time_point t)
{
    if (phase == Phase::ArmedStart && armed_start == input)
        begin_running(t);
    else if (phase == Phase::Running && armed_stop == input)
        end_stream();
    changed();
}

} // namespace emu
