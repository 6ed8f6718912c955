// Where a click shows: the energy between 3 and 20 kHz, where a low tone
// has none, in short windows along a capture. A step in the music (a
// dropout, a modulator started from the wrong state) raises the windows it
// falls in well above the music's own.
#pragma once

#include <algorithm>
#include <span>
#include <vector>

#include "analyser.h"

constexpr double kClickBandLowHz = 3000;
constexpr double kClickBandHighHz = 20000;
// Named to the analyser as the tone, so that nothing in the band is taken for one.
constexpr double kToneBelowBandHz = 1000;

// The band's energy in dBFS of each window of `window` samples (a power of
// two, at least 1024) from `from` on, windows starting `hop` apart, the last
// one ending before `to`.
inline std::vector<double> band_energy_windows(std::span<const float> samples, double rate, size_t window, size_t hop,
                                               size_t from, size_t to) {
  std::vector<double> levels;
  to = std::min(to, samples.size());
  for (size_t at = from; at + window <= to; at += hop) {
    const analyser_result r =
        analyser_run(samples.subspan(at, window), rate,
                     {.band_low_hz = kClickBandLowHz, .band_high_hz = kClickBandHighHz, .tone_hz = kToneBelowBandHz});
    levels.push_back(r.noise_dbfs);
  }
  return levels;
}

inline double loudest(const std::vector<double>& levels) {
  return levels.empty() ? -400 : *std::max_element(levels.begin(), levels.end());
}
