// Designs the two 44.1 kHz lowpass tables of the oversampling filter and
// writes them as C++ source:
//
//   make_fir_tables common/fir_tables.cpp
//
// At 44.1 kHz the filter holds each input sample for 8 output steps and then
// applies the table c at 352800 Hz, so the whole path responds with
// 0.9 * C(f) * D(f), where D(f) = sin(8 pi f / fs) / (8 sin(pi f / fs)) is
// the droop of the hold (-3.1 dB at 20 kHz). Each table is therefore a
// Kaiser-windowed lowpass whose passband rises as 1 / D(f): the ideal
// response 1 / D(f) up to the cutoff and 0 above it, transformed by numerical
// integration, then windowed. The taps are normalised to sum 1, rounded to
// float and mirrored so that c[k] == c[T-2-k] holds exactly; the last tap is 0.
// Before writing, the generator measures the path each rounded table makes
// and refuses to write when a figure is missed.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "../common/kaiser.h"
#include "../common/stream_constants.h"

namespace {

constexpr double kRate = kOversampledRate;
constexpr int kHold = 8;
constexpr double kPi = 3.14159265358979323846;
// Simpson intervals for the transform of the ideal response (about 200 per
// period of the fastest cosine).
constexpr int kIntegrationSteps = 20000;

struct table_design {
  const char* name;     // C++ array name
  const char* summary;  // comment written above the array
  int32_t taps;         // T; T + 8 is a whole number of 8-tap rounds
  double passband_hz;   // flat (hold included) up to here ...
  double stopband_hz;   // ... and attenuated from here on
  double beta;          // Kaiser window shape
  double flatness_db;   // the path stays within this of its gain up to passband_hz
  double stopband_db;   // the path is at or below this from stopband_hz up
};

std::vector<table_design> designs() {
  return {
      {"fir_coeffs_44k_normal",
       "44.1 kHz input, normal list: 824 taps (104 per output phase); with the hold: flat to 20 kHz, "
       "-140 dB from 24.1 kHz.",
       824, 20000.0, 24100.0, 15.0, 0.01, -140.0},
      {"fir_coeffs_44k_short",
       "44.1 kHz input, short list: 504 taps (64 per output phase); with the hold: flat to 19 kHz, "
       "-120 dB from 25.1 kHz.",
       504, 19000.0, 25100.0, 12.5, 0.01, -120.0},
  };
}

// The hold's response relative to its DC gain.
double hold_droop(double hz) {
  if (hz == 0.0) return 1.0;
  return std::sin(kHold * kPi * hz / kRate) / (kHold * std::sin(kPi * hz / kRate));
}

// (2 / rate) * integral over 0..cutoff of cos(2 pi f t / rate) / D(f) df:
// the ideal compensated lowpass at offset t (taps) from the centre.
double ideal_tap(double t, double cutoff) {
  const double h = cutoff / kIntegrationSteps;
  double sum = 0.0;
  for (int i = 0; i <= kIntegrationSteps; ++i) {
    const double f = i * h;
    const double weight = i == 0 || i == kIntegrationSteps ? 1.0 : (i % 2 ? 4.0 : 2.0);
    sum += weight * std::cos(2.0 * kPi * f * t / kRate) / hold_droop(f);
  }
  return 2.0 / kRate * sum * h / 3.0;
}

std::vector<float> design_table(const table_design& d) {
  const int32_t mid = d.taps / 2 - 1;
  const double half_width = mid + 1.0;  // the outermost taps stay just above 0
  const double cutoff = 0.5 * (d.passband_hz + d.stopband_hz);
  const double i0_beta = bessel_i0(d.beta);
  std::vector<double> taps(mid + 1);
  double sum = 0.0;
  for (int32_t k = 0; k <= mid; ++k) {
    const double t = k - mid;
    const double x = t / half_width;
    taps[k] = ideal_tap(t, cutoff) * bessel_i0(d.beta * std::sqrt(1.0 - x * x)) / i0_beta;
    sum += k == mid ? taps[k] : 2.0 * taps[k];
  }
  std::vector<float> out(d.taps, 0.0f);
  for (int32_t k = 0; k <= mid; ++k) {
    const float v = static_cast<float>(taps[k] / sum);
    out[k] = v;
    out[d.taps - 2 - k] = v;  // exact symmetry; the last tap stays 0
  }
  return out;
}

// |C(f) D(f)| in dB: the path's response relative to its gain.
double path_db(const std::vector<float>& c, double hz) {
  std::complex<double> sum = 0.0;
  for (size_t k = 0; k < c.size(); ++k)
    sum += static_cast<double>(c[k]) * std::polar(1.0, -2.0 * kPi * hz * static_cast<double>(k) / kRate);
  return 20.0 * std::log10(std::abs(sum * hold_droop(hz)) + 1e-300);
}

// Prints the measured figures; returns false when one is missed.
bool check_table(const table_design& d, const std::vector<float>& c) {
  double sum = 0.0;
  for (float v : c) sum += v;
  double flat_low = 0.0, flat_high = 0.0;
  for (double hz = 0.0; hz <= d.passband_hz; hz += 50.0) {
    const double db = path_db(c, hz);
    flat_low = std::min(flat_low, db);
    flat_high = std::max(flat_high, db);
  }
  double worst = -400.0, worst_hz = 0.0;
  for (double hz = d.stopband_hz; hz <= kRate / 2; hz += 5.0) {
    const double db = path_db(c, hz);
    if (db > worst) worst = db, worst_hz = hz;
  }
  std::printf("%s: T=%" PRId32 " beta=%.2f centre=%.9f sum=%.9f\n", d.name, d.taps, d.beta, c[d.taps / 2 - 1], sum);
  std::printf("  path 0..%.0f Hz: %+.4f .. %+.4f dB; 19 kHz %+.4f dB, 20 kHz %+.4f dB\n", d.passband_hz, flat_low,
              flat_high, path_db(c, 19000.0), path_db(c, 20000.0));
  std::printf("  path from %.0f Hz: highest %.1f dB at %.0f Hz\n", d.stopband_hz, worst, worst_hz);
  const bool flat = flat_high - flat_low <= d.flatness_db;
  const bool stops = worst <= d.stopband_db;
  const bool sums = std::fabs(sum - 1.0) <= 5e-6;
  if (!flat) std::printf("  MISSED: flatness %.4f dB (at most %.4f)\n", flat_high - flat_low, d.flatness_db);
  if (!stops) std::printf("  MISSED: stopband (at most %.1f dB)\n", d.stopband_db);
  if (!sums) std::printf("  MISSED: sum\n");
  return flat && stops && sums;
}

void write_table(std::FILE* out, const table_design& d, const std::vector<float>& c) {
  std::fprintf(out, "\n// %s\nconst float %s[%" PRId32 "] = {\n", d.summary, d.name, d.taps);
  for (int32_t k = 0; k < d.taps; ++k) {
    // Nine significant digits give the float back exactly.
    char text[32];
    if (c[k] == 0.0f)
      std::snprintf(text, sizeof text, "0.0f");
    else
      std::snprintf(text, sizeof text, "%.8ef", static_cast<double>(c[k]));
    std::fprintf(out, "%s%s,%s", k % 5 == 0 ? "    " : " ", text, k % 5 == 4 || k == d.taps - 1 ? "\n" : "");
  }
  std::fprintf(out, "};\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s output.cpp\n", argv[0]);
    return 2;
  }
  const std::vector<table_design> all = designs();
  std::vector<std::vector<float>> tables;
  bool ok = true;
  for (const table_design& d : all) {
    tables.push_back(design_table(d));
    ok = check_table(d, tables.back()) && ok;
  }
  if (!ok) {
    std::fprintf(stderr, "a table misses its figures; nothing written\n");
    return 1;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(out,
               "// Generated by tools/make_fir_tables.cpp; edit the generator, not this file.\n"
               "// Kaiser-windowed lowpass tables at 352800 Hz whose passband makes up for the\n"
               "// droop of the 8-step hold: c[k] == c[T-2-k], c[T-1] == 0, the taps sum to 1.\n"
               "#include \"fir_tables.h\"\n");
  for (size_t i = 0; i < all.size(); ++i) write_table(out, all[i], tables[i]);
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
