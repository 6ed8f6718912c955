// The FIR's dot products: each output frame is the taps of its phase times
// the input history, left and right. A vector kernel and a scalar reference
// that gives its bits, for the filter to run and for the tests and the
// benchmarks to compare.
#pragma once

#include <cstddef>

namespace simd {

// Taps per round of the dot product: two vectors per channel, so that the
// four running sums of a round do not wait for each other. Every count is a
// whole number of rounds.
constexpr size_t kDotRound = 8;

// *out_l = sum of c[i] * l[i] and *out_r likewise, i = 0..count-1.
using dot_kernel = void (*)(const float* c, const float* l, const float* r, size_t count, float* out_l, float* out_r);
// The same with taps between two sets, given the first and the step to the
// second: c[i] = c0[i] + weight * step[i].
using dot_between_kernel = void (*)(const float* c0, const float* step, float weight, const float* l, const float* r,
                                    size_t count, float* out_l, float* out_r);
// `outputs` dot products over the same l and r, output k's taps starting at
// c + k * c_step: out[2k] and out[2k + 1] are what plain would give.
using dot_run_kernel = void (*)(const float* c, size_t c_step, size_t outputs, const float* l, const float* r,
                                size_t count, float* out);
struct dot_kernels {
  dot_kernel plain;
  dot_between_kernel between;
  dot_run_kernel run;
};

dot_kernels dot_kernels_scalar() noexcept;
dot_kernels dot_kernels_vec4() noexcept;
// The precise path's kernels: with fused multiply-adds on x86 CPUs that have
// AVX2 and FMA (not the bits of the others), else dot_kernels_vec4.
dot_kernels dot_kernels_fused() noexcept;
// Whether dot_kernels_fused gives the fused kernels on this CPU.
bool fused_kernels_run() noexcept;

}  // namespace simd
