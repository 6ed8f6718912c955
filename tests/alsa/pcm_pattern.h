// The byte pattern pcm_probe plays, so a test can check a capture byte for
// byte. It repeats only every 16 MiB, so a lost or doubled block shows.
#pragma once

#include <cstddef>
#include <cstdint>

// Byte `index` of the probe's stream (counted from the first frame).
constexpr uint8_t pcm_pattern_byte(uint64_t index) noexcept {
  return static_cast<uint8_t>(index * 131u + (index >> 8) * 7u + (index >> 16));
}
