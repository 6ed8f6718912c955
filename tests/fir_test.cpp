// The FIR oversampling filter: table design, path selection, frame counts,
// gains, time order against a direct convolution, the vector kernels
// against the scalar reference, and the fatal cases.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <span>
#include <vector>

#include "common.h"
#include "fir_tables.h"
#include "parse_param.h"

namespace {

constexpr double kRate = 352800.0;
constexpr double kPi = 3.14159265358979323846;

using stereo = std::vector<std::pair<float, float>>;

// fatal_error exits with its source line as status: never 0.
bool exited_with_failure(int status) { return WIFEXITED(status) && WEXITSTATUS(status) != 0; }

class FirTest : public testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  static void reset() {
    fir_release();
    fir_select_kernel(nullptr);
    params.left_cut = 0;
    params.right_cut = 0;
  }
};

// Feeds every frame; returns all output frames, and the per-call counts.
stereo run(const stereo& input, std::vector<int32_t>* counts = nullptr) {
  stereo out;
  for (const auto& [l, r] : input) {
    const float frame[2] = {l, r};
    int32_t count = -1;
    const float* block = fir_process(frame, &count);
    EXPECT_NE(block, nullptr);
    if (!block) break;
    if (counts) counts->push_back(count);
    for (int32_t k = 0; k < count; k += 2) out.emplace_back(block[k], block[k + 1]);
  }
  return out;
}

stereo sines(int32_t rate, double hz_left, double hz_right, size_t frames) {
  stereo s(frames);
  for (size_t m = 0; m < frames; ++m) {
    s[m] = {static_cast<float>(0.5 * std::sin(2 * kPi * hz_left * m / rate)),
            static_cast<float>(0.5 * std::sin(2 * kPi * hz_right * m / rate))};
  }
  return s;
}

// What the filter should give, computed directly: the input held at the
// output rate (output step s holds input floor(s * in / out)) convolved with
// the taps, times the path's gain.
double reference(std::span<const float> taps, double gain, const std::vector<double>& input, int32_t rate,
                 int64_t step) {
  double sum = 0.0;
  for (int64_t k = 0; k < static_cast<int64_t>(taps.size()) && k <= step; ++k) {
    if (taps[k] == 0.0f) continue;
    const int64_t m = (step - k) * rate / static_cast<int64_t>(kRate);
    sum += taps[k] * input[m];
  }
  return gain * sum;
}

// Level in dB of frequency hz in one channel over whole periods, relative to 1.
double tone_db(const std::vector<double>& x, double hz) {
  std::complex<double> sum = 0.0;
  for (size_t s = 0; s < x.size(); ++s) sum += x[s] * std::polar(1.0, -2 * kPi * hz * s / kRate);
  return 20 * std::log10(2 * std::abs(sum) / x.size() + 1e-300);
}

double response_db(std::span<const float> c, double hz) {
  std::complex<double> sum = 0.0;
  for (size_t k = 0; k < c.size(); ++k) sum += static_cast<double>(c[k]) * std::polar(1.0, -2 * kPi * hz * k / kRate);
  return 20 * std::log10(std::abs(sum) + 1e-300);
}

// Highest level from hz up to half the rate, on a 5.4 Hz grid (padded FFT).
double max_db_from(std::span<const float> c, double hz) {
  constexpr size_t n = 65536;
  std::vector<std::complex<double>> a(n);
  for (size_t k = 0; k < c.size(); ++k) a[k] = c[k];
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    for (size_t i = 0; i < n; i += len) {
      for (size_t k = 0; k < len / 2; ++k) {
        const auto v = a[i + k + len / 2] * std::polar(1.0, -2 * kPi * k / len);
        a[i + k + len / 2] = a[i + k] - v;
        a[i + k] += v;
      }
    }
  }
  double worst = -400.0;
  for (size_t bin = static_cast<size_t>(std::ceil(hz * n / kRate)); bin <= n / 2; ++bin)
    worst = std::max(worst, 20 * std::log10(std::abs(a[bin]) + 1e-300));
  return worst;
}

struct table_case {
  const char* name;
  std::span<const float> taps;
  double centre;
  std::vector<std::pair<double, double>> passband;  // Hz, dB within 0.5
  std::vector<std::pair<double, double>> stopband;  // Hz, dB at most
  std::pair<double, double> stop_from;              // from Hz on, dB at most
};

TEST(FirTables, MeetTheirDesign) {
  const table_case cases[] = {
      {"44k normal", fir_coeffs_44k_normal, 0.086262,
       {{1000, 0}, {14000, 0}, {15000, -0.54}}, {{16000, -40}}, {18000, -125}},
      {"any normal", fir_coeffs_any_normal, 0.114361,
       {{1000, 0}, {19500, -0.11}, {20000, -3.2}}, {{21000, -40}}, {22050, -90}},
      {"44k short", fir_coeffs_44k_short, 0.113881,
       {{1000, 0}, {19500, -0.5}, {20000, -4.6}}, {{21000, -47}, {22050, -80}}, {24000, -90}},
      {"any short", fir_coeffs_any_short, 0.114361,
       {{1000, 0}, {17000, -0.13}, {19000, -2.3}, {20000, -5.3}}, {{22050, -18.8}, {24000, -52}}, {26000, -75}},
  };
  for (const table_case& t : cases) {
    SCOPED_TRACE(t.name);
    const size_t n = t.taps.size();
    for (size_t k = 0; k + 2 <= n; ++k) ASSERT_EQ(t.taps[k], t.taps[n - 2 - k]) << k;
    EXPECT_EQ(t.taps[n - 1], 0.0f);
    EXPECT_NEAR(t.taps[n / 2 - 1], t.centre, 5e-7);
    double sum = 0.0;
    for (float v : t.taps) sum += v;
    EXPECT_NEAR(sum, 1.0, 5e-5);
    for (const auto& [hz, db] : t.passband) EXPECT_NEAR(response_db(t.taps, hz), db, 0.5) << hz;
    for (const auto& [hz, db] : t.stopband) EXPECT_LE(response_db(t.taps, hz), db) << hz;
    EXPECT_LE(max_db_from(t.taps, t.stop_from.first), t.stop_from.second);
  }
}

TEST_F(FirTest, SelectsTheTablesOfEachList) {
  EXPECT_EQ(fir_init(44100, 352800, 2, 0), -1);
  EXPECT_EQ(fir_table_44k(), fir_coeffs_44k_normal);
  EXPECT_EQ(fir_table_other(), fir_coeffs_any_normal);
  fir_release();
  EXPECT_EQ(fir_table_44k(), nullptr);
  EXPECT_EQ(fir_init(48000, 352800, 2, 1), -1);
  EXPECT_EQ(fir_table_44k(), fir_coeffs_44k_short);
  EXPECT_EQ(fir_table_other(), fir_coeffs_any_short);
}

TEST_F(FirTest, ConstantInputSettlesAtThePathGain) {
  const stereo ones(3000, {1.0f, 1.0f});
  fir_init(44100, 352800, 2, 0);
  stereo out = run(ones);
  ASSERT_EQ(out.size(), 8 * ones.size());
  EXPECT_NEAR(out.back().first, 0.9f, 1e-5);
  EXPECT_NEAR(out.back().second, 0.9f, 1e-5);
  fir_release();
  fir_init(48000, 352800, 2, 0);
  out = run(ones);
  EXPECT_NEAR(out.back().first, 1.0f, 1e-5);
  EXPECT_NEAR(out.back().second, 1.0f, 1e-5);
}

TEST_F(FirTest, CountsFramesByRate) {
  const stereo silence(160, {0.0f, 0.0f});
  std::vector<int32_t> counts;
  fir_init(44100, 352800, 2, 0);
  run(silence, &counts);
  for (int32_t c : counts) EXPECT_EQ(c, 16);

  fir_release();
  counts.clear();
  fir_init(48000, 352800, 2, 0);
  EXPECT_EQ(run(silence, &counts).size(), 1176u);
  EXPECT_EQ(counts[0], 16);
  EXPECT_EQ(counts[1], 14);

  fir_release();
  counts.clear();
  fir_init(384000, 352800, 2, 0);
  EXPECT_EQ(run(stereo(3840, {0.0f, 0.0f}), &counts).size(), 3528u);
  EXPECT_NE(std::find(counts.begin(), counts.end(), 0), counts.end());
}

// Rates below 44.1 kHz complete more than 8 frames per input: the block holds
// the 45 that 8 kHz needs, and lower rates are refused.
TEST_F(FirTest, LowRatesFitTheBlock) {
  std::vector<int32_t> counts;
  fir_init(8000, 352800, 2, 0);
  EXPECT_EQ(run(stereo(80, {0.5f, 0.5f}), &counts).size(), 3528u);
  EXPECT_EQ(*std::max_element(counts.begin(), counts.end()), 2 * kFirBlockFrames);
  EXPECT_EQ(kFirBlockFrames, 45);
  fir_release();
  counts.clear();
  fir_init(11025, 352800, 2, 0);
  run(stereo(10, {0.0f, 0.0f}), &counts);
  for (int32_t c : counts) EXPECT_EQ(c, 64);
  EXPECT_EXIT(fir_init(7999, 352800, 2, 0), exited_with_failure,
              "ERROR common [0-9]+ input rate 7999 Hz is not supported");
}

TEST_F(FirTest, CutFlagsSilenceOneChannelOn44kOnly) {
  const stereo input = sines(44100, 1000, 3000, 400);
  fir_init(44100, 352800, 2, 0);
  const stereo plain = run(input);
  fir_release();
  params.left_cut = -1;
  fir_init(44100, 352800, 2, 0);
  const stereo cut = run(input);
  ASSERT_EQ(cut.size(), plain.size());
  for (size_t i = 0; i < cut.size(); ++i) {
    ASSERT_EQ(cut[i].first, 0.0f);
    ASSERT_EQ(cut[i].second, plain[i].second);
  }
  fir_release();
  fir_init(48000, 352800, 2, 0);
  const stereo other = run(sines(48000, 1000, 3000, 400));
  EXPECT_NE(other.back().first, 0.0f);
}

// Both paths against a direct convolution of the held input: catches time
// order within a block, tap placement on every step and the first taps.
void expect_matches_reference(int32_t rate, std::span<const float> taps, double gain) {
  const size_t frames = static_cast<size_t>(rate) / 50 * 3;  // 60 ms: settled, whole periods of 50 Hz
  const stereo input = sines(rate, 1000, 10000, frames);
  const stereo out = run(input);
  ASSERT_GE(out.size(), 2 * 7056u);
  std::vector<double> left(input.size()), right(input.size());
  for (size_t m = 0; m < input.size(); ++m) left[m] = input[m].first, right[m] = input[m].second;

  // Every 23rd frame: a stride prime to 8 and 4 visits every block position
  // and every copy of the taps.
  double worst = 0.0;
  for (size_t s = 0; s < out.size(); s += 23) {
    worst = std::max(worst, std::fabs(out[s].first - reference(taps, gain, left, rate, s)));
    worst = std::max(worst, std::fabs(out[s].second - reference(taps, gain, right, rate, s)));
  }
  EXPECT_LT(worst, 1e-5);

  // The last 20 ms (50 Hz bins): the tones at their gain, images far down.
  std::vector<double> tail_l, tail_r;
  for (size_t s = out.size() - 7056; s < out.size(); ++s) tail_l.push_back(out[s].first), tail_r.push_back(out[s].second);
  const double tone_l = tone_db(tail_l, 1000);
  const double tone_r = tone_db(tail_r, 10000);
  EXPECT_NEAR(tone_l, 20 * std::log10(0.5 * gain), 0.05);
  EXPECT_LT(tone_db(tail_l, rate - 1000) - tone_l, -110.0);
  EXPECT_LT(tone_db(tail_l, rate + 1000) - tone_l, -110.0);
  EXPECT_LT(tone_db(tail_r, rate - 10000) - tone_r, -100.0);
}

TEST_F(FirTest, IntegerPathIsAForwardConvolution) {
  fir_init(44100, 352800, 2, 0);
  // The folded filter is 0.9 times c convolved with the hold; the reference
  // holds the input itself, so it takes c with gain 0.9.
  expect_matches_reference(44100, fir_coeffs_44k_normal, 0.9);
}

TEST_F(FirTest, FractionalPathIsAForwardConvolution) {
  fir_init(48000, 352800, 2, 0);
  expect_matches_reference(48000, fir_coeffs_any_normal, 1.0);
  fir_release();
  fir_init(48000, 352800, 2, 1);
  expect_matches_reference(48000, fir_coeffs_any_short, 1.0);
}

TEST_F(FirTest, LowRateIsAForwardConvolution) {
  fir_init(8000, 352800, 2, 0);
  const stereo input = sines(8000, 440, 1000, 240);
  const stereo out = run(input);
  std::vector<double> left(input.size());
  for (size_t m = 0; m < input.size(); ++m) left[m] = input[m].first;
  for (size_t s = 0; s < out.size(); s += 7) ASSERT_NEAR(out[s].first, reference(fir_coeffs_any_normal, 1.0, left, 8000, s), 1e-5);
}

// A later fir_init with another rate switches the path and resets nothing:
// the fractional path carries on exactly where it stopped.
TEST_F(FirTest, ReinitSwitchesPathWithoutReset) {
  const stereo input = sines(48000, 1000, 2000, 600);
  fir_init(48000, 352800, 2, 0);
  const stereo straight = run(input);
  fir_release();

  fir_init(48000, 352800, 2, 0);
  stereo joined = run(stereo(input.begin(), input.begin() + 300));
  EXPECT_EQ(fir_init(44100, 352800, 2, 0), -1);
  std::vector<int32_t> counts;
  run(stereo(5, {0.0f, 0.0f}), &counts);
  EXPECT_EQ(counts, std::vector<int32_t>(5, 16));
  EXPECT_EQ(fir_init(48000, 352800, 2, 1), -1);  // the list is not switched either
  EXPECT_EQ(fir_table_other(), fir_coeffs_any_normal);
  const stereo rest = run(stereo(input.begin() + 300, input.end()));
  joined.insert(joined.end(), rest.begin(), rest.end());
  EXPECT_EQ(joined, straight);
}

// The vector kernels give the scalar reference's bits, on any length.
TEST(FirKernels, VectorEqualsScalar) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  std::vector<simd::scatter_kernel> kernels = {simd::scatter_kernel_vec4()};
  if (simd::scatter_kernel_avx2()) kernels.push_back(simd::scatter_kernel_avx2());
  for (size_t count : {1u, 3u, 4u, 12u, 13u, 28u, 196u, 1027u, 8200u}) {
    std::vector<float> coeffs(count), l(count), r(count);
    for (size_t k = 0; k < count; ++k) coeffs[k] = value(random), l[k] = value(random), r[k] = value(random);
    const float xl = value(random), xr = value(random);
    std::vector<float> want_l = l, want_r = r;
    simd::scatter_kernel_scalar()(want_l.data(), want_r.data(), coeffs.data(), count, xl, xr);
    for (simd::scatter_kernel kernel : kernels) {
      std::vector<float> got_l = l, got_r = r;
      kernel(got_l.data(), got_r.data(), coeffs.data(), count, xl, xr);
      ASSERT_EQ(got_l, want_l) << count;
      ASSERT_EQ(got_r, want_r) << count;
    }
  }
}

TEST_F(FirTest, WholeFilterVectorEqualsScalar) {
  std::mt19937 random(11);
  std::uniform_real_distribution<float> value(-1.0f, 1.0f);
  stereo input(1500);
  for (auto& f : input) f = {value(random), value(random)};
  for (int32_t rate : {44100, 48000, 96000}) {
    SCOPED_TRACE(rate);
    fir_init(rate, 352800, 2, 0);
    const stereo fast = run(input);
    fir_release();
    fir_init(rate, 352800, 2, 0);
    fir_select_kernel(simd::scatter_kernel_scalar());
    EXPECT_EQ(run(input), fast);
    fir_release();
    fir_select_kernel(nullptr);
  }
}

TEST_F(FirTest, RefusesWhatItCannotDo) {
  EXPECT_EXIT(fir_init(44100, 352800, 1, 0), exited_with_failure,
              "ERROR common [0-9]+ this code supports 2ch stereo only, not 1 channels\\.\n");
  EXPECT_EXIT(fir_init(44100, 96000, 2, 0), exited_with_failure, "ERROR common [0-9]+ 44k coeff table not found\\.");
  const float frame[2] = {0.0f, 0.0f};
  int32_t count = 7;
  EXPECT_EQ(fir_process(frame, &count), nullptr);  // not set up
  EXPECT_EQ(count, 7);
  fir_init(48000, 352800, 2, 0);
  EXPECT_EQ(fir_process(frame, nullptr), nullptr);
}

}  // namespace
