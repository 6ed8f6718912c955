// A short gain ramp on the PCM a player converts, so that music cut by the
// listener (pause, a jump, quit) fades out before the stream's silence and
// fades in after it instead of stepping, which is heard as a click. A file's
// own end is no cut: no ramp, the samples pass bit for bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

// A few milliseconds: no click, and too short to be heard as a fade.
constexpr int64_t kFadeMicros = 5000;

struct fade_ramp {
  int64_t frames = 0;  // input frames of the whole ramp; 0: none
  int64_t done = 0;
  bool down = false;  // to silence; else up from it
};

// A ramp over kFadeMicros of input at rate frames a second.
constexpr fade_ramp fade_ramp_for(int64_t rate, bool down) noexcept {
  return {.frames = rate > 0 ? std::max<int64_t>(rate * kFadeMicros / 1000000, 1) : 1, .done = 0, .down = down};
}

// While a ramp runs the samples are scaled; outside one they pass as they are.
constexpr bool fade_running(const fade_ramp& ramp) noexcept { return ramp.frames > 0 && ramp.done < ramp.frames; }
// A ramp down has ended: what follows is silence, nothing more is converted.
constexpr bool fade_out_done(const fade_ramp& ramp) noexcept {
  return ramp.down && ramp.frames > 0 && ramp.done >= ramp.frames;
}

// The rising raised cosine at x (0 to 1) of a ramp's length.
inline double fade_rise_at(double x) noexcept { return 0.5 - 0.5 * std::cos(std::numbers::pi * x); }

// The gain for the next input frame (a raised cosine), the ramp moved on.
inline float fade_next_gain(fade_ramp& ramp) noexcept {
  if (!fade_running(ramp)) return ramp.down && ramp.frames > 0 ? 0.0f : 1.0f;
  const double x = (static_cast<double>(ramp.done) + 0.5) / static_cast<double>(ramp.frames);
  ++ramp.done;
  const double up = fade_rise_at(x);
  return static_cast<float>(ramp.down ? 1.0 - up : up);
}

// The mean gain of the next frames input frames, for a conversion that
// takes one gain for several (DSD, a read at a time).
inline float fade_next_gain_over(fade_ramp& ramp, int32_t frames) noexcept {
  if (!fade_running(ramp) || frames <= 1) return fade_next_gain(ramp);
  float sum = 0.0f;
  for (int32_t i = 0; i < frames; ++i) sum += fade_next_gain(ramp);
  return sum / static_cast<float>(frames);
}
