// Spectrum analysis of modulator output: one-bit streams (bytes, earliest
// bit in bit 7, or the modulator's output words) and PCM floats. A
// Blackman-Harris 7-term window (side lobes below -180 dB) and a radix-2
// FFT give the tone level, the in-band signal-to-noise ratio and a spectrum.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Levels are in dB relative to full scale: a sine of amplitude 1 (the
// one-bit stream's +-1) is 0 dBFS.
struct analyser_result {
  double sample_rate = 0;           // Hz of the analysed samples
  double bin_hz = 0;                // width of one FFT bin
  double tone_hz = 0;               // frequency of the tone measured (given or found)
  double tone_dbfs = -400;          // its level
  double noise_dbfs = -400;         // noise power in the band, tone bins excluded
  double snr_db = 0;                // tone_dbfs - noise_dbfs
  double dc = 0;                    // mean of the samples
  std::vector<double> spectrum_db;  // per bin 0..N/2: power of the bin in dBFS
};

struct analyser_options {
  double band_low_hz = 20;      // in-band noise from here ...
  double band_high_hz = 20000;  // ... to here
  double tone_hz = 0;           // the tone to measure; 0: the strongest in the band
  bool keep_spectrum = false;   // fill spectrum_db
};

// Bits of a one-bit stream as +1 / -1 samples: `bit_count` bits from the
// bytes, bit 7 of each byte first.
std::vector<float> analyser_bits_from_bytes(std::span<const uint8_t> bytes, int64_t bit_count);

// Appends the low `bits` bits of word (earliest in bit bits-1) as +1 / -1.
void analyser_append_word(std::vector<float>& samples, uint32_t word, int bits);

// Analyses the samples at sample_rate. Uses the largest power of two of
// samples not exceeding the count (at least 1024 samples are needed; fewer
// give an empty result with sample_rate 0).
analyser_result analyser_run(std::span<const float> samples, double sample_rate, const analyser_options& options);

// Longest run of equal bits in a one-bit sample stream (+1/-1 samples).
int64_t analyser_longest_run(std::span<const float> samples);

// Power spectrum averaged over log-spaced bands (bands_per_octave) from
// low_hz up, for plotting: pairs of (centre frequency, mean dB per bin).
std::vector<std::pair<double, double>> analyser_smooth_spectrum(const analyser_result& result, double low_hz,
                                                                double high_hz, int bands_per_octave);
