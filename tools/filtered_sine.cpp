#include "filtered_sine.h"

#include <cmath>
#include <numbers>

std::vector<float> filtered_sine(fir_filter& filter, int64_t rate, int64_t hz, double amplitude, int64_t settle_frames,
                                 size_t frames) {
  std::vector<float> out;
  out.reserve(frames);
  int64_t produced = 0;
  for (int64_t i = 0; out.size() < frames; ++i) {
    // The phase from whole numbers, so it stays exact however long the run.
    const double phase = 2 * std::numbers::pi * static_cast<double>(i * hz % rate) / static_cast<double>(rate);
    const auto x = static_cast<float>(amplitude * std::sin(phase));
    const float frame[2] = {x, x};
    int32_t count = 0;
    const float* y = fir_process(filter, frame, &count);
    if (y == nullptr) return {};
    for (int32_t k = 0; k + 1 < count; k += 2) {
      if (produced++ >= settle_frames && out.size() < frames) out.push_back(y[k]);
    }
  }
  return out;
}
