// The PCM modulators: each 352.8 kHz sample becomes 16 or 32 bits through
// level 1 (in closed form), level 2 or level 7, one channel or both at once.
#include <algorithm>
#include <cmath>
#include <limits>
#include <span>

#include "deltasigma.h"
#include "integer_loop.h"
#include "level7_loop.h"
#include "modulator_state.h"
#include "simd.h"

namespace modulator {
namespace {

using simd::u4;

// x * L truncated toward zero, saturated to int32 (a plain conversion of an
// out-of-range float is undefined and gives INT32_MIN on x86), then limited
// to [-Q, Q]. NaN counts as silence.
inline int32_t scaled_input(float x, int32_t level_value) noexcept {
  const float s = x * static_cast<float>(level_value);
  int32_t value = 0;
  if (s >= 2147483648.0f) {
    value = std::numeric_limits<int32_t>::max();
  } else if (s > -2147483648.0f) {
    value = static_cast<int32_t>(s);
  } else if (s <= -2147483648.0f) {
    value = std::numeric_limits<int32_t>::min();
  }  // else NaN: 0
  return std::clamp(value, -kFeedback, kFeedback);
}

int normal_bits(int bits) noexcept { return bits == 16 ? 16 : 32; }

// ---- level 2 -----------------------------------------------------------------

// Level 2 on one or two channels; in[c] = s/2 of channel c.
template <int kChannels>
inline void pcm_level2(channel_state* const (&st)[kChannels], const uint32_t (&in)[kChannels], int bits,
                       uint32_t (&out)[kChannels]) noexcept {
  uint32_t i1[kChannels], i2[kChannels];
  each_channel<kChannels>([&](auto c) { i1[c] = st[c]->i1, i2[c] = st[c]->i2; });
  const u4 x = channel_lanes(in);
  integer_lanes s = enter_integer(channel_lanes(i1), channel_lanes(i2), x);
  run_integer<true>(s, x, bits);
  const u4 new_i1 = exit_i1(s), new_i2 = exit_i2(s);
  each_channel<kChannels>([&](auto c) {
    st[c]->i1 = simd::lane<c>(new_i1);
    st[c]->i2 = simd::lane<c>(new_i2);
    out[c] = ~simd::lane<c>(s.inverted) & bit_mask(bits);
  });
}

inline uint32_t level2_input(float x, int32_t level_value) noexcept {
  return static_cast<uint32_t>(scaled_input(x, level_value) / 2);
}

// ---- level 1 -----------------------------------------------------------------

// x mod 2Q for x < 4Q.
constexpr uint32_t reduce(uint32_t x) noexcept { return x >= kTwoQ ? x - kTwoQ : x; }
inline u4 reduce(u4 x) noexcept { return simd::subtract_if_at_least(x, simd::splat(kTwoQ)); }

// The first-order loop in closed form. With R = i1 + Q in [0, 2Q) and
// d = s + Q in [0, 2Q], each bit is R + d >= 2Q and R becomes (R + d) mod 2Q,
// so after bit k R is R_k = (R + (k+1)d) mod 2Q and bit k is R_k < d: the bits
// do not depend on each other. Four lanes hold four consecutive R_k and step
// by 4d mod 2Q; everything stays below 2^31 and no division is needed.
// Returns the kBits bits and sets r to its value after them.
template <int kBits>
inline uint32_t level1_closed_form(uint32_t& r, uint32_t d) noexcept {
  using simd::set, simd::splat;
  static_assert(kBits % 4 == 0);
  const uint32_t step = d == kTwoQ ? 0 : d;  // d mod 2Q
  const uint32_t m2 = reduce(2 * step);
  const uint32_t m3 = reduce(m2 + step);
  const uint32_t m4 = reduce(2 * m2);
  const u4 stride = splat(m4);
  const u4 limit_d = splat(d);
  u4 after = reduce(splat(r) + set(step, m2, m3, m4));
  u4 weight = set(1u << (kBits - 1), 1u << (kBits - 2), 1u << (kBits - 3), 1u << (kBits - 4));
  u4 bits = splat(0u);
#pragma GCC unroll 8
  for (int k = 0; k < kBits; k += 4) {
    bits = simd::or_where(bits, simd::greater(limit_d, after), weight);
    weight = simd::shift_right<4>(weight);
    after = reduce(after + stride);
  }
  // R after all the bits straight from R (4d -> 8d -> 16d -> 32d), so that
  // the next call does not wait for the lanes.
  uint32_t all = m4;
  for (int k = 4; k < kBits; k *= 2) all = reduce(2 * all);
  r = reduce(r + all);
  return simd::or_lanes(bits);
}

template <int kBits>
uint32_t pcm_level1(channel_state& st, float x, int32_t level_value) noexcept {
  using simd::splat;
  const int32_t s = scaled_input(x, level_value);
  const uint32_t d = static_cast<uint32_t>(s) + kQ;
  uint32_t r = st.i1 + kQ;
  if (r < kTwoQ) {  // i1 in [-Q, Q): always, once level 1 has run a bit
    const uint32_t out = level1_closed_form<kBits>(r, d);
    st.i1 = r - kQ;
    return out;
  }
  // i1 outside [-Q, Q), where level 2 left it: the loop itself.
  integer_lanes lanes = enter_integer(splat(st.i1), splat(0u), splat(static_cast<uint32_t>(s)));
  run_integer<false>(lanes, splat(static_cast<uint32_t>(s)), kBits);
  st.i1 = simd::lane<0>(exit_i1(lanes));
  return ~simd::lane<0>(lanes.inverted) & bit_mask(kBits);
}

uint32_t pcm_level1(channel_state& st, int bits, float x, int32_t level_value) noexcept {
  return bits == 16 ? pcm_level1<16>(st, x, level_value) : pcm_level1<32>(st, x, level_value);
}

// Level 1 on the pairs of a block, both channels at once, by the closed form
// of level1_closed_form read backwards: bit k is R_k < d, and
// R_(k-1) = (R_k - d) mod 2Q. With u = R_k - d, bit k is u's sign and
// R_(k-1) is u, or u + 2Q where u went below 0. Each channel's four lanes
// take a quarter of its bits, lane j starting from R_k of its last bit
// k = (j + 1) kGroup - 1, that is R + (j + 1) kGroup d mod 2Q; the signs are
// shifted in from the top, the earliest bit of each lane ending in bit 31,
// and the lanes are merged in order. The last lane's start is R after the
// sample. Pairs whose R lies outside [0, 2Q) (as level 2 leaves i1) take
// pcm_level1, until both are inside, where the closed form keeps them.
template <int kBits>
void pcm_level1_block(std::array<channel_state, 2>& st, std::span<const float> values, std::span<uint32_t> words,
                      int32_t level_value) noexcept {
  using simd::splat;
  constexpr int kGroup = kBits / 4;
  size_t i = 0;
  for (; i < values.size() && (st[0].i1 + kQ >= kTwoQ || st[1].i1 + kQ >= kTwoQ); i += 2) {
    words[i] = pcm_level1<kBits>(st[0], values[i], level_value);
    words[i + 1] = pcm_level1<kBits>(st[1], values[i + 1], level_value);
  }
  if (i == values.size()) return;
  const f4 scale = splat(static_cast<float>(level_value));
  const u4 q = splat(kQ), two_q = splat(kTwoQ), low = splat(0u - kQ);
  // (R left, R right) twice.
  u4 r = simd::set(st[0].i1 + kQ, st[1].i1 + kQ, st[0].i1 + kQ, st[1].i1 + kQ);
  for (; i < values.size(); i += 2) {
    // scaled_input of both: NaN as 0, saturated, limited to [-Q, Q].
    const u4 s = simd::limit_signed(simd::truncate_saturated(simd::load_pair_twice(&values[i]) * scale), low, q);
    const u4 d = s + q;  // in [0, 2Q]
    const u4 step = reduce(d);
    // (d, 2d) mod 2Q, doubled up to (kGroup d, 2 kGroup d), then (3, 4) kGroup d.
    u4 near = reduce(step + simd::lower_pair_up(step));
    for (int n = 1; n < kGroup; n *= 2) near = reduce(near + near);
    const u4 far = reduce(near + simd::upper_pair_twice(near));
    const u4 near_r = reduce(near + r), far_r = reduce(far + r);
    r = simd::upper_pair_twice(far_r);
    u4 left, right;
    simd::unzip(near_r, far_r, left, right);
    const u4 d_left = simd::splat_lane<0>(d), d_right = simd::splat_lane<1>(d);
    u4 signs_left = splat(0u), signs_right = splat(0u);
#pragma GCC unroll 8
    for (int n = 0; n < kGroup; ++n) {
      const u4 u_left = left - d_left, u_right = right - d_right;
      left = simd::wrap_up(u_left, two_q);
      right = simd::wrap_up(u_right, two_q);
      signs_left = simd::push_sign(signs_left, u_left);
      signs_right = simd::push_sign(signs_right, u_right);
    }
    simd::merge_lanes<32 - kBits, kGroup>(signs_left, signs_right, &words[i]);
  }
  st[0].i1 = simd::lane<0>(r) - kQ;
  st[1].i1 = simd::lane<1>(r) - kQ;
}

// ---- level 7 -----------------------------------------------------------------

// The PCM input of level 7 is scaled by the -6 dB entry, and the volume
// applies as a factor before that.
constexpr float kLevel7Input = static_cast<float>(kLevelTable[6]);

// The volume as level 7's input factor: the level table's entry relative to
// full volume, so a dB sounds as it does at levels 1 and 2. Exactly 1 at 0 dB
// (the bits are those of full volume), 0 from 48 dB, never above 1, which
// keeps the loop as stable as at full volume.
float level7_gain(int32_t attenuation) noexcept {
  return static_cast<float>(volume_level(attenuation)) / static_cast<float>(kLevelTable[0]);
}

// Calls step() `bits` (16 or 32) times, eight to a loop turn, and limit()
// after every eighth: the states are limited to [-Q, Q] once a byte, not
// once a bit (four instructions a bit on NEON). In normal playing only c7
// reaches Q, rarely and by a few per cent; between limits a state can pass
// Q only by what seven bits add.
template <class Step, class Limit>
[[gnu::always_inline]] inline void repeat_pcm_bits(int bits, Step&& step, Limit&& limit) noexcept {
  for (int n = 0; n < bits; n += 8) {
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) step();
    limit();
  }
}

float level7_pcm_input(float x, float gain) noexcept {
  // NaN would poison the float states for good: take it as silence.
  // The volume applies after the limit, so an infinite sample at no volume
  // is silence, not inf x 0.
  const float scaled = std::isnan(x) ? 0.0f : std::clamp(x * kLevel7Input, -kLevel7Input, kLevel7Input) * gain;
  return scaled * 0.5f;
}

// One channel through level 7: the samples x[first], x[first + step], ...
// become the words at the same places of out (out as long as x). The states
// stay in registers from sample to sample. (Plain locals, no arrays: GCC
// copies arrays of vector records through the stack.)
void pcm_level7(channel_state& st, int bits, std::span<const float> x, std::span<uint32_t> out, size_t first,
                size_t step, float gain) noexcept {
  const level7_constants<f4> k = make_level7_constants();
  level7_lanes<f4> s = load_level7(st);
  for (size_t i = first; i < x.size(); i += step) {
    const level7_input<f4> in = make_level7_input(level7_pcm_input(x[i], gain));
    repeat_pcm_bits(
        bits, [&] { level7_step<false>(s, in, k); }, [&] { level7_limit(s, k); });
    out[i] = recent_bits(s.signs) & bit_mask(bits);
  }
  store_level7(st, s);
}

// Both channels, interleaved: the two independent chains hide each other's
// latency. Not on NEON: its 16 q registers hold one channel's states and
// inputs beside the loop's constants, and two channels would spill and
// reload on every bit; there the channels run one after the other.
[[maybe_unused]] void pcm_level7_pair(channel_state& left_state, channel_state& right_state, const float (&x)[2],
                                      int bits, float gain, uint32_t (&out)[2]) noexcept {
  const level7_input<f4> left_in = make_level7_input(level7_pcm_input(x[0], gain));
  const level7_input<f4> right_in = make_level7_input(level7_pcm_input(x[1], gain));
  const level7_constants<f4> k = make_level7_constants();
  level7_lanes<f4> left = load_level7(left_state);
  level7_lanes<f4> right = load_level7(right_state);
  repeat_pcm_bits(
      bits,
      [&] {
        level7_step<false>(left, left_in, k);
        level7_step<false>(right, right_in, k);
      },
      [&] {
        level7_limit(left, k);
        level7_limit(right, k);
      });
  store_level7(left_state, left);
  store_level7(right_state, right);
  out[0] = recent_bits(left.signs) & bit_mask(bits);
  out[1] = recent_bits(right.signs) & bit_mask(bits);
}

#if defined(SIMD_AVX2)
using simd::f8;

// Two channels' records side by side in 8 lanes (left low), and back.
[[gnu::always_inline]] inline level7_input<f8> pair_of(const level7_input<f4>& l, const level7_input<f4>& r) noexcept {
  return {pair_of(l.odd, r.odd), pair_of(l.even, r.even), pair_of(l.u, r.u)};
}
[[gnu::always_inline]] inline level7_constants<f8> pair_of(const level7_constants<f4>& l,
                                                           const level7_constants<f4>& r) noexcept {
  return {pair_of(l.odd_scale, r.odd_scale), pair_of(l.even_g, r.even_g),  pair_of(l.odd_a, r.odd_a),
          pair_of(l.even_a, r.even_a),       pair_of(l.high, r.high),      pair_of(l.low, r.low),
          pair_of(l.zero, r.zero),           pair_of(l.minus_q, r.minus_q)};
}
[[gnu::always_inline]] inline level7_lanes<f8> pair_of(const level7_lanes<f4>& l, const level7_lanes<f4>& r) noexcept {
  return {pair_of(l.odd, r.odd), pair_of(l.even, r.even), f8::history{}};
}
[[gnu::always_inline]] inline level7_lanes<f4> low_half(const level7_lanes<f8>& s) noexcept {
  return {low_half(s.odd), low_half(s.even), simd::no_signs()};
}
[[gnu::always_inline]] inline level7_lanes<f4> high_half(const level7_lanes<f8>& s) noexcept {
  return {high_half(s.odd), high_half(s.even), simd::no_signs()};
}

// pcm_level7 on both channels in one set of 8-lane vectors, left in the low
// half.
SIMD_AVX2_FUNCTION void pcm_level7_wide(channel_state& left, channel_state& right, const float (&x)[2], int bits,
                                        float gain, uint32_t (&out)[2]) noexcept {
  const level7_input<f8> in =
      pair_of(make_level7_input(level7_pcm_input(x[0], gain)), make_level7_input(level7_pcm_input(x[1], gain)));
  const level7_constants<f4> k4 = make_level7_constants();
  const level7_constants<f8> k = pair_of(k4, k4);
  level7_lanes<f8> s = pair_of(load_level7(left), load_level7(right));
  repeat_pcm_bits(
      bits, [&] { level7_step<false>(s, in, k); }, [&] { level7_limit(s, k); });
  store_level7(left, low_half(s));
  store_level7(right, high_half(s));
  out[0] = simd::recent_bits<0>(s.signs) & bit_mask(bits);
  out[1] = simd::recent_bits<1>(s.signs) & bit_mask(bits);
}
#endif

// Level 7 on the pairs of a block, by the fastest way this CPU has.
void pcm_level7_block(std::array<channel_state, 2>& st, int bits, std::span<const float> values,
                      std::span<uint32_t> words, float gain, [[maybe_unused]] bool wide) noexcept {
#if defined(SIMD_AVX2)
  if (wide) {
    for (size_t i = 0; i < values.size(); i += 2) {
      uint32_t out[2] = {};
      pcm_level7_wide(st[0], st[1], {values[i], values[i + 1]}, bits, gain, out);
      words[i] = out[0];
      words[i + 1] = out[1];
    }
    return;
  }
#endif
#if defined(SIMD_NEON)
  pcm_level7(st[0], bits, values, words, 0, 2, gain);
  pcm_level7(st[1], bits, values, words, 1, 2, gain);
#else
  for (size_t i = 0; i < values.size(); i += 2) {
    uint32_t out[2] = {};
    pcm_level7_pair(st[0], st[1], {values[i], values[i + 1]}, bits, gain, out);
    words[i] = out[0];
    words[i + 1] = out[1];
  }
#endif
}

}  // namespace
}  // namespace modulator

using namespace modulator;

uint32_t pcm_modulator(delta_sigma& modulators, int channel, int bits, float x) {
  channel_state& st = modulators.channels[channel & 1];
  bits = normal_bits(bits);
  uint32_t out[1] = {};
  switch (modulators.level) {
    case 2: {
      channel_state* const states[1] = {&st};
      pcm_level2(states, {level2_input(x, volume_level(modulators.attenuation))}, bits, out);
      return out[0];
    }
    case 7: pcm_level7(st, bits, {&x, 1}, out, 0, 1, level7_gain(modulators.attenuation)); return out[0];
    default: return pcm_level1(st, bits, x, volume_level(modulators.attenuation));
  }
}

void pcm_modulate_pair(delta_sigma& modulators, int bits, float left, float right, uint32_t* left_bits,
                       uint32_t* right_bits) {
  const float values[2] = {left, right};
  uint32_t words[2] = {};
  pcm_modulate_block(modulators, bits, values, words);
  *left_bits = words[0];
  *right_bits = words[1];
}

void pcm_modulate_block(delta_sigma& modulators, int bits, std::span<const float> values, std::span<uint32_t> words) {
  std::array<channel_state, 2>& st = modulators.channels;
  bits = normal_bits(bits);
  const size_t count = std::min(values.size(), words.size()) / 2 * 2;
  values = values.first(count);
  words = words.first(count);
  const int32_t level = modulators.level;
  if (level == 7) {
    pcm_level7_block(st, bits, values, words, level7_gain(modulators.attenuation), modulators.wide);
    return;
  }
  const int32_t level_value = volume_level(modulators.attenuation);
  if (level == 2) {
    channel_state* const states[2] = {&st[0], &st[1]};
    for (size_t i = 0; i < count; i += 2) {
      uint32_t out[2] = {};
      pcm_level2(states, {level2_input(values[i], level_value), level2_input(values[i + 1], level_value)}, bits, out);
      words[i] = out[0];
      words[i + 1] = out[1];
    }
    return;
  }
  if (bits == 16) {
    pcm_level1_block<16>(st, values, words, level_value);
  } else {
    pcm_level1_block<32>(st, values, words, level_value);
  }
}
