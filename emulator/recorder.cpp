// The emulated recorder's public face: what a test sees of it and the behaviour it sets.
#include "emulator/recorder_impl.h"

#include <cstring>

namespace emu {

std::vector<Request> Recorder::requests() const { LOCKED; return d->requests; }
void Recorder::clear_requests() { LOCKED; d->requests.clear(); }
uint64_t Recorder::bytes_streamed() const { LOCKED; return d->streamed; }
uint64_t Recorder::transfers_completed() const { LOCKED; return d->completed; }
bool Recorder::streaming() const { LOCKED; return d->phase != Impl::Phase::Idle; }
bool Recorder::waiting_for_trigger() const { LOCKED; return d->phase == Impl::Phase::ArmedStart; }
uint32_t Recorder::count() const { LOCKED; return d->count; }
uint8_t Recorder::clock_arg() const { LOCKED; return d->clock_arg; }
uint8_t Recorder::delay() const { LOCKED; return d->delay; }
bool Recorder::float_samples() const { LOCKED; return d->floats; }
uint8_t Recorder::beam_mask(int b) const { LOCKED; return b >= 0 && b < 32 ? d->beams[b] : 0; }
uint8_t Recorder::aux_mask() const { LOCKED; return d->aux; }
int Recorder::words_per_frame() const { LOCKED; return FrameLayout::from_masks(d->beams, d->aux, d->floats).words(); }
uint8_t Recorder::start_trigger() const { LOCKED; return d->start_byte; }
uint8_t Recorder::stop_trigger() const { LOCKED; return d->stop_byte; }
uint64_t Recorder::frames_dropped() const { LOCKED; return d->dropped; }
uint64_t Recorder::device_buffer_high_water() const { LOCKED; return d->high_water; }
std::string Recorder::serial() const { return d->serial; }
std::string Recorder::port_path() const { return "1-" + std::to_string(d->index + 1); }
std::string Recorder::node() const { return d->node; }
void Recorder::set_device_buffer(uint64_t bytes) { LOCKED; d->capacity = bytes; }
bool Recorder::wait_until(std::function<bool()> cond, int timeout_ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (cond())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::unique_lock<std::mutex> lock(d->mu);
        d->cv.wait_for(lock, std::chrono::milliseconds(2));
    }
}

void Recorder::set_paced(bool on) { LOCKED; d->set_paced(on); d->changed(); }
void Recorder::set_counter_start(uint32_t v) { LOCKED; d->counter_start = v; }
void Recorder::fire_trigger(int input) { fire_trigger_all(input); }
void Recorder::set_scene(std::shared_ptr<const Scene> scene)
{
    LOCKED;
    d->scene = std::move(scene);
    d->scene_clock.clear();
    d->scene_carry = false;
    d->prepare_scene();
}

void Recorder::reset()
{
    LOCKED;
    d->scene_clock.clear();
    d->scene_carry = false;
    d->reset_acquisition();
    d->set_paced(d->paced_option);
    d->clock_arg = 9;
    d->count = 0;
    std::memset(d->beams, 0, sizeof d->beams);
    d->aux = 0;
    d->floats = false;
    d->delay = 10;
    d->start_byte = d->stop_byte = 0;
    d->requests.clear();
    d->counter_start = 0;
    d->silence = false;
    d->probe_size = 0;
    d->jump_frame = UINT64_MAX;
    d->jump = 0;
    d->vanish_at = UINT64_MAX;
    d->stall = false;
    d->odd_once = 0;
    d->reap_fails = false;
    d->controls_unanswered = false;
    d->device_memory = d->device_memory_option;
    d->gone = false;
    d->streamed = 0;
    d->completed = 0;
    d->capacity = d->capacity_option;
    d->high_water = 0;
    d->dropped = 0;
    d->held = 0;
    d->changed();
}

} // namespace emu
