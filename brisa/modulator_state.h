// What the modulator files share: the level table and the full scale it
// sets, and each channel's state in the caller's delta_sigma record, which
// the entry points read once per call and pass on. Private to the
// modulators; callers use deltasigma.h.
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
using channel_state = delta_sigma_channel;
static_assert(std::tuple_size_v<decltype(channel_state::c)> == 2 * simd::kLanes);

// The low `bits` bits (16 or 32) of an output word.
constexpr uint32_t bit_mask(int bits) noexcept { return bits == 32 ? ~0u : (1u << bits) - 1; }

// Calls f(std::integral_constant<int, c>) for c = 0..kChannels-1, unrolled,
// so that per-channel arrays indexed by c stay in registers.
template <int kChannels, class F>
[[gnu::always_inline]] inline void each_channel(F&& f) {
  [&]<int... kC>(std::integer_sequence<int, kC...>) { (f(std::integral_constant<int, kC>{}), ...); }
  (std::make_integer_sequence<int, kChannels>{});
}

}  // namespace modulator
