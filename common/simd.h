// The program's one small vector layer: 4-lane float and uint32 vectors
// (NEON on ARM, SSE2 on x86, plain arrays elsewhere or wherever SIMD_SCALAR
// is defined), on x86 an 8-lane float vector for CPUs with AVX2, and just the
// operations the FIR's dot products and the modulators need.
//
// Every float operation is one IEEE single-precision multiply or add, each
// rounded, so a loop written over these vectors gives the bits of the same
// loop written over floats. That holds only in files compiled with
// -ffp-contract=off (the FIR kernels and the modulators are): NEON's
// vmla/vmls round twice, and nothing may be fused elsewhere either. NEON
// flushes subnormal results to zero, the one way its results can differ;
// each user says why that does not matter to it.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#if !defined(SIMD_SCALAR) && (defined(__ARM_NEON) || defined(__ARM_NEON__))
#include <arm_neon.h>
#define SIMD_NEON 1
#elif !defined(SIMD_SCALAR) && defined(__SSE2__)
#include <immintrin.h>
#define SIMD_SSE2 1
// The 8-lane vector exists (see f8); it runs only inside functions declared
// SIMD_AVX2_FUNCTION.
#define SIMD_AVX2 1
#define SIMD_AVX2_FUNCTION [[gnu::target("avx2"), gnu::flatten]]
#endif

namespace simd {

constexpr size_t kLanes = 4;
using lane_array = std::array<float, kLanes>;

// Each platform defines:
//   f4, u4            4 float / uint32 lanes
//   f4::top_type      what add_top takes and gives (on NEON the high half)
//   f4::history       a 32-bit record of signs, appended one at a time
// and the operations below them.

#if defined(SIMD_NEON)

struct f2 {
  float32x2_t v;
};
struct sign_history;
struct f4 {
  float32x4_t v;
  using top_type = f2;  // the top lane's sum needs only the high half: the loops hold no more
  using history = sign_history;
};
struct u4 {
  uint32x4_t v;
};
inline f4 load(const float* p) noexcept { return {vld1q_f32(p)}; }
inline void store(float* p, f4 a) noexcept { vst1q_f32(p, a.v); }
inline f4 splat(float x) noexcept { return {vdupq_n_f32(x)}; }
inline f4 operator+(f4 a, f4 b) noexcept { return {vaddq_f32(a.v, b.v)}; }
inline f4 operator-(f4 a, f4 b) noexcept { return {vsubq_f32(a.v, b.v)}; }
inline f4 operator*(f4 a, f4 b) noexcept { return {vmulq_f32(a.v, b.v)}; }
// a + b*c and a - b*c with the product rounded first: ARMv7 NEON's VMLA and
// VMLS are chained, not fused, so each is exactly the multiply and the add.
inline f4 mul_add(f4 a, f4 b, f4 c) noexcept { return {vmlaq_f32(a.v, b.v, c.v)}; }
inline f4 mul_sub(f4 a, f4 b, f4 c) noexcept { return {vmlsq_f32(a.v, b.v, c.v)}; }
// y limited to [lo, hi] (no NaN reaches it).
inline f4 limit(f4 y, f4 lo, f4 hi) noexcept { return {vminq_f32(vmaxq_f32(y.v, lo.v), hi.v)}; }
// (z, a0, a1, a2), z being lane 3 of zero, a zero of either sign.
inline f4 shift_up(f4 a, f4 zero) noexcept { return {vextq_f32(zero.v, a.v, 3)}; }
// ((a0 + a1) + (a2 + a3)) of a and of b.
inline void pair_totals(f4 a, f4 b, float* total_a, float* total_b) noexcept {
  const float32x2_t ha = vpadd_f32(vget_low_f32(a.v), vget_high_f32(a.v));
  const float32x2_t hb = vpadd_f32(vget_low_f32(b.v), vget_high_f32(b.v));
  const float32x2_t both = vpadd_f32(ha, hb);
  *total_a = vget_lane_f32(both, 0);
  *total_b = vget_lane_f32(both, 1);
}
// u in the lanes add_top adds it to.
inline f2 top_splat(float u) noexcept { return {vdup_n_f32(u)}; }
// u + a3, added on the high halves only: the sum is lane 1.
inline f2 add_top(f2 u, f4 a) noexcept { return {vadd_f32(u.v, vget_high_f32(a.v))}; }
// The sign bit of an add_top sum in every lane, nothing else. (Bits, not a
// float compare: GCC turns NEON's, which is not an IEEE compare, into
// scalar code.)
inline f4 sign_mask(f2 sum) noexcept {
  return {vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(vdupq_lane_f32(sum.v, 1)), vdupq_n_u32(0x80000000u)))};
}
// m with its sign flipped where mask (a sign_mask) has the sign bit set.
inline f4 flip_sign(f4 m, f4 mask) noexcept {
  return {vreinterpretq_f32_u32(veorq_u32(vreinterpretq_u32_f32(m.v), vreinterpretq_u32_f32(mask.v)))};
}
// The sign bit of an add_top sum, on the high half only.
inline f2 top_sign(f2 sum) noexcept {
  return {vreinterpret_f32_u32(vand_u32(vreinterpret_u32_f32(sum.v), vdup_n_u32(0x80000000u)))};
}
// m (a top_splat) with its sign flipped where sign (a top_sign) is set.
inline f2 flip_top(f2 m, f2 sign) noexcept {
  return {vreinterpret_f32_u32(veor_u32(vreinterpret_u32_f32(m.v), vreinterpret_u32_f32(sign.v)))};
}
// a + b*v, v the value in lane 1 of a top_type, the product rounded first
// (VMLA by scalar, chained as VMLA is).
inline f4 mul_add_top(f4 a, f4 b, f2 v) noexcept { return {vmlaq_lane_f32(a.v, b.v, v.v, 1)}; }
// The signs so far, the latest in bit 31 of lane 1: appending is one
// shift-right-and-insert into the sum's own register.
struct sign_history {
  uint32x2_t v;
};
inline sign_history no_signs() noexcept { return {vdup_n_u32(0)}; }
inline sign_history append_sign(sign_history h, f2 sum) noexcept {
  return {vsri_n_u32(vreinterpret_u32_f32(sum.v), h.v, 1)};
}
// The latest 32 signs as bits, 1 where the sign was +, the latest in bit 0.
inline uint32_t recent_bits(sign_history h) noexcept {
  uint32_t reversed = 0;
#if defined(__aarch64__)
  asm("rbit %w0, %w1" : "=r"(reversed) : "r"(vget_lane_u32(h.v, 1)));
#else
  asm("rbit %0, %1" : "=r"(reversed) : "r"(vget_lane_u32(h.v, 1)));
#endif
  return ~reversed;
}
inline u4 splat(uint32_t x) noexcept { return {vdupq_n_u32(x)}; }
inline u4 set(uint32_t a, uint32_t b, uint32_t c, uint32_t d) noexcept {
  const uint32_t lanes[4] = {a, b, c, d};
  return {vld1q_u32(lanes)};
}
inline u4 operator+(u4 a, u4 b) noexcept { return {vaddq_u32(a.v, b.v)}; }
inline u4 operator-(u4 a, u4 b) noexcept { return {vsubq_u32(a.v, b.v)}; }
inline u4 operator&(u4 a, u4 b) noexcept { return {vandq_u32(a.v, b.v)}; }
inline u4 operator|(u4 a, u4 b) noexcept { return {vorrq_u32(a.v, b.v)}; }
// All ones where a > b (both below 2^31).
inline u4 greater(u4 a, u4 b) noexcept { return {vcgtq_u32(a.v, b.v)}; }
// x - m where x >= m, else x (x < 2m, m <= 2^31): x - m wraps above x unless
// x >= m, so the smaller of the two.
inline u4 subtract_if_at_least(u4 x, u4 m) noexcept { return {vminq_u32(x.v, vsubq_u32(x.v, m.v))}; }
// a | (mask & b), a having none of b's bits: one select, by b's bits.
inline u4 or_where(u4 a, u4 mask, u4 b) noexcept { return {vbslq_u32(b.v, mask.v, a.v)}; }
template <int kShift>
inline u4 shift_right(u4 a) noexcept {
  return {vshrq_n_u32(a.v, kShift)};
}
inline uint32_t or_lanes(u4 a) noexcept {
  const uint32x2_t half = vorr_u32(vget_low_u32(a.v), vget_high_u32(a.v));
  return vget_lane_u32(half, 0) | vget_lane_u32(half, 1);
}
template <int kLane>
inline uint32_t lane(u4 a) noexcept {
  return vgetq_lane_u32(a.v, kLane);
}
// All ones where a lane is negative as int32.
inline u4 negative(u4 a) noexcept { return {vreinterpretq_u32_s32(vshrq_n_s32(vreinterpretq_s32_u32(a.v), 31))}; }
// a, as a value the compiler may not re-associate with later additions.
inline u4 settled(u4 a) noexcept {
  asm("" : "+w"(a.v));
  return a;
}
// (p[0], p[1], p[0], p[1]).
inline f4 load_pair_twice(const float* p) noexcept {
  const float32x2_t pair = vld1_f32(p);
  return {vcombine_f32(pair, pair)};
}
// x truncated toward zero to int32 bits, values beyond int32 saturated, NaN
// as 0: what NEON's conversion does.
inline u4 truncate_saturated(f4 x) noexcept { return {vreinterpretq_u32_s32(vcvtq_s32_f32(x.v))}; }
// a limited to [lo, hi], all read as int32.
inline u4 limit_signed(u4 a, u4 lo, u4 hi) noexcept {
  const int32x4_t above = vmaxq_s32(vreinterpretq_s32_u32(a.v), vreinterpretq_s32_u32(lo.v));
  return {vreinterpretq_u32_s32(vminq_s32(above, vreinterpretq_s32_u32(hi.v)))};
}
// u + m where u is negative as int32, else u (-m <= u < m, 2m < 2^31): u + m
// is the smaller of the two exactly when u wrapped below 0.
// The minimum goes into the sum's register, which leaves u to a push_sign
// (GCC would copy u for it).
inline u4 wrap_up(u4 u, u4 m) noexcept {
  uint32x4_t sum = vaddq_u32(u.v, m.v);
  asm("vmin.u32 %q0, %q0, %q1" : "+w"(sum) : "w"(u.v));
  return {sum};
}
// u's sign bit on top of h moved down one bit: one shift-right-and-insert.
inline u4 push_sign(u4 h, u4 u) noexcept { return {vsriq_n_u32(u.v, h.v, 1)}; }
// (0, 0, a0, a1).
inline u4 lower_pair_up(u4 a) noexcept { return {vextq_u32(vdupq_n_u32(0), a.v, 2)}; }
// (a2, a3, a2, a3).
inline u4 upper_pair_twice(u4 a) noexcept {
  const uint32x2_t high = vget_high_u32(a.v);
  return {vcombine_u32(high, high)};
}
// even = (a0, a2, b0, b2), odd = (a1, a3, b1, b3).
inline void unzip(u4 a, u4 b, u4& even, u4& odd) noexcept {
  const uint32x4x2_t both = vuzpq_u32(a.v, b.v);
  even = {both.val[0]};
  odd = {both.val[1]};
}
template <int kLane>
inline u4 splat_lane(u4 a) noexcept {
  return {vdupq_lane_u32(kLane < 2 ? vget_low_u32(a.v) : vget_high_u32(a.v), kLane % 2)};
}
// out[0] = the sum of a's lanes, lane i moved right by kFirst + i * kStep
// bits, out[1] likewise of b (the moved lanes share no bits, so the sum is
// their or).
template <int kFirst, int kStep>
inline void merge_lanes(u4 a, u4 b, uint32_t* out) noexcept {
  const int32x4_t shifts = {-kFirst, -(kFirst + kStep), -(kFirst + 2 * kStep), -(kFirst + 3 * kStep)};
  const uint32x4_t ma = vshlq_u32(a.v, shifts), mb = vshlq_u32(b.v, shifts);
  const uint32x2_t sa = vpadd_u32(vget_low_u32(ma), vget_high_u32(ma));
  const uint32x2_t sb = vpadd_u32(vget_low_u32(mb), vget_high_u32(mb));
  vst1_u32(out, vpadd_u32(sa, sb));
}

#elif defined(SIMD_SSE2)

struct sign_history;
struct f4 {
  __m128 v;
  using top_type = f4;
  using history = sign_history;
};
struct u4 {
  __m128i v;
};
inline f4 load(const float* p) noexcept { return {_mm_loadu_ps(p)}; }
inline void store(float* p, f4 a) noexcept { _mm_storeu_ps(p, a.v); }
inline f4 splat(float x) noexcept { return {_mm_set1_ps(x)}; }
inline f4 operator+(f4 a, f4 b) noexcept { return {_mm_add_ps(a.v, b.v)}; }
inline f4 operator-(f4 a, f4 b) noexcept { return {_mm_sub_ps(a.v, b.v)}; }
inline f4 operator*(f4 a, f4 b) noexcept { return {_mm_mul_ps(a.v, b.v)}; }
inline f4 mul_add(f4 a, f4 b, f4 c) noexcept { return {_mm_add_ps(a.v, _mm_mul_ps(b.v, c.v))}; }
inline f4 mul_sub(f4 a, f4 b, f4 c) noexcept { return {_mm_sub_ps(a.v, _mm_mul_ps(b.v, c.v))}; }
inline f4 limit(f4 y, f4 lo, f4 hi) noexcept { return {_mm_min_ps(_mm_max_ps(y.v, lo.v), hi.v)}; }
inline f4 shift_up(f4 a, f4) noexcept { return {_mm_castsi128_ps(_mm_slli_si128(_mm_castps_si128(a.v), 4))}; }
inline void pair_totals(f4 a, f4 b, float* total_a, float* total_b) noexcept {
  // (a0+a1, a2+a3, b0+b1, b2+b3), then the two halves of each added.
  const __m128 low = _mm_shuffle_ps(a.v, b.v, _MM_SHUFFLE(2, 0, 2, 0));
  const __m128 high = _mm_shuffle_ps(a.v, b.v, _MM_SHUFFLE(3, 1, 3, 1));
  const __m128 halves = _mm_add_ps(low, high);
  const __m128 totals = _mm_add_ps(halves, _mm_shuffle_ps(halves, halves, _MM_SHUFFLE(3, 3, 3, 1)));
  *total_a = _mm_cvtss_f32(totals);
  *total_b = _mm_cvtss_f32(_mm_shuffle_ps(totals, totals, _MM_SHUFFLE(2, 2, 2, 2)));
}
inline f4 top_splat(float u) noexcept { return splat(u); }
// u + a3 in every lane.
inline f4 add_top(f4 u, f4 a) noexcept { return {_mm_add_ps(u.v, _mm_shuffle_ps(a.v, a.v, 0xFF))}; }
inline f4 sign_mask(f4 sum) noexcept { return {_mm_and_ps(sum.v, _mm_set1_ps(-0.0f))}; }
inline f4 flip_sign(f4 m, f4 mask) noexcept { return {_mm_xor_ps(m.v, mask.v)}; }
inline f4 top_sign(f4 sum) noexcept { return sign_mask(sum); }
inline f4 flip_top(f4 m, f4 sign) noexcept { return flip_sign(m, sign); }
// The signs so far, inverted (a 1 for each -), the latest in bit 0.
struct sign_history {
  __m128i inverted;
};
inline sign_history no_signs() noexcept { return {_mm_setzero_si128()}; }
inline sign_history append_sign(sign_history h, f4 sum) noexcept {
  return {_mm_sub_epi32(_mm_add_epi32(h.inverted, h.inverted), _mm_srai_epi32(_mm_castps_si128(sum.v), 31))};
}
inline uint32_t recent_bits(sign_history h) noexcept { return ~static_cast<uint32_t>(_mm_cvtsi128_si32(h.inverted)); }
inline u4 splat(uint32_t x) noexcept { return {_mm_set1_epi32(static_cast<int32_t>(x))}; }
inline u4 set(uint32_t a, uint32_t b, uint32_t c, uint32_t d) noexcept {
  return {_mm_set_epi32(static_cast<int32_t>(d), static_cast<int32_t>(c), static_cast<int32_t>(b),
                        static_cast<int32_t>(a))};
}
inline u4 operator+(u4 a, u4 b) noexcept { return {_mm_add_epi32(a.v, b.v)}; }
inline u4 operator-(u4 a, u4 b) noexcept { return {_mm_sub_epi32(a.v, b.v)}; }
inline u4 operator&(u4 a, u4 b) noexcept { return {_mm_and_si128(a.v, b.v)}; }
inline u4 operator|(u4 a, u4 b) noexcept { return {_mm_or_si128(a.v, b.v)}; }
// SSE2 compares signed: right for values below 2^31, which is all we compare.
inline u4 greater(u4 a, u4 b) noexcept { return {_mm_cmpgt_epi32(a.v, b.v)}; }
inline u4 subtract_if_at_least(u4 x, u4 m) noexcept { return x - (greater(x, m - splat(1u)) & m); }
inline u4 or_where(u4 a, u4 mask, u4 b) noexcept { return {_mm_or_si128(a.v, _mm_and_si128(mask.v, b.v))}; }
template <int kShift>
inline u4 shift_right(u4 a) noexcept {
  return {_mm_srli_epi32(a.v, kShift)};
}
inline uint32_t or_lanes(u4 a) noexcept {
  const __m128i half = _mm_or_si128(a.v, _mm_shuffle_epi32(a.v, _MM_SHUFFLE(1, 0, 3, 2)));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_or_si128(half, _mm_shuffle_epi32(half, _MM_SHUFFLE(2, 3, 0, 1)))));
}
template <int kLane>
inline uint32_t lane(u4 a) noexcept {
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(a.v, _MM_SHUFFLE(kLane, kLane, kLane, kLane))));
}
inline u4 negative(u4 a) noexcept { return {_mm_srai_epi32(a.v, 31)}; }
inline u4 settled(u4 a) noexcept {
  asm("" : "+x"(a.v));
  return a;
}
inline f4 load_pair_twice(const float* p) noexcept {
  const __m128 pair = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
  return {_mm_movelh_ps(pair, pair)};
}
// SSE2's conversion gives 0x80000000 for every value beyond int32 and for
// NaN: those at or above 2^31 are flipped to INT32_MAX, NaN cleared.
inline u4 truncate_saturated(f4 x) noexcept {
  const __m128i t = _mm_cvttps_epi32(x.v);
  const __m128i high = _mm_castps_si128(_mm_cmpge_ps(x.v, _mm_set1_ps(2147483648.0f)));
  const __m128i number = _mm_castps_si128(_mm_cmpord_ps(x.v, x.v));
  return {_mm_and_si128(_mm_xor_si128(t, high), number)};
}
inline u4 limit_signed(u4 a, u4 lo, u4 hi) noexcept {
  const __m128i low = _mm_cmpgt_epi32(lo.v, a.v);
  const __m128i above = _mm_or_si128(_mm_and_si128(low, lo.v), _mm_andnot_si128(low, a.v));
  const __m128i high = _mm_cmpgt_epi32(above, hi.v);
  return {_mm_or_si128(_mm_and_si128(high, hi.v), _mm_andnot_si128(high, above))};
}
inline u4 wrap_up(u4 u, u4 m) noexcept { return u + (negative(u) & m); }
inline u4 push_sign(u4 h, u4 u) noexcept {
  return {_mm_or_si128(_mm_and_si128(u.v, _mm_set1_epi32(INT32_MIN)), _mm_srli_epi32(h.v, 1))};
}
inline u4 lower_pair_up(u4 a) noexcept { return {_mm_slli_si128(a.v, 8)}; }
inline u4 upper_pair_twice(u4 a) noexcept { return {_mm_shuffle_epi32(a.v, _MM_SHUFFLE(3, 2, 3, 2))}; }
inline void unzip(u4 a, u4 b, u4& even, u4& odd) noexcept {
  const __m128 fa = _mm_castsi128_ps(a.v), fb = _mm_castsi128_ps(b.v);
  even = {_mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)))};
  odd = {_mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)))};
}
template <int kLane>
inline u4 splat_lane(u4 a) noexcept {
  return {_mm_shuffle_epi32(a.v, _MM_SHUFFLE(kLane, kLane, kLane, kLane))};
}
template <int kFirst, int kStep>
inline void merge_lanes(u4 a, u4 b, uint32_t* out) noexcept {
  const auto merged = [](u4 x) {
    return (lane<0>(x) >> kFirst) | (lane<1>(x) >> (kFirst + kStep)) | (lane<2>(x) >> (kFirst + 2 * kStep)) |
           (lane<3>(x) >> (kFirst + 3 * kStep));
  };
  out[0] = merged(a);
  out[1] = merged(b);
}

#else

struct sign_history;
struct f4 {
  lane_array v;
  using top_type = f4;
  using history = sign_history;
};
struct u4 {
  std::array<uint32_t, kLanes> v;
};
template <class V, class F>
constexpr V lanewise(const V& a, const V& b, F op) noexcept {
  V r{};
  for (size_t i = 0; i < kLanes; ++i) r.v[i] = op(a.v[i], b.v[i]);
  return r;
}
inline f4 load(const float* p) noexcept { return {{p[0], p[1], p[2], p[3]}}; }
inline void store(float* p, f4 a) noexcept {
  for (size_t i = 0; i < kLanes; ++i) p[i] = a.v[i];
}
inline f4 splat(float x) noexcept { return {{x, x, x, x}}; }
inline f4 operator+(f4 a, f4 b) noexcept {
  return lanewise(a, b, [](float x, float y) { return x + y; });
}
inline f4 operator-(f4 a, f4 b) noexcept {
  return lanewise(a, b, [](float x, float y) { return x - y; });
}
inline f4 operator*(f4 a, f4 b) noexcept {
  return lanewise(a, b, [](float x, float y) { return x * y; });
}
inline f4 mul_add(f4 a, f4 b, f4 c) noexcept { return a + b * c; }
inline f4 mul_sub(f4 a, f4 b, f4 c) noexcept { return a - b * c; }
inline f4 limit(f4 y, f4 lo, f4 hi) noexcept {
  for (size_t i = 0; i < kLanes; ++i) {
    const float above = y.v[i] < lo.v[i] ? lo.v[i] : y.v[i];
    y.v[i] = above > hi.v[i] ? hi.v[i] : above;
  }
  return y;
}
inline f4 shift_up(f4 a, f4) noexcept { return {{0.0f, a.v[0], a.v[1], a.v[2]}}; }
inline void pair_totals(f4 a, f4 b, float* total_a, float* total_b) noexcept {
  *total_a = (a.v[0] + a.v[1]) + (a.v[2] + a.v[3]);
  *total_b = (b.v[0] + b.v[1]) + (b.v[2] + b.v[3]);
}
inline f4 top_splat(float u) noexcept { return splat(u); }
inline f4 add_top(f4 u, f4 a) noexcept { return splat(u.v[3] + a.v[3]); }
inline f4 sign_mask(f4 sum) noexcept {
  return lanewise(sum, sum, [](float x, float) { return std::copysign(0.0f, x); });
}
inline f4 flip_sign(f4 m, f4 mask) noexcept {
  return lanewise(m, mask, [](float x, float y) { return std::signbit(y) ? -x : x; });
}
inline f4 top_sign(f4 sum) noexcept { return sign_mask(sum); }
inline f4 flip_top(f4 m, f4 sign) noexcept { return flip_sign(m, sign); }
struct sign_history {
  uint32_t inverted;
};
inline sign_history no_signs() noexcept { return {0}; }
inline sign_history append_sign(sign_history h, f4 sum) noexcept {
  return {(h.inverted << 1) | (std::signbit(sum.v[0]) ? 1u : 0u)};
}
inline uint32_t recent_bits(sign_history h) noexcept { return ~h.inverted; }
inline u4 splat(uint32_t x) noexcept { return {{x, x, x, x}}; }
inline u4 set(uint32_t a, uint32_t b, uint32_t c, uint32_t d) noexcept { return {{a, b, c, d}}; }
inline u4 operator+(u4 a, u4 b) noexcept {
  return lanewise(a, b, [](uint32_t x, uint32_t y) { return x + y; });
}
inline u4 operator-(u4 a, u4 b) noexcept {
  return lanewise(a, b, [](uint32_t x, uint32_t y) { return x - y; });
}
inline u4 operator&(u4 a, u4 b) noexcept {
  return lanewise(a, b, [](uint32_t x, uint32_t y) { return x & y; });
}
inline u4 operator|(u4 a, u4 b) noexcept {
  return lanewise(a, b, [](uint32_t x, uint32_t y) { return x | y; });
}
inline u4 greater(u4 a, u4 b) noexcept {
  return lanewise(a, b, [](uint32_t x, uint32_t y) { return x > y ? ~0u : 0u; });
}
inline u4 subtract_if_at_least(u4 x, u4 m) noexcept { return x - (greater(x, m - splat(1u)) & m); }
inline u4 or_where(u4 a, u4 mask, u4 b) noexcept { return a | (mask & b); }
template <int kShift>
inline u4 shift_right(u4 a) noexcept {
  for (auto& x : a.v) x >>= kShift;
  return a;
}
inline uint32_t or_lanes(u4 a) noexcept { return a.v[0] | a.v[1] | a.v[2] | a.v[3]; }
template <int kLane>
inline uint32_t lane(u4 a) noexcept {
  return a.v[kLane];
}
inline u4 negative(u4 a) noexcept {
  for (auto& x : a.v) x = x >= 0x80000000u ? ~0u : 0u;
  return a;
}
inline u4 settled(u4 a) noexcept { return a; }
inline f4 load_pair_twice(const float* p) noexcept { return {{p[0], p[1], p[0], p[1]}}; }
inline u4 truncate_saturated(f4 x) noexcept {
  u4 r{};
  for (size_t i = 0; i < kLanes; ++i) {
    const float v = x.v[i];
    const int32_t t = v >= 2147483648.0f    ? INT32_MAX
                      : v > -2147483648.0f  ? static_cast<int32_t>(v)
                      : v <= -2147483648.0f ? INT32_MIN
                                            : 0;
    r.v[i] = static_cast<uint32_t>(t);
  }
  return r;
}
inline u4 limit_signed(u4 a, u4 lo, u4 hi) noexcept {
  for (size_t i = 0; i < kLanes; ++i) {
    const auto as_int = [](uint32_t x) { return static_cast<int32_t>(x); };
    if (as_int(a.v[i]) < as_int(lo.v[i])) a.v[i] = lo.v[i];
    if (as_int(a.v[i]) > as_int(hi.v[i])) a.v[i] = hi.v[i];
  }
  return a;
}
inline u4 wrap_up(u4 u, u4 m) noexcept { return u + (negative(u) & m); }
inline u4 push_sign(u4 h, u4 u) noexcept {
  for (size_t i = 0; i < kLanes; ++i) h.v[i] = (u.v[i] & 0x80000000u) | (h.v[i] >> 1);
  return h;
}
inline u4 lower_pair_up(u4 a) noexcept { return {{0, 0, a.v[0], a.v[1]}}; }
inline u4 upper_pair_twice(u4 a) noexcept { return {{a.v[2], a.v[3], a.v[2], a.v[3]}}; }
inline void unzip(u4 a, u4 b, u4& even, u4& odd) noexcept {
  even = {{a.v[0], a.v[2], b.v[0], b.v[2]}};
  odd = {{a.v[1], a.v[3], b.v[1], b.v[3]}};
}
template <int kLane>
inline u4 splat_lane(u4 a) noexcept {
  return splat(a.v[kLane]);
}
template <int kFirst, int kStep>
inline void merge_lanes(u4 a, u4 b, uint32_t* out) noexcept {
  const auto merged = [](u4 x) {
    return (x.v[0] >> kFirst) | (x.v[1] >> (kFirst + kStep)) | (x.v[2] >> (kFirst + 2 * kStep)) |
           (x.v[3] >> (kFirst + 3 * kStep));
  };
  out[0] = merged(a);
  out[1] = merged(b);
}

#endif

inline f4 load(const lane_array& a) noexcept { return load(a.data()); }
#if !defined(SIMD_NEON)
// a + b*v, v's lanes all the same value (a top_type).
inline f4 mul_add_top(f4 a, f4 b, f4 v) noexcept { return mul_add(a, b, v); }
#endif

#if defined(SIMD_AVX2)
// 8 lanes: two 4-lane vectors side by side, low half and high half, each
// operation acting on each half as on an f4. Its operations are AVX2 code,
// which GCC inlines only into AVX2 functions; so a template written once over
// f4 and f8 (always_inline, compiled for any CPU) leaves its f8 calls as
// calls, and the SIMD_AVX2_FUNCTION that runs it, called only after
// cpu_has_avx2() said yes, flattens the whole chain into its own body.
#define SIMD_F8 [[gnu::target("avx2")]] inline
struct sign_history8;
struct f8 {
  __m256 v;
  using top_type = f8;
  using history = sign_history8;
};
SIMD_F8 f8 operator+(f8 a, f8 b) noexcept { return {_mm256_add_ps(a.v, b.v)}; }
SIMD_F8 f8 operator-(f8 a, f8 b) noexcept { return {_mm256_sub_ps(a.v, b.v)}; }
SIMD_F8 f8 operator*(f8 a, f8 b) noexcept { return {_mm256_mul_ps(a.v, b.v)}; }
SIMD_F8 f8 mul_add(f8 a, f8 b, f8 c) noexcept { return {_mm256_add_ps(a.v, _mm256_mul_ps(b.v, c.v))}; }
SIMD_F8 f8 mul_sub(f8 a, f8 b, f8 c) noexcept { return {_mm256_sub_ps(a.v, _mm256_mul_ps(b.v, c.v))}; }
SIMD_F8 f8 limit(f8 y, f8 lo, f8 hi) noexcept { return {_mm256_min_ps(_mm256_max_ps(y.v, lo.v), hi.v)}; }
// (+0, a0, a1, a2) in each half.
SIMD_F8 f8 shift_up(f8 a, f8) noexcept { return {_mm256_castsi256_ps(_mm256_slli_si256(_mm256_castps_si256(a.v), 4))}; }
// u + a3 in every lane of the low half, u + a7 in the high half.
SIMD_F8 f8 add_top(f8 u, f8 a) noexcept { return {_mm256_add_ps(u.v, _mm256_permute_ps(a.v, 0xFF))}; }
SIMD_F8 f8 sign_mask(f8 sum) noexcept { return {_mm256_and_ps(sum.v, _mm256_set1_ps(-0.0f))}; }
SIMD_F8 f8 flip_sign(f8 m, f8 mask) noexcept { return {_mm256_xor_ps(m.v, mask.v)}; }
SIMD_F8 f8 top_sign(f8 sum) noexcept { return sign_mask(sum); }
SIMD_F8 f8 flip_top(f8 m, f8 sign) noexcept { return flip_sign(m, sign); }
SIMD_F8 f8 mul_add_top(f8 a, f8 b, f8 v) noexcept { return mul_add(a, b, v); }
// Each half's signs so far, inverted, the latest in bit 0 of lanes 0 and 4.
struct sign_history8 {
  __m256i inverted;
};
SIMD_F8 sign_history8 append_sign(sign_history8 h, f8 sum) noexcept {
  return {
      _mm256_sub_epi32(_mm256_add_epi32(h.inverted, h.inverted), _mm256_srai_epi32(_mm256_castps_si256(sum.v), 31))};
}
// recent_bits of the low half (0) or the high half (1).
template <int kHalf>
SIMD_F8 uint32_t recent_bits(sign_history8 h) noexcept {
  return ~static_cast<uint32_t>(_mm256_extract_epi32(h.inverted, 4 * kHalf));
}
SIMD_F8 f8 pair_of(f4 low, f4 high) noexcept { return {_mm256_set_m128(high.v, low.v)}; }
SIMD_F8 f4 low_half(f8 a) noexcept { return {_mm256_castps256_ps128(a.v)}; }
SIMD_F8 f4 high_half(f8 a) noexcept { return {_mm256_extractf128_ps(a.v, 1)}; }
#undef SIMD_F8

inline bool cpu_has_avx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#else
constexpr bool cpu_has_avx2() noexcept { return false; }
#endif

}  // namespace simd
