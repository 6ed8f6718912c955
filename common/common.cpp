// The FIR oversampling filter (see common.h) and its scatter kernels.
// Compiled with -ffp-contract=off: the vector kernels and the scalar
// reference must round the same way.
#include "common.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fir_tables.h"
#include "parse_param.h"
#include "util.h"

namespace simd {
namespace {

void scatter_scalar(float* acc_l, float* acc_r, const float* coeffs, size_t count, float x_l, float x_r) {
  scatter_stereo_scalar(acc_l, acc_r, coeffs, count, x_l, x_r);
}

void scatter_vec4(float* acc_l, float* acc_r, const float* coeffs, size_t count, float x_l, float x_r) {
  const size_t done = scatter_stereo<vec4>(acc_l, acc_r, coeffs, count, x_l, x_r);
  scatter_stereo_scalar(acc_l + done, acc_r + done, coeffs + done, count - done, x_l, x_r);
}

#if defined(SIMD_X86)
// flatten inlines vec8's AVX2 functions here, where the target allows them.
[[gnu::target("avx2"), gnu::flatten]] void scatter_avx2(float* acc_l, float* acc_r, const float* coeffs,
                                                        size_t count, float x_l, float x_r) {
  size_t done = scatter_stereo<vec8>(acc_l, acc_r, coeffs, count, x_l, x_r);
  done += scatter_stereo<vec4>(acc_l + done, acc_r + done, coeffs + done, count - done, x_l, x_r);
  scatter_stereo_scalar(acc_l + done, acc_r + done, coeffs + done, count - done, x_l, x_r);
}
#endif

}  // namespace

scatter_kernel scatter_kernel_scalar() noexcept { return scatter_scalar; }
scatter_kernel scatter_kernel_vec4() noexcept { return scatter_vec4; }

scatter_kernel scatter_kernel_avx2() noexcept {
#if defined(SIMD_X86)
  if (__builtin_cpu_supports("avx2")) return scatter_avx2;
#endif
  return nullptr;
}

scatter_kernel scatter_kernel_best() noexcept {
  const scatter_kernel wide = scatter_kernel_avx2();
  return wide ? wide : scatter_vec4;
}

}  // namespace simd

namespace {

// The hold length R of the 44.1 kHz path is out / in = 8: the output block
// and the whole-vector runs of the rings rely on it.
constexpr int32_t kIntegerInputRate = 44100;
static_assert(kFirOutputRate / kIntegerInputRate == 8 && 2 * 8 <= kFirBlockFloats);
// The 44.1 kHz path's gain: headroom for the modulators.
constexpr double kIntegerPathGain = 0.9;
// Zeros after the fractional path's taps: room to shift the taps by 0..3
// cells so that every step starts on a whole vector (see below).
constexpr int32_t kCopyPadding = 4;
// Every float array starts on a cache line, so AVX2 vectors never split one.
constexpr size_t kAlignment = 64;
// The integer path's runs start and end on whole 8-float (AVX2) vectors.
constexpr int32_t kVectorRun = 8;

struct coeff_table {
  int32_t count;
  const float* taps;
};

struct rate_entry {
  int32_t input_rate;  // 0: any rate
  int32_t output_rate; // -1 ends a list
  coeff_table table;
};

// The 44.1 kHz entries come first and have R = 8; T + 8 is a whole number
// of 8-float vectors and T + 4 of 4-float vectors for every table.
constexpr rate_entry kNormalList[] = {
    {kIntegerInputRate, kFirOutputRate, {kFirTaps44kNormal, fir_coeffs_44k_normal}},
    {0, kFirOutputRate, {kFirTapsAnyNormal, fir_coeffs_any_normal}},
    {0, -1, {0, nullptr}},
};

constexpr rate_entry kShortList[] = {
    {kIntegerInputRate, kFirOutputRate, {kFirTaps44kShort, fir_coeffs_44k_short}},
    {0, kFirOutputRate, {kFirTapsAnyShort, fir_coeffs_any_short}},
    {0, -1, {0, nullptr}},
};
static_assert((kFirTaps44kNormal + 8) % 8 == 0 && (kFirTaps44kShort + 8) % 8 == 0);
static_assert((kFirTapsAnyNormal + kCopyPadding) % 4 == 0 && (kFirTapsAnyShort + kCopyPadding) % 4 == 0);

struct free_deleter {
  void operator()(float* p) const noexcept { std::free(p); }
};
using float_block = std::unique_ptr<float[], free_deleter>;

// A zeroed, kAlignment-aligned array of count floats, or null.
float_block allocate_floats(int32_t count) {
  const size_t bytes = (static_cast<size_t>(count) * sizeof(float) + kAlignment - 1) / kAlignment * kAlignment;
  float_block block(static_cast<float*>(std::aligned_alloc(kAlignment, bytes)));
  if (block) std::memset(block.get(), 0, bytes);
  return block;
}

// The integer (44.1 kHz) path. The accumulators are rings of T + R cells;
// the output block starts at cell `offset` and moves forwards by R cells per
// input frame:
//
//   cells  | emitted next | ... later outputs ... |
//          ^offset        ^offset+R               ^offset+T+R-1 (mod T+R)
//
// Each input adds h[k] * x to cell offset + k (mod T+R), k = 0..T+R-1, and
// then the R cells from offset are output and cleared. So cell offset + k
// holds sum over d >= 0 of h[R*d + k] * x[now - d]: a plain convolution of
// the held input with c at 352800 Hz, scaled by 0.9.
struct integer_path {
  int32_t ratio = 0;    // R
  int32_t length = 0;   // T + R, a whole number of 8-float vectors
  float_block folded;   // h, length floats
  float_block acc_l;    // length floats
  float_block acc_r;
  int32_t offset = 0;   // multiple of R, 0 <= offset < length
  // h[first..first+span) holds every non-zero tap, on whole 8-float vectors:
  // the long table's outer taps are 0, and adding 0 * x changes no cell.
  int32_t first = 0;
  int32_t span = 0;
};

// The fractional path. The accumulators are rings of L = T + 4 cells; step
// `step` adds c'[k] * held input to cell step + k (mod L), where c' is the T
// taps followed by four zeros, and then outputs and clears cell `step`.
// To start every scatter on a whole vector, copy s (s = step mod 4) is c'
// shifted right by s cells (s leading zeros): it is added from cell
// step - s on, which lands c'[0] in cell step for every step.
struct fractional_path {
  int32_t length = 0;  // L, a whole number of 4-float vectors
  std::array<float_block, kCopyPadding> copies;
  float_block acc_l;
  float_block acc_r;
  int32_t step = 0;    // 0 <= step < length
  int32_t phase = 0;   // 0 <= phase < max(input rate, output rate) between calls
};

struct fir_state {
  int32_t input_rate = 0;
  int32_t output_rate = 0;
  const rate_entry* e44 = nullptr;   // null: not set up
  const rate_entry* eany = nullptr;
  integer_path integer;
  fractional_path fractional;
  simd::scatter_kernel kernel = nullptr;
  alignas(kAlignment) std::array<float, kFirBlockFloats> output{};
};

fir_state fir;

const rate_entry* find_entry(const rate_entry* list, int32_t output_rate, int32_t wanted_input) {
  for (const rate_entry* e = list; e->output_rate != -1; ++e) {
    if (e->output_rate == output_rate && (e->input_rate == wanted_input || e->input_rate == 0)) return e;
  }
  return nullptr;
}

// h[n] = 0.9 * (c[n-R+1] + ... + c[n]), c taken as 0 outside 0..T-1.
void fold_filter(const coeff_table& c, int32_t ratio, float* h) {
  const int32_t length = c.count + ratio;
  for (int32_t n = 0; n < length; ++n) {
    double sum = 0.0;
    for (int32_t k = std::max(0, n - ratio + 1); k <= std::min(n, c.count - 1); ++k) sum += c.taps[k];
    h[n] = static_cast<float>(kIntegerPathGain * sum);
  }
}

bool set_up_integer_path(const coeff_table& c, int32_t ratio) {
  integer_path& p = fir.integer;
  p.ratio = ratio;
  p.length = c.count + ratio;
  p.folded = allocate_floats(p.length);
  p.acc_l = allocate_floats(p.length);
  p.acc_r = allocate_floats(p.length);
  p.offset = 0;
  if (!p.folded || !p.acc_l || !p.acc_r) return false;
  const float* h = p.folded.get();
  fold_filter(c, ratio, p.folded.get());
  int32_t first = 0;
  int32_t end = p.length;
  while (first < end && h[first] == 0.0f) ++first;
  while (end > first && h[end - 1] == 0.0f) --end;
  p.first = first / kVectorRun * kVectorRun;
  p.span = (end - p.first + kVectorRun - 1) / kVectorRun * kVectorRun;
  return true;
}

bool set_up_fractional_accumulators(const coeff_table& c) {
  fractional_path& p = fir.fractional;
  p.length = c.count + kCopyPadding;
  p.acc_l = allocate_floats(p.length);
  p.acc_r = allocate_floats(p.length);
  p.step = 0;
  return p.acc_l && p.acc_r;
}

bool set_up_fractional_copies(const coeff_table& c) {
  fractional_path& p = fir.fractional;
  for (int32_t s = 0; s < kCopyPadding; ++s) {
    p.copies[s] = allocate_floats(p.length);
    if (!p.copies[s]) return false;
    std::copy(c.taps, c.taps + c.count, p.copies[s].get() + s);
  }
  return true;
}

// Adds coeffs[k] * x to cell (start + k) mod length of both rings, for
// k = 0..count-1 (count <= length), in the two runs that wrap around the
// ring's end.
void scatter_ring(float* acc_l, float* acc_r, int32_t length, int32_t start, const float* coeffs, int32_t count,
                  float x_l, float x_r) {
  const int32_t first = std::min(count, length - start);
  fir.kernel(acc_l + start, acc_r + start, coeffs, first, x_l, x_r);
  fir.kernel(acc_l, acc_r, coeffs + first, count - first, x_l, x_r);
}

const float* process_integer(const float* frame, int32_t* count) {
  integer_path& p = fir.integer;
  int32_t start = p.offset + p.first;
  if (start >= p.length) start -= p.length;
  scatter_ring(p.acc_l.get(), p.acc_r.get(), p.length, start, p.folded.get() + p.first, p.span, frame[0], frame[1]);
  float* left = p.acc_l.get() + p.offset;
  float* right = p.acc_r.get() + p.offset;
  for (int32_t j = 0; j < p.ratio; ++j) {
    fir.output[2 * j] = params.left_cut ? 0.0f : left[j];
    fir.output[2 * j + 1] = params.right_cut ? 0.0f : right[j];
    left[j] = 0.0f;
    right[j] = 0.0f;
  }
  p.offset += p.ratio;
  if (p.offset == p.length) p.offset = 0;
  *count = 2 * p.ratio;
  return fir.output.data();
}

const float* process_fractional(const float* frame, int32_t* count) {
  fractional_path& p = fir.fractional;
  *count = 0;
  if (p.phase >= fir.output_rate) {  // input faster than output: no frame this time
    p.phase -= fir.output_rate;
    return fir.output.data();
  }
  int32_t written = 0;
  // The bound never binds (fir_init refuses rates that would need more
  // frames); it keeps the block safe whatever the phase says.
  while (written < kFirBlockFloats) {
    const int32_t shift = p.step % kCopyPadding;
    scatter_ring(p.acc_l.get(), p.acc_r.get(), p.length, p.step - shift, p.copies[shift].get(), p.length,
                 frame[0], frame[1]);
    fir.output[written] = p.acc_l[p.step];
    fir.output[written + 1] = p.acc_r[p.step];
    p.acc_l[p.step] = 0.0f;
    p.acc_r[p.step] = 0.0f;
    written += 2;
    p.phase += fir.input_rate;
    if (++p.step == p.length) p.step = 0;
    if (p.phase >= fir.output_rate) {
      p.phase -= fir.output_rate;
      break;
    }
  }
  *count = written;
  return fir.output.data();
}

}  // namespace

int32_t fir_init(int32_t input_rate, int32_t output_rate, int32_t channels, int32_t short_filter) {
  fir.input_rate = input_rate;
  fir.output_rate = output_rate;
  if (channels != 2) fatal_error("this code supports 2ch stereo only, not %d channels.\n", channels);
  if (input_rate < kFirLowestInputRate || input_rate > kFirHighestInputRate) {
    fatal_error("input rate %d Hz is not supported (%d to %d Hz).\n", input_rate, kFirLowestInputRate,
                kFirHighestInputRate);
  }
  if (!fir.kernel) fir.kernel = simd::scatter_kernel_best();
  if (fir.e44 && fir.e44->output_rate == output_rate) return -1;

  const rate_entry* list = short_filter ? kShortList : kNormalList;
  fir.fractional.phase = 0;
  fir.e44 = find_entry(list, output_rate, kIntegerInputRate);
  if (!fir.e44) fatal_error("44k coeff table not found.");
  if (!set_up_integer_path(fir.e44->table, fir.e44->output_rate / fir.e44->input_rate)) {
    fir_release();
    fatal_error("allocation failed.");
  }
  fir.eany = find_entry(list, output_rate, 48000);
  if (!fir.eany) fatal_error("48k coeff table not found.");
  if (!set_up_fractional_accumulators(fir.eany->table) || !set_up_fractional_copies(fir.eany->table)) {
    fir_release();
    fatal_error("work area could not allocated.");
  }
  return -1;
}

const float* fir_process(const float* frame, int32_t* count) {
  if (!fir.e44 || fir.input_rate == 0 || !frame || !count) return nullptr;
  return fir.input_rate == kIntegerInputRate ? process_integer(frame, count) : process_fractional(frame, count);
}

void fir_release() {
  fir.integer = integer_path{};
  fir.fractional = fractional_path{};
  fir.e44 = nullptr;
  fir.eany = nullptr;
}

const float* fir_table_44k() { return fir.e44 ? fir.e44->table.taps : nullptr; }
const float* fir_table_other() { return fir.eany ? fir.eany->table.taps : nullptr; }

void fir_select_kernel(simd::scatter_kernel kernel) { fir.kernel = kernel ? kernel : simd::scatter_kernel_best(); }
