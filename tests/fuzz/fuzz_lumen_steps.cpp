// libFuzzer target: lumen's conversion of arbitrary bytes (see
// conversion_fuzz.h). The input's last byte also picks the output format
// among those a device may grant for the file's kind, oversampling and cut
// channels.
#include <cstdint>

#include "conversion_fuzz.h"
#include "fir.h"
#include "lumen.h"

namespace {

constexpr int32_t kPcmFormats[] = {kFormatS16_LE, kFormatS24_3LE, kFormatS24_LE, kFormatS32_LE};
constexpr int32_t kDsdFormats[] = {kFormatS32_LE, kFormatS24_3LE, kFormatS24_LE, kFormatDsdU32_BE};

// Bytes of one stereo frame of format.
int32_t frame_bytes(int32_t format) {
  switch (format) {
    case kFormatS16_LE: return 4;
    case kFormatS24_3LE: return 6;
    default: return 8;
  }
}

// The most frames the stream can hold: each DSD read one native or two DoP
// frames, PCM as it is or oversampled.
int64_t most_frames(const music_file& file, int32_t format, bool oversample) {
  if (is_dsd(file)) return most_dsd_reads(file) * (format == kFormatDsdU32_BE ? 1 : 2);
  return most_pcm_frames(file, oversample);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t choice = data[size - 1];
  const bool oversample = (choice & 4) != 0;
  // The filter is kept from run to run, as the player keeps it from file to
  // file: designing it for a rate costs more than a run. Every run ends with
  // the filter's tail, which leaves its history silent.
  static lumen_run run;
  player_parts parts = lumen_parts(run, oversample, (choice & 8) != 0, (choice & 16) != 0);
  parts.readers = kStreamReaders;
  return fuzz_conversion(data, size, parts, [&](const music_file& first) {
    output_stream stream;
    stream.format = (is_dsd(first) ? kDsdFormats : kPcmFormats)[choice & 3];
    stream.frame_bytes = frame_bytes(stream.format);
    lumen_lay_out(run, stream);
    const bool dop = is_dsd(first) && stream.format != kFormatDsdU32_BE;
    return stream_checks{stream.format, stream.frame_bytes, dop, most_frames(first, stream.format, oversample)};
  });
}
