// The modulators: level table and volume, the bit patterns of the integer
// levels, input limiting, the three-level DSD front end, and the measured
// behaviour (gain, in-band noise, stability) through the analyser.
#include "deltasigma.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

#include "analyser.h"
#include "band_energy.h"

namespace {

constexpr double kPcmRate = 352800;
constexpr double kNativeBitRate = 32 * kPcmRate;  // 11.2896 MHz
constexpr int32_t kQ = 478297607;

// The modulators the helpers below run.
delta_sigma modulators;

// Fresh modulators at a level and volume.
void start(int32_t level, int32_t db = 0) {
  ASSERT_EQ(select_modulator_level(modulators, level), -1);
  ASSERT_EQ(set_volume(modulators, db), db);
  reset_modulators(modulators);
}

// A 1 kHz sine of the given amplitude, modulated on the left channel.
std::vector<float> modulate_sine(double amplitude, int bits, int64_t samples, double hz = 1000) {
  std::vector<float> stream;
  stream.reserve(static_cast<size_t>(samples * bits));
  for (int64_t i = 0; i < samples; ++i) {
    const double x = amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / kPcmRate);
    analyser_append_word(stream, pcm_modulator(modulators, 0, bits, static_cast<float>(x)), bits);
  }
  return stream;
}

std::vector<float> modulate_constant(float x, int bits, int64_t samples) {
  std::vector<float> stream;
  for (int64_t i = 0; i < samples; ++i) analyser_append_word(stream, pcm_modulator(modulators, 0, bits, x), bits);
  return stream;
}

// Analyses the stream after its first quarter (the start-up transient).
analyser_result measure(const std::vector<float>& stream, double rate, double tone_hz = 1000) {
  const size_t skip = stream.size() / 4;
  analyser_options options;
  options.tone_hz = tone_hz;
  return analyser_run(std::span<const float>(stream).subspan(skip), rate, options);
}

double mean(std::span<const float> s) {
  double sum = 0;
  for (float v : s) sum += v;
  return sum / static_cast<double>(s.size());
}

// Runs dsd_modulator on `per_channel` copies of a left and a right byte,
// in blocks of 8 input bytes as the player does; returns the output.
std::vector<uint8_t> remodulate(uint8_t left, uint8_t right, int32_t per_channel, int32_t ratio) {
  std::vector<uint8_t> in(static_cast<size_t>(2 * per_channel));
  for (size_t i = 0; i < in.size(); i += 2) {
    in[i] = left;
    in[i + 1] = right;
  }
  std::vector<uint8_t> out(in.size() * static_cast<size_t>(ratio));
  for (size_t i = 0; i < in.size(); i += 8) {
    const int32_t count = static_cast<int32_t>(std::min<size_t>(8, in.size() - i));
    EXPECT_EQ(dsd_modulator(modulators, in.data() + i, out.data() + i * ratio, count, ratio), count);
  }
  return out;
}

std::vector<float> channel_bits(const std::vector<uint8_t>& interleaved, int channel) {
  std::vector<uint8_t> bytes;
  for (size_t i = static_cast<size_t>(channel); i < interleaved.size(); i += 2) bytes.push_back(interleaved[i]);
  return analyser_bits_from_bytes(bytes, static_cast<int64_t>(bytes.size()) * 8);
}

uint64_t fnv1a(uint64_t hash, uint32_t word) {
  for (int i = 0; i < 4; ++i) {
    hash ^= (word >> (8 * i)) & 0xFFu;
    hash *= 0x100000001B3ull;
  }
  return hash;
}

TEST(DeltaSigmaTable, EntriesAndVolume) {
  EXPECT_EQ(level_table_entry(0), 0x1C823E07);
  EXPECT_EQ(level_table_entry(6), 239148803);
  EXPECT_EQ(level_table_entry(47), 2097152);
  EXPECT_EQ(level_table_entry(48), 0);  // -48 dB is silence
  for (int32_t i = 1; i < kLevelTableSize; ++i) {
    const double step = 20 * std::log10(double(level_table_entry(i - 1)) / level_table_entry(i));
    EXPECT_NEAR(step, 1.0034, 0.001) << i;
  }
  ASSERT_EQ(set_volume(modulators, -6), -6);
  EXPECT_EQ(set_volume(modulators, 3), -6);
  EXPECT_EQ(set_volume(modulators, -49), -6);
  EXPECT_EQ(get_volume(modulators), -6);
  EXPECT_EQ(set_volume(modulators, -48), -48);
  EXPECT_EQ(set_volume(modulators, 0), 0);
  EXPECT_EQ(select_modulator_level(modulators, 3), 0);
  EXPECT_EQ(select_modulator_level(modulators, 7), -1);
  EXPECT_EQ(select_modulator_level(modulators, 0), 0);
  EXPECT_EQ(modulator_level(modulators), 7);
  EXPECT_EQ(select_modulator_level(modulators, 1), -1);
}

TEST(DeltaSigmaPcm, SilenceAtLevelOneAlternates) {
  start(1);
  EXPECT_EQ(pcm_modulator(modulators, 0, 32, 0.0f), 0xAAAAAAAAu);
  EXPECT_EQ(pcm_modulator(modulators, 1, 16, 0.0f), 0xAAAAu);
  EXPECT_EQ(pcm_modulator(modulators, 0, 16, 0.0f), 0xAAAAu);
  start(1, -48);  // silence whatever the input
  EXPECT_EQ(pcm_modulator(modulators, 0, 32, 0.9f), 0xAAAAAAAAu);
}

TEST(DeltaSigmaPcm, InputBeyondFullScaleIsLimited) {
  for (int32_t level : {1, 2, 7}) {
    for (float big : {1.0f, 1.5f, 1e6f, std::numeric_limits<float>::infinity()}) {
      start(level);
      const auto reference = modulate_constant(1.0f, 32, 64);
      start(level);
      EXPECT_EQ(modulate_constant(big, 32, 64), reference) << level << " " << big;
      start(level);
      const auto negative = modulate_constant(-1.0f, 32, 64);
      start(level);
      EXPECT_EQ(modulate_constant(-big, 32, 64), negative) << level << " " << -big;
    }
  }
  // A huge positive sample stays positive full scale (a plain float to int
  // conversion would make it INT32_MIN, full negative).
  start(1);
  EXPECT_EQ(pcm_modulator(modulators, 0, 32, 1e6f), 0xFFFFFFFFu);
  EXPECT_EQ(pcm_modulator(modulators, 0, 32, -1e6f), 0x00000000u);
}

TEST(DeltaSigmaPcm, NanIsSilence) {
  for (int32_t level : {1, 2, 7}) {
    start(level);
    const auto silence = modulate_constant(0.0f, 32, 64);
    start(level);
    EXPECT_EQ(modulate_constant(std::numeric_limits<float>::quiet_NaN(), 32, 64), silence) << level;
    // So is an infinite sample with the volume all the way down.
    start(level, -48);
    EXPECT_EQ(modulate_constant(std::numeric_limits<float>::infinity(), 32, 64), silence) << level;
  }
}

TEST(DeltaSigmaPcm, EachLevelTracksItsInputAtItsGain) {
  // Level 1 passes the input at 1.0, level 2 at 0.5, level 7 at 0.25
  // (its input is scaled by the -6 dB entry and halved).
  const std::pair<int32_t, double> cases[] = {{1, -6.02}, {2, -12.04}, {7, -18.06}};
  for (int bits : {16, 32}) {
    for (auto [level, expected] : cases) {
      start(level);
      const auto r = measure(modulate_sine(0.5, bits, 1 << 17 >> (bits == 32 ? 0 : 0)), bits * kPcmRate);
      EXPECT_NEAR(r.tone_dbfs, expected, 0.05) << "level " << level << " bits " << bits;
      EXPECT_NEAR(r.tone_hz, 1000, 1) << level;
    }
  }
  for (int32_t level : {1, 2, 7}) {
    start(level);
    const auto dc = modulate_constant(0.25f, 32, 1 << 14);
    EXPECT_NEAR(mean(dc), 0.25 * (level == 1 ? 1.0 : level == 2 ? 0.5 : 0.25), 2e-3) << level;
  }
}

TEST(DeltaSigmaPcm, InBandNoiseFallsWithTheLevel) {
  double snr[3];
  int i = 0;
  for (int32_t level : {1, 2, 7}) {
    start(level);
    snr[i++] = measure(modulate_sine(0.5, 32, 1 << 17), kNativeBitRate).snr_db;
  }
  EXPECT_GT(snr[0], 60);
  EXPECT_GT(snr[1], snr[0] + 25);
  EXPECT_GT(snr[2], snr[1] + 30);
  EXPECT_GT(snr[2], 135);
}

TEST(DeltaSigmaPcm, NoLevelRunsAwayAtFullScale) {
  // Level 1 at exactly full scale is all ones: it tracks, and returns to
  // the idle pattern after it.
  start(1);
  modulate_constant(1.0f, 32, 1000);
  const auto after = modulate_constant(0.0f, 32, 100);
  EXPECT_LE(analyser_longest_run(std::span<const float>(after).subspan(64)), 1);
  for (int32_t level : {2, 7}) {
    start(level);
    const auto sine = modulate_sine(0.999, 32, 1 << 15);
    EXPECT_LE(analyser_longest_run(sine), 12) << level;
    start(level);
    const auto square = modulate_sine(1e6, 32, 1 << 14, 5000);  // limited to a full-scale square wave
    EXPECT_LE(analyser_longest_run(square), 12) << level;
    const auto recovered = modulate_constant(0.0f, 32, 1 << 12);
    EXPECT_NEAR(mean(std::span<const float>(recovered).subspan(1 << 16)), 0.0, 1e-3) << level;
  }
}

TEST(DeltaSigmaPcm, LevelSevenIsStableFromZeroState) {
  for (float dc : {0.0f, 1.0f, -1.0f}) {
    start(7);
    const auto stream = modulate_constant(dc, 32, 1 << 15);
    EXPECT_LE(analyser_longest_run(stream), 6) << dc;
    EXPECT_NEAR(mean(std::span<const float>(stream).subspan(stream.size() / 2)), dc * 0.25, 1e-4) << dc;
  }
  start(7);
  const auto sine = modulate_sine(0.5, 32, 1 << 16);
  EXPECT_LE(analyser_longest_run(sine), 6);
  start(7);
  const auto sine16 = modulate_sine(0.5, 16, 1 << 16);
  EXPECT_LE(analyser_longest_run(sine16), 6);
}

TEST(DeltaSigmaPcm, BlockRunsTheWholePairsBothSpansHold) {
  const float values[5] = {0.1f, -0.2f, 0.3f, -0.4f, 0.5f};
  for (int32_t level : {1, 2, 7}) {
    start(level);
    uint32_t left = 0, right = 0;
    pcm_modulate_pair(modulators, 32, values[0], values[1], &left, &right);
    start(level);
    uint32_t words[3] = {0, 0, 0x5A5A5A5Au};
    pcm_modulate_block(modulators, 32, values, words);  // one pair: the words end there
    EXPECT_EQ(words[0], left) << level;
    EXPECT_EQ(words[1], right) << level;
    EXPECT_EQ(words[2], 0x5A5A5A5Au) << level;
  }
}

TEST(DeltaSigmaPcm, VolumeScalesEveryLevel) {
  for (int32_t level : {1, 2, 7}) {
    start(level);
    const double full = measure(modulate_sine(0.5, 32, 1 << 16), kNativeBitRate).tone_dbfs;
    for (int32_t db : {-6, -20}) {
      start(level, db);
      const double down = measure(modulate_sine(0.5, 32, 1 << 16), kNativeBitRate).tone_dbfs;
      // The table steps a sixth of an octave a dB: 1.0034 dB.
      EXPECT_NEAR(full - down, -db * 1.0034, 0.05) << level << " " << db;
    }
  }
}

TEST(DeltaSigmaDsd, AlternatingBitsAreCancelled) {
  for (int32_t level : {1, 2, 7}) {
    for (uint8_t pattern : {uint8_t{0xAA}, uint8_t{0x55}}) {
      for (int32_t ratio : {1, 2, 4}) {
        start(level);
        const auto out = remodulate(pattern, pattern ^ 0xFF, 4096, ratio);
        for (int ch : {0, 1}) {
          const auto bits = channel_bits(out, ch);
          EXPECT_NEAR(mean(bits), 0.0, 1e-3) << level << " " << ratio;
          EXPECT_LE(analyser_longest_run(bits), 4) << level << " " << ratio;  // an idle pattern
        }
        // And it is the modulator's own silence: the same as PCM zero.
        if (level == 1) {
          EXPECT_EQ(out[2 * ratio * 8], 0xAA);
        }
      }
    }
  }
}

TEST(DeltaSigmaDsd, LayoutGainAndLag) {
  // Left all ones, right all zeros: the channels stay apart, each input
  // byte gives `ratio` bytes, and the first byte out is the (empty) byte
  // before the first input byte.
  const double gains[] = {1.0, 0.5, 0.25};
  int i = 0;
  for (int32_t level : {1, 2, 7}) {
    for (int32_t ratio : {1, 2, 4}) {
      start(level);
      const auto out = remodulate(0xFF, 0x00, 2048, ratio);
      ASSERT_EQ(out.size(), size_t(4096 * ratio));
      if (level == 1) {
        EXPECT_EQ(out[0], 0xAA);  // the lag byte: silence
        EXPECT_EQ(out[2 * ratio * 4], 0xFF);
        EXPECT_EQ(out[2 * ratio * 4 + 1], 0x00);
      }
      const auto left = channel_bits(out, 0);
      const auto right = channel_bits(out, 1);
      EXPECT_NEAR(mean(std::span<const float>(left).subspan(left.size() / 2)), gains[i], 2e-3) << level << ratio;
      EXPECT_NEAR(mean(std::span<const float>(right).subspan(right.size() / 2)), -gains[i], 2e-3) << level << ratio;
    }
    ++i;
  }
  // The volume reaches the DSD path of every level, level 7 included.
  for (int32_t level : {1, 2, 7}) {
    start(level);
    const auto full = channel_bits(remodulate(0xFF, 0xFF, 2048, 1), 0);
    start(level, -6);
    const auto down = channel_bits(remodulate(0xFF, 0xFF, 2048, 1), 0);
    const size_t half = full.size() / 2;
    EXPECT_NEAR(mean(std::span<const float>(down).subspan(half)) / mean(std::span<const float>(full).subspan(half)),
                0.5, 2e-3)
        << level;
  }
}

TEST(DeltaSigmaDsd, LevelSevenIsStableForThreeLevelInput) {
  // DC at full scale, a run pattern, and random bytes (most of the input's
  // energy then lies at high frequencies).
  uint32_t seed = 12345;
  for (int32_t ratio : {1, 4}) {
    for (int kind = 0; kind < 3; ++kind) {
      start(7);
      std::vector<uint8_t> in(8192);
      for (size_t j = 0; j < in.size(); ++j) {
        seed = seed * 1664525u + 1013904223u;
        in[j] = kind == 0 ? 0xFF : kind == 1 ? 0xFE : static_cast<uint8_t>(seed >> 24);
      }
      std::vector<uint8_t> out(in.size() * ratio);
      for (size_t j = 0; j < in.size(); j += 8) {
        dsd_modulator(modulators, in.data() + j, out.data() + j * ratio, 8, ratio);
      }
      for (int ch : {0, 1}) EXPECT_LE(analyser_longest_run(channel_bits(out, ch)), 8) << kind << " " << ratio;
    }
  }
}

// The modulators written out plainly, one bit at a time, as a reference for
// the vector code: levels 1 and 2 as integer recurrences modulo 2^32, level 7
// in single precision in the order of its recurrence, the DSD front end as
// its scan. State is shared between the levels and the PCM and DSD paths.
class reference_modulators {
 public:
  uint32_t pcm(int ch, int bits, float x) {
    channel& c = state_[ch];
    uint32_t out = 0;
    if (level_ == 7) {
      const float l7 = static_cast<float>(level_table_entry(6));
      const float gain = static_cast<float>(level_table_entry(-volume_)) / static_cast<float>(level_table_entry(0));
      const float scaled = std::isnan(x) ? 0.0f : std::clamp(x * l7, -l7, l7) * gain;
      return level7(c, scaled * 0.5f, bits, true);
    }
    const int32_t s = scaled(x);
    for (int n = 0; n < bits; ++n) out = (out << 1) | integer_bit(c, level_ == 2 ? s / 2 : s);
    return out;
  }

  void dsd(const uint8_t* in, uint8_t* out, int32_t count, int32_t ratio) {
    const int32_t entry = level_table_entry(-volume_);
    for (int32_t pos = 0; pos < count; ++pos) {
      channel& c = state_[pos & 1];
      uint32_t ones = (uint32_t{c.ones} << 8) | in[pos], zeros = (uint32_t{c.zeros} << 8) | (in[pos] ^ 0xFFu);
      const uint32_t t = ((ones & (zeros << 1)) | (zeros & (ones << 1))) & 0xFFFFu;
      for (int p = 15; p >= 8;) {
        if (t & (1u << p)) {
          ones &= ~(3u << (p - 1)), zeros &= ~(3u << (p - 1));
          p -= 2;
        } else {
          p -= 1;
        }
      }
      c.ones = static_cast<uint8_t>(ones);
      c.zeros = static_cast<uint8_t>(zeros);
      uint32_t acc = 0;
      int filled = 0;
      int32_t written = 0;
      for (int p = 15; p >= 8; --p) {
        const int v = (ones >> p & 1) ? 1 : (zeros >> p & 1) ? -1 : 0;
        for (int32_t k = 0; k < ratio; ++k) {
          uint32_t bit;
          if (level_ == 7) {
            bit = level7(c, static_cast<float>(v) * (static_cast<float>(entry) * 0.25f), 1, false);
          } else {
            bit = integer_bit(c, v * (level_ == 2 ? entry / 2 : entry));
          }
          acc = (acc << 1) | bit;
          if (++filled == 8) {
            const size_t at = static_cast<size_t>(2 * ratio * (pos >> 1) + (pos & 1) + 2 * written++);
            if (at < static_cast<size_t>(count * ratio)) out[at] = static_cast<uint8_t>(acc);
            acc = 0, filled = 0;
          }
        }
      }
    }
  }

  int32_t level_ = 1;
  int32_t volume_ = 0;

 private:
  struct channel {
    uint32_t i1 = 0, i2 = 0;
    uint8_t ones = 0, zeros = 0;
    std::array<float, 7> c{};
  };

  int32_t scaled(float x) const {
    const float s = x * static_cast<float>(level_table_entry(-volume_));
    const int32_t v = std::isnan(s) ? 0 : s >= 2147483648.0f ? INT32_MAX : s <= -2147483648.0f ? INT32_MIN : int32_t(s);
    return std::clamp(v, -kQ, kQ);
  }

  uint32_t integer_bit(channel& c, int32_t in) const {
    c.i1 += static_cast<uint32_t>(in);
    if (level_ == 2) c.i2 += c.i1;
    const bool one = static_cast<int32_t>(level_ == 2 ? c.i2 : c.i1) >= 0;
    const uint32_t v = one ? 0u - uint32_t(kQ) : uint32_t(kQ);
    c.i1 += v;
    if (level_ == 2) c.i2 += v;
    return one;
  }

  static uint32_t level7(channel& ch, float u, int bits, bool clamp) {
    constexpr float g[3] = {342.0f / 16777216.0f, 1143.0f / 16777216.0f, 1872.0f / 16777216.0f};
    constexpr float a[7] = {4.18489494e-06f, 0.00011847014f, 0.00162730816f, 0.0139746596f,
                            0.0814671637f,   0.322670461f,   0.809264953f};
    const float q_full = static_cast<float>(kQ);
    // The PCM path limits the states to [-Q, Q] after every eighth bit.
    auto lim = [&](float y) { return std::min(std::max(y, -q_full), q_full); };
    auto& c = ch.c;
    uint32_t out = 0;
    for (int n = 0; n < bits; ++n) {
      const float q = u + c[6];
      out = (out << 1) | (q >= 0.0f ? 1u : 0u);
      float f[7], next[7];
      for (int i = 0; i < 7; ++i) f[i] = std::copysign(a[i] * q_full, -q);
      next[0] = (c[0] + a[0] * u) + f[0];
      for (int r = 0; r < 3; ++r) {
        const int i = 1 + 2 * r;  // c[i], c[i+1] resonate; c[i-1] feeds them
        next[i] = ((c[i] - g[r] * c[i + 1]) + (c[i - 1] + a[i] * u)) + f[i];
        next[i + 1] = ((1.0f - g[r]) * c[i + 1] + (c[i] + a[i + 1] * u)) + f[i + 1];
      }
      if (clamp && n % 8 == 7) {
        for (float& y : next) y = lim(y);
      }
      std::copy(next, next + 7, c.begin());
    }
    return out;
  }

  std::array<channel, 2> state_{};
};

TEST(DeltaSigma, VectorCodeMatchesThePlainRecurrences) {
  // Level and volume changes mid-stream (level 2 leaves level 1 states
  // outside its closed form's range, the DSD path of level 7 leaves states
  // beyond the clamp), odd and extreme inputs, both vector widths, and the
  // stereo entry point against the reference and against pcm_modulator.
  const float odd[] = {0.0f,
                       -0.0f,
                       1e-45f,
                       -1e-38f,
                       0.999999f,
                       -1.0f,
                       1.0f,
                       3.0f,
                       -1e30f,
                       std::numeric_limits<float>::infinity(),
                       std::numeric_limits<float>::quiet_NaN()};
  for (bool wide : {true, false}) {
    select_modulator_vectors(modulators, wide);
    reference_modulators ref;
    start(1);
    uint32_t seed = 5;
    int mismatches = 0;
    for (int block = 0; block < 120 && mismatches < 5; ++block) {
      const int32_t levels[] = {1, 2, 7};
      ref.level_ = levels[block % 3 == 0 ? (block / 3) % 3 : (block * 7 / 5) % 3];
      ref.volume_ = -((block * 11) % 49);
      ASSERT_EQ(select_modulator_level(modulators, ref.level_), -1);
      ASSERT_EQ(set_volume(modulators, ref.volume_), ref.volume_);
      const int bits = block % 4 == 1 ? 16 : 32;
      if (block % 5 == 4) {
        std::vector<uint8_t> in(24), got(in.size() * 4), want(got.size());
        for (auto& b : in) b = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
        const int32_t ratio = 1 << (block % 3);
        dsd_modulator(modulators, in.data(), got.data(), 24, ratio);
        ref.dsd(in.data(), want.data(), 24, ratio);
        if (got != want) ++mismatches;
        EXPECT_EQ(got, want) << "dsd block " << block << " wide " << wide;
        continue;
      }
      for (int i = 0; i < 200; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const float x = i % 37 == 0 ? odd[(i / 37 + block) % std::size(odd)]
                                    : static_cast<float>(static_cast<int32_t>(seed)) * 4.7e-10f;
        const float y = -0.7f * x + 0.1f;
        uint32_t l = 0, r = 0;
        const uint32_t want_l = ref.pcm(0, bits, x), want_r = ref.pcm(1, bits, y);
        if (i % 2) {
          pcm_modulate_pair(modulators, bits, x, y, &l, &r);
        } else {
          l = pcm_modulator(modulators, 0, bits, x);
          r = pcm_modulator(modulators, 1, bits, y);
        }
        if (l != want_l || r != want_r) ++mismatches;
        ASSERT_EQ(l, want_l) << "block " << block << " level " << ref.level_ << " i " << i << " wide " << wide;
        ASSERT_EQ(r, want_r) << "block " << block << " level " << ref.level_ << " i " << i << " wide " << wide;
      }
    }
  }
  select_modulator_vectors(modulators, true);
}

// Two sets of modulators run in turn give each the bits it gives alone,
// PCM and DSD alike.
TEST(DeltaSigma, RecordsShareNothing) {
  struct output {
    std::vector<uint32_t> words = std::vector<uint32_t>(512);
    std::vector<uint8_t> bytes = std::vector<uint8_t>(128);
    bool operator==(const output&) const = default;
  };
  std::vector<float> x(512);
  for (size_t i = 0; i < x.size(); ++i) x[i] = 0.6f * std::sin(0.01f * static_cast<float>(i));
  std::vector<uint8_t> dsd(64);
  for (size_t i = 0; i < dsd.size(); ++i) dsd[i] = static_cast<uint8_t>(i * 37);
  const auto set_up = [](int32_t level, int32_t db) {
    delta_sigma m;
    EXPECT_EQ(select_modulator_level(m, level), -1);
    EXPECT_EQ(set_volume(m, db), db);
    return m;
  };
  // Step k: 8 stereo samples, then 2 DSD bytes at ratio 2.
  const auto step = [&](delta_sigma& m, size_t k, output& out) {
    pcm_modulate_block(m, 32, std::span<const float>(x).subspan(16 * k, 16), std::span(out.words).subspan(16 * k, 16));
    dsd_modulator(m, dsd.data() + 2 * k, out.bytes.data() + 4 * k, 2, 2);
  };
  delta_sigma level7 = set_up(7, -3), level2 = set_up(2, 0);
  output alone7, alone2;
  for (size_t k = 0; k < 32; ++k) step(level7, k, alone7);
  for (size_t k = 0; k < 32; ++k) step(level2, k, alone2);

  delta_sigma first = set_up(7, -3), second = set_up(2, 0);
  output turns7, turns2;
  for (size_t k = 0; k < 32; ++k) {
    step(first, k, turns7);
    step(second, k, turns2);
  }
  EXPECT_TRUE(turns7 == alone7);
  EXPECT_TRUE(turns2 == alone2);
}

TEST(DeltaSigmaDsd, OddCountStaysInsideItsOutput) {
  // A lone last left byte: its output bytes that would lie past count *
  // ratio are dropped, not written.
  for (int32_t level : {1, 2, 7}) {
    for (int32_t ratio : {1, 2, 4}) {
      start(level);
      const uint8_t in[3] = {0xFF, 0x00, 0xF0};
      std::vector<uint8_t> out(3 * ratio + 8, 0x5A);
      EXPECT_EQ(dsd_modulator(modulators, in, out.data(), 3, ratio), 3);
      for (size_t i = static_cast<size_t>(3 * ratio); i < out.size(); ++i) EXPECT_EQ(out[i], 0x5A) << level << ratio;
    }
  }
}

TEST(DeltaSigma, FixedTestVectors) {
  // Hashes of the output for a short deterministic input: the same bits on
  // every architecture (single precision in a fixed order, no fused
  // multiply-add).
  struct expected_hash {
    int32_t level;
    int bits;  // 16 or 32: PCM; 1, 2, 4: DSD ratio
    uint64_t hash;
  };
  const expected_hash cases[] = {
      {1, 16, 0x0ea9282234220fe9}, {1, 32, 0xf3e2c68692c1ac8f}, {2, 16, 0x9cf0404bae8b8c5a},
      {2, 32, 0xd3d710667edfb278}, {7, 16, 0x144d62944e66e3f4}, {7, 32, 0x8e4a34888fd1da56},
      {1, 1, 0x5032e4888ebb838e},  {1, 4, 0xc112da26ca5c2b6a},  {2, 2, 0xe676df16829843f1},
      {2, 4, 0xa8376d6d890a61ec},  {7, 1, 0xca2392ec8f113b28},  {7, 4, 0x654f2ffc9a216e8d},
  };
  for (bool wide : {true, false}) {
    select_modulator_vectors(modulators, wide);
    for (const auto& c : cases) {
      start(c.level);
      uint64_t hash = 0xCBF29CE484222325ull;
      if (c.bits >= 16) {
        // A triangle wave plus noise, from integers only (no libm), on the
        // left and right channels in turn; again through the stereo entry.
        std::vector<float> x(4000);
        uint32_t seed = 1;
        for (int i = 0; i < 4000; ++i) {
          seed = seed * 1664525u + 1013904223u;
          const int32_t triangle = std::abs((i * 37) % 2000 - 1000) - 500;
          const int32_t noise = static_cast<int32_t>(seed >> 20) - 2048;
          x[i] = static_cast<float>(triangle) / 520.0f + static_cast<float>(noise) * 0.0001f;
          hash = fnv1a(hash, pcm_modulator(modulators, i & 1, c.bits, x[i]));
        }
        start(c.level);
        uint64_t pair_hash = 0xCBF29CE484222325ull;
        for (size_t i = 0; i < x.size(); i += 2) {
          uint32_t left = 0, right = 0;
          pcm_modulate_pair(modulators, c.bits, x[i], x[i + 1], &left, &right);
          pair_hash = fnv1a(fnv1a(pair_hash, left), right);
        }
        EXPECT_EQ(pair_hash, c.hash) << "pair, level " << c.level << " bits " << c.bits << " wide " << wide;
        // And in blocks of uneven sizes, as the player packs them.
        start(c.level);
        uint64_t block_hash = 0xCBF29CE484222325ull;
        std::vector<uint32_t> words(x.size());
        for (size_t i = 0, size = 2; i < x.size(); i += size, size = size % 90 + 14) {
          size = std::min(size, x.size() - i);
          pcm_modulate_block(modulators, c.bits, std::span<const float>(x).subspan(i, size),
                             std::span(words).subspan(i, size));
        }
        for (uint32_t w : words) block_hash = fnv1a(block_hash, w);
        EXPECT_EQ(block_hash, c.hash) << "block, level " << c.level << " bits " << c.bits << " wide " << wide;
      } else {
        std::vector<uint8_t> in(4000), out(4000 * c.bits);
        uint32_t seed = 99;
        for (auto& b : in) b = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
        for (size_t j = 0; j < in.size(); j += 8) {
          dsd_modulator(modulators, in.data() + j, out.data() + j * c.bits, 8, c.bits);
        }
        for (uint8_t b : out) hash = fnv1a(hash, b);
      }
      EXPECT_EQ(hash, c.hash) << "level " << c.level << " bits/ratio " << c.bits << " wide " << wide << std::hex
                              << " got 0x" << hash;
    }
  }
  select_modulator_vectors(modulators, true);
}

// A tone fades out, the stream goes idle (0xAA), the tone fades in again:
// where the modulators land in the idle pattern and where they go on from
// it, the energy between 3 and 20 kHz stays within 10 dB of the music's own
// or below -80 dBFS, far below the click of a plain cut (about -56 dBFS, a
// pattern off the sum's level by a bit).
TEST(DeltaSigmaPcm, LandingInTheIdlePatternMakesNoClick) {
  constexpr int kBits = 16;  // DoP
  constexpr double kBitRate = kPcmRate * kBits;
  constexpr size_t kWindow = 32768;
  for (const int32_t level : {1, 2, 7}) {
    SCOPED_TRACE(level);
    start(level);
    std::vector<float> left;
    // Pairs of the tone at gain(i) over `samples`, continuing its phase.
    int64_t t = 0;
    const auto tone = [&](int64_t samples, auto gain) {
      std::vector<float> values;
      for (int64_t i = 0; i < samples; ++i, ++t) {
        const double x = 0.5 * gain(i) * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(t) / kPcmRate);
        values.insert(values.end(), 2, static_cast<float>(x));
      }
      std::vector<uint32_t> words(values.size());
      pcm_modulate_block(modulators, kBits, values, words);
      for (size_t i = 0; i < words.size(); i += 2) analyser_append_word(left, words[i], kBits);
    };
    constexpr int64_t kFade = 1764;  // 5 ms
    const auto fade = [](bool up) {
      return [up](int64_t i) {
        const double x = static_cast<double>(i) / kFade;
        return 0.5 * (1 - std::cos(std::numbers::pi * (up ? x : 1 - x)));
      };
    };
    tone(70560, [](int64_t) { return 1.0; });
    tone(kFade, fade(false));
    tone(353, [](int64_t) { return 0.0; });
    std::vector<uint32_t> landing;
    land_in_idle(modulators, kBits, landing);
    ASSERT_LT(landing.size() / 2 * kBits, 14000u) << "about 2.2 ms";
    for (size_t i = 0; i < landing.size(); i += 2) analyser_append_word(left, landing[i], kBits);
    const size_t to_idle = left.size();
    for (int i = 0; i < 7056; ++i) analyser_append_word(left, 0xAAAA, kBits);  // 20 ms
    const size_t from_idle = left.size();
    tone(kFade, fade(true));
    tone(17640, [](int64_t) { return 1.0; });
    // The windows starting from `from` to `last`, hop apart.
    const auto levels = [&](size_t from, size_t last, size_t hop) {
      return band_energy_windows(left, kBitRate, kWindow, hop, from, last + kWindow);
    };
    std::vector<double> music = levels(kWindow, 70560 * kBits - kWindow, kWindow);
    std::sort(music.begin(), music.end());
    const double bound = std::max(music[music.size() / 2] + 10, -80.0);
    EXPECT_LT(loudest(levels(to_idle - kWindow, to_idle, kWindow / 8)), bound) << "into the idle pattern";
    EXPECT_LT(loudest(levels(from_idle - kWindow, from_idle, kWindow / 8)), bound) << "out of it";
  }
}

TEST(Analyser, MeasuresAKnownSine) {
  std::vector<float> s(1 << 16);
  uint32_t seed = 7;
  for (size_t i = 0; i < s.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double noise = (double(seed >> 8) / double(1 << 24) - 0.5) * 2e-4;  // uniform, rms 5.8e-5
    s[i] = static_cast<float>(0.25 * std::sin(2 * std::numbers::pi * 997.0 * double(i) / 48000.0) + noise);
  }
  analyser_options options;
  options.keep_spectrum = true;
  const auto r = analyser_run(s, 48000, options);
  EXPECT_NEAR(r.tone_hz, 997, 0.5);
  EXPECT_NEAR(r.tone_dbfs, -12.04, 0.02);
  // Noise: (5.8e-5)^2 over 24 kHz, 19.98 kHz of it in the band, relative to 0.5.
  const double expected_noise = 10 * std::log10((2e-4 * 2e-4 / 12) * (19980.0 / 24000.0) / 0.5);
  EXPECT_NEAR(r.noise_dbfs, expected_noise, 0.5);
  EXPECT_EQ(r.spectrum_db.size(), s.size() / 2 + 1);
  EXPECT_EQ(analyser_run(std::span<const float>(s).first(100), 48000, {}).sample_rate, 0);
}

// A step's spectrum rises all the way to Nyquist: the search for a tone
// named at 1 kHz looks at its neighbours and stops inside the spectrum.
TEST(Analyser, AToneSearchLooksOnlyNearTheToneNamed) {
  std::vector<float> step(32768, 0.0f);
  step[step.size() / 2] = 0.5f;
  step[step.size() / 2 + 1] = -0.5f;
  const analyser_result r = analyser_run(step, 5644800, {.band_low_hz = 3000, .band_high_hz = 20000, .tone_hz = 1000});
  EXPECT_LT(r.tone_hz, 1000 + (2 + 8) * r.bin_hz)
      << "the tone is sought within two bins of 1 kHz, its lobe 8 either side";
}

}  // namespace
