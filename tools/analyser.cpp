#include "analyser.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace {

// 7-term Blackman-Harris window: side lobes under -180 dB, main lobe
// +-7 bins wide.
constexpr double kWindow[7] = {0.27105140069342, -0.43329793923448, 0.21812299954311, -0.06592544638803,
                               0.01081174209837, -0.00077658482522, 0.00001388721735};
constexpr int kLobeBins = 8;  // bins either side of a tone that belong to it
constexpr size_t kMinSamples = 1024;

void fft(std::vector<std::complex<double>>& a) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const double angle = -2 * std::numbers::pi / static_cast<double>(len);
    const std::complex<double> step(std::cos(angle), std::sin(angle));
    for (size_t i = 0; i < n; i += len) {
      // Twiddles from cos/sin directly every 64 steps keep the error small.
      std::complex<double> w(1, 0);
      for (size_t k = 0; k < len / 2; ++k) {
        if ((k & 63) == 0) w = std::polar(1.0, angle * static_cast<double>(k));
        const std::complex<double> u = a[i + k];
        const std::complex<double> v = a[i + k + len / 2] * w;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
        w *= step;
      }
    }
  }
}

}  // namespace

std::vector<float> analyser_bits_from_bytes(std::span<const uint8_t> bytes, int64_t bit_count) {
  bit_count = std::min<int64_t>(bit_count, static_cast<int64_t>(bytes.size()) * 8);
  std::vector<float> samples(static_cast<size_t>(std::max<int64_t>(bit_count, 0)));
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = (bytes[i / 8] >> (7 - i % 8)) & 1 ? 1.0f : -1.0f;
  }
  return samples;
}

void analyser_append_word(std::vector<float>& samples, uint32_t word, int bits) {
  for (int b = bits - 1; b >= 0; --b) samples.push_back((word >> b) & 1u ? 1.0f : -1.0f);
}

int64_t analyser_longest_run(std::span<const float> samples) {
  int64_t longest = 0, run = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    run = i > 0 && samples[i] == samples[i - 1] ? run + 1 : 1;
    longest = std::max(longest, run);
  }
  return longest;
}

analyser_result analyser_run(std::span<const float> samples, double sample_rate, const analyser_options& options) {
  analyser_result result;
  if (samples.size() < kMinSamples || !(sample_rate > 0)) return result;
  size_t n = kMinSamples;
  while (n * 2 <= samples.size()) n *= 2;

  double mean = 0;
  for (size_t i = 0; i < n; ++i) mean += samples[i];
  result.dc = mean / static_cast<double>(n);

  std::vector<std::complex<double>> data(n);
  double window_power = 0;  // sum of w^2
  for (size_t i = 0; i < n; ++i) {
    const double phase = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n);
    double w = 0;
    for (int k = 0; k < 7; ++k) w += kWindow[k] * std::cos(k * phase);
    window_power += w * w;
    data[i] = samples[i] * w;
  }
  fft(data);

  // Power of bin k as the mean-square it stands for, one-sided: a sine of
  // amplitude A puts A^2/2 into its lobe; full scale (A = 1) is 0.5.
  const size_t half = n / 2;
  std::vector<double> power(half + 1);
  const double scale = 2.0 / (static_cast<double>(n) * window_power);
  for (size_t k = 0; k <= half; ++k) power[k] = std::norm(data[k]) * scale / 0.5;

  result.sample_rate = sample_rate;
  result.bin_hz = sample_rate / static_cast<double>(n);
  auto bin_of = [&](double hz) { return static_cast<size_t>(std::llround(hz / result.bin_hz)); };
  // The band starts past the DC lobe; it ends at Nyquist at the latest.
  const size_t low = std::max<size_t>(bin_of(options.band_low_hz), kLobeBins + 1);
  const size_t high = std::min(bin_of(options.band_high_hz), half - kLobeBins - 1);

  size_t tone = 0;
  if (options.tone_hz > 0) {
    tone = std::min(bin_of(options.tone_hz), half - kLobeBins - 1);
    // The peak within a bin or two of the given frequency.
    const size_t from = tone > 2 ? tone - 2 : 0;
    const size_t to = std::min(tone + 2, half - kLobeBins);
    for (size_t k = from; k <= to; ++k) {
      if (power[k] > power[tone]) tone = k;
    }
  } else {
    tone = low;
    for (size_t k = low; k <= high; ++k) {
      if (power[k] > power[tone]) tone = k;
    }
  }
  const size_t lobe_from = tone > static_cast<size_t>(kLobeBins) ? tone - kLobeBins : 0;
  const size_t lobe_to = tone + kLobeBins;
  double tone_power = 0, weighted = 0;
  for (size_t k = lobe_from; k <= lobe_to; ++k) {
    tone_power += power[k];
    weighted += power[k] * static_cast<double>(k);
  }
  result.tone_hz = tone_power > 0 ? weighted / tone_power * result.bin_hz : 0;
  // The lobe holds the whole tone: with the scale above it sums to A^2/2.
  result.tone_dbfs = 10 * std::log10(std::max(tone_power, 1e-40));

  double noise = 0;
  size_t counted = 0, band_bins = 0;
  for (size_t k = low; k <= high; ++k) {
    ++band_bins;
    if (k >= lobe_from && k <= lobe_to) continue;
    noise += power[k];
    ++counted;
  }
  // Bins hidden under the tone count as the average of the others (the
  // scale above already divides out the window's noise bandwidth).
  if (counted > 0) noise *= static_cast<double>(band_bins) / static_cast<double>(counted);
  result.noise_dbfs = 10 * std::log10(std::max(noise, 1e-40));
  result.snr_db = result.tone_dbfs - result.noise_dbfs;

  if (options.keep_spectrum) {
    result.spectrum_db.resize(half + 1);
    for (size_t k = 0; k <= half; ++k) result.spectrum_db[k] = 10 * std::log10(std::max(power[k], 1e-40));
  }
  return result;
}

std::vector<std::pair<double, double>> analyser_smooth_spectrum(const analyser_result& result, double low_hz,
                                                                double high_hz, int bands_per_octave) {
  std::vector<std::pair<double, double>> bands;
  if (result.spectrum_db.empty() || bands_per_octave < 1 || !(low_hz > 0)) return bands;
  const double ratio = std::pow(2.0, 1.0 / bands_per_octave);
  const size_t last = result.spectrum_db.size() - 1;
  for (double from = low_hz; from < high_hz; from *= ratio) {
    const double to = from * ratio;
    size_t k0 = static_cast<size_t>(std::ceil(from / result.bin_hz));
    size_t k1 = static_cast<size_t>(std::floor(to / result.bin_hz));
    k1 = std::min(k1, last);
    if (k0 > k1) continue;
    double sum = 0;
    for (size_t k = k0; k <= k1; ++k) sum += std::pow(10.0, result.spectrum_db[k] / 10);
    bands.emplace_back(std::sqrt(from * to), 10 * std::log10(sum / static_cast<double>(k1 - k0 + 1)));
  }
  return bands;
}
