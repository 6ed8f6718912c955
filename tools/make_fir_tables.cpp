// Designs the four FIR lowpass tables of the oversampling filter and writes
// them as C++ source:
//
//   make_fir_tables common/fir_tables.cpp
//
// Each table is a Kaiser-windowed sinc applied at 352800 Hz. The window is
// w(x) = I0(beta * (1 - x^2)^q) / I0(beta) for x in [-1, 1]; q = 1/2 is the
// classic Kaiser window, a smaller q trades a little transition width for
// lower far sidelobes (the 800-tap table needs that to meet both -47 dB at
// 21 kHz and -90 dB from 24 kHz). beta, q and the half-width are fixed per
// table, chosen so that the passband and stopband figures below are met; the
// cutoff is then solved so that the normalised centre tap has the wanted value. Coefficients are normalised to
// sum 1, rounded to float, mirrored so that c[k] == c[T-2-k] holds exactly,
// and the last tap is 0. Before writing, the generator measures each rounded
// table and refuses to write when a figure is missed.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 352800.0;
constexpr double kPi = 3.14159265358979323846;
// Taps smaller than this are written as 0: they change no response by a
// measurable amount, and products of them with quiet input would be subnormal
// (slow on x86, flushed to zero by NEON, so the vector paths would differ).
constexpr double kNegligibleTap = 1e-15;
// Zero-padded FFT length for the stopband scans (5.4 Hz per bin).
constexpr size_t kScanLength = 65536;

struct point_figure {
  double hz;
  double db;  // passband: the wanted level; stopband: the level not to exceed
};

struct table_design {
  const char* name;        // C++ array name
  const char* summary;     // comment written above the array
  int32_t taps;            // T
  double centre;           // wanted c[T/2-1]
  double beta;             // Kaiser window shape
  double exponent;         // q of the window; 0.5 for the classic Kaiser window
  double half_width_extra; // window half-width = T/2-1 + this (taps)
  std::vector<point_figure> passband;   // within 0.5 dB
  std::vector<point_figure> stopband;   // at or below
  point_figure stop_from;               // every frequency from hz on at or below db
};

// The modified Bessel function I0, by its power series (converges for any x).
double bessel_i0(double x) {
  double sum = 1.0;
  double term = 1.0;
  for (int k = 1; k < 500; ++k) {
    const double half = x / (2.0 * k);
    term *= half * half;
    sum += term;
    if (term < 1e-17 * sum) break;
  }
  return sum;
}

// Unrounded normalised taps for a cutoff; also returns the centre tap.
std::vector<double> windowed_sinc(const table_design& d, double cutoff_hz) {
  const int32_t mid = d.taps / 2 - 1;
  const double half_width = mid + d.half_width_extra;
  const double band = 2.0 * cutoff_hz / kRate;
  const double i0_beta = bessel_i0(d.beta);
  std::vector<double> taps(d.taps, 0.0);
  double sum = 0.0;
  for (int32_t k = 0; k <= d.taps - 2; ++k) {
    const double t = k - mid;
    const double x = t / half_width;
    const double window = bessel_i0(d.beta * std::pow(std::max(0.0, 1.0 - x * x), d.exponent)) / i0_beta;
    const double sinc = t == 0 ? band : std::sin(kPi * band * t) / (kPi * t);
    taps[k] = sinc * window;
    sum += taps[k];
  }
  for (double& tap : taps) tap /= sum;
  return taps;
}

// The cutoff whose normalised centre tap equals the wanted one (the centre
// grows with the cutoff), found by bisection.
double solve_cutoff(const table_design& d) {
  double low = 1000.0;
  double high = 60000.0;
  for (int i = 0; i < 80; ++i) {
    const double mid = 0.5 * (low + high);
    if (windowed_sinc(d, mid)[d.taps / 2 - 1] < d.centre)
      low = mid;
    else
      high = mid;
  }
  return 0.5 * (low + high);
}

std::vector<float> round_table(const table_design& d, const std::vector<double>& taps) {
  std::vector<float> out(d.taps, 0.0f);
  const int32_t mid = d.taps / 2 - 1;
  for (int32_t k = 0; k <= mid; ++k) {
    const float v = std::fabs(taps[k]) < kNegligibleTap ? 0.0f : static_cast<float>(taps[k]);
    out[k] = v;
    out[d.taps - 2 - k] = v;  // exact symmetry; the last tap stays 0
  }
  return out;
}

double level_db(std::complex<double> v) { return 10.0 * std::log10(std::norm(v) + 1e-300); }

// The response of the float taps at one frequency, by direct summation.
double response_db(const std::vector<float>& c, double hz) {
  std::complex<double> sum = 0.0;
  for (size_t k = 0; k < c.size(); ++k)
    sum += static_cast<double>(c[k]) * std::polar(1.0, -2.0 * kPi * hz * static_cast<double>(k) / kRate);
  return level_db(sum);
}

void fft(std::vector<std::complex<double>>& a) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> step = std::polar(1.0, -2.0 * kPi / static_cast<double>(len));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> w = 1.0;
      for (size_t k = 0; k < len / 2; ++k) {
        const std::complex<double> u = a[i + k];
        const std::complex<double> v = a[i + k + len / 2] * w;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
        w *= step;
      }
    }
  }
}

// The highest level from hz up to half the rate (bins of the padded FFT).
double max_level_from(const std::vector<float>& c, double hz) {
  std::vector<std::complex<double>> a(kScanLength, 0.0);
  for (size_t k = 0; k < c.size(); ++k) a[k] = c[k];
  fft(a);
  double worst = -400.0;
  for (size_t bin = 0; bin <= kScanLength / 2; ++bin) {
    if (static_cast<double>(bin) * kRate / kScanLength >= hz) worst = std::max(worst, level_db(a[bin]));
  }
  return worst;
}

// Prints the measured figures; returns false when one is missed.
bool check_table(const table_design& d, const std::vector<float>& c, double cutoff) {
  bool ok = true;
  double sum = 0.0;
  for (float v : c) sum += v;
  std::printf("%s: T=%" PRId32 " beta=%.2f q=%.2f half-width=T/2-1%+.1f cutoff=%.2f Hz centre=%.7f sum=%.9f\n", d.name, d.taps,
              d.beta, d.exponent, d.half_width_extra, cutoff, c[d.taps / 2 - 1], sum);
  if (std::fabs(c[d.taps / 2 - 1] - d.centre) > 5e-7 || std::fabs(sum - 1.0) > 5e-5) ok = false;
  for (const point_figure& p : d.passband) {
    const double got = response_db(c, p.hz);
    const bool good = std::fabs(got - p.db) <= 0.5;
    std::printf("  passband %8.0f Hz: %8.2f dB (wanted %.2f +-0.5)%s\n", p.hz, got, p.db, good ? "" : "  MISSED");
    ok = ok && good;
  }
  for (const point_figure& p : d.stopband) {
    const double got = response_db(c, p.hz);
    const bool good = got <= p.db;
    std::printf("  stopband %8.0f Hz: %8.2f dB (at most %.2f)%s\n", p.hz, got, p.db, good ? "" : "  MISSED");
    ok = ok && good;
  }
  const double worst = max_level_from(c, d.stop_from.hz);
  const bool good = worst <= d.stop_from.db;
  std::printf("  stopband from %.0f Hz: highest %.2f dB (at most %.2f)%s\n", d.stop_from.hz, worst, d.stop_from.db,
              good ? "" : "  MISSED");
  return ok && good;
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

std::vector<table_design> designs() {
  return {
      {"fir_coeffs_44k_normal",
       "44.1 kHz input, normal list: 8192 taps, a 15.2 kHz lowpass (flat to 14 kHz, -0.54 dB at 15 kHz).",
       8192, 0.086262, 104.0, 0.5, 0.0,
       {{1000, 0.0}, {10000, 0.0}, {14000, 0.0}, {15000, -0.54}},
       {{16000, -40.0}},
       {18000, -125.0}},
      {"fir_coeffs_any_normal",
       "Other input rates, normal list: 1024 taps, -3.2 dB at 20 kHz, -90 dB and below from 22.05 kHz.",
       1024, 0.114361, 9.7, 0.5, 0.0,
       {{1000, 0.0}, {10000, 0.0}, {19500, -0.11}, {20000, -3.2}},
       {{21000, -40.0}},
       {22050, -90.0}},
      {"fir_coeffs_44k_short",
       "44.1 kHz input, short list: 800 taps, -4.6 dB at 20 kHz, below -90 dB from 24 kHz.",
       800, 0.113881, 9.0, 0.4, 0.0,
       {{1000, 0.0}, {10000, 0.0}, {19500, -0.5}, {20000, -4.6}},
       {{21000, -47.0}, {22050, -80.0}},
       {24000, -90.0}},
      {"fir_coeffs_any_short",
       "Other input rates, short list: 192 taps, -5.3 dB at 20 kHz, -75 dB at 26 kHz.",
       192, 0.114361, 7.4, 0.5, 4.0,
       {{1000, 0.0}, {10000, 0.0}, {17000, -0.13}, {19000, -2.3}, {20000, -5.3}},
       {{22050, -18.8}, {24000, -52.0}, {26000, -75.0}},
       {26000, -75.0}},
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s output.cpp\n", argv[0]);
    return 2;
  }
  std::vector<std::vector<float>> tables;
  bool ok = true;
  for (const table_design& d : designs()) {
    const double cutoff = solve_cutoff(d);
    tables.push_back(round_table(d, windowed_sinc(d, cutoff)));
    ok = check_table(d, tables.back(), cutoff) && ok;
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
               "// Kaiser-windowed sinc lowpass tables at 352800 Hz: c[k] == c[T-2-k], c[T-1] == 0,\n"
               "// the coefficients sum to 1.\n"
               "#include \"fir_tables.h\"\n");
  const std::vector<table_design> all = designs();
  for (size_t i = 0; i < all.size(); ++i) write_table(out, all[i], tables[i]);
  if (std::fclose(out) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
