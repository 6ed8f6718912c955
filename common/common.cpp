// The FIR oversampling filter (see fir.h; the file's name is historical):
// the phases of each rate and the input history of an instance; the dot
// products are in fir_kernels.cpp.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>

#include "fir.h"
#include "fir_kernels.h"
#include "fir_tables.h"
#include "kaiser.h"
#include "util.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The 44.1 kHz rate uses a table: a hold of 8 and the table's lowpass,
// folded into one filter whose 8 phases are its every 8th tap.
constexpr int32_t kIntegerInputRate = 44100;
constexpr int32_t kHold = 8;
static_assert(kOversampledRate / kIntegerInputRate == kHold && 2 * kHold <= kFirBlockFloats);
// Every rate's gain: headroom for the modulators. One gain for all rates,
// so that files of different rates play at the same level.
constexpr double kPathGain = 0.9;
constexpr int32_t kRound = static_cast<int32_t>(simd::kDotRound);
static_assert((kFirTaps44kNormal + kHold) % (kHold * kRound) == 0 &&
              (kFirTaps44kShort + kHold) % (kHold * kRound) == 0);

// Frames a voice's history takes between two moves of its reach to the
// front.
constexpr int32_t kHistoryChunk = 4096;
// Voices of earlier rates that still sound (see fir_state).
constexpr int32_t kFadingVoices = 3;
// The lowest rate every list designs for, which sets the common delay.
constexpr int32_t kLongestDelayRate = kFirLowestInputRate;
// Every array starts on a cache line.
constexpr size_t kAlignment = 64;

struct coeff_table {
  int32_t count;
  const float* taps;
};

// How fir_init designs the prototype of a rate other than 44.1 kHz: a
// Kaiser-windowed sinc, flat to min(passband_hz, passband_share * rate),
// attenuated by stopband_db from where the images of that band begin
// (min(rate, output rate) - passband edge), the cutoff half-way between.
// Where the images begin inside the audio band (rates below about 36 kHz),
// what is left of them is heard as spurs: there the attenuation is
// inband_images_db, as far as the window fits before the common delay.
struct design_rule {
  double stopband_db;
  double passband_hz;
  double passband_share;
  double inband_images_db;
};

// The top of the audio band.
constexpr double kAudioBandHz = 20000.0;

struct rate_entry {
  int32_t input_rate;   // 44100, or 0: any other rate
  int32_t output_rate;  // -1 ends a list
  coeff_table table;    // 44100 entries
  design_rule rule;     // entries for any rate
};

constexpr rate_entry kNormalList[] = {
    {kIntegerInputRate, kOversampledRate, {kFirTaps44kNormal, fir_coeffs_44k_normal}, {}},
    {0, kOversampledRate, {0, nullptr}, {140.0, 20000.0, 0.45, 160.0}},
    {0, -1, {0, nullptr}, {}},
};

// The short list: fewer taps, for boards with little to spare.
constexpr rate_entry kShortList[] = {
    {kIntegerInputRate, kOversampledRate, {kFirTaps44kShort, fir_coeffs_44k_short}, {}},
    {0, kOversampledRate, {0, nullptr}, {120.0, 19000.0, 0.45, 140.0}},
    {0, -1, {0, nullptr}, {}},
};

// The precise path's list: every rate designed, 44.1 kHz too (flat to
// 20 kHz there, images from 24.1 kHz), 160 dB down, for the fused kernels.
constexpr rate_entry kPreciseList[] = {
    {0, kOversampledRate, {0, nullptr}, {160.0, 20000.0, 0.4536, 160.0}},
    {0, -1, {0, nullptr}, {}},
};

// At 44.1 kHz the precise path takes two stages, fewer multiply-adds than
// one: a half-band filter doubles the rate (flat to 20 kHz, images from
// 24.1 kHz), then a short filter to the output rate, flat beyond what the
// first lets through and quiet from 88.2 kHz less 24.1 kHz (where the images
// of the first stage's transition would fall).
constexpr double kTwoStageDb = 160.0;
constexpr design_rule kSecondStageRule{kTwoStageDb, 24100.0, 0.5, kTwoStageDb};

struct free_deleter {
  void operator()(void* p) const noexcept { std::free(p); }
};
template <class T>
using aligned_block = std::unique_ptr<T[], free_deleter>;
using float_block = aligned_block<float>;

// A zeroed, kAlignment-aligned array of count values, or null.
template <class T>
aligned_block<T> allocate_zeroed(size_t count) {
  const size_t bytes = (count * sizeof(T) + kAlignment - 1) / kAlignment * kAlignment;
  aligned_block<T> block(static_cast<T*>(std::aligned_alloc(kAlignment, bytes)));
  if (block) std::memset(block.get(), 0, bytes);
  return block;
}
float_block allocate_floats(size_t count) { return allocate_zeroed<float>(count); }

// The phases of one rate. Output position j * down / up (input periods)
// has phase (j * down) mod up; phase p's taps, newest input last, are at
// bank + p * taps (interpolated rates: stored phase s covers fraction
// s / kFirStoredPhases). An output of phase p is the dot product of its taps
// with the `taps` frames that end `skip` frames before the newest.
struct phase_bank {
  int32_t rate = 0;               // input rate the bank was made for
  int32_t up = 0;                 // L
  int32_t down = 0;               // M
  int32_t stored = 0;             // L, or kFirStoredPhases + 1 when interpolating
  int32_t taps = 0;               // per phase, a whole number of dot rounds
  int32_t skip = 0;               // newest frames no tap reaches
  double stored_per_phase = 0.0;  // kFirStoredPhases / up, when interpolating
  float_block bank;               // stored * taps floats
  float_block steps;              // interpolating: phase s + 1 less phase s, (stored - 1) * taps
  bool interpolated() const { return stored != up; }
  int32_t reach() const { return skip + taps; }
};

// The second stage of a voice that takes two (see make_two_stages): the
// output's phases over a history at twice the input rate.
struct second_stage {
  phase_bank phases;  // up 4, down 1, at twice the input rate
  float_block history_l;
  float_block history_r;
  int32_t capacity = 0;
  int32_t write = 0;
  int32_t since_batch = 0;  // input frames of the half-band filter's batch so far
};

// One rate's resampler: its phases, the input frames they reach and a copy
// of the instance's dot-product kernels (an output needs only its voice). The
// newest frame is at write - 1; the reach() frames before write are always
// valid (silence at first). When the arrays are full the last reach()
// frames move to the front.
struct voice {
  phase_bank phases;
  float_block history_l;
  float_block history_r;
  int32_t capacity = 0;
  int32_t write = 0;
  // Two stages: `phases` then holds the half-band filter's sets (see
  // design_half_band; `up` 8 and `down` 1 count the outputs) and `second`
  // the output's phases; null with one stage.
  std::unique_ptr<second_stage> second;
  // The next output's time after the newest frame, in 1/up input periods.
  int64_t position = 0;
  // Frames pushed since the voice began (fading voices: silent ones).
  int64_t pushed = 0;
  simd::dot_kernels kernels{};
  bool active() const { return phases.up != 0; }
  // Input frames pushed before none of the voice's own reaches an output.
  int32_t frames_heard() const { return phases.reach() + (second ? (second->phases.reach() + 1) / 2 + 1 : 0); }
};

}  // namespace

// The instance. Every rate's prototype is centred the same time (`delay`
// seconds) after its newest input, so the output keeps the input's time
// line when the rate changes. At a change the current voice stops taking
// input and fades: fed silence at its own rate, it adds what its own frames
// still contribute to each output until none reaches its taps; the new voice
// starts on silence. Each input frame is thus heard through the filter of
// its own rate, at its own time.
struct fir_state {
  int32_t output_rate = 0;
  const rate_entry* e44 = nullptr;  // null: not set up
  const rate_entry* eany = nullptr;
  double delay = 0.0;      // seconds
  int32_t table_skip = 0;  // whole periods the 44.1 kHz table is delayed by
  channel_cuts cuts;       // written as silence at 44.1 kHz
  voice current;
  std::array<voice, kFadingVoices> fading;
  bool any_fading = false;  // set when a voice starts fading, cleared once none is left
  simd::dot_kernels kernels = simd::dot_kernels_vec4();
  bool precise = false;  // kPreciseList and the fused kernels
  alignas(kAlignment) float output[kFirBlockFloats] = {};
};

void fir_state_deleter::operator()(fir_state* state) const noexcept { std::default_delete<fir_state>{}(state); }

namespace {

const rate_entry* find_entry(const rate_entry* list, int32_t output_rate, int32_t wanted_input) {
  for (const rate_entry* e = list; e->output_rate != -1; ++e) {
    if (e->output_rate == output_rate && (e->input_rate == wanted_input || e->input_rate == 0)) return e;
  }
  return nullptr;
}

// The prototype of a rate, in input periods.
struct prototype {
  double band;        // 2 * cutoff / input rate
  double half_width;  // of the window
  double beta;        // Kaiser window shape
};

// Kaiser's estimates, with a little room: the window's half-width for an
// attenuation over a transition (as a share of the input rate), and its shape.
double kaiser_half_width(double stopband_db, double transition_share) {
  return 1.1 * (stopband_db - 7.95) / (14.36 * transition_share) / 2.0;
}
double kaiser_beta(double stopband_db) { return 0.1102 * (stopband_db - 8.7) + 0.5; }

// The attenuation a window of that half-width reaches over the transition
// (kaiser_half_width the other way round).
double kaiser_reach_db(double half_width, double transition_share) {
  return 7.95 + 2.0 * half_width * 14.36 * transition_share / 1.1;
}

// With in_band_images, the attenuation is raised where the images begin
// inside the audio band; without, it is the rule's stopband_db at every rate
// (which sets the common delay).
prototype design_prototype(const design_rule& rule, int32_t input_rate, int32_t output_rate, double max_half_width,
                           bool in_band_images = false) {
  const double rate = input_rate;
  const double passband = std::min(rule.passband_hz, rule.passband_share * rate);
  const double stopband = std::min(rate, static_cast<double>(output_rate)) - passband;
  const double transition = (stopband - passband) / rate;
  double db = rule.stopband_db;
  if (in_band_images && stopband < kAudioBandHz) {
    db = std::max(db, std::min(rule.inband_images_db, kaiser_reach_db(max_half_width, transition)));
  }
  return {(passband + stopband) / rate, std::min(max_half_width, kaiser_half_width(db, transition)), kaiser_beta(db)};
}

double prototype_at(const prototype& p, double t, double i0_beta) {
  const double x = t / p.half_width;
  if (x <= -1.0 || x >= 1.0) return 0.0;
  const double sinc = t == 0.0 ? p.band : std::sin(kPi * p.band * t) / (kPi * t);
  return sinc * bessel_i0(p.beta * std::sqrt(1.0 - x * x)) / i0_beta;
}

// The 44.1 kHz phases: h = 0.9 * (c convolved with 8 ones), phase r's tap
// for the input d periods back is h[8 d + r].
bool fold_table(const coeff_table& c, int32_t table_skip, phase_bank& b) {
  b.up = kHold;
  b.down = 1;
  b.stored = kHold;
  b.taps = (c.count + kHold) / kHold;
  b.skip = table_skip;
  b.bank = allocate_floats(static_cast<size_t>(b.stored) * b.taps);
  if (!b.bank) return false;
  for (int32_t n = 0; n < c.count + kHold; ++n) {
    double sum = 0.0;
    for (int32_t k = std::max(0, n - kHold + 1); k <= std::min(n, c.count - 1); ++k) sum += c.taps[k];
    const int32_t r = n % kHold, d = n / kHold;
    b.bank[static_cast<size_t>(r) * b.taps + (b.taps - 1 - d)] = static_cast<float>(kPathGain * sum);
  }
  return true;
}

// The phases of any other rate, each normalised to the path's gain.
bool design_phases(const design_rule& rule, int32_t input_rate, int32_t output_rate, double delay, phase_bank& b) {
  const int32_t common = std::gcd(input_rate, output_rate);
  b.up = output_rate / common;
  b.down = input_rate / common;
  b.stored = b.up <= kFirMaxExactPhases ? b.up : kFirStoredPhases + 1;
  b.stored_per_phase = static_cast<double>(kFirStoredPhases) / b.up;
  const double centre = delay * input_rate;  // periods after the newest input
  const prototype p = design_prototype(rule, input_rate, output_rate, centre, true);
  // Every phase's taps cover the window [centre - half width, centre + half
  // width] after it; the newest frames before the window are skipped.
  b.skip = static_cast<int32_t>(std::floor(centre - p.half_width));
  b.taps = (static_cast<int32_t>(std::ceil(2.0 * p.half_width + 1.0)) + kRound - 1) / kRound * kRound;
  b.bank = allocate_floats(static_cast<size_t>(b.stored) * b.taps);
  const aligned_block<double> taps = allocate_zeroed<double>(b.taps);
  if (!b.bank || !taps) return false;
  const double i0_beta = bessel_i0(p.beta);
  const double fractions = b.interpolated() ? kFirStoredPhases : b.up;
  for (int32_t s = 0; s < b.stored; ++s) {
    // Tap d (input d periods before the newest used) of the output
    // s / fractions after the newest input, normalised in double.
    double sum = 0.0;
    for (int32_t d = 0; d < b.taps; ++d) {
      taps[d] = prototype_at(p, d + b.skip + s / fractions - centre, i0_beta);
      sum += taps[d];
    }
    float* out = b.bank.get() + static_cast<size_t>(s) * b.taps;
    for (int32_t d = 0; d < b.taps; ++d) out[b.taps - 1 - d] = static_cast<float>(kPathGain * taps[d] / sum);
  }
  if (!b.interpolated()) return true;
  // The steps from each stored phase to the next, for the interpolation.
  const size_t step_floats = static_cast<size_t>(b.stored - 1) * b.taps;
  b.steps = allocate_floats(step_floats);
  if (!b.steps) return false;
  for (size_t i = 0; i < step_floats; ++i) b.steps[i] = b.bank[i + b.taps] - b.bank[i];
  return true;
}

// The half-band filter's frames between the input frames (the others are
// the input frames themselves) are made kHalfBandBatch at a time, when the
// first frame of a batch comes: set k's output lies kHalfBandDelay - k - 0.5
// periods before the newest frame, over the latest taps frames, and the
// frame passed on before it kHalfBandDelay - k. Each set has a gain of 1.
constexpr int32_t kHalfBandBatch = 4;
constexpr int32_t kHalfBandSide = 64;  // taps on either side, 160 dB down from 24.1 kHz at 44.1 kHz
constexpr int32_t kHalfBandDelay = kHalfBandSide + kHalfBandBatch - 1;

bool design_half_band(phase_bank& b) {
  const double beta = kaiser_beta(kTwoStageDb);
  // The voice's time is counted in its outputs, the second stage's four
  // after each of the two frames an input frame becomes.
  b.up = kHold;
  b.down = 1;
  b.stored = b.up;
  b.taps = (kHalfBandDelay + kHalfBandSide + kRound) / kRound * kRound;
  b.skip = 0;
  b.bank = allocate_floats(static_cast<size_t>(kHalfBandBatch) * b.taps);
  const aligned_block<double> taps = allocate_zeroed<double>(b.taps);
  if (!b.bank || !taps) return false;
  const double i0_beta = bessel_i0(beta);
  const prototype p{1.0, kHalfBandSide, beta};
  for (int32_t k = 0; k < kHalfBandBatch; ++k) {
    // Tap w (newest last) is the frame taps - 1 - w periods before the newest.
    const double at = b.taps - 1 - kHalfBandDelay + k + 0.5;
    double sum = 0.0;
    for (int32_t w = 0; w < b.taps; ++w) sum += taps[w] = prototype_at(p, at - w, i0_beta);
    for (int32_t w = 0; w < b.taps; ++w)
      b.bank[static_cast<size_t>(k) * b.taps + w] = static_cast<float>(taps[w] / sum);
  }
  return true;
}

// The two stages: the half-band filter, then the output's phases at twice
// the rate, centred so that the whole has the instance's delay.
bool make_two_stages(const fir_state& fir, int32_t input_rate, voice& v) {
  if (!design_half_band(v.phases)) return false;
  v.second = std::make_unique<second_stage>();
  second_stage& s = *v.second;
  const double delay = fir.delay - static_cast<double>(kHalfBandDelay) / input_rate;
  if (!design_phases(kSecondStageRule, 2 * input_rate, fir.output_rate, delay, s.phases)) return false;
  s.capacity = s.phases.reach() + kHistoryChunk;
  s.history_l = allocate_floats(s.capacity);
  s.history_r = allocate_floats(s.capacity);
  s.write = s.phases.reach();
  return s.history_l && s.history_r;
}

// A voice for the rate, on silence, or an inactive one when memory ran out.
voice make_voice(const fir_state& fir, int32_t input_rate) {
  voice v;
  const bool made = input_rate == kIntegerInputRate && fir.e44->table.taps != nullptr
                        ? fold_table(fir.e44->table, fir.table_skip, v.phases)
                    : input_rate == kIntegerInputRate && fir.precise && fir.output_rate == kOversampledRate
                        ? make_two_stages(fir, input_rate, v)
                        : design_phases(fir.eany->rule, input_rate, fir.output_rate, fir.delay, v.phases);
  v.capacity = v.phases.reach() + kHistoryChunk;
  v.history_l = allocate_floats(v.capacity);
  v.history_r = allocate_floats(v.capacity);
  if (!made || !v.history_l || !v.history_r) return {};
  v.phases.rate = input_rate;
  v.write = v.phases.reach();
  v.kernels = fir.kernels;
  return v;
}

// Appends a frame to a history of `reach` frames used.
void append(float_block& history_l, float_block& history_r, int32_t capacity, int32_t reach, int32_t& write, float left,
            float right) {
  if (write == capacity) {
    std::memmove(history_l.get(), history_l.get() + capacity - reach, reach * sizeof(float));
    std::memmove(history_r.get(), history_r.get() + capacity - reach, reach * sizeof(float));
    write = reach;
  }
  history_l[write] = left;
  history_r[write] = right;
  ++write;
}

void push_frame(voice& v, float left, float right) {
  append(v.history_l, v.history_r, v.capacity, v.phases.reach(), v.write, left, right);
  ++v.pushed;
  if (!v.second) return;
  second_stage& s = *v.second;
  if (s.since_batch == kHalfBandBatch) s.since_batch = 0;
  if (s.since_batch++ > 0) return;
  // A batch: each frame passed on, then the one after it.
  const phase_bank& b = v.phases;
  const int32_t first = v.write - b.reach();
  float between[2 * kHalfBandBatch];
  v.kernels.run(b.bank.get(), b.taps, kHalfBandBatch, v.history_l.get() + first, v.history_r.get() + first, b.taps,
                between);
  const int32_t reach = s.phases.reach();
  for (int32_t k = 0; k < kHalfBandBatch; ++k) {
    const int32_t passed = v.write - 1 - kHalfBandDelay + k;
    append(s.history_l, s.history_r, s.capacity, reach, s.write, v.history_l[passed], v.history_r[passed]);
    append(s.history_l, s.history_r, s.capacity, reach, s.write, between[2 * k], between[2 * k + 1]);
  }
}

// Outputs `from` to `to` (positions, < 8) of a voice of two stages: the
// first four come after the frame passed on, the others after the one
// between.
void emit_second(const voice& v, int32_t from, int32_t to, float* out) {
  const second_stage& s = *v.second;
  const phase_bank& b = s.phases;
  constexpr int32_t kPerFrame = 4;
  for (int32_t half = 0; half < 2; ++half) {
    const int32_t begin = std::max(from, half * kPerFrame), end = std::min(to, (half + 1) * kPerFrame);
    if (begin >= end) continue;
    // The newest input frame's two are pair since_batch - 1 of the batch.
    const int32_t first = s.write - b.reach() - 2 * (kHalfBandBatch - s.since_batch) - (1 - half);
    v.kernels.run(b.bank.get() + static_cast<size_t>(begin - half * kPerFrame) * b.taps, b.taps, end - begin,
                  s.history_l.get() + first, s.history_r.get() + first, b.taps, out + 2 * (begin - from));
  }
}

// The output at `position` (< up) after the voice's newest frame.
void emit(const voice& v, int64_t position, float* out) {
  if (v.second) {
    emit_second(v, static_cast<int32_t>(position), static_cast<int32_t>(position) + 1, out);
    return;
  }
  const phase_bank& b = v.phases;
  const int32_t first = v.write - b.reach();
  const float* l = v.history_l.get() + first;
  const float* r = v.history_r.get() + first;
  if (!b.interpolated()) {
    v.kernels.plain(b.bank.get() + position * b.taps, l, r, b.taps, &out[0], &out[1]);
    return;
  }
  // Taps between stored phases s and s + 1, linearly. (A double holds the
  // stored position exactly enough, and spares a 64-bit division, a library
  // call on 32-bit ARM.)
  const double stored = static_cast<double>(position) * b.stored_per_phase;
  const auto s = static_cast<int32_t>(stored);
  const auto weight = static_cast<float>(stored - s);
  const size_t at = static_cast<size_t>(s) * b.taps;
  v.kernels.between(b.bank.get() + at, b.steps.get() + at, weight, l, r, b.taps, &out[0], &out[1]);
}

// Adds a fading voice's share to one output frame and steps it on by one
// output; retires it once no frame of its own reaches its taps.
void add_fading(voice& v, float* out) {
  for (; v.position >= v.phases.up; v.position -= v.phases.up) push_frame(v, 0.0f, 0.0f);
  float share[2];
  emit(v, v.position, share);
  out[0] += share[0];
  out[1] += share[1];
  v.position += v.phases.down;
  if (v.pushed >= v.frames_heard()) v = voice{};
}

// Starts a voice for the new rate at the current voice's time; the current
// one fades (unless it never heard a frame).
bool change_rate(fir_state& fir, int32_t input_rate) {
  voice next = make_voice(fir, input_rate);
  if (!next.active()) return false;
  voice& old = fir.current;
  if (old.active()) {
    // Same time, counted in the new rate's units: position / (up * rate) is
    // position / (output rate * down) seconds.
    next.position = (old.position * next.phases.down + old.phases.down / 2) / old.phases.down;
    if (old.pushed > 0) {
      // Fading voices count their time from the newest frame (see add_fading).
      old.position += old.phases.up;
      old.pushed = 0;
      // A free slot; with rate changes every few ms, the voice nearest its end.
      const auto frames_left = [](const voice& v) { return v.active() ? v.frames_heard() - v.pushed : 0; };
      const auto slot = std::min_element(fir.fading.begin(), fir.fading.end(), [&](const voice& a, const voice& b) {
        return frames_left(a) < frames_left(b);
      });
      *slot = std::move(old);
      fir.any_fading = true;
    }
  }
  fir.current = std::move(next);
  return true;
}

// The filter's state, made on first use.
fir_state& state_of(fir_filter& filter) {
  if (!filter) filter.reset(std::make_unique<fir_state>().release());
  return *filter;
}

}  // namespace

int32_t fir_init(fir_filter& filter, int32_t input_rate, int32_t output_rate, int32_t channels, int32_t short_filter,
                 channel_cuts cuts) {
  if (channels != 2) fatal_error("this code supports 2ch stereo only, not %d channels.\n", channels);
  if (input_rate < kFirLowestInputRate || input_rate > kFirHighestInputRate) {
    fatal_error("input rate %d Hz is not supported (%d to %d Hz).\n", input_rate, kFirLowestInputRate,
                kFirHighestInputRate);
  }
  fir_state& fir = state_of(filter);
  if (!fir.e44 || fir.output_rate != output_rate) {
    fir_release(filter);
    fir.output_rate = output_rate;
    const rate_entry* list = fir.precise ? kPreciseList : short_filter ? kShortList : kNormalList;
    fir.e44 = find_entry(list, output_rate, kIntegerInputRate);
    if (!fir.e44) fatal_error("44k coeff table not found.");
    fir.eany = find_entry(list, output_rate, 48000);
    if (!fir.eany) fatal_error("48k coeff table not found.");
    // The table's centre is tap T/2 - 1 moved on by the hold's 3.5 steps;
    // whole periods are added until the lowest rate's window fits before it.
    const prototype lowest = design_prototype(fir.eany->rule, kLongestDelayRate, output_rate, 1e9);
    if (fir.e44->table.taps != nullptr) {
      const double table_centre = (fir.e44->table.count / 2 - 1 + (kHold - 1) / 2.0) / kHold;
      const double needed = lowest.half_width * kIntegerInputRate / kLongestDelayRate;
      fir.table_skip = std::max(0, static_cast<int32_t>(std::ceil(needed - table_centre)));
      fir.delay = (table_centre + fir.table_skip) / kIntegerInputRate;
    } else {
      // No table: the lowest rate's window, a whole period to spare.
      fir.delay = (std::ceil(lowest.half_width) + 1) / kLongestDelayRate;
    }
  }
  if (fir.current.phases.rate != input_rate && !change_rate(fir, input_rate)) {
    fir_release(filter);
    fatal_error("work area could not allocated.");
  }
  fir.cuts = cuts;
  return -1;
}

bool fir_on_grid(const fir_filter& filter) {
  return filter && filter->current.active() && filter->current.position == 0;
}

const float* fir_process(fir_filter& filter, const float* frame, int32_t* count) {
  if (!filter || !filter->current.active() || !frame || !count) return nullptr;
  fir_state& fir = *filter;
  voice& v = fir.current;
  push_frame(v, frame[0], frame[1]);
  const bool cut = v.phases.rate == kIntegerInputRate;
  int32_t written = 0;
  if (!fir.any_fading && !v.phases.interpolated()) {
    // The usual case, one voice of exact phases: every output this frame
    // completes in one call, the phases `down` apart.
    const phase_bank& b = v.phases;
    // position < up here, so 32 bits hold it (a 64-bit division is a
    // library call on 32-bit ARM).
    const auto left = static_cast<int32_t>(std::max<int64_t>(b.up - v.position, 0));
    const int32_t outputs = std::min((left + b.down - 1) / b.down, kFirBlockFrames);
    const int32_t first = v.write - b.reach();
    if (v.second) {
      emit_second(v, static_cast<int32_t>(v.position), static_cast<int32_t>(v.position) + outputs, fir.output);
    } else {
      v.kernels.run(b.bank.get() + v.position * b.taps, static_cast<size_t>(b.down) * b.taps, outputs,
                    v.history_l.get() + first, v.history_r.get() + first, b.taps, fir.output);
    }
    written = 2 * outputs;
    v.position += static_cast<int64_t>(outputs) * b.down;
    if (cut && (fir.cuts.left || fir.cuts.right)) {
      for (int32_t i = 0; i < written; i += 2) {
        if (fir.cuts.left) fir.output[i] = 0.0f;
        if (fir.cuts.right) fir.output[i + 1] = 0.0f;
      }
    }
  }
  // The bound never binds (fir_init refuses rates that would need more
  // frames); it keeps the block safe whatever the position says.
  for (; v.position < v.phases.up && written < kFirBlockFloats; v.position += v.phases.down, written += 2) {
    float* out = &fir.output[written];
    emit(v, v.position, out);
    if (fir.any_fading) {
      for (voice& old : fir.fading) {
        if (old.active()) add_fading(old, out);
      }
    }
    if (cut && fir.cuts.left) out[0] = 0.0f;
    if (cut && fir.cuts.right) out[1] = 0.0f;
  }
  if (fir.any_fading) {
    fir.any_fading = std::any_of(fir.fading.begin(), fir.fading.end(), [](const voice& old) { return old.active(); });
  }
  v.position = std::max(v.position, static_cast<int64_t>(v.phases.up)) - v.phases.up;
  *count = written;
  return fir.output;
}

void fir_release(fir_filter& filter) {
  if (!filter) return;
  const simd::dot_kernels kernels = filter->kernels;
  const bool precise = filter->precise;
  *filter = fir_state{};
  filter->kernels = kernels;
  filter->precise = precise;
}

void fir_use_precise_path(fir_filter& filter) {
  fir_release(filter);
  fir_state& fir = state_of(filter);
  // Without the fused kernels the longer filter would cost more and gain
  // nothing over float rounding: such CPUs (ARM) keep the normal list.
  fir.precise = simd::fused_kernels_run();
  fir.kernels = simd::dot_kernels_fused();
}

fir_phases_info fir_phases(const fir_filter& filter) {
  if (!filter) return {};
  const phase_bank& b = filter->current.phases;
  return {b.up, b.down, b.stored, b.taps, filter->e44 ? filter->e44->table.taps : nullptr};
}

double fir_delay_seconds(const fir_filter& filter) { return filter ? filter->delay : 0.0; }

void fir_use_scalar_kernels(fir_filter& filter, bool scalar) {
  fir_state& fir = state_of(filter);
  fir.kernels = scalar ? simd::dot_kernels_scalar() : simd::dot_kernels_vec4();
  fir.current.kernels = fir.kernels;
  for (voice& old : fir.fading) old.kernels = fir.kernels;
}
