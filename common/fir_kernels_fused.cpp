// The dot products of the precise path (fir_use_precise_path) on x86 CPUs
// with AVX2 and FMA: eight lanes, each tap one fused multiply-add, rounded
// once rather than twice, so the sums are closer to exact (and their bits are
// not the vec4 kernels'). The FMA is written out: the file is compiled with
// -ffp-contract=off like the other kernels. Chosen at run time; other CPUs,
// ARM among them, get the vec4 kernels.
#include <algorithm>

#include "fir_kernels.h"
#include "simd.h"

namespace simd {

#if defined(SIMD_AVX2)
namespace {

#define FUSED_FUNCTION [[gnu::target("avx2,fma")]]

// The taps of one output: its own set, or (between) c0 + weight * step, each
// tap rounded once.
struct taps_at {
  const float* c0;
  const float* step;  // null: the set itself
  float weight;
};

template <bool kBetween>
FUSED_FUNCTION inline __m256 load_taps8(const taps_at& t, size_t i) noexcept {
  if constexpr (!kBetween)
    return _mm256_loadu_ps(t.c0 + i);
  else
    return _mm256_fmadd_ps(_mm256_set1_ps(t.weight), _mm256_loadu_ps(t.step + i), _mm256_loadu_ps(t.c0 + i));
}
template <bool kBetween>
FUSED_FUNCTION inline __m128 load_taps4(const taps_at& t, size_t i) noexcept {
  if constexpr (!kBetween)
    return _mm_loadu_ps(t.c0 + i);
  else
    return _mm_fmadd_ps(_mm_set1_ps(t.weight), _mm_loadu_ps(t.step + i), _mm_loadu_ps(t.c0 + i));
}

// A designed phase's large taps sit in its middle. Those rounds go in double
// precision, last, after the float sums of the small taps on either side
// (each side summed from its far end inwards, so the float sums stay small
// and so do their roundings). The middle: kMiddleRounds around the centre.
constexpr size_t kMiddleRounds = 2;
struct middle_rounds {
  size_t begin;
  size_t end;
};
inline middle_rounds middle_of(size_t count) noexcept {
  const size_t rounds = count / kDotRound;
  const size_t first = rounds >= kMiddleRounds ? std::min(rounds - kMiddleRounds, (rounds - 1) / 2) : 0;
  return {first * kDotRound, std::min(rounds, first + kMiddleRounds) * kDotRound};
}

// A float sum's eight lanes as four doubles (its halves added in float: the
// sums are small).
FUSED_FUNCTION inline __m256d widened(__m256 sum) noexcept {
  return _mm256_cvtps_pd(_mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1)));
}

// One round of taps from i on into each output's float sums.
template <size_t kOutputs, bool kBetween>
FUSED_FUNCTION inline void add_round(const taps_at (&t)[kOutputs], const float* l, const float* r, size_t i,
                                     __m256 (&sums)[2 * kOutputs]) noexcept {
  const __m256 vl = _mm256_loadu_ps(l + i), vr = _mm256_loadu_ps(r + i);
#pragma GCC unroll 4
  for (size_t k = 0; k < kOutputs; ++k) {
    const __m256 taps = load_taps8<kBetween>(t[k], i);
    sums[2 * k] = _mm256_fmadd_ps(taps, vl, sums[2 * k]);
    sums[2 * k + 1] = _mm256_fmadd_ps(taps, vr, sums[2 * k + 1]);
  }
}

// kOutputs outputs over the same history, output k's taps at t[k]: the
// history of a round is loaded once for all of them. The totals are rounded
// to float once.
template <size_t kOutputs, bool kBetween = false>
FUSED_FUNCTION inline void dot_outputs(const taps_at (&t)[kOutputs], const float* l, const float* r, size_t count,
                                       float* out) noexcept {
  const middle_rounds m = middle_of(count);
  __m256 sums[2 * kOutputs];
#pragma GCC unroll 8
  for (__m256& s : sums) s = _mm256_setzero_ps();
  for (size_t i = 0; i < m.begin; i += kDotRound) add_round<kOutputs, kBetween>(t, l, r, i, sums);
  for (size_t i = count; i > m.end; i -= kDotRound) add_round<kOutputs, kBetween>(t, l, r, i - kDotRound, sums);
  __m256d wide[2 * kOutputs];
#pragma GCC unroll 8
  for (size_t k = 0; k < 2 * kOutputs; ++k) wide[k] = widened(sums[k]);
  for (size_t i = m.begin; i < m.end; i += 4) {
    const __m256d wl = _mm256_cvtps_pd(_mm_loadu_ps(l + i)), wr = _mm256_cvtps_pd(_mm_loadu_ps(r + i));
#pragma GCC unroll 4
    for (size_t k = 0; k < kOutputs; ++k) {
      const __m256d taps = _mm256_cvtps_pd(load_taps4<kBetween>(t[k], i));
      wide[2 * k] = _mm256_fmadd_pd(taps, wl, wide[2 * k]);
      wide[2 * k + 1] = _mm256_fmadd_pd(taps, wr, wide[2 * k + 1]);
    }
  }
  __m128d totals[kOutputs];
#pragma GCC unroll 4
  for (size_t k = 0; k < kOutputs; ++k) {
    const __m256d pairs = _mm256_hadd_pd(wide[2 * k], wide[2 * k + 1]);  // (l01, r01, l23, r23)
    totals[k] = _mm_add_pd(_mm256_castpd256_pd128(pairs), _mm256_extractf128_pd(pairs, 1));
  }
  // Two outputs to a store: the caller reads them back four floats at a
  // time, and a load spanning two narrower stores waits for both to retire.
  size_t k = 0;
  for (; k + 2 <= kOutputs; k += 2) {
    _mm_storeu_ps(out + 2 * k, _mm256_cvtpd_ps(_mm256_set_m128d(totals[k + 1], totals[k])));
  }
  if (k < kOutputs) _mm_storel_pi(reinterpret_cast<__m64*>(out + 2 * k), _mm_cvtpd_ps(totals[k]));
}

FUSED_FUNCTION void dot_stereo_fused(const float* c, const float* l, const float* r, size_t count, float* out_l,
                                     float* out_r) noexcept {
  float out[2];
  dot_outputs<1>({{c, nullptr, 0.0f}}, l, r, count, out);
  *out_l = out[0];
  *out_r = out[1];
}

FUSED_FUNCTION void dot_run_fused(const float* c, size_t c_step, size_t outputs, const float* l, const float* r,
                                  size_t count, float* out) noexcept {
  size_t k = 0;
  for (; k + 4 <= outputs; k += 4, c += 4 * c_step, out += 8) {
    dot_outputs<4>({{c, nullptr, 0.0f},
                    {c + c_step, nullptr, 0.0f},
                    {c + 2 * c_step, nullptr, 0.0f},
                    {c + 3 * c_step, nullptr, 0.0f}},
                   l, r, count, out);
  }
  // The rest together too (a rate like 96 kHz gives three or four a frame).
  if (outputs - k == 3) {
    dot_outputs<3>({{c, nullptr, 0.0f}, {c + c_step, nullptr, 0.0f}, {c + 2 * c_step, nullptr, 0.0f}}, l, r, count,
                   out);
  } else if (outputs - k == 2) {
    dot_outputs<2>({{c, nullptr, 0.0f}, {c + c_step, nullptr, 0.0f}}, l, r, count, out);
  } else if (outputs - k == 1) {
    dot_outputs<1>({{c, nullptr, 0.0f}}, l, r, count, out);
  }
}

FUSED_FUNCTION void dot_stereo_between_fused(const float* c0, const float* step, float weight, const float* l,
                                             const float* r, size_t count, float* out_l, float* out_r) noexcept {
  float out[2];
  dot_outputs<1, true>({{c0, step, weight}}, l, r, count, out);
  *out_l = out[0];
  *out_r = out[1];
}

#undef FUSED_FUNCTION

}  // namespace

bool fused_kernels_run() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

dot_kernels dot_kernels_fused() noexcept {
  if (fused_kernels_run()) return {dot_stereo_fused, dot_stereo_between_fused, dot_run_fused};
  return dot_kernels_vec4();
}
#else
bool fused_kernels_run() noexcept { return false; }
dot_kernels dot_kernels_fused() noexcept { return dot_kernels_vec4(); }
#endif

}  // namespace simd
