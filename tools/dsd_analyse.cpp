// dsd_analyse: measures a captured one-bit stream (or PCM: float, or the
// 32-bit frames a player sends): level and frequency of the strongest tone,
// in-band SNR, optionally the spectrum as text columns. --demo-spectra
// modulates a -6 dBFS 1 kHz sine at levels 1, 2 and 7 itself and writes
// their spectra side by side for plotting.
//
//   dsd_analyse [options] FILE
//     --layout=raw|mono|u32le|u32be|dop3|dop4|float|s32le   input layout (raw)
//     --channel=0|1     which channel of a stereo layout (0, left)
//     --rate=HZ         one-bit rate per channel, or the PCM sample rate
//                       (raw/mono: 2822400; u32: 11289600; dop: 5644800;
//                       float, s32le: 352800)
//     --tone=HZ         measure this tone instead of the strongest
//     --band=LOW,HIGH   in-band limits (20,20000)
//     --spectrum=OUT    write "frequency dBFS" per bin to OUT
//     --skip=SECONDS    leave out the start (a player's silent preroll)
//     --length=SECONDS  analyse at most this much after it (a shorter FFT;
//                       at most 2^24 samples in any case)
//   dsd_analyse --demo-spectra=OUT
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
#include <string>
#include <string_view>
#include <vector>

#include "analyser.h"
#include "deltasigma.h"
#include "stream_constants.h"

namespace {

constexpr int64_t kMaxBits = int64_t{1} << 24;  // analysed at most: 1.5 s at 11.2896 MHz

// float32 is mono float PCM, s32le stereo signed 32-bit PCM (full scale 2^31).
enum class layout { raw, mono, u32le, u32be, dop3, dop4, float32, s32le };

struct file_closer {
  void operator()(FILE* f) const noexcept { std::fclose(f); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

[[noreturn]] void usage_error(const char* message, const char* detail = "") {
  std::fprintf(stderr, "dsd_analyse: %s%s\n", message, detail);
  std::fprintf(stderr,
               "usage: dsd_analyse [--layout=raw|mono|u32le|u32be|dop3|dop4|float|s32le] [--channel=0|1]\n"
               "                   [--rate=HZ] [--tone=HZ] [--band=LOW,HIGH] [--spectrum=OUT] [--skip=SECONDS]\n"
               "                   [--length=SECONDS] FILE\n"
               "       dsd_analyse --demo-spectra=OUT\n");
  std::exit(2);
}

bool parse_double(const char* text, double* value) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

// The DSD bytes of one channel, in time order, from one frame of the
// layout. Frame layouts (bytes in memory):
//   raw   L R                      mono  B
//   u32le L3 L2 L1 L0 R3 R2 R1 R0  u32be L0 L1 L2 L3 R0 R1 R2 R3
//   dop3  L1 L0 m R1 R0 m          dop4  0 L1 L0 m 0 R1 R0 m
void channel_bytes(layout lay, const uint8_t* frame, int ch, std::vector<uint8_t>& out) {
  switch (lay) {
    case layout::raw: out.push_back(frame[ch]); break;
    case layout::mono: out.push_back(frame[0]); break;
    case layout::u32le:
      for (int i = 3; i >= 0; --i) out.push_back(frame[4 * ch + i]);
      break;
    case layout::u32be:
      for (int i = 0; i < 4; ++i) out.push_back(frame[4 * ch + i]);
      break;
    case layout::dop3:
      out.push_back(frame[3 * ch + 1]);
      out.push_back(frame[3 * ch]);
      break;
    case layout::dop4:
      out.push_back(frame[4 * ch + 2]);
      out.push_back(frame[4 * ch + 1]);
      break;
    case layout::float32:
    case layout::s32le: break;
  }
}

constexpr size_t frame_bytes(layout lay) {
  switch (lay) {
    case layout::raw: return 2;
    case layout::mono: return 1;
    case layout::dop3: return 6;
    case layout::float32: return 4;
    default: return 8;
  }
}

// DSD bytes one frame of the layout carries per channel.
constexpr size_t channel_bytes_per_frame(layout lay) {
  switch (lay) {
    case layout::raw:
    case layout::mono: return 1;
    case layout::u32le:
    case layout::u32be: return 4;
    default: return 2;
  }
}

constexpr double default_rate(layout lay) {
  switch (lay) {
    case layout::u32le:
    case layout::u32be: return kNativeDsdBitRate;
    case layout::dop3:
    case layout::dop4: return 5644800;
    case layout::float32:
    case layout::s32le: return kOversampledRate;
    default: return 2822400;
  }
}

void print_result(const analyser_result& r) {
  std::printf("samples analysed: %.0f at %.0f Hz (bin %.3f Hz)\n", r.sample_rate / r.bin_hz, r.sample_rate, r.bin_hz);
  std::printf("tone: %.2f dBFS at %.1f Hz\n", r.tone_dbfs, r.tone_hz);
  std::printf("in-band noise: %.2f dBFS\n", r.noise_dbfs);
  std::printf("SNR: %.2f dB\n", r.snr_db);
  std::printf("DC: %.6f\n", r.dc);
}

bool write_spectrum(const char* path, const analyser_result& r) {
  file_ptr out(std::fopen(path, "w"));
  if (!out) return false;
  std::fprintf(out.get(), "# frequency_hz dbfs_per_bin (bin %.4f Hz)\n", r.bin_hz);
  for (size_t k = 1; k < r.spectrum_db.size(); ++k) {
    std::fprintf(out.get(), "%.3f %.2f\n", static_cast<double>(k) * r.bin_hz, r.spectrum_db[k]);
  }
  return std::ferror(out.get()) == 0;
}

// Modulates a -6 dBFS 1 kHz sine at each level (32 bits per sample) and
// writes "frequency level1 level2 level7" rows, averaged over 1/12 octave
// from 100 Hz to 5 MHz, dB per bin of the FFT.
int demo_spectra(const char* path) {
  constexpr int64_t kSamples = 1 << 17;  // 4 Mi bits; the first quarter is skipped
  std::vector<std::vector<std::pair<double, double>>> curves;
  for (int32_t lev : {1, 2, 7}) {
    delta_sigma modulators;
    select_modulator_level(modulators, lev);
    std::vector<float> stream;
    stream.reserve(static_cast<size_t>(kSamples) * 32);
    for (int64_t i = 0; i < kSamples; ++i) {
      const double x = 0.5 * std::sin(2 * std::numbers::pi * 1000.0 * static_cast<double>(i) / kOversampledRate);
      analyser_append_word(stream, pcm_modulator(modulators, 0, 32, static_cast<float>(x)), 32);
    }
    analyser_options options;
    options.tone_hz = 1000;
    options.keep_spectrum = true;
    const std::span<const float> tail = std::span<const float>(stream).subspan(stream.size() / 4);
    const analyser_result r = analyser_run(tail, kNativeDsdBitRate, options);
    std::printf("level %d: tone %.2f dBFS, in-band noise %.2f dBFS, SNR %.2f dB\n", lev, r.tone_dbfs, r.noise_dbfs,
                r.snr_db);
    curves.push_back(analyser_smooth_spectrum(r, 100, 5e6, 12));
  }
  file_ptr out(std::fopen(path, "w"));
  if (!out) {
    std::fprintf(stderr, "dsd_analyse: cannot write %s: %s\n", path, std::strerror(errno));
    return 1;
  }
  std::fprintf(out.get(), "# frequency_hz level1_db level2_db level7_db (dBFS per bin, -6 dBFS 1 kHz sine)\n");
  for (size_t i = 0; i < curves[0].size() && i < curves[1].size() && i < curves[2].size(); ++i) {
    std::fprintf(out.get(), "%.1f %.2f %.2f %.2f\n", curves[0][i].first, curves[0][i].second, curves[1][i].second,
                 curves[2][i].second);
  }
  return std::ferror(out.get()) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  layout lay = layout::raw;
  int channel = 0;
  double rate = 0;
  analyser_options options;
  const char* spectrum_path = nullptr;
  const char* input_path = nullptr;
  double skip_seconds = 0;
  double length_seconds = 0;  // 0: as much as kMaxBits allows
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&](std::string_view prefix) -> const char* {
      return arg.starts_with(prefix) ? argv[i] + prefix.size() : nullptr;
    };
    if (const char* v = value("--demo-spectra=")) return demo_spectra(v);
    if (const char* layout_name = value("--layout=")) {
      const std::string_view name = layout_name;
      if (name == "raw")
        lay = layout::raw;
      else if (name == "mono")
        lay = layout::mono;
      else if (name == "u32le")
        lay = layout::u32le;
      else if (name == "u32be")
        lay = layout::u32be;
      else if (name == "dop3")
        lay = layout::dop3;
      else if (name == "dop4")
        lay = layout::dop4;
      else if (name == "float")
        lay = layout::float32;
      else if (name == "s32le")
        lay = layout::s32le;
      else
        usage_error("unknown layout ", layout_name);
    } else if (const char* channel_text = value("--channel=")) {
      if (std::strcmp(channel_text, "0") != 0 && std::strcmp(channel_text, "1") != 0)
        usage_error("channel must be 0 or 1");
      channel = channel_text[0] - '0';
    } else if (const char* rate_text = value("--rate=")) {
      if (!parse_double(rate_text, &rate) || rate <= 0) usage_error("bad rate ", rate_text);
    } else if (const char* tone_text = value("--tone=")) {
      if (!parse_double(tone_text, &options.tone_hz) || options.tone_hz <= 0) usage_error("bad tone ", tone_text);
    } else if (const char* band_text = value("--band=")) {
      std::string text = band_text;
      const size_t comma = text.find(',');
      if (comma == std::string::npos || !parse_double(text.substr(0, comma).c_str(), &options.band_low_hz) ||
          !parse_double(text.substr(comma + 1).c_str(), &options.band_high_hz) || options.band_low_hz < 0 ||
          options.band_high_hz <= options.band_low_hz) {
        usage_error("bad band ", band_text);
      }
    } else if (const char* skip_text = value("--skip=")) {
      if (!parse_double(skip_text, &skip_seconds) || skip_seconds < 0) usage_error("bad skip ", skip_text);
    } else if (const char* length_text = value("--length=")) {
      if (!parse_double(length_text, &length_seconds) || length_seconds <= 0) usage_error("bad length ", length_text);
    } else if (const char* spectrum_text = value("--spectrum=")) {
      spectrum_path = spectrum_text;
      options.keep_spectrum = true;
    } else if (arg.starts_with("-")) {
      usage_error("unknown option ", argv[i]);
    } else if (input_path) {
      usage_error("more than one input file");
    } else {
      input_path = argv[i];
    }
  }
  if (!input_path) usage_error("no input file");
  if (rate == 0) rate = default_rate(lay);

  file_ptr in(std::fopen(input_path, "rb"));
  if (!in) {
    std::fprintf(stderr, "dsd_analyse: cannot open %s: %s\n", input_path, std::strerror(errno));
    return 1;
  }
  std::vector<float> samples;
  const size_t frame = frame_bytes(lay);
  const bool pcm = lay == layout::float32 || lay == layout::s32le;
  // Samples a frame carries per channel: one PCM sample, else 8 bits a DSD byte.
  const double samples_per_frame = pcm ? 1.0 : 8.0 * static_cast<double>(channel_bytes_per_frame(lay));
  const auto skip_frames = static_cast<off_t>(skip_seconds * rate / samples_per_frame);
  const int64_t max_samples =
      length_seconds > 0 ? std::clamp<int64_t>(std::llround(length_seconds * rate), 1, kMaxBits) : kMaxBits;
  if (skip_frames > 0 && fseeko(in.get(), skip_frames * static_cast<off_t>(frame), SEEK_SET) != 0) {
    std::fprintf(stderr, "dsd_analyse: cannot skip into %s\n", input_path);
    return 1;
  }
  std::vector<uint8_t> buffer(frame * 4096);
  std::vector<uint8_t> bytes;
  size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0) {
    const size_t frames = got / frame;  // a partial frame at the end is dropped
    for (size_t f = 0; f < frames; ++f) {
      const uint8_t* p = buffer.data() + f * frame;
      if (lay == layout::float32) {
        float x;
        std::memcpy(&x, p, sizeof x);
        samples.push_back(std::isfinite(x) ? x : 0.0f);
      } else if (lay == layout::s32le) {
        const uint8_t* s = p + 4 * channel;
        const uint32_t bits = uint32_t{s[0]} | uint32_t{s[1]} << 8 | uint32_t{s[2]} << 16 | uint32_t{s[3]} << 24;
        samples.push_back(static_cast<float>(static_cast<double>(static_cast<int32_t>(bits)) * 0x1p-31));
      } else {
        channel_bytes(lay, p, channel, bytes);
      }
    }
    if (static_cast<int64_t>(bytes.size()) * 8 >= max_samples || static_cast<int64_t>(samples.size()) >= max_samples) {
      break;
    }
  }
  if (std::ferror(in.get())) {
    std::fprintf(stderr, "dsd_analyse: cannot read %s: %s\n", input_path, std::strerror(errno));
    return 1;
  }
  if (pcm) {
    samples.resize(std::min(samples.size(), static_cast<size_t>(max_samples)));
  } else {
    samples = analyser_bits_from_bytes(bytes, max_samples);
  }
  const analyser_result r = analyser_run(samples, rate, options);
  if (r.sample_rate == 0) {
    std::fprintf(stderr, "dsd_analyse: %s: too short (%zu samples, at least 1024 needed)\n", input_path,
                 samples.size());
    return 1;
  }
  print_result(r);
  if (spectrum_path && !write_spectrum(spectrum_path, r)) {
    std::fprintf(stderr, "dsd_analyse: cannot write %s\n", spectrum_path);
    return 1;
  }
  return 0;
}
