// Level 7, the seventh-order loop on float vectors: its coefficients, its
// states in vector lanes and one bit of it, written once for 4 lanes (one
// channel) and 8 (two channels, on x86 with AVX2). For the PCM and the DSD
// paths alike.
//
// It gives the same bits on each platform of simd.h. NEON flushes
// subnormals to zero; the only values that can be subnormal here are input
// terms a_i*u of inputs below 1e-30, and every sum they enter is either at
// least 1e-9 (which absorbs them whole) or ends in a feedback term of at
// least 2,000: the states come out the same.
#pragma once

#include <array>

#include "modulator_state.h"
#include "simd.h"

namespace modulator {

using simd::f4;
using simd::lane_array;

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
  const f4 uu = simd::splat(u);
  return {simd::load(kOddA) * uu, simd::load(kEvenA) * uu, simd::top_splat(u)};
}

// The lanes of one channel (or two, in f8), held in registers while it runs.
template <class F>
struct level7_lanes {
  F odd;                      // c1, c3, c5, c7
  F even;                     // pad (+0), c2, c4, c6
  typename F::history signs;  // the bits so far
};

inline level7_lanes<f4> load_level7(const channel_state& st) noexcept {
  return {simd::load(st.c.data()), simd::load(st.c.data() + simd::kLanes), simd::no_signs()};
}

inline void store_level7(channel_state& st, const level7_lanes<f4>& s) noexcept {
  simd::store(st.c.data(), s.odd);
  simd::store(st.c.data() + simd::kLanes, s.even);
}

// The loop's constants, loaded once per call.
template <class F>
struct level7_constants {
  F odd_scale;
  F even_g;
  F odd_a;
  F even_a;
  F high;
  F low;
  F zero;
  typename F::top_type minus_q;  // the feedback of a 1
};

inline level7_constants<f4> make_level7_constants() noexcept {
  return {
      simd::load(kOddScale),       simd::load(kEvenG),           simd::load(kOddA), simd::load(kEvenA),
      simd::splat(kFeedbackFloat), simd::splat(-kFeedbackFloat), simd::splat(0.0f), simd::top_splat(-kFeedbackFloat)};
}

// One bit of level 7, from the previous bit's states (au_i = a_i*u, f_i = a_i*v
// with v = -Q for a 1 and +Q for a 0, so f_i = copysign(a_i*Q, -q)):
//   q = u + c7; the bit is 1 when q >= 0
//   c1' = lim((c1 + au1) + f1)
//   c2' = lim(((c2 - g1*c3) + (c1 + au2)) + f2)   c3' = lim((k1*c3 + (c2 + au3)) + f3)
//   c4' = lim(((c4 - g2*c5) + (c3 + au4)) + f4)   c5' = lim((k2*c5 + (c4 + au5)) + f5)
//   c6' = lim(((c6 - g3*c7) + (c5 + au6)) + f6)   c7' = lim((k3*c7 + (c6 + au7)) + f7)
// lim limits to [-Q, Q] when kClamp (the PCM path leaves it to level7_limit
// after every eighth bit instead). The c1 lane computes (1*c1 + (0 + au1)) + f1:
// 1*c1 and 0 + au1 are exact, and a zero's sign cannot survive the + f1, so it
// equals (c1 + au1) + f1. With the feedback term last, every sum's operands
// are those of the recurrence above in the same order. q is taken from c7 as
// it stands, limited or not.
// q >= 0 is read from q's sign bit: q is never NaN, and never -0 (a sum is
// -0 only when both terms are, and c7 never is: it starts at +0 and each
// new c7 ends in a non-zero + f7), so the sign bit decides alike. The
// feedback is a_i times v, -Q with that sign bit flipped in: the product
// rounds to f_i exactly, and the pad lane's 0 * v is a zero, which keeps it
// +0. (On NEON v is a scalar lane of a multiply-add, not a vector to make.)
template <bool kClamp, class F>
[[gnu::always_inline]] inline void level7_step(level7_lanes<F>& s, const level7_input<F>& in,
                                               const level7_constants<F>& k) noexcept {
  const auto q = add_top(in.u, s.odd);
  const auto sign = top_sign(q);
  s.signs = append_sign(s.signs, sign);
  const auto v = flip_top(k.minus_q, sign);
  const F odd = mul_add_top(mul_add(s.even + in.odd, k.odd_scale, s.odd), k.odd_a, v);
  const F even = mul_add_top(mul_sub(s.even, k.even_g, s.odd) + (shift_up(s.odd, k.zero) + in.even), k.even_a, v);
  s.odd = kClamp ? limit(odd, k.low, k.high) : odd;
  s.even = kClamp ? limit(even, k.low, k.high) : even;
}

// Limits every state to [-Q, Q]; the pad lane's +0 stays +0.
template <class F>
[[gnu::always_inline]] inline void level7_limit(level7_lanes<F>& s, const level7_constants<F>& k) noexcept {
  s.odd = limit(s.odd, k.low, k.high);
  s.even = limit(s.even, k.low, k.high);
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

}  // namespace modulator
