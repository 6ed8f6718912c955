// The one small vector abstraction of the FIR filter: a 4-lane float vector
// (NEON on ARM, SSE on x86, plain floats elsewhere), an 8-lane AVX2 vector on
// x86 (its functions are compiled for AVX2 only; run them only after
// scatter_kernel_avx2() said the CPU has it), and the scatter loop written
// once over them.
//
// Every lane computes acc + c * x as a separate multiply and add, each
// rounded to float, exactly like the scalar reference; the kernels are
// compiled with -ffp-contract=off so no FMA changes the bits. NEON flushes
// subnormal results to zero, the only way its output can differ.
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

struct vec4 {
  static constexpr size_t lanes = 4;
#if defined(SIMD_NEON)
  float32x4_t v;
  static vec4 load(const float* p) noexcept { return {vld1q_f32(p)}; }
  void store(float* p) const noexcept { vst1q_f32(p, v); }
  static vec4 splat(float x) noexcept { return {vdupq_n_f32(x)}; }
  friend vec4 operator+(vec4 a, vec4 b) noexcept { return {vaddq_f32(a.v, b.v)}; }
  friend vec4 operator*(vec4 a, vec4 b) noexcept { return {vmulq_f32(a.v, b.v)}; }
#elif defined(SIMD_X86)
  __m128 v;
  static vec4 load(const float* p) noexcept { return {_mm_loadu_ps(p)}; }
  void store(float* p) const noexcept { _mm_storeu_ps(p, v); }
  static vec4 splat(float x) noexcept { return {_mm_set1_ps(x)}; }
  friend vec4 operator+(vec4 a, vec4 b) noexcept { return {_mm_add_ps(a.v, b.v)}; }
  friend vec4 operator*(vec4 a, vec4 b) noexcept { return {_mm_mul_ps(a.v, b.v)}; }
#else
  float v[4];
  static vec4 load(const float* p) noexcept { return {{p[0], p[1], p[2], p[3]}}; }
  void store(float* p) const noexcept {
    for (size_t i = 0; i < 4; ++i) p[i] = v[i];
  }
  static vec4 splat(float x) noexcept { return {{x, x, x, x}}; }
  friend vec4 operator+(vec4 a, vec4 b) noexcept {
    return {{a.v[0] + b.v[0], a.v[1] + b.v[1], a.v[2] + b.v[2], a.v[3] + b.v[3]}};
  }
  friend vec4 operator*(vec4 a, vec4 b) noexcept {
    return {{a.v[0] * b.v[0], a.v[1] * b.v[1], a.v[2] * b.v[2], a.v[3] * b.v[3]}};
  }
#endif
};

#if defined(SIMD_X86)
// Only ever used inside functions compiled with target("avx2") (through the
// always-inlined scatter_stereo), so vec8 values never cross into code built
// without AVX, whose calling convention for them differs.
struct vec8 {
  static constexpr size_t lanes = 8;
  __m256 v;
  [[gnu::target("avx2")]] static vec8 load(const float* p) noexcept { return {_mm256_loadu_ps(p)}; }
  [[gnu::target("avx2")]] void store(float* p) const noexcept { _mm256_storeu_ps(p, v); }
  [[gnu::target("avx2")]] static vec8 splat(float x) noexcept { return {_mm256_set1_ps(x)}; }
  [[gnu::target("avx2")]] friend vec8 operator+(vec8 a, vec8 b) noexcept { return {_mm256_add_ps(a.v, b.v)}; }
  [[gnu::target("avx2")]] friend vec8 operator*(vec8 a, vec8 b) noexcept { return {_mm256_mul_ps(a.v, b.v)}; }
};
#endif

// The scalar reference: acc[k] = acc[k] + c[k] * x on both channels.
inline void scatter_stereo_scalar(float* acc_l, float* acc_r, const float* coeffs, size_t count, float x_l,
                                  float x_r) noexcept {
  for (size_t k = 0; k < count; ++k) {
    acc_l[k] = acc_l[k] + coeffs[k] * x_l;
    acc_r[k] = acc_r[k] + coeffs[k] * x_r;
  }
}

// The same on whole vectors of V, three per round, both channels in one pass:
// one coefficient load serves the left and the right accumulator. Returns the
// number of cells done (count rounded down to whole vectors); the caller
// finishes the rest.
template <class V>
[[gnu::always_inline]] inline size_t scatter_stereo(float* acc_l, float* acc_r, const float* coeffs, size_t count, float x_l,
                             float x_r) noexcept {
  constexpr size_t n = V::lanes;
  const V left = V::splat(x_l);
  const V right = V::splat(x_r);
  size_t k = 0;
  for (; k + 3 * n <= count; k += 3 * n) {
    const V c0 = V::load(coeffs + k);
    const V c1 = V::load(coeffs + k + n);
    const V c2 = V::load(coeffs + k + 2 * n);
    (V::load(acc_l + k) + c0 * left).store(acc_l + k);
    (V::load(acc_l + k + n) + c1 * left).store(acc_l + k + n);
    (V::load(acc_l + k + 2 * n) + c2 * left).store(acc_l + k + 2 * n);
    (V::load(acc_r + k) + c0 * right).store(acc_r + k);
    (V::load(acc_r + k + n) + c1 * right).store(acc_r + k + n);
    (V::load(acc_r + k + 2 * n) + c2 * right).store(acc_r + k + 2 * n);
  }
  for (; k + n <= count; k += n) {
    const V c0 = V::load(coeffs + k);
    (V::load(acc_l + k) + c0 * left).store(acc_l + k);
    (V::load(acc_r + k) + c0 * right).store(acc_r + k);
  }
  return k;
}

// A compiled scatter kernel: the scalar reference's result, on any count.
using scatter_kernel = void (*)(float* acc_l, float* acc_r, const float* coeffs, size_t count, float x_l,
                                float x_r);

// The kernels (compiled in common.cpp). scatter_kernel_avx2 returns null
// where the CPU (or the architecture) has no AVX2.
scatter_kernel scatter_kernel_scalar() noexcept;
scatter_kernel scatter_kernel_vec4() noexcept;
scatter_kernel scatter_kernel_avx2() noexcept;
// The fastest kernel this CPU runs.
scatter_kernel scatter_kernel_best() noexcept;

}  // namespace simd
