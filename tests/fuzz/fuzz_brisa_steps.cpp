// libFuzzer target: brisa's conversion of arbitrary bytes (see
// conversion_fuzz.h). The input's last byte also picks the output format,
// the modulator level, the filter list, cut channels and the volume.
#include <cstdint>

#include "conversion_fuzz.h"
#include "deltasigma.h"
#include "fir.h"
#include "playmain.h"

namespace {

constexpr int32_t kFormats[] = {kFormatS32_LE, kFormatS24_3LE, kFormatDsdU32_LE, kFormatDsdU32_BE};
constexpr int32_t kLevels[] = {1, 2, 7, 7};

// The most frames the stream can hold: PCM at 352.8 kHz, DSD re-modulated
// at the rate ratio (DoP: 4 bytes a frame at half the ratio; native: 8 at
// the ratio).
int64_t most_frames(const music_file& file) {
  if (is_dsd(file)) return most_dsd_reads(file) * (kNativeDsdBitRate / file.format.sample_rate);
  return most_pcm_frames(file, file.format.sample_rate != kOversampledRate);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t choice = data[size - 1];
  // The filter is kept from run to run, as the player keeps it from file to
  // file: designing it for a rate costs more than a run. Every run ends with
  // the filter's tail, which leaves its history silent. The filter list is
  // chosen when it is first set up.
  static brisa_run run;
  const bool short_filter = (choice >> 4 & 1) != 0;
  if (short_filter != run.short_filter) fir_release(run.filter);
  reset_modulators(run.modulators);
  select_modulator_level(run.modulators, kLevels[choice >> 2 & 3]);
  set_volume(run.modulators, (choice & 0x80) != 0 ? -6 : 0);

  output_stream stream;
  stream.format = kFormats[choice & 3];
  stream.frame_bytes = dsd_frame_bytes(stream.format);
  player_parts parts = brisa_parts(run, (choice & 0x20) != 0, (choice & 0x40) != 0, short_filter);
  brisa_lay_out(run, stream);
  parts.readers = kStreamReaders;
  return fuzz_conversion(data, size, parts, [&](const music_file& first) {
    return stream_checks{stream.format, stream.frame_bytes, is_dop_format(stream.format), most_frames(first)};
  });
}
