// The FIR oversampling filter: the 44.1 kHz tables' response, frame counts
// per rate, sines against the exact resampled sine at every kind of rate,
// rate changes that keep the time line, the vector kernel against the scalar
// reference, and the fatal cases.
#include "fir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "analyser.h"
#include "fir_kernels.h"
#include "fir_tables.h"
#include "kaiser.h"

namespace {

constexpr double kRate = 352800.0;
constexpr double kPi = 3.14159265358979323846;

using stereo = std::vector<std::pair<float, float>>;

// fatal_error exits with its source line as status: never 0.
bool exited_with_failure(int status) { return WIFEXITED(status) && WEXITSTATUS(status) != 0; }

class FirTest : public testing::Test {
 protected:
  fir_filter filter;
};

// Feeds every frame; returns all output frames, and the per-call counts.
stereo run(fir_filter& filter, const stereo& input, std::vector<int32_t>* counts = nullptr) {
  stereo out;
  for (const auto& [l, r] : input) {
    const float frame[2] = {l, r};
    int32_t count = -1;
    const float* block = fir_process(filter, frame, &count);
    EXPECT_NE(block, nullptr);
    if (!block) break;
    if (counts) counts->push_back(count);
    for (int32_t k = 0; k < count; k += 2) out.emplace_back(block[k], block[k + 1]);
  }
  return out;
}

// Sines of amplitude 0.5 sampled at `rate` from time `start` seconds on.
stereo sines(int32_t rate, double hz_left, double hz_right, size_t frames, double start = 0.0) {
  stereo s(frames);
  for (size_t m = 0; m < frames; ++m) {
    const double t = start + static_cast<double>(m) / rate;
    s[m] = {static_cast<float>(0.5 * std::sin(2 * kPi * hz_left * t)),
            static_cast<float>(0.5 * std::sin(2 * kPi * hz_right * t))};
  }
  return s;
}

// The hold's droop relative to its DC gain.
double hold_droop(double hz) {
  return hz == 0.0 ? 1.0 : std::sin(8 * kPi * hz / kRate) / (8 * std::sin(kPi * hz / kRate));
}

// The 44.1 kHz path's response relative to its gain: table and hold.
double path_db(std::span<const float> c, double hz) {
  std::complex<double> sum = 0.0;
  for (size_t k = 0; k < c.size(); ++k) sum += static_cast<double>(c[k]) * std::polar(1.0, -2 * kPi * hz * k / kRate);
  return 20 * std::log10(std::abs(sum) * std::fabs(hold_droop(hz)) + 1e-300);
}

TEST(FirTables, MakeTheWholePathFlatAndQuiet) {
  struct table_case {
    const char* name;
    std::span<const float> taps;
    double flat_to, stop_from, stop_db;
  };
  const table_case cases[] = {
      {"normal", fir_coeffs_44k_normal, 20000, 24100, -140},
      {"short", fir_coeffs_44k_short, 19000, 25100, -120},
  };
  for (const table_case& t : cases) {
    SCOPED_TRACE(t.name);
    const size_t n = t.taps.size();
    for (size_t k = 0; k + 2 <= n; ++k) ASSERT_EQ(t.taps[k], t.taps[n - 2 - k]) << k;
    EXPECT_EQ(t.taps[n - 1], 0.0f);
    double sum = 0.0;
    for (float v : t.taps) sum += v;
    EXPECT_NEAR(sum, 1.0, 5e-6);
    for (double hz = 0; hz <= t.flat_to; hz += 500) EXPECT_NEAR(path_db(t.taps, hz), 0.0, 0.01) << hz;
    double worst = -400;
    for (double hz = t.stop_from; hz <= kRate / 2; hz += 40) worst = std::max(worst, path_db(t.taps, hz));
    EXPECT_LE(worst, t.stop_db);
  }
}

TEST_F(FirTest, PhasesAndFrameCountsFollowTheRate) {
  std::vector<int32_t> counts;
  fir_init(filter, 44100, 352800, 2, 0);
  EXPECT_EQ(fir_phases(filter).table, fir_coeffs_44k_normal);
  run(filter, stereo(160, {0.0f, 0.0f}), &counts);
  EXPECT_EQ(counts, std::vector<int32_t>(160, 16));

  counts.clear();
  fir_init(filter, 48000, 352800, 2, 0);
  EXPECT_EQ(fir_phases(filter).up, 147);
  EXPECT_EQ(fir_phases(filter).down, 20);
  EXPECT_EQ(run(filter, stereo(160, {0.0f, 0.0f}), &counts).size(), 1176u);
  EXPECT_EQ(counts[0], 16);
  EXPECT_EQ(counts[1], 14);

  counts.clear();
  fir_init(filter, 384000, 352800, 2, 0);
  EXPECT_EQ(run(filter, stereo(3840, {0.0f, 0.0f}), &counts).size(), 3528u);
  EXPECT_NE(std::find(counts.begin(), counts.end(), 0), counts.end());

  // Rates below 44.1 kHz complete more than 8 frames per input: the block
  // holds the 45 that 8 kHz needs.
  counts.clear();
  fir_init(filter, 8000, 352800, 2, 0);
  EXPECT_EQ(run(filter, stereo(80, {0.5f, 0.5f}), &counts).size(), 3528u);
  EXPECT_EQ(*std::max_element(counts.begin(), counts.end()), 2 * kFirBlockFrames);

  // A rate with more phases than are kept interpolates between stored ones.
  fir_init(filter, 44056, 352800, 2, 0);
  EXPECT_EQ(fir_phases(filter).up, 44100);
  EXPECT_EQ(fir_phases(filter).stored, kFirStoredPhases + 1);

  fir_release(filter);
  fir_init(filter, 48000, 352800, 2, 1);
  EXPECT_EQ(fir_phases(filter).table, fir_coeffs_44k_short);
}

// One gain at every rate: files of different rates play at one level.
TEST_F(FirTest, ConstantInputSettlesAtThePathGain) {
  const stereo ones(3000, {1.0f, 1.0f});
  for (const int32_t rate : {44100, 48000, 96000, 44056}) {
    fir_release(filter);
    fir_init(filter, rate, 352800, 2, 0);
    const stereo out = run(filter, ones);
    EXPECT_NEAR(out.back().first, 0.9, 1e-5) << rate;
    EXPECT_NEAR(out.back().second, 0.9, 1e-5) << rate;
  }
}

// A sine fitted to one channel of the output over whole periods: its
// amplitude, the time it lags the input by, and what is left beside it.
struct tone_fit {
  double amplitude;
  double lag_seconds;  // modulo one period
  double snr_db;       // the sine against the rest, the whole band
};

tone_fit fit_tone(const std::vector<double>& y, size_t first, double hz) {
  const size_t n = y.size() - first;
  double c = 0, s = 0;
  for (size_t j = first; j < y.size(); ++j) {
    const double w = 2 * kPi * hz * j / kRate;
    c += y[j] * std::cos(w), s += y[j] * std::sin(w);
  }
  c *= 2.0 / n, s *= 2.0 / n;
  double rest = 0;
  for (size_t j = first; j < y.size(); ++j) {
    const double w = 2 * kPi * hz * j / kRate;
    const double e = y[j] - c * std::cos(w) - s * std::sin(w);
    rest += e * e;
  }
  const double amplitude = std::hypot(c, s);
  // y = A sin(w j - phi): s = A cos(phi), c = -A sin(phi).
  const double phi = std::atan2(-c, s);
  double lag = phi / (2 * kPi * hz);
  const double period = 1.0 / hz;
  lag -= std::floor(lag / period) * period;
  return {amplitude, lag, 10 * std::log10(amplitude * amplitude / 2 / (rest / n))};
}

// Sines through one rate, against the exact sine: the resampler must add
// nothing but the path's gain and its delay.
void expect_exact_sines(fir_filter& filter, int32_t rate, double hz_left, double hz_right, double gain,
                        double min_snr_db) {
  SCOPED_TRACE(testing::Message() << rate << " Hz, tones " << hz_left << " and " << hz_right);
  // 0.1 s analysed (whole periods of 10 Hz) after 40 ms of settling.
  const stereo out = run(filter, sines(rate, hz_left, hz_right, static_cast<size_t>(rate * 0.15)));
  ASSERT_GE(out.size(), 49392u);
  std::vector<double> left(14112 + 35280), right(left.size());
  for (size_t j = 0; j < left.size(); ++j) left[j] = out[j].first, right[j] = out[j].second;
  const double delay = fir_delay_seconds(filter);
  for (const auto& [y, hz] : {std::pair{&left, hz_left}, {&right, hz_right}}) {
    const tone_fit fit = fit_tone(*y, 14112, hz);
    EXPECT_NEAR(20 * std::log10(fit.amplitude / (0.5 * gain)), 0.0, 0.02) << hz;
    EXPECT_GE(fit.snr_db, min_snr_db) << hz;
    const double period = 1.0 / hz;
    const double off = std::fmod(std::fabs(fit.lag_seconds - std::fmod(delay, period)), period);
    EXPECT_LT(std::min(off, period - off), 1e-9) << hz;
  }
}

TEST_F(FirTest, ResamplesSinesExactlyAtEveryKindOfRate) {
  struct rate_case {
    int32_t rate;
    double low, high;  // tones
    double gain;
  };
  const rate_case cases[] = {
      {44100, 1000, 19000, 0.9}, {48000, 1000, 10000, 0.9}, {96000, 19000, 10000, 0.9}, {192000, 1000, 19000, 0.9},
      {32000, 1000, 14000, 0.9}, {22050, 1000, 9000, 0.9},  {44056, 1000, 19000, 0.9},  {384000, 1000, 10000, 0.9},
  };
  for (const rate_case& c : cases) {
    fir_release(filter);
    fir_init(filter, c.rate, 352800, 2, 0);
    expect_exact_sines(filter, c.rate, c.low, c.high, c.gain, 125.0);
  }
  fir_release(filter);
  fir_init(filter, 48000, 352800, 2, 1);
  expect_exact_sines(filter, 48000, 1000, 10000, 0.9, 105.0);
}

// Below about 36 kHz the images begin inside the audio band: a tone near
// the passband edge has its image in band, which must stay at the level of
// float rounding, as everything else does.
TEST_F(FirTest, ImagesInsideTheAudioBandStayAtTheRoundingFloor) {
  for (const auto& [rate, hz] : {std::pair{32000, 14000.0}, {22050, 9000.0}, {16000, 7000.0}}) {
    fir_release(filter);
    fir_init(filter, rate, 352800, 2, 0);
    const stereo out = run(filter, sines(rate, hz, hz, static_cast<size_t>(rate * 0.25)));
    // 2^16 frames after 40 ms of settling.
    ASSERT_GE(out.size(), 14112u + 65536u);
    std::vector<float> left(65536);
    for (size_t j = 0; j < left.size(); ++j) left[j] = out[14112 + j].first;
    analyser_options options;
    options.tone_hz = hz;
    EXPECT_GE(analyser_run(left, 352800, options).snr_db, 147.0) << rate << " Hz, " << hz << " Hz";
  }
}

// What of x lies below 16 kHz: a Kaiser-windowed lowpass at 352.8 kHz,
// -100 dB from 20 kHz (valid from half its length on).
std::vector<double> below_16k(const std::vector<double>& x) {
  constexpr int kHalf = 250;
  constexpr double kBand = 2 * 18000 / kRate, kBeta = 10.0;
  std::vector<double> h(2 * kHalf + 1);
  for (int k = -kHalf; k <= kHalf; ++k) {
    const double w = bessel_i0(kBeta * std::sqrt(1.0 - (k / (kHalf + 1.0)) * (k / (kHalf + 1.0)))) / bessel_i0(kBeta);
    h[k + kHalf] = (k == 0 ? kBand : std::sin(kPi * kBand * k) / (kPi * k)) * w;
  }
  std::vector<double> y(x.size(), 0.0);
  for (size_t j = 2 * kHalf; j < x.size(); ++j)
    for (int k = 0; k <= 2 * kHalf; ++k) y[j - kHalf] += h[k] * x[j - k];
  return y;
}

// A sine that goes on across files of other rates comes out as one sine:
// each frame is heard through its own rate's filter, at its own time. Only
// a faint transient remains at a join (the two filters and the two rates'
// aliases of the cut differ); one input period lost or repeated would be
// ten times larger.
void expect_one_sine_across(fir_filter& filter, std::span<const int32_t> rates) {
  constexpr double kHz = 1000;
  stereo out;
  double start = 0.0;
  for (int32_t rate : rates) {
    fir_init(filter, rate, 352800, 2, 0);
    const size_t frames = static_cast<size_t>(std::lround(rate * 0.02));  // 20 ms
    const stereo part = run(filter, sines(rate, kHz, kHz, frames, start));
    out.insert(out.end(), part.begin(), part.end());
    start += static_cast<double>(frames) / rate;
  }
  const double delay = fir_delay_seconds(filter);
  const auto first = static_cast<size_t>(2 * delay * kRate);
  // No step between output frames much beyond the music's steepest.
  double step = 0;
  for (size_t j = first; j + 1 < out.size(); ++j)
    step = std::max(step, static_cast<double>(std::fabs(out[j + 1].first - out[j].first)));
  EXPECT_LT(step, 1.5 * 0.5 * 2 * kPi * kHz / kRate);
  // In the band, the sine itself at the path's gain through every file.
  std::vector<double> error(out.size());
  for (size_t j = 0; j < out.size(); ++j)
    error[j] = out[j].first - 0.9 * 0.5 * std::sin(2 * kPi * kHz * (j / kRate - delay));
  const std::vector<double> in_band = below_16k(error);
  double worst = 0.0;
  for (size_t j = static_cast<size_t>(2 * delay * kRate) + 300; j + 300 < out.size(); ++j)
    worst = std::max(worst, std::fabs(in_band[j]));
  EXPECT_LT(worst, 1e-2);
}

TEST_F(FirTest, RateChangesKeepTheTimeLine) {
  const int32_t rates[] = {44100, 96000, 48000, 44056, 96000};
  expect_one_sine_across(filter, rates);
}

// lumen -os's path takes two stages at 44.1 kHz where the fused kernels run:
// still the exact sine at the path's gain and the instance's delay, and
// joins with other rates, either way, keep the time line.
TEST_F(FirTest, PrecisePathAt44kIsExactAndKeepsTheTimeLine) {
  if (!simd::fused_kernels_run()) GTEST_SKIP() << "no fused kernels: the normal list";
  fir_use_precise_path(filter);
  fir_init(filter, 44100, 352800, 2, 0);
  expect_exact_sines(filter, 44100, 1000, 19000, 0.9, 140.0);
  fir_use_precise_path(filter);
  const int32_t rates[] = {44100, 96000, 44100, 48000, 44100};
  expect_one_sine_across(filter, rates);
}

TEST_F(FirTest, CutFlagsSilenceOneChannelAt44kOnly) {
  const stereo input = sines(44100, 1000, 3000, 400);
  fir_init(filter, 44100, 352800, 2, 0);
  const stereo plain = run(filter, input);
  fir_release(filter);
  fir_init(filter, 44100, 352800, 2, 0, {.left = true});
  const stereo cut = run(filter, input);
  ASSERT_EQ(cut.size(), plain.size());
  for (size_t i = 0; i < cut.size(); ++i) {
    ASSERT_EQ(cut[i].first, 0.0f);
    ASSERT_EQ(cut[i].second, plain[i].second);
  }
  fir_release(filter);
  fir_init(filter, 48000, 352800, 2, 0);
  const stereo other = run(filter, sines(48000, 1000, 3000, 800));
  EXPECT_NE(other.back().first, 0.0f);
}

// The vector kernels give the scalar references' bits, alone and in the
// whole filter.
TEST_F(FirTest, VectorEqualsScalar) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  for (size_t count : {8u, 16u, 104u, 248u}) {
    std::vector<float> c(count), d(count), l(count), r(count);
    for (size_t k = 0; k < count; ++k)
      c[k] = value(random), d[k] = value(random), l[k] = value(random), r[k] = value(random);
    float want[2], got[2];
    simd::dot_kernels_scalar().plain(c.data(), l.data(), r.data(), count, &want[0], &want[1]);
    simd::dot_kernels_vec4().plain(c.data(), l.data(), r.data(), count, &got[0], &got[1]);
    ASSERT_EQ(got[0], want[0]) << count;
    ASSERT_EQ(got[1], want[1]) << count;
    simd::dot_kernels_scalar().between(c.data(), d.data(), 0.3f, l.data(), r.data(), count, &want[0], &want[1]);
    simd::dot_kernels_vec4().between(c.data(), d.data(), 0.3f, l.data(), r.data(), count, &got[0], &got[1]);
    ASSERT_EQ(got[0], want[0]) << count;
    ASSERT_EQ(got[1], want[1]) << count;
  }
  stereo input(1500);
  for (auto& f : input) f = {value(random), value(random)};
  for (int32_t rate : {44100, 48000, 44056}) {
    SCOPED_TRACE(rate);
    fir_release(filter);
    fir_init(filter, rate, 352800, 2, 0);
    const stereo fast = run(filter, input);
    fir_release(filter);
    fir_use_scalar_kernels(filter, true);
    fir_init(filter, rate, 352800, 2, 0);
    EXPECT_EQ(run(filter, input), fast);
    fir_use_scalar_kernels(filter, false);
  }
}

// The precise path's kernels: a run of outputs gives each output's plain dot
// product bit for bit (four at a time share the history), and every total is
// within a float rounding or two of the exact one.
TEST(FirKernels, FusedRunsMatchTheirPlainProductsAndAreNearExact) {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  const simd::dot_kernels fused = simd::dot_kernels_fused();
  for (size_t count : {8u, 24u, 128u}) {
    constexpr size_t kOutputs = 7;
    std::vector<float> c(kOutputs * count), l(count), r(count), out(2 * kOutputs);
    for (float& x : c) x = value(random);
    for (size_t k = 0; k < count; ++k) l[k] = value(random), r[k] = value(random);
    fused.run(c.data(), count, kOutputs, l.data(), r.data(), count, out.data());
    for (size_t k = 0; k < kOutputs; ++k) {
      const float* taps = c.data() + k * count;
      float plain[2];
      fused.plain(taps, l.data(), r.data(), count, &plain[0], &plain[1]);
      ASSERT_EQ(out[2 * k], plain[0]) << count << " " << k;
      ASSERT_EQ(out[2 * k + 1], plain[1]) << count << " " << k;
      double exact = 0.0, size = 0.0;
      for (size_t i = 0; i < count; ++i) exact += double{taps[i]} * l[i], size += std::fabs(double{taps[i]} * l[i]);
      EXPECT_LE(std::fabs(out[2 * k] - exact), 1e-7 * size) << count << " " << k;
    }
  }
}

// Two filters fed in turn give each the frames it gives alone.
TEST_F(FirTest, InstancesShareNothing) {
  const stereo at_48k = sines(48000, 1000, 3000, 2000);
  const stereo at_44056 = sines(44056, 19000, 500, 2000);
  fir_init(filter, 48000, 352800, 2, 0);
  const stereo alone_48k = run(filter, at_48k);
  fir_release(filter);
  fir_init(filter, 44056, 352800, 2, 1);
  const stereo alone_44056 = run(filter, at_44056);

  fir_filter first, second;
  fir_init(first, 48000, 352800, 2, 0);
  fir_init(second, 44056, 352800, 2, 1);
  stereo turns_48k, turns_44056;
  for (size_t i = 0; i < at_48k.size(); ++i) {
    const stereo one = run(first, {at_48k[i]});
    const stereo other = run(second, {at_44056[i]});
    turns_48k.insert(turns_48k.end(), one.begin(), one.end());
    turns_44056.insert(turns_44056.end(), other.begin(), other.end());
  }
  EXPECT_EQ(turns_48k, alone_48k);
  EXPECT_EQ(turns_44056, alone_44056);
  EXPECT_LT(fir_delay_seconds(second), fir_delay_seconds(first));  // each keeps its own list
}

TEST_F(FirTest, RefusesWhatItCannotDo) {
  EXPECT_EXIT(fir_init(filter, 44100, 352800, 1, 0), exited_with_failure,
              "ERROR common [0-9]+ this code supports 2ch stereo only, not 1 channels\\.\n");
  EXPECT_EXIT(fir_init(filter, 44100, 96000, 2, 0), exited_with_failure,
              "ERROR common [0-9]+ 44k coeff table not found\\.");
  EXPECT_EXIT(fir_init(filter, 7999, 352800, 2, 0), exited_with_failure,
              "ERROR common [0-9]+ input rate 7999 Hz is not supported");
  const float frame[2] = {0.0f, 0.0f};
  int32_t count = 7;
  EXPECT_EQ(fir_process(filter, frame, &count), nullptr);  // not set up
  EXPECT_EQ(count, 7);
  fir_init(filter, 48000, 352800, 2, 0);
  EXPECT_EQ(fir_process(filter, frame, nullptr), nullptr);
}

}  // namespace
