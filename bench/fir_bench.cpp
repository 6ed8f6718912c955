// fir_process on each path and list, reported as a real-time factor for a
// stereo stream: x_realtime = seconds of audio filtered per CPU second.
// The kernel variants show what the vector width buys on the 44.1 kHz path.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "common.h"

namespace {

enum kernel_choice : int64_t { kBest, kVec4, kScalar };

// rate, short filter flag, kernel.
void BM_fir_process(benchmark::State& state) {
  const auto rate = static_cast<int32_t>(state.range(0));
  const auto short_filter = static_cast<int32_t>(state.range(1));
  fir_release();
  fir_init(rate, kFirOutputRate, 2, short_filter);
  switch (state.range(2)) {
    case kVec4:
      fir_select_kernel(simd::scatter_kernel_vec4());
      break;
    case kScalar:
      fir_select_kernel(simd::scatter_kernel_scalar());
      break;
    default:
      fir_select_kernel(nullptr);
  }
  // 10 ms of a 997 Hz tone, fed again and again.
  const int32_t frames = rate / 100;
  std::vector<float> input(2 * static_cast<size_t>(frames));
  for (int32_t m = 0; m < frames; ++m) {
    input[2 * m] = static_cast<float>(0.5 * std::sin(2 * 3.14159265358979 * 997.0 * m / rate));
    input[2 * m + 1] = -input[2 * m];
  }
  int64_t fed = 0;
  for (auto _ : state) {
    for (int32_t m = 0; m < frames; ++m) {
      int32_t count = 0;
      const float* out = fir_process(&input[2 * static_cast<size_t>(m)], &count);
      benchmark::DoNotOptimize(out);
      benchmark::DoNotOptimize(count);
    }
    fed += frames;
  }
  state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(fed) / rate, benchmark::Counter::kIsRate);
  fir_select_kernel(nullptr);
  fir_release();
}

BENCHMARK(BM_fir_process)
    ->ArgNames({"rate", "short", "kernel"})
    ->Args({44100, 0, kBest})
    ->Args({44100, 1, kBest})
    ->Args({48000, 0, kBest})
    ->Args({48000, 1, kBest})
    ->Args({44100, 0, kVec4})
    ->Args({44100, 0, kScalar})
    ->Args({48000, 0, kVec4});

}  // namespace
