// fir_process on each path and list, reported as a real-time factor for a
// stereo stream: x_realtime = seconds of audio filtered per CPU second.
// The scalar kernel shows what the vectors buy.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "fir.h"

namespace {

enum kernel_choice : int64_t { kVector, kScalar };

// rate, short filter flag, kernel.
void BM_fir_process(benchmark::State& state) {
  const auto rate = static_cast<int32_t>(state.range(0));
  const auto short_filter = static_cast<int32_t>(state.range(1));
  fir_filter filter;
  fir_init(filter, rate, kOversampledRate, 2, short_filter);
  fir_use_scalar_kernels(filter, state.range(2) == kScalar);
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
      const float* out = fir_process(filter, &input[2 * static_cast<size_t>(m)], &count);
      benchmark::DoNotOptimize(out);
      benchmark::DoNotOptimize(count);
    }
    fed += frames;
  }
  state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(fed) / rate, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_fir_process)
    ->ArgNames({"rate", "short", "kernel"})
    ->Args({44100, 0, kVector})
    ->Args({44100, 1, kVector})
    ->Args({48000, 0, kVector})
    ->Args({48000, 1, kVector})
    ->Args({96000, 0, kVector})
    ->Args({192000, 0, kVector})
    ->Args({32000, 0, kVector})
    ->Args({44056, 0, kVector})
    ->Args({44100, 0, kScalar});

}  // namespace
