// The FIR oversampling filter: stereo float frames at the input rate in,
// stereo float frames at kOversampledRate (352800 Hz) out.
//
// A polyphase interpolator. Output frame j sits at an exact position on the
// input's time grid: with out / in = L / M in lowest terms, j * M / L input
// periods in, so its fractional part is one of L phases. Each phase has its
// own short filter (taps) over the latest input frames, and an output is one
// dot product of those taps with the input history. The phases come from one
// lowpass prototype: at 44.1 kHz the folded coefficient table (a hold of 8
// and the table's lowpass, L = 8), at any other rate a Kaiser-windowed sinc
// designed by fir_init for that rate (rates with more than
// kFirMaxExactPhases phases interpolate between stored ones). Every rate's
// path has gain 0.9 (headroom for the modulators), so a file plays at the
// same level whatever its rate.
// Every prototype has the same delay in seconds, and at a change of rate
// between files the frames of the old rate fade out through their own
// filter: the stream keeps its time line, no gap, no jump.
//
// Each fir_filter is an instance of its own: its phases, its history and
// its output block; two instances share nothing, and each is used by one
// thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "stream_constants.h"

// Lowest and highest input rates fir_init accepts. The output block holds
// the most frames one input frame can complete at the lowest rate.
constexpr int32_t kFirLowestInputRate = 8000;
constexpr int32_t kFirHighestInputRate = 1 << 24;
constexpr int32_t kFirBlockFrames = (kOversampledRate + kFirLowestInputRate - 1) / kFirLowestInputRate;  // 45
constexpr int32_t kFirBlockFloats = 2 * kFirBlockFrames;

// Most phases a rate keeps exactly (441 at 8, 16, 32 and 64 kHz; 882 at
// 50 kHz); rates with more interpolate between kFirStoredPhases + 1.
constexpr int32_t kFirMaxExactPhases = 1024;
constexpr int32_t kFirStoredPhases = 2048;

// Channels written as silence (the 44.1 kHz path's cut options).
struct channel_cuts {
  bool left = false;
  bool right = false;
};

// One filter instance, owned by the caller. Empty until fir_init (or
// fir_use_scalar_kernels) makes its state; freed with it.
struct fir_state;
struct fir_state_deleter {
  void operator()(fir_state* state) const noexcept;
};
using fir_filter = std::unique_ptr<fir_state, fir_state_deleter>;

// Sets the filter up for input_rate -> output_rate (the players always ask
// for kOversampledRate) with the normal or, when short_filter is non-zero,
// the short list, and the channels to cut at 44.1 kHz. Returns -1 (true).
// Every failure is fatal: channels other than 2, an input rate outside
// kFirLowestInputRate..kFirHighestInputRate, no table for the output rate,
// no memory. Once set up, a later call with the same output rate keeps the
// list and the input history and carries the output position over to the
// new rate; only the phases are made anew (when the rate differs).
int32_t fir_init(fir_filter& filter, int32_t input_rate, int32_t output_rate, int32_t channels, int32_t short_filter,
                 channel_cuts cuts = {});

// Feeds one input frame {left, right}. Returns the output block, whose first
// *count floats are the output frames this input completed, left then right:
// 16 at 44.1 kHz, 0 to kFirBlockFloats (even) at other rates. The block
// is overwritten by the next call; copy what you need first. Returns null,
// leaving *count alone, when the filter is not set up or a pointer is null.
// At 44.1 kHz the channels fir_init was told to cut are written as 0.
const float* fir_process(fir_filter& filter, const float* frame, int32_t* count);

// Frees every array of the instance and forgets its set-up (the kernels
// chosen stay); the next fir_init starts afresh (silent history, position 0).
void fir_release(fir_filter& filter);

// How the current rate is resampled: for the tests and the benchmarks.
struct fir_phases_info {
  int32_t up = 0;                // L: output frames ...
  int32_t down = 0;              // M: ... per input frames, in lowest terms
  int32_t stored = 0;            // phases kept: L, or kFirStoredPhases + 1
  int32_t taps = 0;              // per phase, a whole number of dot rounds
  const float* table = nullptr;  // the 44.1 kHz coefficient table in use
};
fir_phases_info fir_phases(const fir_filter& filter);

// Whether the next input frame's first output frame falls on that frame's
// own time (every frame at 44.1 kHz; every `down` frames from the first at
// other rates). False before fir_init.
bool fir_on_grid(const fir_filter& filter);

// The time from an input frame to the output frames it centres on: the same
// at every rate of a list; 0 before fir_init.
double fir_delay_seconds(const fir_filter& filter);

// Sets the instance on the precise path, for what fir_init sets up next
// (lumen -os), on x86 CPUs with AVX2 and FMA: every rate, 44.1 kHz too,
// through filters designed for 160 dB (at 44.1 kHz two stages: a half-band
// filter to 88.2 kHz, then a short one), the same gain, with dot products of fused multiply-adds whose
// bits differ from the vector kernels'. Other CPUs keep the normal list and
// the vector kernels. Forgets the set-up; kept across fir_release like the
// kernels.
void fir_use_precise_path(fir_filter& filter);

// Runs the scalar reference kernels instead of the vector ones, so tests and
// benchmarks can compare the two.
void fir_use_scalar_kernels(fir_filter& filter, bool scalar);
