// Modulator speed. Each benchmark also reports x_realtime: seconds of
// stereo audio processed per CPU second (PCM: 352,800 samples per second
// per channel; DSD: the input's rate, 11,289,600 / ratio bits per second per
// channel, i.e. ratio 4 is DSD64).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "deltasigma.h"
#include "stream_constants.h"

namespace {

// Where brisa keeps its modulators: in static storage. (A record on the
// stack beside the buffers runs the DSD path measurably slower on x86.)
delta_sigma modulators;

// args: level, bits per sample
void BM_pcm_modulator(benchmark::State& state) {
  modulators = delta_sigma{};
  select_modulator_level(modulators, static_cast<int32_t>(state.range(0)));
  const int bits = static_cast<int>(state.range(1));
  std::vector<float> input(4096);
  for (size_t i = 0; i < input.size(); ++i) input[i] = 0.5f * std::sin(0.0178f * static_cast<float>(i));
  uint32_t sink = 0;
  for (auto _ : state) {
    for (float x : input) {
      sink ^= pcm_modulator(modulators, 0, bits, x);
      sink ^= pcm_modulator(modulators, 1, bits, x);
    }
    benchmark::DoNotOptimize(sink);
  }
  const double stereo_samples = static_cast<double>(state.iterations()) * static_cast<double>(input.size());
  state.counters["x_realtime"] = benchmark::Counter(stereo_samples / kOversampledRate, benchmark::Counter::kIsRate);
}

// The same through the stereo entry point the packers use.
// args: level, bits per sample, wide (1: the 8-lane code where the CPU has
// it, 0: the 4-lane code)
void BM_pcm_modulate_pair(benchmark::State& state) {
  modulators = delta_sigma{};
  select_modulator_level(modulators, static_cast<int32_t>(state.range(0)));
  select_modulator_vectors(modulators, state.range(2) != 0);
  const int bits = static_cast<int>(state.range(1));
  std::vector<float> input(4096);
  for (size_t i = 0; i < input.size(); ++i) input[i] = 0.5f * std::sin(0.0178f * static_cast<float>(i));
  uint32_t sink = 0;
  for (auto _ : state) {
    for (float x : input) {
      uint32_t left = 0, right = 0;
      pcm_modulate_pair(modulators, bits, x, -x, &left, &right);
      sink ^= left ^ right;
    }
    benchmark::DoNotOptimize(sink);
  }
  const double stereo_samples = static_cast<double>(state.iterations()) * static_cast<double>(input.size());
  state.counters["x_realtime"] = benchmark::Counter(stereo_samples / kOversampledRate, benchmark::Counter::kIsRate);
}

// The block entry point, in blocks of 8 stereo samples (what the filter
// gives per 44.1 kHz input frame), as brisa's packer calls it.
// args: level, bits per sample, wide
void BM_pcm_modulate_block(benchmark::State& state) {
  modulators = delta_sigma{};
  select_modulator_level(modulators, static_cast<int32_t>(state.range(0)));
  select_modulator_vectors(modulators, state.range(2) != 0);
  const int bits = static_cast<int>(state.range(1));
  constexpr size_t kBlock = 16;  // floats: 8 stereo samples
  std::vector<float> input(2 * 4096);
  for (size_t i = 0; i < input.size(); ++i) {
    input[i] = (i % 2 ? -0.5f : 0.5f) * std::sin(0.0178f * static_cast<float>(i / 2));
  }
  std::vector<uint32_t> words(input.size());
  for (auto _ : state) {
    for (size_t i = 0; i < input.size(); i += kBlock) {
      pcm_modulate_block(modulators, bits, std::span<const float>(input).subspan(i, kBlock),
                         std::span(words).subspan(i, kBlock));
    }
    benchmark::DoNotOptimize(words.data());
  }
  const double stereo_samples = static_cast<double>(state.iterations()) * static_cast<double>(input.size() / 2);
  state.counters["x_realtime"] = benchmark::Counter(stereo_samples / kOversampledRate, benchmark::Counter::kIsRate);
}

// args: level, ratio
void BM_dsd_modulator(benchmark::State& state) {
  modulators = delta_sigma{};
  select_modulator_level(modulators, static_cast<int32_t>(state.range(0)));
  const int32_t ratio = static_cast<int32_t>(state.range(1));
  std::vector<uint8_t> input(8192);
  uint32_t seed = 1;
  for (auto& b : input) b = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
  std::vector<uint8_t> output(input.size() * static_cast<size_t>(ratio));
  for (auto _ : state) {
    // Blocks of 8 bytes (four per channel), as the player reads them.
    for (size_t i = 0; i < input.size(); i += 8) {
      dsd_modulator(modulators, input.data() + i, output.data() + i * static_cast<size_t>(ratio), 8, ratio);
    }
    benchmark::DoNotOptimize(output.data());
  }
  const double bits_per_channel = static_cast<double>(state.iterations()) * static_cast<double>(input.size()) * 4;
  state.counters["x_realtime"] = benchmark::Counter(bits_per_channel / (static_cast<double>(kNativeDsdBitRate) / ratio),
                                                    benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_pcm_modulator)->ArgNames({"level", "bits"})->ArgsProduct({{1, 2, 7}, {16, 32}});
BENCHMARK(BM_pcm_modulate_pair)
    ->ArgNames({"level", "bits", "wide"})
    ->ArgsProduct({{1, 2}, {16, 32}, {1}})
    ->ArgsProduct({{7}, {16, 32}, {0, 1}});
BENCHMARK(BM_pcm_modulate_block)
    ->ArgNames({"level", "bits", "wide"})
    ->ArgsProduct({{1, 2}, {16, 32}, {1}})
    ->ArgsProduct({{7}, {16, 32}, {0, 1}});
BENCHMARK(BM_dsd_modulator)->ArgNames({"level", "ratio"})->ArgsProduct({{1, 2, 7}, {1, 2, 4}});
