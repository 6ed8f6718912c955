// The one small vector abstraction of the FIR filter: a 4-lane float vector
// (NEON on ARM, SSE on x86, plain floats elsewhere) and the filter's dot
// product written once over it.
//
// Every lane computes sum + c * x as a multiply and an add, each rounded to
// float (NEON's vmla rounds twice too; the file is compiled with
// -ffp-contract=off so no FMA is formed), in the order the scalar reference
// has it. NEON flushes subnormal results to zero, the only way its output
// can differ.
#pragma once

#include <cstddef>

#if defined(__ARM_NEON) || defined(__ARM_NEON__)
#include <arm_neon.h>
#define SIMD_NEON 1
#elif defined(__SSE__) || defined(__x86_64__)
#include <immintrin.h>
#define SIMD_X86 1
#endif

namespace simd {

// Taps per round of the dot product: two vectors per channel, so that the
// four running sums of a round do not wait for each other.
constexpr size_t kDotRound = 8;

struct vec4 {
#if defined(SIMD_NEON)
  float32x4_t v;
  static vec4 load(const float* p) noexcept { return {vld1q_f32(p)}; }
  static vec4 zero() noexcept { return {vdupq_n_f32(0.0f)}; }
  static vec4 splat(float x) noexcept { return {vdupq_n_f32(x)}; }
  friend vec4 operator+(vec4 a, vec4 b) noexcept { return {vaddq_f32(a.v, b.v)}; }
  // sum + c * x
  static vec4 multiply_add(vec4 sum, vec4 c, vec4 x) noexcept { return {vmlaq_f32(sum.v, c.v, x.v)}; }
  // ((a0 + a1) + (a2 + a3)) of a and of b.
  static void pair_totals(vec4 a, vec4 b, float* total_a, float* total_b) noexcept {
    const float32x2_t ha = vpadd_f32(vget_low_f32(a.v), vget_high_f32(a.v));
    const float32x2_t hb = vpadd_f32(vget_low_f32(b.v), vget_high_f32(b.v));
    const float32x2_t both = vpadd_f32(ha, hb);
    *total_a = vget_lane_f32(both, 0);
    *total_b = vget_lane_f32(both, 1);
  }
#elif defined(SIMD_X86)
  __m128 v;
  static vec4 load(const float* p) noexcept { return {_mm_loadu_ps(p)}; }
  static vec4 zero() noexcept { return {_mm_setzero_ps()}; }
  static vec4 splat(float x) noexcept { return {_mm_set1_ps(x)}; }
  friend vec4 operator+(vec4 a, vec4 b) noexcept { return {_mm_add_ps(a.v, b.v)}; }
  static vec4 multiply_add(vec4 sum, vec4 c, vec4 x) noexcept { return {_mm_add_ps(sum.v, _mm_mul_ps(c.v, x.v))}; }
  static void pair_totals(vec4 a, vec4 b, float* total_a, float* total_b) noexcept {
    // (a0+a1, a2+a3, b0+b1, b2+b3), then the two halves of each added.
    const __m128 low = _mm_shuffle_ps(a.v, b.v, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 high = _mm_shuffle_ps(a.v, b.v, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128 halves = _mm_add_ps(low, high);
    const __m128 totals = _mm_add_ps(halves, _mm_shuffle_ps(halves, halves, _MM_SHUFFLE(3, 3, 3, 1)));
    *total_a = _mm_cvtss_f32(totals);
    *total_b = _mm_cvtss_f32(_mm_shuffle_ps(totals, totals, _MM_SHUFFLE(2, 2, 2, 2)));
  }
#else
  float v[4];
  static vec4 load(const float* p) noexcept { return {{p[0], p[1], p[2], p[3]}}; }
  static vec4 zero() noexcept { return {{0.0f, 0.0f, 0.0f, 0.0f}}; }
  static vec4 splat(float x) noexcept { return {{x, x, x, x}}; }
  friend vec4 operator+(vec4 a, vec4 b) noexcept {
    return {{a.v[0] + b.v[0], a.v[1] + b.v[1], a.v[2] + b.v[2], a.v[3] + b.v[3]}};
  }
  static vec4 multiply_add(vec4 sum, vec4 c, vec4 x) noexcept {
    for (int i = 0; i < 4; ++i) sum.v[i] = sum.v[i] + c.v[i] * x.v[i];
    return sum;
  }
  static void pair_totals(vec4 a, vec4 b, float* total_a, float* total_b) noexcept {
    *total_a = (a.v[0] + a.v[1]) + (a.v[2] + a.v[3]);
    *total_b = (b.v[0] + b.v[1]) + (b.v[2] + b.v[3]);
  }
#endif
};

// The eight running sums of the scalar references, combined in the vector
// kernels' order.
inline float total_of_sums(const float (&s)[kDotRound]) noexcept {
  return ((s[0] + s[4]) + (s[1] + s[5])) + ((s[2] + s[6]) + (s[3] + s[7]));
}

// The scalar reference of the stereo dot product: *out_l = sum of c[i] * l[i]
// and *out_r likewise, i = 0..count-1 (count a whole number of rounds),
// summed in eight running sums s[i % 8] and then combined as
// ((s0 + s4) + (s1 + s5)) + ((s2 + s6) + (s3 + s7)).
inline void dot_stereo_scalar(const float* c, const float* l, const float* r, size_t count, float* out_l,
                              float* out_r) noexcept {
  float sl[kDotRound] = {}, sr[kDotRound] = {};
  for (size_t i = 0; i < count; ++i) {
    sl[i % kDotRound] = sl[i % kDotRound] + c[i] * l[i];
    sr[i % kDotRound] = sr[i % kDotRound] + c[i] * r[i];
  }
  *out_l = total_of_sums(sl);
  *out_r = total_of_sums(sr);
}

// The same on vectors: lanes 0..3 of the first sum hold s0..s3, of the
// second s4..s7. One coefficient load serves both channels.
inline void dot_stereo_vec4(const float* c, const float* l, const float* r, size_t count, float* out_l,
                            float* out_r) noexcept {
  vec4 l0 = vec4::zero(), l1 = l0, r0 = l0, r1 = l0;
  const float* const end = c + count;
  for (; c != end; c += kDotRound, l += kDotRound, r += kDotRound) {
    const vec4 c0 = vec4::load(c), c1 = vec4::load(c + 4);
    l0 = vec4::multiply_add(l0, c0, vec4::load(l));
    l1 = vec4::multiply_add(l1, c1, vec4::load(l + 4));
    r0 = vec4::multiply_add(r0, c0, vec4::load(r));
    r1 = vec4::multiply_add(r1, c1, vec4::load(r + 4));
  }
  vec4::pair_totals(l0 + l1, r0 + r1, out_l, out_r);
}

// The dot product with taps between two sets, given the first and the step
// to the second: c[i] = c0[i] + weight * step[i], rounded step by step, then
// as dot_stereo_scalar.
inline void dot_stereo_between_scalar(const float* c0, const float* step, float weight, const float* l,
                                      const float* r, size_t count, float* out_l, float* out_r) noexcept {
  float sl[kDotRound] = {}, sr[kDotRound] = {};
  for (size_t i = 0; i < count; ++i) {
    const float c = c0[i] + weight * step[i];
    sl[i % kDotRound] = sl[i % kDotRound] + c * l[i];
    sr[i % kDotRound] = sr[i % kDotRound] + c * r[i];
  }
  *out_l = total_of_sums(sl);
  *out_r = total_of_sums(sr);
}

inline void dot_stereo_between_vec4(const float* c0, const float* step, float weight, const float* l,
                                    const float* r, size_t count, float* out_l, float* out_r) noexcept {
  const vec4 w = vec4::splat(weight);
  vec4 l0 = vec4::zero(), l1 = l0, r0 = l0, r1 = l0;
  const float* const end = c0 + count;
  for (; c0 != end; c0 += kDotRound, step += kDotRound, l += kDotRound, r += kDotRound) {
    const vec4 t0 = vec4::multiply_add(vec4::load(c0), w, vec4::load(step));
    const vec4 t1 = vec4::multiply_add(vec4::load(c0 + 4), w, vec4::load(step + 4));
    l0 = vec4::multiply_add(l0, t0, vec4::load(l));
    l1 = vec4::multiply_add(l1, t1, vec4::load(l + 4));
    r0 = vec4::multiply_add(r0, t0, vec4::load(r));
    r1 = vec4::multiply_add(r1, t1, vec4::load(r + 4));
  }
  vec4::pair_totals(l0 + l1, r0 + r1, out_l, out_r);
}

// The compiled kernels: the plain one and the one between two tap sets. The
// vector ones give the scalar references' results.
using dot_kernel = void (*)(const float* c, const float* l, const float* r, size_t count, float* out_l,
                            float* out_r);
using dot_between_kernel = void (*)(const float* c0, const float* step, float weight, const float* l,
                                    const float* r, size_t count, float* out_l, float* out_r);
struct dot_kernels {
  dot_kernel plain;
  dot_between_kernel between;
};

// Compiled in common.cpp, without contraction.
dot_kernels dot_kernels_scalar() noexcept;
dot_kernels dot_kernels_vec4() noexcept;

}  // namespace simd
