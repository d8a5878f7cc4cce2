// viz256-run health of one run alone (no map): the reading, on two threads, and the
// neighbours' spectra on a third.
#pragma once

#include <cstdint>
#include <functional>

#include "analysis/health.h"
#include "reading/run.h"

namespace tools {

// Frames [first, first + count) of `run` to `meter`, made with spectra_apart; `progress` gets
// the share read, on the calling thread.
void read_health(const reading::Run &run, uint64_t first, uint64_t count, const analysis::FrameFormat &format,
                 analysis::HealthMeter &meter, const std::function<void(double)> &progress);

}
