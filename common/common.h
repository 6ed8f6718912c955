// The FIR oversampling filter: stereo float frames at the input rate in,
// stereo float frames at 352800 Hz out.
//
// 44100 Hz input takes the integer path: a hold of 8 and a long lowpass,
// folded into one filter h = 0.9 * (c convolved with 8 ones), scattered into
// circular accumulators once per input frame; every input frame completes
// 8 output frames. Any other rate takes the fractional path: a phase
// accumulator steps at the output rate, holds the current input frame and
// scatters a shorter lowpass once per output frame (0 to 45 frames per input,
// depending on the rate). One process-wide instance; not reentrant.
#pragma once

#include <cstdint>

#include "simd.h"

constexpr int32_t kFirOutputRate = 352800;
// Lowest and highest input rates fir_init accepts. The output block holds
// the most frames one input frame can complete at the lowest rate.
constexpr int32_t kFirLowestInputRate = 8000;
constexpr int32_t kFirHighestInputRate = 1 << 24;
constexpr int32_t kFirBlockFrames = (kFirOutputRate + kFirLowestInputRate - 1) / kFirLowestInputRate;  // 45
constexpr int32_t kFirBlockFloats = 2 * kFirBlockFrames;

// Sets the filter up for input_rate -> output_rate (the players always ask
// for 352800) with the normal or, when short_filter is non-zero, the short
// coefficient list. Returns -1 (true). Every failure is fatal: channels
// other than 2, an input rate outside kFirLowestInputRate..kFirHighestInputRate,
// no table for the output rate, no memory. Once set up, a later call with the
// same output rate only switches the path to the new input rate: nothing is
// reallocated, the accumulators and the phase carry on.
int32_t fir_init(int32_t input_rate, int32_t output_rate, int32_t channels, int32_t short_filter);

// Feeds one input frame {left, right}. Returns the output block, whose first
// *count floats are the output frames this input completed, left then right:
// 16 on the 44.1 kHz path, 0 to kFirBlockFloats (even) on the other. The block
// is overwritten by the next call; copy what you need first. Returns null,
// leaving *count alone, when the filter is not set up or a pointer is null.
// With params.left_cut / right_cut the 44.1 kHz path writes that channel as 0.
const float* fir_process(const float* frame, int32_t* count);

// Frees every array of the instance and forgets its set-up; the next fir_init
// starts afresh (zeroed accumulators, phase 0).
void fir_release();

// Which taps table each path uses now (null before fir_init): for the tests.
const float* fir_table_44k();
const float* fir_table_other();

// Replaces the scatter kernel fir_init picked (the fastest this CPU runs),
// so tests and benchmarks can compare the vector paths with the scalar one.
void fir_select_kernel(simd::scatter_kernel kernel);
