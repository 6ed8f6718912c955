// A sine through the oversampling filter alone, for measuring the filter:
// the left channel of fir_process's float output at 352.8 kHz.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fir.h"

// frames output values of a sine of hz and amplitude at input rate, after
// the first settle_frames outputs (the filter filling); empty when the
// filter gives no output block.
std::vector<float> filtered_sine(fir_filter& filter, int64_t rate, int64_t hz, double amplitude, int64_t settle_frames,
                                 size_t frames);
