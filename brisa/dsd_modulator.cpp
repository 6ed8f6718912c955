// The DSD modulator: each DSD input byte goes through a three-level front
// end (pairs of opposite bits cancel) and is re-modulated, each of its bits
// held for `ratio` output bits, by the loop of the level.
#include <algorithm>
#include <array>
#include <cstdint>

#include "deltasigma.h"
#include "integer_loop.h"
#include "level7_loop.h"
#include "modulator_state.h"
#include "simd.h"

namespace modulator {
namespace {

using simd::u4;

// The DSD path of level 7 runs without limits on its states. Its input is
// +-L/4 (not +-L/2): at +-Q/2 the loop overloads (a run of 0xFF bytes or
// random bits sends it into limit cycles of ~800 equal bits, with or
// without limits), at +-Q/4 it stays stable as the PCM path does.
constexpr bool kLevel7DsdClamp = false;
constexpr float kLevel7DsdScale = 0.25f;

// The front end's scan as a table: entry t (positions 15..8 of "opposite
// values at p and p-1", bit 7 of t is position 15) is the set of positions
// (15..7) the scan from 15 down cancels.
constexpr std::array<uint16_t, 256> make_cancel_table() {
  std::array<uint16_t, 256> table{};
  for (uint32_t t = 0; t < 256; ++t) {
    uint32_t cancelled = 0;
    for (int p = 15; p >= 8;) {
      if (t & (1u << (p - 8))) {
        cancelled |= 3u << (p - 1);
        p -= 2;
      } else {
        p -= 1;
      }
    }
    table[t] = static_cast<uint16_t>(cancelled);
  }
  return table;
}
constexpr auto kCancelTable = make_cancel_table();

// One DSD input byte through the three-level front end: returns a 16-bit
// word with the ones of positions 15..8 in its high byte and the zeros in
// its low byte, and keeps the new byte's remaining bits in the masks.
inline uint16_t cancel_pairs(channel_state& st, uint8_t byte) noexcept {
  uint32_t ones = (static_cast<uint32_t>(st.ones_mask) << 8) | byte;
  uint32_t zeros = (static_cast<uint32_t>(st.zeros_mask) << 8) | (byte ^ 0xFFu);
  // Position p is set when p and p-1 hold opposite values.
  const uint32_t opposite = ((ones & (zeros << 1)) | (zeros & (ones << 1))) & 0xFFFFu;
  const uint32_t keep = ~static_cast<uint32_t>(kCancelTable[opposite >> 8]);
  ones &= keep;
  zeros &= keep;
  st.ones_mask = static_cast<uint8_t>(ones);
  st.zeros_mask = static_cast<uint8_t>(zeros);
  return static_cast<uint16_t>((ones & 0xFF00u) | (zeros >> 8));
}

// +1, -1 or 0 for position p (15..8) of a cancel_pairs result, plus one.
constexpr int three_level_index(uint16_t word, int p) noexcept {
  return 1 + static_cast<int>((word >> p) & 1u) - static_cast<int>((word >> (p - 8)) & 1u);
}

// Where one channel's output bytes go: every other byte (the other channel
// between). Bytes at or past `end` are dropped (only the lone last byte of an
// odd count can reach it).
struct byte_slot {
  uint8_t* next;
  const uint8_t* end;

  void write(uint32_t byte) noexcept {
    if (next < end) *next = static_cast<uint8_t>(byte);
    next += 2;
  }
};

// Re-modulates the 8 values of one input byte per channel, r times each,
// with level 1 or 2.
template <bool kSecondOrder, int kChannels>
void dsd_bytes_integer(channel_state* const (&st)[kChannels], const uint16_t (&word)[kChannels], uint32_t value,
                       byte_slot (&out)[kChannels], int32_t ratio) noexcept {
  const uint32_t values[3] = {0u - value, 0u, value};
  // next[j]: the input of position 15 - j; next[8]: none (leaves the loop).
  std::array<integer_input, 9> next{};
  u4 first = simd::splat(0u);
  for (int j = 0; j < 8; ++j) {
    uint32_t in[kChannels];
    each_channel<kChannels>([&](auto c) { in[c] = values[three_level_index(word[c], 15 - j)]; });
    const u4 v = channel_lanes(in);
    if (j == 0) first = v;
    next[j] = make_integer_input(v);
  }
  next[8] = make_integer_input(simd::splat(0u));
  uint32_t i1[kChannels], i2[kChannels];
  each_channel<kChannels>([&](auto c) { i1[c] = st[c]->i1, i2[c] = st[c]->i2; });
  integer_lanes s = enter_integer(channel_lanes(i1), channel_lanes(i2), first);
  int filled = 0;
  auto bit_done = [&] {
    if (++filled < 8) return;
    filled = 0;
    each_channel<kChannels>([&](auto c) { out[c].write(~simd::lane<c>(s.inverted)); });
  };
  for (int j = 0; j < 8; ++j) {
    for (int32_t k = 1; k < ratio; ++k) {
      integer_step<kSecondOrder>(s, next[j]);
      bit_done();
    }
    integer_step<kSecondOrder>(s, next[j + 1]);
    bit_done();
  }
  const u4 new_i1 = exit_i1(s), new_i2 = exit_i2(s);
  each_channel<kChannels>([&](auto c) {
    st[c]->i1 = simd::lane<c>(new_i1);
    if (kSecondOrder) st[c]->i2 = simd::lane<c>(new_i2);
  });
}

template <int kChannels>
void dsd_bytes_level7(channel_state* const (&st)[kChannels], const uint16_t (&word)[kChannels],
                      const std::array<level7_input<f4>, 3>& inputs, byte_slot (&out)[kChannels],
                      int32_t ratio) noexcept {
  level7_lanes<f4> s[kChannels];
  for (int c = 0; c < kChannels; ++c) s[c] = load_level7(*st[c]);
  const level7_constants<f4> k = make_level7_constants();
  int filled = 0;
  for (int p = 15; p >= 8; --p) {
    const level7_input<f4>* in[kChannels];
    for (int c = 0; c < kChannels; ++c) in[c] = &inputs[three_level_index(word[c], p)];
    for (int32_t left = ratio; left > 0;) {
      const int take = static_cast<int>(std::min<int32_t>(left, 8 - filled));
      level7_run<kLevel7DsdClamp>(s, in, take, k);
      left -= take;
      filled += take;
      if (filled == 8) {
        filled = 0;
        each_channel<kChannels>([&](auto c) { out[c].write(recent_bits(s[c].signs)); });
      }
    }
  }
  for (int c = 0; c < kChannels; ++c) store_level7(*st[c], s[c]);
}

// What one call re-modulates with: the states, the level, and the input
// values of the three front-end levels (-, 0, +) for the level's loop.
struct dsd_setting {
  std::array<channel_state, 2>& states;
  int32_t level;
  uint32_t value;                                 // levels 1 and 2
  std::array<level7_input<f4>, 3> level7_inputs;  // level 7
};

// The input bytes at pos (and pos + 1 when kChannels is 2) of channels
// pos & 1 onwards, through the front end and the modulator of the level.
template <int kChannels>
void dsd_bytes(const dsd_setting& setting, const uint8_t* input, uint8_t* output, const uint8_t* output_end,
               int32_t pos, int32_t ratio) noexcept {
  channel_state* st[kChannels];
  uint16_t word[kChannels];
  byte_slot out[kChannels] = {};
  for (int c = 0; c < kChannels; ++c) {
    const int32_t ch = (pos + c) & 1;
    st[c] = &setting.states[ch];
    word[c] = cancel_pairs(*st[c], input[pos + c]);
    out[c] = {output + 2 * ratio * ((pos + c) >> 1) + ch, output_end};
  }
  if (setting.level == 7) {
    dsd_bytes_level7(st, word, setting.level7_inputs, out, ratio);
  } else if (setting.level == 2) {
    dsd_bytes_integer<true>(st, word, setting.value / 2, out, ratio);
  } else {
    dsd_bytes_integer<false>(st, word, setting.value, out, ratio);
  }
}

}  // namespace
}  // namespace modulator

int32_t dsd_modulator(delta_sigma& modulators, const uint8_t* input, uint8_t* output, int32_t count, int32_t ratio) {
  using namespace modulator;
  if (ratio < 1 || count < 1) return count;
  const float gain = std::clamp(modulators.dsd_gain, 0.0f, 1.0f);
  const int32_t entry = gain == 1.0f
                            ? volume_level(modulators.attenuation)
                            : static_cast<int32_t>(static_cast<float>(volume_level(modulators.attenuation)) * gain);
  dsd_setting setting{modulators.channels, modulators.level, static_cast<uint32_t>(entry), {}};
  if (setting.level == 7) {
    const float value7 = static_cast<float>(entry) * kLevel7DsdScale;
    setting.level7_inputs = {make_level7_input(-value7), make_level7_input(0.0f), make_level7_input(value7)};
  }
  const uint8_t* end = output + static_cast<size_t>(count) * static_cast<size_t>(ratio);
  int32_t pos = 0;
  for (; pos + 1 < count; pos += 2) dsd_bytes<2>(setting, input, output, end, pos, ratio);
  if (pos < count) dsd_bytes<1>(setting, input, output, end, pos, ratio);
  return count;
}
