#include "deltasigma.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

// Level 7 and the closed form of level 1 run on 4-lane vectors: NEON on ARM,
// SSE2 on x86, plain arrays elsewhere (define DELTASIGMA_SCALAR to build the
// plain ones anywhere, e.g. to check them against the vector ones). All three
// give the same bits: every float lane is one IEEE single-precision multiply
// or add in the order the scalar recurrence has it (this file is compiled
// with -ffp-contract=off, so nothing is fused). NEON flushes subnormals to
// zero; in level 7 the only values that can be subnormal are input terms
// a_i*u of inputs below 1e-30, and every sum they enter is either at least
// 1e-9 (which absorbs them whole) or ends in a feedback term of at least
// 2,000: the states come out the same.
#if !defined(DELTASIGMA_SCALAR) && (defined(__ARM_NEON) || defined(__ARM_NEON__))
#include <arm_neon.h>
#define DELTASIGMA_NEON 1
#elif !defined(DELTASIGMA_SCALAR) && defined(__SSE2__)
#include <immintrin.h>
#define DELTASIGMA_SSE2 1
#endif

namespace {

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
constexpr size_t kLanes = 4;
using lane_array = std::array<float, kLanes>;
constexpr lane_array kOddScale = {1.0f, kK1, kK2, kK3};
constexpr lane_array kEvenG = {0.0f, kG1, kG2, kG3};
constexpr lane_array kOddA = {kA[0], kA[2], kA[4], kA[6]};
constexpr lane_array kEvenA = {0.0f, kA[1], kA[3], kA[5]};
// The feedback terms negated: -a_i*Q, the feedback of a 1 (v = -Q).
constexpr lane_array kOddFeedback = {-kAQ[0], -kAQ[2], -kAQ[4], -kAQ[6]};
constexpr lane_array kEvenFeedback = {-0.0f, -kAQ[1], -kAQ[3], -kAQ[5]};

// ---- 4-lane vectors: just the operations the modulators need -------------

#if defined(DELTASIGMA_NEON)
struct sign_history;
struct f2 { float32x2_t v; };
struct f4 {
  float32x4_t v;
  using history = sign_history;
  using u_type = f2;  // level 7's u: q_of reads one half, so the loop holds no more
};
struct u4 { uint32x4_t v; };
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
// Level 7's q = u + c7 (u is the same in every lane, c7 is lane 3 of odd),
// added on the high halves only: q is lane 1.
struct level7_q { float32x2_t v; };
inline f2 u_lanes(float u) noexcept { return {vdup_n_f32(u)}; }
inline level7_q q_of(f2 u, f4 odd) noexcept { return {vadd_f32(u.v, vget_high_f32(odd.v))}; }
// q's sign bit in every lane, nothing else. (Bits, not a float compare:
// GCC turns NEON's, which is not an IEEE compare, into scalar code.)
inline f4 sign_bit(level7_q q) noexcept {
  return {vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(vdupq_lane_f32(q.v, 1)), vdupq_n_u32(0x80000000u)))};
}
// m with its sign flipped where t (a sign_bit result) has it set.
inline f4 flip_sign(f4 m, f4 t) noexcept {
  return {vreinterpretq_f32_u32(veorq_u32(vreinterpretq_u32_f32(m.v), vreinterpretq_u32_f32(t.v)))};
}
// Level 7's bits so far as the signs of q, the latest in bit 31 of lane 1:
// appending is one shift-right-and-insert into q's own register.
struct sign_history { uint32x2_t v; };
inline sign_history no_signs() noexcept { return {vdup_n_u32(0)}; }
inline sign_history append_sign(sign_history h, level7_q q) noexcept {
  return {vsri_n_u32(vreinterpret_u32_f32(q.v), h.v, 1)};
}
// The bits (1 where the sign was +), the latest in bit 0.
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
inline u4 min_unsigned(u4 a, u4 b) noexcept { return {vminq_u32(a.v, b.v)}; }
// a | (mask & b), a having none of b's bits: one select, by b's bits.
inline u4 or_where(u4 a, u4 mask, u4 b) noexcept { return {vbslq_u32(b.v, mask.v, a.v)}; }
template <int kShift>
inline u4 shift_right(u4 a) noexcept { return {vshrq_n_u32(a.v, kShift)}; }
inline uint32_t or_lanes(u4 a) noexcept {
  const uint32x2_t half = vorr_u32(vget_low_u32(a.v), vget_high_u32(a.v));
  return vget_lane_u32(half, 0) | vget_lane_u32(half, 1);
}
template <int kLane>
inline uint32_t lane(u4 a) noexcept { return vgetq_lane_u32(a.v, kLane); }
// All ones where a lane is negative as int32.
inline u4 negative(u4 a) noexcept { return {vreinterpretq_u32_s32(vshrq_n_s32(vreinterpretq_s32_u32(a.v), 31))}; }
// a, as a value the compiler may not re-associate with later additions.
inline u4 settled(u4 a) noexcept {
  asm("" : "+w"(a.v));
  return a;
}
#elif defined(DELTASIGMA_SSE2)
struct sign_history;
struct f4 {
  __m128 v;
  using history = sign_history;
  using u_type = f4;
};
struct u4 { __m128i v; };
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
inline f4 u_lanes(float u) noexcept { return splat(u); }
// q in every lane.
inline f4 q_of(f4 u, f4 odd) noexcept { return {_mm_add_ps(u.v, _mm_shuffle_ps(odd.v, odd.v, 0xFF))}; }
inline f4 sign_bit(f4 q) noexcept { return {_mm_and_ps(q.v, _mm_set1_ps(-0.0f))}; }
inline f4 flip_sign(f4 m, f4 t) noexcept { return {_mm_xor_ps(m.v, t.v)}; }
// The bits so far, inverted (a 1 for each sign -), the latest in bit 0.
struct sign_history { __m128i inverted; };
inline sign_history no_signs() noexcept { return {_mm_setzero_si128()}; }
inline sign_history append_sign(sign_history h, f4 q) noexcept {
  return {_mm_sub_epi32(_mm_add_epi32(h.inverted, h.inverted), _mm_srai_epi32(_mm_castps_si128(q.v), 31))};
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
inline u4 or_where(u4 a, u4 mask, u4 b) noexcept { return {_mm_or_si128(a.v, _mm_and_si128(mask.v, b.v))}; }
template <int kShift>
inline u4 shift_right(u4 a) noexcept { return {_mm_srli_epi32(a.v, kShift)}; }
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
#else
struct sign_history;
struct f4 {
  lane_array v;
  using history = sign_history;
  using u_type = f4;
};
struct u4 { std::array<uint32_t, kLanes> v; };
template <class V, class F>
constexpr V lanewise(const V& a, const V& b, F op) noexcept {
  V r{};
  for (size_t i = 0; i < kLanes; ++i) r.v[i] = op(a.v[i], b.v[i]);
  return r;
}
inline f4 load(const float* p) noexcept { return {{p[0], p[1], p[2], p[3]}}; }
inline void store(float* p, f4 a) noexcept { std::copy(a.v.begin(), a.v.end(), p); }
inline f4 splat(float x) noexcept { return {{x, x, x, x}}; }
inline f4 operator+(f4 a, f4 b) noexcept { return lanewise(a, b, [](float x, float y) { return x + y; }); }
inline f4 operator-(f4 a, f4 b) noexcept { return lanewise(a, b, [](float x, float y) { return x - y; }); }
inline f4 operator*(f4 a, f4 b) noexcept { return lanewise(a, b, [](float x, float y) { return x * y; }); }
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
inline f4 u_lanes(float u) noexcept { return splat(u); }
inline f4 q_of(f4 u, f4 odd) noexcept { return splat(u.v[3] + odd.v[3]); }
inline f4 sign_bit(f4 q) noexcept {
  return lanewise(q, q, [](float x, float) { return std::copysign(0.0f, x); });
}
inline f4 flip_sign(f4 m, f4 t) noexcept {
  return lanewise(m, t, [](float x, float y) { return std::signbit(y) ? -x : x; });
}
struct sign_history { uint32_t inverted; };
inline sign_history no_signs() noexcept { return {0}; }
inline sign_history append_sign(sign_history h, f4 q) noexcept {
  return {(h.inverted << 1) | (std::signbit(q.v[0]) ? 1u : 0u)};
}
inline uint32_t recent_bits(sign_history h) noexcept { return ~h.inverted; }
inline u4 splat(uint32_t x) noexcept { return {{x, x, x, x}}; }
inline u4 set(uint32_t a, uint32_t b, uint32_t c, uint32_t d) noexcept { return {{a, b, c, d}}; }
inline u4 operator+(u4 a, u4 b) noexcept { return lanewise(a, b, [](uint32_t x, uint32_t y) { return x + y; }); }
inline u4 operator-(u4 a, u4 b) noexcept { return lanewise(a, b, [](uint32_t x, uint32_t y) { return x - y; }); }
inline u4 operator&(u4 a, u4 b) noexcept { return lanewise(a, b, [](uint32_t x, uint32_t y) { return x & y; }); }
inline u4 operator|(u4 a, u4 b) noexcept { return lanewise(a, b, [](uint32_t x, uint32_t y) { return x | y; }); }
inline u4 greater(u4 a, u4 b) noexcept {
  return lanewise(a, b, [](uint32_t x, uint32_t y) { return x > y ? ~0u : 0u; });
}
inline u4 or_where(u4 a, u4 mask, u4 b) noexcept { return a | (mask & b); }
template <int kShift>
inline u4 shift_right(u4 a) noexcept {
  for (auto& x : a.v) x >>= kShift;
  return a;
}
inline uint32_t or_lanes(u4 a) noexcept { return a.v[0] | a.v[1] | a.v[2] | a.v[3]; }
template <int kLane>
inline uint32_t lane(u4 a) noexcept { return a.v[kLane]; }
inline u4 negative(u4 a) noexcept {
  for (auto& x : a.v) x = x >= 0x80000000u ? ~0u : 0u;
  return a;
}
inline u4 settled(u4 a) noexcept { return a; }
#endif

inline f4 load(const lane_array& a) noexcept { return load(a.data()); }

#if defined(DELTASIGMA_SSE2)
// 8 lanes on x86 with AVX2: two channels' 4-lane vectors side by side (left
// low, right high), so one instruction serves both. Only ever used inside
// functions compiled with target("avx2"), run after the CPU said it has it.
#define DELTASIGMA_WIDE [[gnu::target("avx2"), gnu::always_inline]] inline
struct sign_history8;
struct f8 {
  __m256 v;
  using history = sign_history8;
  using u_type = f8;
};
DELTASIGMA_WIDE f8 operator+(f8 a, f8 b) noexcept { return {_mm256_add_ps(a.v, b.v)}; }
DELTASIGMA_WIDE f8 operator-(f8 a, f8 b) noexcept { return {_mm256_sub_ps(a.v, b.v)}; }
DELTASIGMA_WIDE f8 operator*(f8 a, f8 b) noexcept { return {_mm256_mul_ps(a.v, b.v)}; }
DELTASIGMA_WIDE f8 mul_add(f8 a, f8 b, f8 c) noexcept { return {_mm256_add_ps(a.v, _mm256_mul_ps(b.v, c.v))}; }
DELTASIGMA_WIDE f8 mul_sub(f8 a, f8 b, f8 c) noexcept { return {_mm256_sub_ps(a.v, _mm256_mul_ps(b.v, c.v))}; }
DELTASIGMA_WIDE f8 limit(f8 y, f8 lo, f8 hi) noexcept { return {_mm256_min_ps(_mm256_max_ps(y.v, lo.v), hi.v)}; }
DELTASIGMA_WIDE f8 shift_up(f8 a) noexcept { return {_mm256_castsi256_ps(_mm256_slli_si256(_mm256_castps_si256(a.v), 4))}; }
DELTASIGMA_WIDE f8 q_of(f8 u, f8 odd) noexcept { return {_mm256_add_ps(u.v, _mm256_permute_ps(odd.v, 0xFF))}; }
DELTASIGMA_WIDE f8 sign_bit(f8 q) noexcept { return {_mm256_and_ps(q.v, _mm256_set1_ps(-0.0f))}; }
DELTASIGMA_WIDE f8 flip_sign(f8 m, f8 t) noexcept { return {_mm256_xor_ps(m.v, t.v)}; }
// The bits so far per half, inverted, the latest in bit 0 of lanes 0 and 4.
struct sign_history8 { __m256i inverted; };
DELTASIGMA_WIDE sign_history8 append_sign(sign_history8 h, f8 q) noexcept {
  return {_mm256_sub_epi32(_mm256_add_epi32(h.inverted, h.inverted), _mm256_srai_epi32(_mm256_castps_si256(q.v), 31))};
}
DELTASIGMA_WIDE f8 pair_of(f4 low, f4 high) noexcept { return {_mm256_set_m128(high.v, low.v)}; }
DELTASIGMA_WIDE f4 low_half(f8 a) noexcept { return {_mm256_castps256_ps128(a.v)}; }
DELTASIGMA_WIDE f4 high_half(f8 a) noexcept { return {_mm256_extractf128_ps(a.v, 1)}; }
DELTASIGMA_WIDE f8 both_halves(const std::array<float, 4>& a) noexcept {
  return {_mm256_broadcast_ps(reinterpret_cast<const __m128*>(a.data()))};
}

bool cpu_has_avx2() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#else
constexpr bool cpu_has_avx2() noexcept { return false; }
#endif

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
#if defined(DELTASIGMA_NEON)
// x - 2Q wraps above x unless x >= 2Q, so the smaller of the two is x mod 2Q.
inline u4 reduce(u4 x) noexcept { return min_unsigned(x, x - splat(kTwoQ)); }
#else
inline u4 reduce(u4 x) noexcept { return x - (greater(x, splat(kTwoQ - 1)) & splat(kTwoQ)); }
#endif

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
  typename F::u_type u;
};

inline level7_input<f4> make_level7_input(float u) noexcept {
  const f4 uu = splat(u);
  return {load(kOddA) * uu, load(kEvenA) * uu, u_lanes(u)};
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
  const auto q = q_of(in.u, s.odd);
  const F sign = sign_bit(q);
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

#if defined(DELTASIGMA_SSE2)
// level7_step on 8 lanes, both channels at once: the same operations in the
// same order (a copy, because GCC does not inline AVX2 code into the shared
// template; the tests run both and compare them with fixed bits).
DELTASIGMA_WIDE void level7_step_wide(level7_lanes<f8>& s, const level7_input<f8>& in,
                                      const level7_constants<f8>& k) noexcept {
  const f8 q = q_of(in.u, s.odd);
  const f8 sign = sign_bit(q);
  s.signs = append_sign(s.signs, q);
  const f8 odd = mul_add(s.even + in.odd, k.odd_scale, s.odd) + flip_sign(k.odd_feedback, sign);
  const f8 even = (mul_sub(s.even, k.even_g, s.odd) + (shift_up(s.odd) + in.even)) + flip_sign(k.even_feedback, sign);
  s.odd = limit(odd, k.low, k.high);
  s.even = limit(even, k.low, k.high);
}

// pcm_level7 on both channels in one set of 8-lane vectors.
[[gnu::target("avx2")]] void pcm_level7_wide(const float (&x)[2], int bits, uint32_t (&out)[2]) noexcept {
  modulator_state& left = channel_state[0];
  modulator_state& right = channel_state[1];
  const level7_input<f4> l = make_level7_input(level7_pcm_input(x[0]));
  const level7_input<f4> r = make_level7_input(level7_pcm_input(x[1]));
  const level7_input<f8> in = {pair_of(l.odd, r.odd), pair_of(l.even, r.even), pair_of(l.u, r.u)};
  level7_lanes<f8> lanes = {pair_of(load(left.c.data()), load(right.c.data())),
                            pair_of(load(left.c.data() + kLanes), load(right.c.data() + kLanes)),
                            {_mm256_setzero_si256()}};
  const level7_constants<f8> k = {both_halves(kOddScale),    both_halves(kEvenG),
                                  both_halves(kOddFeedback), both_halves(kEvenFeedback),
                                  {_mm256_set1_ps(kFeedbackFloat)}, {_mm256_set1_ps(-kFeedbackFloat)}};
  for (int n = 0; n < bits; ++n) level7_step_wide(lanes, in, k);
  store(left.c.data(), low_half(lanes.odd));
  store(right.c.data(), high_half(lanes.odd));
  store(left.c.data() + kLanes, low_half(lanes.even));
  store(right.c.data() + kLanes, high_half(lanes.even));
  out[0] = ~static_cast<uint32_t>(_mm256_extract_epi32(lanes.signs.inverted, 0)) & bit_mask(bits);
  out[1] = ~static_cast<uint32_t>(_mm256_extract_epi32(lanes.signs.inverted, 4)) & bit_mask(bits);
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
#if defined(DELTASIGMA_SSE2)
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
#if defined(DELTASIGMA_NEON)
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
