// The loops of levels 1 and 2 on integers, one vector lane per channel: for
// the PCM and the DSD paths alike.
#pragma once

#include <cstdint>

#include "modulator_state.h"
#include "simd.h"

namespace modulator {

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
  simd::u4 a1;
  simd::u4 a2;
  simd::u4 inverted;  // the bits so far, inverted (a 1 for each 0)
};

// The terms of one input value per lane: in - Q and in - 2Q.
struct integer_input {
  simd::u4 minus_q;
  simd::u4 minus_two_q;
};

inline integer_input make_integer_input(simd::u4 in) noexcept {
  return {in - simd::splat(kQ), in - simd::splat(kTwoQ)};
}

// Lanes from per-channel values (unused lanes 0).
template <int kChannels>
inline simd::u4 channel_lanes(const uint32_t (&v)[kChannels]) noexcept {
  static_assert(kChannels == 1 || kChannels == 2);
  if constexpr (kChannels == 1) {
    return simd::set(v[0], 0, 0, 0);
  } else {
    return simd::set(v[0], v[1], 0, 0);
  }
}

// Starts the loop on the integrators i1, i2 and the first bit's input.
inline integer_lanes enter_integer(simd::u4 i1, simd::u4 i2, simd::u4 in) noexcept {
  const simd::u4 a1 = i1 + in;
  return {a1, i2 + a1, simd::splat(0u)};
}

template <bool kSecondOrder>
[[gnu::always_inline]] inline void integer_step(integer_lanes& s, const integer_input& next) noexcept {
  using simd::settled, simd::splat;
  const simd::u4 m = simd::negative(kSecondOrder ? s.a2 : s.a1);
  s.inverted = (s.inverted + s.inverted) - m;
  // The sums without the mask first (settled keeps the compiler from
  // moving the mask, the latest operand, into them).
  if constexpr (kSecondOrder) s.a2 = settled(s.a2 + (s.a1 + next.minus_two_q)) + (m & splat(2 * kTwoQ));
  s.a1 = settled(s.a1 + next.minus_q) + (m & splat(kTwoQ));
}

// After a last step whose next input was 0: a1 = i1 and a2 = i2 + i1.
inline simd::u4 exit_i1(const integer_lanes& s) noexcept { return s.a1; }
inline simd::u4 exit_i2(const integer_lanes& s) noexcept { return s.a2 - s.a1; }

// `bits` bits of constant input; leaves the loop (next input 0) after the last.
template <bool kSecondOrder>
inline void run_integer(integer_lanes& s, simd::u4 in, int bits) noexcept {
  const integer_input same = make_integer_input(in);
  const integer_input none = make_integer_input(simd::splat(0u));
#pragma GCC unroll 8
  for (int n = 1; n < bits; ++n) integer_step<kSecondOrder>(s, same);
  integer_step<kSecondOrder>(s, none);
}

}  // namespace modulator
