// The FIR's dot products over the vector layer, and their scalar
// references. Compiled with -ffp-contract=off: the two must round alike.
#include "fir_kernels.h"

#include "simd.h"

namespace simd {
namespace {

// The eight running sums of the scalar references, combined in the vector
// kernels' order.
float total_of_sums(const float (&s)[kDotRound]) noexcept {
  return ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7]));
}

// Summed in eight running sums s[i % 8], then combined as
// ((s0 + s4) + (s1 + s5)) + ((s2 + s6) + (s3 + s7)).
void dot_stereo_scalar(const float* c, const float* l, const float* r, size_t count, float* out_l,
                       float* out_r) noexcept {
  float sl[kDotRound] = {}, sr[kDotRound] = {};
  for (size_t i = 0; i < count; ++i) {
    sl[i % kDotRound] = sl[i % kDotRound] + c[i] * l[i];
    sr[i % kDotRound] = sr[i % kDotRound] + c[i] * r[i];
  }
  *out_l = total_of_sums(sl);
  *out_r = total_of_sums(sr);
}

#if defined(SIMD_NEON)
// The rounds of dot_stereo_vec4 on NEON: each operand's eight floats in one
// load (vld1 of four d registers, which takes any float alignment), so a
// round is three loads and four multiply-adds. GCC splits each eight-float
// load in two and copies the pointers; this loop does not.
[[gnu::always_inline]] inline void dot_rounds(const float* c, const float* l, const float* r, size_t count, f4& l0,
                                              f4& l1, f4& r0, f4& r1) noexcept {
  if (count == 0) return;
  const float* const end = c + count;
  asm volatile(
      "1:\n\t"
      "vld1.32 {d16-d19}, [%[c]]!\n\t"
      "vld1.32 {d20-d23}, [%[l]]!\n\t"
      "vld1.32 {d24-d27}, [%[r]]!\n\t"
      "cmp %[c], %[end]\n\t"
      "vmla.f32 %q[l0], q8, q10\n\t"
      "vmla.f32 %q[l1], q9, q11\n\t"
      "vmla.f32 %q[r0], q8, q12\n\t"
      "vmla.f32 %q[r1], q9, q13\n\t"
      "bne 1b"
      : [c] "+r"(c), [l] "+r"(l), [r] "+r"(r), [l0] "+w"(l0.v), [l1] "+w"(l1.v), [r0] "+w"(r0.v), [r1] "+w"(r1.v)
      : [end] "r"(end)
      : "cc", "memory", "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24", "d25", "d26", "d27");
}
#else
[[gnu::always_inline]] inline void dot_rounds(const float* c, const float* l, const float* r, size_t count, f4& l0,
                                              f4& l1, f4& r0, f4& r1) noexcept {
  const float* const end = c + count;
  for (; c != end; c += kDotRound, l += kDotRound, r += kDotRound) {
    const f4 c0 = load(c), c1 = load(c + 4);
    l0 = mul_add(l0, c0, load(l));
    l1 = mul_add(l1, c1, load(l + 4));
    r0 = mul_add(r0, c0, load(r));
    r1 = mul_add(r1, c1, load(r + 4));
  }
}
#endif

// The same on vectors: lanes 0..3 of the first sum hold s0..s3, of the
// second s4..s7. One coefficient load serves both channels.
[[gnu::always_inline]] inline void dot_stereo_inline(const float* c, const float* l, const float* r, size_t count,
                                                     float* out_l, float* out_r) noexcept {
  f4 l0 = splat(0.0f), l1 = l0, r0 = l0, r1 = l0;
  dot_rounds(c, l, r, count, l0, l1, r0, r1);
  pair_totals(l0 + l1, r0 + r1, out_l, out_r);
}

void dot_stereo_vec4(const float* c, const float* l, const float* r, size_t count, float* out_l,
                     float* out_r) noexcept {
  dot_stereo_inline(c, l, r, count, out_l, out_r);
}

void dot_run_vec4(const float* c, size_t c_step, size_t outputs, const float* l, const float* r, size_t count,
                  float* out) noexcept {
  for (size_t k = 0; k < outputs; ++k, c += c_step, out += 2) dot_stereo_inline(c, l, r, count, &out[0], &out[1]);
}

void dot_run_scalar(const float* c, size_t c_step, size_t outputs, const float* l, const float* r, size_t count,
                    float* out) noexcept {
  for (size_t k = 0; k < outputs; ++k, c += c_step, out += 2) dot_stereo_scalar(c, l, r, count, &out[0], &out[1]);
}

// The taps between two sets rounded step by step, then as dot_stereo_scalar.
void dot_stereo_between_scalar(const float* c0, const float* step, float weight, const float* l, const float* r,
                               size_t count, float* out_l, float* out_r) noexcept {
  float sl[kDotRound] = {}, sr[kDotRound] = {};
  for (size_t i = 0; i < count; ++i) {
    const float c = c0[i] + weight * step[i];
    sl[i % kDotRound] = sl[i % kDotRound] + c * l[i];
    sr[i % kDotRound] = sr[i % kDotRound] + c * r[i];
  }
  *out_l = total_of_sums(sl);
  *out_r = total_of_sums(sr);
}

void dot_stereo_between_vec4(const float* c0, const float* step, float weight, const float* l, const float* r,
                             size_t count, float* out_l, float* out_r) noexcept {
  const f4 w = splat(weight);
  f4 l0 = splat(0.0f), l1 = l0, r0 = l0, r1 = l0;
  const float* const end = c0 + count;
  for (; c0 != end; c0 += kDotRound, step += kDotRound, l += kDotRound, r += kDotRound) {
    const f4 t0 = mul_add(load(c0), w, load(step));
    const f4 t1 = mul_add(load(c0 + 4), w, load(step + 4));
    l0 = mul_add(l0, t0, load(l));
    l1 = mul_add(l1, t1, load(l + 4));
    r0 = mul_add(r0, t0, load(r));
    r1 = mul_add(r1, t1, load(r + 4));
  }
  pair_totals(l0 + l1, r0 + r1, out_l, out_r);
}

}  // namespace

dot_kernels dot_kernels_scalar() noexcept { return {dot_stereo_scalar, dot_stereo_between_scalar, dot_run_scalar}; }
dot_kernels dot_kernels_vec4() noexcept { return {dot_stereo_vec4, dot_stereo_between_vec4, dot_run_vec4}; }

}  // namespace simd
