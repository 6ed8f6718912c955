// What the modulator files share: the level table and the full scale it
// sets, each channel's state, and the modulators' process-wide record (the
// settings and both channels' states), which the entry points read once per
// call and pass on. Private to the modulators; callers use deltasigma.h.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "deltasigma.h"
#include "simd.h"

namespace modulator {

// 2^31 * 2^(-k/6) for k = 1..6: one sixth of an octave per step.
constexpr std::array<uint32_t, 6> kSixthOctave = {0x7208F81D, 0x6597FA94, 0x5A827999,
                                                  0x50A28BE6, 0x47D66B07, 0x40000000};

constexpr std::array<int32_t, kLevelTableSize> make_level_table() {
  std::array<int32_t, kLevelTableSize> table{};
  for (int32_t i = 0; i < kLevelTableSize; ++i) {
    table[i] = static_cast<int32_t>(kSixthOctave[i % 6] >> (i / 6 + 2));
  }
  return table;
}
constexpr auto kLevelTable = make_level_table();
static_assert(kLevelTable[0] == 478297607 && kLevelTable[6] == 239148803 && kLevelTable[47] == 2097152);

// The table's entry for an attenuation (0 at 48 dB and beyond: silence).
constexpr int32_t volume_level(int32_t attenuation) noexcept {
  return attenuation >= 0 && attenuation < kLevelTableSize ? kLevelTable[attenuation] : 0;
}

// Every modulator feeds back +Q or -Q: full scale of the one-bit output.
constexpr int32_t kFeedback = kLevelTable[0];
constexpr uint32_t kQ = kFeedback;
constexpr uint32_t kTwoQ = 2 * kQ;  // 956,595,214: sums of two values below 2Q fit in 31 bits
constexpr float kFeedbackFloat = static_cast<float>(kFeedback);  // 478,297,600.0

// Per channel. i1, i2 serve levels 1 and 2 and hold any value; they are
// updated modulo 2^32 and read as int32 (two's complement). c holds level
// 7's states in lane order: odd lanes (c1, c3, c5, c7), then even lanes
// (0, c2, c4, c6). The masks hold the last DSD byte's bits that are still
// ones / zeros (cancelled bits are in neither).
struct channel_state {
  uint32_t i1 = 0;
  uint32_t i2 = 0;
  uint8_t ones_mask = 0;
  uint8_t zeros_mask = 0;
  std::array<float, 2 * simd::kLanes> c{};
};

// The process-wide record: set through deltasigma.h, defined in
// modulator_settings.cpp.
struct record {
  int32_t level = 1;        // 1, 2 or 7
  int32_t attenuation = 0;  // the volume in dB with the sign reversed, 0..48
  bool wide = simd::cpu_has_avx2();  // whether level 7 runs on 8 lanes
  bool fresh = true;  // set by reset_modulators: the next call zeroes the channels
  std::array<channel_state, 2> channels{};
};
extern record global;

// The channels' states, zeroed first if reset_modulators asked for it.
inline std::array<channel_state, 2>& channels() noexcept {
  if (global.fresh) {
    global.channels = {};
    global.fresh = false;
  }
  return global.channels;
}

// The low `bits` bits (16 or 32) of an output word.
constexpr uint32_t bit_mask(int bits) noexcept { return bits == 32 ? ~0u : (1u << bits) - 1; }

// Calls f(std::integral_constant<int, c>) for c = 0..kChannels-1, unrolled,
// so that per-channel arrays indexed by c stay in registers.
template <int kChannels, class F>
[[gnu::always_inline]] inline void each_channel(F&& f) {
  [&]<int... kC>(std::integer_sequence<int, kC...>) {
    (f(std::integral_constant<int, kC>{}), ...);
  }(std::make_integer_sequence<int, kChannels>{});
}

}  // namespace modulator
