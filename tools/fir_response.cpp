// fir_response: the oversampling filter's response at each input rate,
// measured through fir_init / fir_process as the players drive it. For each
// frequency of a grid a -6 dBFS sine goes in (both channels); the left output
// at 352.8 kHz is analysed for the tone's level and for everything else in
// the audio band: images, aliases and resampling error.
//
//   fir_response [--short] [--rates=R1,R2,...] OUT
//
// OUT gets one block per rate (separated by two blank lines, for gnuplot's
// `index`), rows "frequency_hz level_db level_rel_1k_db inband_spurs_db":
// level is the output tone against the input tone, inband_spurs the noise and
// spurs from 20 Hz to 20 kHz against the input tone. A summary per rate goes
// to standard output.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "analyser.h"
#include "filtered_sine.h"
#include "fir.h"

namespace {

constexpr double kAmplitude = 0.5;
const double kInputDbfs = 20 * std::log10(kAmplitude);
// Output frames dropped before the analysis: the filter's delay and the
// previous frequency's tail, with a wide margin for long filters.
constexpr int64_t kSettleFrames = kOversampledRate / 8;
constexpr size_t kAnalysedFrames = size_t{1} << 16;  // 0.19 s, 5.4 Hz bins
constexpr int64_t kHighestHz = 24000;

struct point {
  int64_t hz = 0;
  double level_db = 0;
  double spurs_db = 0;
};

// 250 Hz steps up to 24 kHz (or just under half the rate), 50 Hz steps over
// the passband edge around 20 kHz and over the top fifth below half the rate,
// and a few low frequencies.
std::vector<int64_t> grid(int64_t rate) {
  const int64_t top = std::min(kHighestHz, (rate - 1) / 2);
  std::set<int64_t> hz = {20, 50, 100, 200};
  for (int64_t f = 250; f <= top; f += 250) hz.insert(f);
  for (int64_t f = 15000; f <= 21000 && f <= top; f += 50) hz.insert(f);
  for (int64_t f = top * 4 / 5 / 50 * 50; f <= top; f += 50) hz.insert(f);
  return {hz.begin(), hz.end()};
}

point measure(fir_filter& resampler, int64_t rate, int64_t hz) {
  const std::vector<float> out = filtered_sine(resampler, rate, hz, kAmplitude, kSettleFrames, kAnalysedFrames);
  if (out.empty()) {
    std::fprintf(stderr, "fir_response: the filter gave no output block\n");
    std::exit(1);
  }
  analyser_options options;
  options.tone_hz = static_cast<double>(hz);
  const analyser_result r = analyser_run(out, kOversampledRate, options);
  return {hz, r.tone_dbfs - kInputDbfs, r.noise_dbfs - kInputDbfs};
}

double level_at(const std::vector<point>& points, int64_t hz) {
  for (const point& p : points) {
    if (p.hz == hz) return p.level_db;
  }
  return NAN;
}

bool parse_rates(const char* text, std::vector<int64_t>* rates) {
  rates->clear();
  std::string list = text;
  size_t from = 0;
  while (from <= list.size()) {
    const size_t comma = std::min(list.find(',', from), list.size());
    const std::string item = list.substr(from, comma - from);
    char* end = nullptr;
    errno = 0;
    const long long rate = std::strtoll(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0' || errno != 0 || rate < kFirLowestInputRate || rate > kFirHighestInputRate) {
      return false;
    }
    rates->push_back(rate);
    from = comma + 1;
  }
  return !rates->empty();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int64_t> rates = {22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000};
  bool short_filter = false;
  const char* out_path = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--short") {
      short_filter = true;
    } else if (arg.starts_with("--rates=")) {
      if (!parse_rates(argv[i] + 8, &rates)) {
        std::fprintf(stderr, "fir_response: bad rate list %s (%d to %d Hz)\n", argv[i] + 8, kFirLowestInputRate,
                     kFirHighestInputRate);
        return 2;
      }
    } else if (!arg.starts_with("-") && out_path == nullptr) {
      out_path = argv[i];
    } else {
      std::fprintf(stderr, "usage: fir_response [--short] [--rates=R1,R2,...] OUT\n");
      return 2;
    }
  }
  if (out_path == nullptr) {
    std::fprintf(stderr, "usage: fir_response [--short] [--rates=R1,R2,...] OUT\n");
    return 2;
  }
  FILE* out = std::fopen(out_path, "w");
  if (out == nullptr) {
    std::fprintf(stderr, "fir_response: cannot write %s: %s\n", out_path, std::strerror(errno));
    return 1;
  }
  const char* filter = short_filter ? "short" : "normal";
  for (const int64_t rate : rates) {
    fir_filter resampler;
    fir_init(resampler, static_cast<int32_t>(rate), kOversampledRate, 2, short_filter ? 1 : 0);
    std::vector<point> points;
    for (const int64_t hz : grid(rate)) points.push_back(measure(resampler, rate, hz));

    const double level_1k = level_at(points, 1000);
    std::fprintf(out, "# %lld Hz, %s filter: frequency_hz level_db level_rel_1k_db inband_spurs_db\n",
                 static_cast<long long>(rate), filter);
    const point* worst = nullptr;
    for (const point& p : points) {
      std::fprintf(out, "%lld %.4f %.4f %.2f\n", static_cast<long long>(p.hz), p.level_db, p.level_db - level_1k,
                   p.spurs_db);
      if (p.hz <= 20000 && (worst == nullptr || p.spurs_db > worst->spurs_db)) worst = &p;
    }
    std::fprintf(out, "\n\n");
    std::printf("%6lld Hz %s: 1 kHz %.2f dB", static_cast<long long>(rate), filter, level_1k);
    for (const int64_t edge : {19000, 20000}) {
      const double level = level_at(points, edge);
      if (!std::isnan(level)) std::printf(", %lld Hz %+.2f dB", static_cast<long long>(edge), level - level_1k);
    }
    std::printf(" (against 1 kHz); in-band spurs at most %.1f dB (tone at %lld Hz)\n", worst->spurs_db,
                static_cast<long long>(worst->hz));
    std::fflush(stdout);
  }
  if (std::fclose(out) != 0) {
    std::fprintf(stderr, "fir_response: cannot write %s\n", out_path);
    return 1;
  }
  return 0;
}
