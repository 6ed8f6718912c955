#include "deltasigma.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "simd.h"

// Level 7 and the closed form of level 1 run on the vectors of simd.h, and
// give the same bits on each of its platforms (this file is compiled with
// -ffp-contract=off). NEON flushes subnormals to zero; in level 7 the only
// values that can be subnormal are input terms a_i*u of inputs below 1e-30,
// and every sum they enter is either at least 1e-9 (which absorbs them
// whole) or ends in a feedback term of at least 2,000: the states come out
// the same.
namespace {

using namespace simd;

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

int32_t attenuation = 0;  // the volume in dB with the sign reversed, 0..48
int32_t level = 1;

// Every modulator feeds back +Q or -Q: full scale of the one-bit output.
constexpr int32_t kFeedback = kLevelTable[0];
constexpr uint32_t kQ = kFeedback;
constexpr uint32_t kTwoQ = 2 * kQ;  // 956,595,214: sums of two values below 2Q fit in 31 bits
constexpr float kFeedbackFloat = static_cast<float>(kFeedback);  // 478,297,600.0
// The PCM input of level 7 is scaled by the -6 dB entry whatever the volume.
constexpr float kLevel7Input = static_cast<float>(kLevelTable[6]);

// Seventh-order loop: one integrator c1 and three resonators (c2,c3),
// (c4,c5), (c6,c7), every state updated from the values of the previous
// bit with the input plus the feedback, a_i*(u + v), added at every stage
// (the exact order of operations is at level7_step):
//   c1' = c1 + a1(u+v)
//   c2' = c2 - g1*c3 + c1 + a2(u+v)    c3' = (1 - g1)*c3 + c2 + a3(u+v)
//   c4' = c4 - g2*c5 + c3 + a4(u+v)    c5' = (1 - g2)*c5 + c4 + a5(u+v)
//   c6' = c6 - g3*c7 + c5 + a6(u+v)    c7' = (1 - g3)*c7 + c6 + a7(u+v)
// and the bit is 1 when u + c7 >= 0. Each resonator's matrix [[1,-g],[1,1-g]]
// has determinant 1, so its poles lie on the unit circle: notches of the
// noise at 0, 8.1, 14.8 and 19.0 kHz (the optimal zeros of a seventh-order
// loop for a 20 kHz band at 11.2896 MHz). a1..a7 place the noise transfer
// function's poles as a maximally flat high-pass with a peak gain of 1.5.
// The input enters every stage with the feedback's coefficient, so the
// signal passes with unity gain. (The recurrence this replaces, with
// a1 = -6.991e-6 ... a7 = 0.4639 and g1..g3 = 0.0016, 0.0053, 0.0087, locks
// to a constant bit within a few hundred bits even for silence; see
// docs/modulators.md.) g_i are multiples of 2^-24, so k_i = 1 - g_i is exact.
constexpr float kG1 = 342.0f / 16777216.0f;
constexpr float kG2 = 1143.0f / 16777216.0f;
constexpr float kG3 = 1872.0f / 16777216.0f;
constexpr float kK1 = 1.0f - kG1;
constexpr float kK2 = 1.0f - kG2;
constexpr float kK3 = 1.0f - kG3;
constexpr std::array<float, 7> kA = {4.18489494e-06f, 0.00011847014f, 0.00162730816f, 0.0139746596f,
                                     0.0814671637f,   0.322670461f,   0.809264953f};

// The DSD path of level 7 runs without limits on its states. Its input is
// +-L/4 (not +-L/2): at +-Q/2 the loop overloads (a run of 0xFF bytes or
// random bits sends it into limit cycles of ~800 equal bits, with or
// without limits), at +-Q/4 it stays stable as the PCM path does.
constexpr bool kLevel7DsdClamp = false;
constexpr float kLevel7DsdScale = 0.25f;

// The feedback terms a_i * Q, computed once.
constexpr std::array<float, 7> make_feedback_terms() {
  std::array<float, 7> terms{};
  for (size_t i = 0; i < terms.size(); ++i) terms[i] = kA[i] * kFeedbackFloat;
  return terms;
}
constexpr auto kAQ = make_feedback_terms();

// Level 7's states in vector lanes: "odd" = (c1, c3, c5, c7) and "even" =
// (pad, c2, c4, c6). Then every state's update takes its neighbours from
// the same lane of the other vector or from "odd" moved up one lane:
//   odd'  = ((1,k1,k2,k3) * odd + (even + a*u)) + f
//   even' = ((even - (0,g1,g2,g3) * odd) + ((0,c1,c3,c5) + a*u)) + f
// The pad lane stays +0 for good (its coefficients are 0, so every term it
// adds is a zero, and +0 plus a zero is +0), which is all the c1 lane needs
// from it: no lane has to be cleared per bit.
constexpr lane_array kOddScale = {1.0f, kK1, kK2, kK3};
constexpr lane_array kEvenG = {0.0f, kG1, kG2, kG3};
constexpr lane_array kOddA = {kA[0], kA[2], kA[4], kA[6]};
constexpr lane_array kEvenA = {0.0f, kA[1], kA[3], kA[5]};
// The feedback terms negated: -a_i*Q, the feedback of a 1 (v = -Q).
constexpr lane_array kOddFeedback = {-kAQ[0], -kAQ[2], -kAQ[4], -kAQ[6]};
constexpr lane_array kEvenFeedback = {-0.0f, -kAQ[1], -kAQ[3], -kAQ[5]};

// Whether the 8-lane code runs (see select_modulator_vectors).
bool wide_vectors = cpu_has_avx2();

// ---- state ---------------------------------------------------------------

// Per channel. i1, i2 serve levels 1 and 2 and hold any value; they are
// updated modulo 2^32 and read as int32 (two's complement). c holds level
// 7's states in lane order: odd lanes (c1, c3, c5, c7), then even lanes
// (0, c2, c4, c6). The masks hold the last DSD byte's bits that are still
// ones / zeros (cancelled bits are in neither).
struct modulator_state {
  uint32_t i1 = 0;
  uint32_t i2 = 0;
  uint8_t ones_mask = 0;
  uint8_t zeros_mask = 0;
  std::array<float, 2 * kLanes> c{};
};

std::array<modulator_state, 2> channel_state{};
bool initialised = false;  // cleared by reset_modulators; the next call zeroes the state

void ensure_initialised() noexcept {
  if (initialised) return;
  channel_state = {};
  initialised = true;
}

// The low `bits` bits (16 or 32).
constexpr uint32_t bit_mask(int bits) noexcept { return bits == 32 ? ~0u : (1u << bits) - 1; }

// Calls f(std::integral_constant<int, c>) for c = 0..kChannels-1, unrolled,
// so that per-channel arrays indexed by c stay in registers.
template <int kChannels, class F>
[[gnu::always_inline]] inline void each_channel(F&& f) {
  [&]<int... kC>(std::integer_sequence<int, kC...>) {
    (f(std::integral_constant<int, kC>{}), ...);
  }(std::make_integer_sequence<int, kChannels>{});
}

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

// ---- levels 1 and 2: one vector lane per channel ------------------------

// The integer loops with channel c in lane c, run in "after the input" form:
// a1 = i1 + in and a2 = i2 + a1 for the coming bit. With m all ones where the
// bit is 0 (level 2: a2 < 0, level 1: a1 < 0), the feedback is
// v = -Q + (m & 2Q), and with in' the next bit's input
//   a1' = (a1 + (in' - Q)) + (m & 2Q)
//   a2' = ((a2 + a1) + (in' - 2Q)) + (m & 4Q)     (level 2 only)
// which is i1 += in; i2 += i1; then both += v, modulo 2^32. The select is a
// mask, not a branch (the bits are unpredictable), and only a shift, an and
// and an add lie between one bit's decision and the next.
struct integer_lanes {
  u4 a1;
  u4 a2;
  u4 inverted;  // the bits so far, inverted (a 1 for each 0)
};

// The terms of one input value per lane: in - Q and in - 2Q.
struct integer_input {
  u4 minus_q;
  u4 minus_two_q;
};

inline integer_input make_integer_input(u4 in) noexcept { return {in - splat(kQ), in - splat(kTwoQ)}; }

// Lanes from per-channel values (unused lanes 0).
template <int kChannels>
inline u4 channel_lanes(const uint32_t (&v)[kChannels]) noexcept {
  static_assert(kChannels == 1 || kChannels == 2);
  if constexpr (kChannels == 1) {
    return set(v[0], 0, 0, 0);
  } else {
    return set(v[0], v[1], 0, 0);
  }
}

// Starts the loop on the integrators i1, i2 and the first bit's input.
inline integer_lanes enter_integer(u4 i1, u4 i2, u4 in) noexcept {
  const u4 a1 = i1 + in;
  return {a1, i2 + a1, splat(0u)};
}

template <bool kSecondOrder>
[[gnu::always_inline]] inline void integer_step(integer_lanes& s, const integer_input& next) noexcept {
  const u4 m = negative(kSecondOrder ? s.a2 : s.a1);
  s.inverted = (s.inverted + s.inverted) - m;
  // The sums without the mask first (settled keeps the compiler from
  // moving the mask, the latest operand, into them).
  if constexpr (kSecondOrder) s.a2 = settled(s.a2 + (s.a1 + next.minus_two_q)) + (m & splat(2 * kTwoQ));
  s.a1 = settled(s.a1 + next.minus_q) + (m & splat(kTwoQ));
}

// After a last step whose next input was 0: a1 = i1 and a2 = i2 + i1.
inline u4 exit_i1(const integer_lanes& s) noexcept { return s.a1; }
inline u4 exit_i2(const integer_lanes& s) noexcept { return s.a2 - s.a1; }

// `bits` bits of constant input; leaves the loop (next input 0) after the last.
template <bool kSecondOrder>
inline void run_integer(integer_lanes& s, u4 in, int bits) noexcept {
  const integer_input same = make_integer_input(in);
  const integer_input none = make_integer_input(splat(0u));
#pragma GCC unroll 8
  for (int n = 1; n < bits; ++n) integer_step<kSecondOrder>(s, same);
  integer_step<kSecondOrder>(s, none);
}

// Level 2 on one or two channels; in[c] = s/2 of channel c.
template <int kChannels>
inline void pcm_level2(modulator_state* const (&st)[kChannels], const uint32_t (&in)[kChannels], int bits,
                       uint32_t (&out)[kChannels]) noexcept {
  uint32_t i1[kChannels], i2[kChannels];
  each_channel<kChannels>([&](auto c) { i1[c] = st[c]->i1, i2[c] = st[c]->i2; });
  const u4 x = channel_lanes(in);
  integer_lanes s = enter_integer(channel_lanes(i1), channel_lanes(i2), x);
  run_integer<true>(s, x, bits);
  const u4 new_i1 = exit_i1(s), new_i2 = exit_i2(s);
  each_channel<kChannels>([&](auto c) {
    st[c]->i1 = lane<c>(new_i1);
    st[c]->i2 = lane<c>(new_i2);
    out[c] = ~lane<c>(s.inverted) & bit_mask(bits);
  });
}

inline uint32_t level2_input(float x) noexcept {
  return static_cast<uint32_t>(scaled_input(x, level_table_entry(attenuation)) / 2);
}


// ---- level 1 ---------------------------------------------------------------

// x mod 2Q for x < 4Q.
constexpr uint32_t reduce(uint32_t x) noexcept { return x >= kTwoQ ? x - kTwoQ : x; }
inline u4 reduce(u4 x) noexcept { return subtract_if_at_least(x, splat(kTwoQ)); }

// The first-order loop in closed form. With R = i1 + Q in [0, 2Q) and
// d = s + Q in [0, 2Q], each bit is R + d >= 2Q and R becomes (R + d) mod 2Q,
// so after bit k R is R_k = (R + (k+1)d) mod 2Q and bit k is R_k < d: the bits
// do not depend on each other. Four lanes hold four consecutive R_k and step
// by 4d mod 2Q; everything stays below 2^31 and no division is needed.
// Returns the kBits bits and sets r to its value after them.
template <int kBits>
inline uint32_t level1_closed_form(uint32_t& r, uint32_t d) noexcept {
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
    bits = or_where(bits, greater(limit_d, after), weight);
    weight = shift_right<4>(weight);
    after = reduce(after + stride);
  }
  // R after all the bits straight from R (4d -> 8d -> 16d -> 32d), so that
  // the next call does not wait for the lanes.
  uint32_t all = m4;
  for (int k = 4; k < kBits; k *= 2) all = reduce(2 * all);
  r = reduce(r + all);
  return or_lanes(bits);
}

template <int kBits>
uint32_t pcm_level1(modulator_state& st, float x) noexcept {
  const int32_t s = scaled_input(x, level_table_entry(attenuation));
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
  st.i1 = lane<0>(exit_i1(lanes));
  return ~lane<0>(lanes.inverted) & bit_mask(kBits);
}

// ---- level 7 ---------------------------------------------------------------

// Vectors of lanes for the kernel: F is f4 (one channel) or, on x86 with
// AVX2, f8 (left in the low half, right in the high half).
// The input terms of one input value u: a_i*u in lane order, and u itself.
template <class F>
struct level7_input {
  F odd;
  F even;
  typename F::top_type u;
};

inline level7_input<f4> make_level7_input(float u) noexcept {
  const f4 uu = splat(u);
  return {load(kOddA) * uu, load(kEvenA) * uu, top_splat(u)};
}

// The lanes of one channel (or two, in f8), held in registers while it runs.
template <class F>
struct level7_lanes {
  F odd;   // c1, c3, c5, c7
  F even;  // pad (+0), c2, c4, c6
  typename F::history signs;  // the bits so far
};

inline level7_lanes<f4> load_level7(const modulator_state& st) noexcept {
  return {load(st.c.data()), load(st.c.data() + kLanes), no_signs()};
}

inline void store_level7(modulator_state& st, const level7_lanes<f4>& s) noexcept {
  store(st.c.data(), s.odd);
  store(st.c.data() + kLanes, s.even);
}

// The loop's constants, loaded once per call.
template <class F>
struct level7_constants {
  F odd_scale;
  F even_g;
  F odd_feedback;
  F even_feedback;
  F high;
  F low;
};

inline level7_constants<f4> make_level7_constants() noexcept {
  return {load(kOddScale), load(kEvenG),          load(kOddFeedback),
          load(kEvenFeedback), splat(kFeedbackFloat), splat(-kFeedbackFloat)};
}

// One bit of level 7, from the previous bit's states (au_i = a_i*u, f_i = a_i*v
// with v = -Q for a 1 and +Q for a 0, so f_i = copysign(a_i*Q, -q)):
//   q = u + c7; the bit is 1 when q >= 0
//   c1' = lim((c1 + au1) + f1)
//   c2' = lim(((c2 - g1*c3) + (c1 + au2)) + f2)   c3' = lim((k1*c3 + (c2 + au3)) + f3)
//   c4' = lim(((c4 - g2*c5) + (c3 + au4)) + f4)   c5' = lim((k2*c5 + (c4 + au5)) + f5)
//   c6' = lim(((c6 - g3*c7) + (c5 + au6)) + f6)   c7' = lim((k3*c7 + (c6 + au7)) + f7)
// lim limits to [-Q, Q] when kClamp. The c1 lane computes (1*c1 + (0 + au1)) + f1:
// 1*c1 and 0 + au1 are exact, and a zero's sign cannot survive the + f1, so it
// equals (c1 + au1) + f1. With the feedback term last, every sum's operands
// are those of the recurrence above in the same order. q is taken from the
// limited c7: with |u| <= Q/4 the limit never changes the sign of u + c7.
// q >= 0 is read from q's sign bit: q is never NaN, and never -0 (a sum is
// -0 only when both terms are, and c7 never is: it starts at +0 and each
// new c7 ends in a non-zero + f7), so the sign bit decides alike. The
// feedback is -a_i*Q with that sign bit flipped in: f_i exactly.
template <bool kClamp, class F>
[[gnu::always_inline]] inline void level7_step(level7_lanes<F>& s, const level7_input<F>& in,
                                               const level7_constants<F>& k) noexcept {
  const auto q = add_top(in.u, s.odd);
  const F sign = sign_mask(q);
  s.signs = append_sign(s.signs, q);
  const F odd = mul_add(s.even + in.odd, k.odd_scale, s.odd) + flip_sign(k.odd_feedback, sign);
  const F even =
      (mul_sub(s.even, k.even_g, s.odd) + (shift_up(s.odd, sign) + in.even)) + flip_sign(k.even_feedback, sign);
  s.odd = kClamp ? limit(odd, k.low, k.high) : odd;
  s.even = kClamp ? limit(even, k.low, k.high) : even;
}

// Runs `bits` bits (1..8) of level 7 on kChannels sets of lanes, each with
// its constant input. The bits are appended to s[c].signs, earliest first.
template <bool kClamp, int kChannels, class F>
[[gnu::always_inline]] inline void level7_run(level7_lanes<F> (&s)[kChannels],
                                              const level7_input<F>* const (&in)[kChannels], int bits,
                                              const level7_constants<F>& k) noexcept {
  for (int n = 0; n < bits; ++n) {
    each_channel<kChannels>([&](auto c) { level7_step<kClamp>(s[c], *in[c], k); });
  }
}

// Calls step() `bits` (16 or 32) times, eight to a loop turn.
template <class Step>
[[gnu::always_inline]] inline void repeat_pcm_bits(int bits, Step&& step) noexcept {
  for (int n = 0; n < bits; n += 8) {
#pragma GCC unroll 8
    for (int j = 0; j < 8; ++j) step();
  }
}

float level7_pcm_input(float x) noexcept {
  // NaN would poison the float states for good: take it as silence.
  const float scaled = std::isnan(x) ? 0.0f : std::clamp(x * kLevel7Input, -kLevel7Input, kLevel7Input);
  return scaled * 0.5f;
}

// One channel through level 7: the samples x[first], x[first + step], ...
// become the words at the same places of out (out as long as x). The states
// stay in registers from sample to sample. (Plain locals, no arrays: GCC
// copies arrays of vector records through the stack.)
void pcm_level7(modulator_state& st, int bits, std::span<const float> x, std::span<uint32_t> out, size_t first,
                size_t step) noexcept {
  const level7_constants<f4> k = make_level7_constants();
  level7_lanes<f4> s = load_level7(st);
  for (size_t i = first; i < x.size(); i += step) {
    const level7_input<f4> in = make_level7_input(level7_pcm_input(x[i]));
    repeat_pcm_bits(bits, [&] { level7_step<true>(s, in, k); });
    out[i] = recent_bits(s.signs) & bit_mask(bits);
  }
  store_level7(st, s);
}

// Both channels, interleaved: the two independent chains hide each other's
// latency. Not on NEON: its 16 q registers hold one channel's states and
// inputs beside the loop's constants, and two channels would spill and
// reload on every bit; there the channels run one after the other.
[[maybe_unused]] void pcm_level7_pair(const float (&x)[2], int bits, uint32_t (&out)[2]) noexcept {
  const level7_input<f4> left_in = make_level7_input(level7_pcm_input(x[0]));
  const level7_input<f4> right_in = make_level7_input(level7_pcm_input(x[1]));
  const level7_constants<f4> k = make_level7_constants();
  level7_lanes<f4> left = load_level7(channel_state[0]);
  level7_lanes<f4> right = load_level7(channel_state[1]);
  repeat_pcm_bits(bits, [&] {
    level7_step<true>(left, left_in, k);
    level7_step<true>(right, right_in, k);
  });
  store_level7(channel_state[0], left);
  store_level7(channel_state[1], right);
  out[0] = recent_bits(left.signs) & bit_mask(bits);
  out[1] = recent_bits(right.signs) & bit_mask(bits);
}

#if defined(SIMD_AVX2)
// Two channels' records side by side in 8 lanes (left low), and back.
[[gnu::always_inline]] inline level7_input<f8> pair_of(const level7_input<f4>& l,
                                                       const level7_input<f4>& r) noexcept {
  return {pair_of(l.odd, r.odd), pair_of(l.even, r.even), pair_of(l.u, r.u)};
}
[[gnu::always_inline]] inline level7_constants<f8> pair_of(const level7_constants<f4>& l,
                                                           const level7_constants<f4>& r) noexcept {
  return {pair_of(l.odd_scale, r.odd_scale),         pair_of(l.even_g, r.even_g),
          pair_of(l.odd_feedback, r.odd_feedback),   pair_of(l.even_feedback, r.even_feedback),
          pair_of(l.high, r.high),                   pair_of(l.low, r.low)};
}
[[gnu::always_inline]] inline level7_lanes<f8> pair_of(const level7_lanes<f4>& l, const level7_lanes<f4>& r) noexcept {
  return {pair_of(l.odd, r.odd), pair_of(l.even, r.even), f8::history{}};
}
[[gnu::always_inline]] inline level7_lanes<f4> low_half(const level7_lanes<f8>& s) noexcept {
  return {low_half(s.odd), low_half(s.even), no_signs()};
}
[[gnu::always_inline]] inline level7_lanes<f4> high_half(const level7_lanes<f8>& s) noexcept {
  return {high_half(s.odd), high_half(s.even), no_signs()};
}

// pcm_level7 on both channels in one set of 8-lane vectors, left in the low
// half.
SIMD_AVX2_FUNCTION void pcm_level7_wide(const float (&x)[2], int bits, uint32_t (&out)[2]) noexcept {
  modulator_state& left = channel_state[0];
  modulator_state& right = channel_state[1];
  const level7_input<f8> in = pair_of(make_level7_input(level7_pcm_input(x[0])),
                                      make_level7_input(level7_pcm_input(x[1])));
  const level7_constants<f4> k4 = make_level7_constants();
  const level7_constants<f8> k = pair_of(k4, k4);
  level7_lanes<f8> s = pair_of(load_level7(left), load_level7(right));
  for (int n = 0; n < bits; ++n) level7_step<true>(s, in, k);
  store_level7(left, low_half(s));
  store_level7(right, high_half(s));
  out[0] = recent_bits<0>(s.signs) & bit_mask(bits);
  out[1] = recent_bits<1>(s.signs) & bit_mask(bits);
}
#endif

// ---- DSD -------------------------------------------------------------------

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
inline uint16_t cancel_pairs(modulator_state& st, uint8_t byte) noexcept {
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
void dsd_bytes_integer(modulator_state* const (&st)[kChannels], const uint16_t (&word)[kChannels], uint32_t value,
                       byte_slot (&out)[kChannels], int32_t ratio) noexcept {
  const uint32_t values[3] = {0u - value, 0u, value};
  // next[j]: the input of position 15 - j; next[8]: none (leaves the loop).
  std::array<integer_input, 9> next{};
  u4 first = splat(0u);
  for (int j = 0; j < 8; ++j) {
    uint32_t in[kChannels];
    each_channel<kChannels>([&](auto c) { in[c] = values[three_level_index(word[c], 15 - j)]; });
    const u4 v = channel_lanes(in);
    if (j == 0) first = v;
    next[j] = make_integer_input(v);
  }
  next[8] = make_integer_input(splat(0u));
  uint32_t i1[kChannels], i2[kChannels];
  each_channel<kChannels>([&](auto c) { i1[c] = st[c]->i1, i2[c] = st[c]->i2; });
  integer_lanes s = enter_integer(channel_lanes(i1), channel_lanes(i2), first);
  int filled = 0;
  auto bit_done = [&] {
    if (++filled < 8) return;
    filled = 0;
    each_channel<kChannels>([&](auto c) { out[c].write(~lane<c>(s.inverted)); });
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
    st[c]->i1 = lane<c>(new_i1);
    if (kSecondOrder) st[c]->i2 = lane<c>(new_i2);
  });
}

template <int kChannels>
void dsd_bytes_level7(modulator_state* const (&st)[kChannels], const uint16_t (&word)[kChannels],
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

// The input bytes at pos (and pos + 1 when kChannels is 2) of channels
// pos & 1 onwards, through the front end and the modulator of the level.
template <int kChannels>
void dsd_bytes(const uint8_t* input, uint8_t* output, const uint8_t* output_end, int32_t pos, int32_t ratio,
               uint32_t value, const std::array<level7_input<f4>, 3>& inputs) noexcept {
  modulator_state* st[kChannels];
  uint16_t word[kChannels];
  byte_slot out[kChannels] = {};
  for (int c = 0; c < kChannels; ++c) {
    const int32_t ch = (pos + c) & 1;
    st[c] = &channel_state[ch];
    word[c] = cancel_pairs(*st[c], input[pos + c]);
    out[c] = {output + 2 * ratio * ((pos + c) >> 1) + ch, output_end};
  }
  if (level == 7) {
    dsd_bytes_level7(st, word, inputs, out, ratio);
  } else if (level == 2) {
    dsd_bytes_integer<true>(st, word, value / 2, out, ratio);
  } else {
    dsd_bytes_integer<false>(st, word, value, out, ratio);
  }
}

int normal_bits(int bits) noexcept { return bits == 16 ? 16 : 32; }

}  // namespace

int32_t level_table_entry(int32_t db_down) {
  // 48 dB down has no table entry: it is silence.
  return db_down >= 0 && db_down < kLevelTableSize ? kLevelTable[db_down] : 0;
}

int32_t select_modulator_level(int32_t requested) {
  if (requested != 1 && requested != 2 && requested != 7) return 0;
  level = requested;
  return -1;
}

int32_t modulator_level() { return level; }

int32_t set_volume(int32_t db) {
  if (db < -kMaxAttenuationDb || db > 0) return get_volume();
  attenuation = -db;
  return db;
}

int32_t get_volume() { return -attenuation; }

void reset_modulators() { initialised = false; }

bool select_modulator_vectors(bool wide) {
  wide_vectors = wide && cpu_has_avx2();
  return wide_vectors;
}

uint32_t pcm_modulator(int channel, int bits, float x) {
  ensure_initialised();
  modulator_state& st = channel_state[channel & 1];
  bits = normal_bits(bits);
  uint32_t out[1] = {};
  switch (level) {
    case 2: {
      modulator_state* const states[1] = {&st};
      pcm_level2(states, {level2_input(x)}, bits, out);
      return out[0];
    }
    case 7: pcm_level7(st, bits, {&x, 1}, out, 0, 1); return out[0];
    default: return bits == 16 ? pcm_level1<16>(st, x) : pcm_level1<32>(st, x);
  }
}

void pcm_modulate_pair(int bits, float left, float right, uint32_t* left_bits, uint32_t* right_bits) {
  const float values[2] = {left, right};
  uint32_t words[2] = {};
  pcm_modulate_block(bits, values, words);
  *left_bits = words[0];
  *right_bits = words[1];
}

void pcm_modulate_block(int bits, std::span<const float> values, std::span<uint32_t> words) {
  ensure_initialised();
  bits = normal_bits(bits);
  const size_t count = std::min(values.size(), words.size()) / 2 * 2;
  values = values.first(count);
  words = words.first(count);
  modulator_state* const states[2] = {&channel_state[0], &channel_state[1]};
  switch (level) {
    case 2:
      for (size_t i = 0; i < count; i += 2) {
        uint32_t out[2] = {};
        pcm_level2(states, {level2_input(values[i]), level2_input(values[i + 1])}, bits, out);
        words[i] = out[0];
        words[i + 1] = out[1];
      }
      break;
    case 7:
#if defined(SIMD_AVX2)
      if (wide_vectors) {
        for (size_t i = 0; i < count; i += 2) {
          uint32_t out[2] = {};
          pcm_level7_wide({values[i], values[i + 1]}, bits, out);
          words[i] = out[0];
          words[i + 1] = out[1];
        }
        break;
      }
#endif
#if defined(SIMD_NEON)
      pcm_level7(channel_state[0], bits, values, words, 0, 2);
      pcm_level7(channel_state[1], bits, values, words, 1, 2);
#else
      for (size_t i = 0; i < count; i += 2) {
        uint32_t out[2] = {};
        pcm_level7_pair({values[i], values[i + 1]}, bits, out);
        words[i] = out[0];
        words[i + 1] = out[1];
      }
#endif
      break;
    default:
      for (size_t i = 0; i < count; i += 2) {
        if (bits == 16) {
          words[i] = pcm_level1<16>(channel_state[0], values[i]);
          words[i + 1] = pcm_level1<16>(channel_state[1], values[i + 1]);
        } else {
          words[i] = pcm_level1<32>(channel_state[0], values[i]);
          words[i + 1] = pcm_level1<32>(channel_state[1], values[i + 1]);
        }
      }
  }
}

int32_t dsd_modulator(const uint8_t* input, uint8_t* output, int32_t count, int32_t ratio) {
  ensure_initialised();
  if (ratio < 1 || count < 1) return count;
  const int32_t entry = level_table_entry(attenuation);
  std::array<level7_input<f4>, 3> inputs{};
  if (level == 7) {
    const float value7 = static_cast<float>(entry) * kLevel7DsdScale;
    inputs = {make_level7_input(-value7), make_level7_input(0.0f), make_level7_input(value7)};
  }
  const uint8_t* end = output + static_cast<size_t>(count) * static_cast<size_t>(ratio);
  const auto value = static_cast<uint32_t>(entry);
  int32_t pos = 0;
  for (; pos + 1 < count; pos += 2) dsd_bytes<2>(input, output, end, pos, ratio, value, inputs);
  if (pos < count) dsd_bytes<1>(input, output, end, pos, ratio, value, inputs);
  return count;
}
