// fir_images: how far the oversampling filter on lumen -os's path (the
// precise one) pushes down the images of a tone, and its in-band noise,
// measured on fir_process's own float output
// (no player, no integer samples). For each input rate and tone a -6 dBFS
// sine goes in; the left output at 352.8 kHz is analysed twice: the tone's
// level and the noise and spurs from 20 Hz to 20 kHz against it (in-band
// SNR), then the strongest line from where the images begin (the input rate
// less 20 kHz) to 176.4 kHz against the tone (image rejection).
//
//   fir_images [--rates=R1,R2,...] [--tones=F1,F2,...]  (tones: every 250 Hz
//       from 250 Hz to 20 kHz unless given)
//   fir_images --raw=FILE --rate=R --tones=F   (FILE: the same measure of
//       another resampler's output, float32 stereo at 352.8 kHz, raw)
//
// One markdown table row per rate and tone on standard output.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "analyser.h"
#include "filtered_sine.h"
#include "fir.h"

namespace {

constexpr double kAmplitude = 0.5;
// Output frames dropped before the analysis: the filter's delay and more.
constexpr int64_t kSettleFrames = kOversampledRate / 8;
constexpr size_t kAnalysedFrames = size_t{1} << 17;  // 0.37 s, 2.7 Hz bins
constexpr double kBandTopHz = 20000;

bool parse_list(std::string_view text, std::vector<int64_t>* values) {
  values->clear();
  std::string list(text);
  size_t from = 0;
  while (from <= list.size()) {
    const size_t comma = std::min(list.find(',', from), list.size());
    const std::string item = list.substr(from, comma - from);
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(item.c_str(), &end, 10);
    if (item.empty() || *end != '\0' || errno != 0 || value <= 0) return false;
    values->push_back(value);
    from = comma + 1;
  }
  return !values->empty();
}

// The left channel of the filter's output for a sine of hz at rate.
std::vector<float> sine_through_new_filter(int64_t rate, int64_t hz) {
  fir_filter filter;
  fir_use_precise_path(filter);  // lumen -os's path
  fir_init(filter, static_cast<int32_t>(rate), kOversampledRate, 2, 0);
  std::vector<float> out = filtered_sine(filter, rate, hz, kAmplitude, kSettleFrames, kAnalysedFrames);
  if (out.empty()) {
    std::fprintf(stderr, "fir_images: the filter gave no output block at %lld Hz\n", static_cast<long long>(rate));
    std::exit(1);
  }
  return out;
}

// The left channel of a raw float32 stereo file, past the settling frames.
std::vector<float> raw_left(const char* path) {
  std::FILE* in = std::fopen(path, "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "fir_images: cannot read %s: %s\n", path, std::strerror(errno));
    std::exit(1);
  }
  std::vector<float> out;
  float frame[2];
  for (int64_t n = 0; out.size() < kAnalysedFrames && std::fread(frame, sizeof frame, 1, in) == 1; ++n) {
    if (n >= kSettleFrames) out.push_back(frame[0]);
  }
  std::fclose(in);
  if (out.size() < kAnalysedFrames) {
    std::fprintf(stderr, "fir_images: %s holds fewer than %zu frames past the first %lld\n", path, kAnalysedFrames,
                 static_cast<long long>(kSettleFrames));
    std::exit(1);
  }
  return out;
}

void print_row(const char* who, int64_t rate, int64_t hz, const std::vector<float>& left) {
  analyser_options band;
  band.tone_hz = static_cast<double>(hz);
  const analyser_result tone = analyser_run(left, kOversampledRate, band);
  analyser_options images;
  images.band_low_hz = static_cast<double>(rate) - kBandTopHz;
  images.band_high_hz = kOversampledRate / 2.0;
  const analyser_result image = analyser_run(left, kOversampledRate, images);
  std::printf("| %s | %.1f kHz | %.2f kHz | %+.3f dB | %.1f dB | %.1f dB at %.1f kHz |\n", who,
              static_cast<double>(rate) / 1000, static_cast<double>(hz) / 1000,
              tone.tone_dbfs - 20 * std::log10(kAmplitude), tone.snr_db, tone.tone_dbfs - image.tone_dbfs,
              image.tone_hz / 1000);
}

void usage() {
  std::fprintf(stderr,
               "usage: fir_images [--rates=R1,R2,...] [--tones=F1,F2,...]\n"
               "       fir_images --raw=FILE --rate=R --tones=F\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int64_t> rates = {44100, 96000};
  std::vector<int64_t> tones;
  for (int64_t hz = 250; hz <= 20000; hz += 250) tones.push_back(hz);
  const char* raw = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    bool ok = true;
    if (arg.starts_with("--rates=")) {
      ok = parse_list(arg.substr(8), &rates);
    } else if (arg.starts_with("--rate=")) {
      ok = parse_list(arg.substr(7), &rates) && rates.size() == 1;
    } else if (arg.starts_with("--tones=")) {
      ok = parse_list(arg.substr(8), &tones);
    } else if (arg.starts_with("--raw=")) {
      raw = argv[i] + 6;
    } else {
      ok = false;
    }
    if (!ok) usage();
  }
  for (const int64_t rate : rates) {
    if (rate < kFirLowestInputRate || rate > kFirHighestInputRate) usage();
  }
  if (raw != nullptr) {
    if (rates.size() != 1 || tones.size() != 1) usage();
    print_row(raw, rates[0], tones[0], raw_left(raw));
    return 0;
  }
  for (const int64_t rate : rates) {
    for (const int64_t hz : tones) {
      if (2 * hz < rate) print_row("fir_process", rate, hz, sine_through_new_filter(rate, hz));
    }
  }
  return 0;
}
