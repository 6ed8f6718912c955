// lumen's start-up, its readers and its two conversion steps: PCM samples to
// the output width (through the filter with -os), DSD bytes as DoP frames
// or native DSD words.
#include "lumen.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "alsathread.h"
#include "fir.h"
#include "dir2files.h"
#include "dsd_frame.h"
#include "dsf.h"
#include "parse_param.h"
#include "player.h"
#include "printable.h"
#include "sample_format.h"
#include "stream_constants.h"
#include "util.h"
#include "wav.h"
#ifdef LUMEN_WITH_FFMPEG
#include "ffmpeg_old.h"
#endif

namespace {

#ifdef LUMEN_WITH_FFMPEG
constexpr const char* kBanner =
    "by the Orvalis developers: bit-perfect PCM, DoP and native DSD for USB DACs.\n"
    "This program uses the FFmpeg libraries under the LGPL 2.1.";
#else
constexpr const char* kBanner = "by the Orvalis developers: bit-perfect PCM, DoP and native DSD for USB DACs.";
#endif

constexpr music_reader kReaders[] = {
    {wav_open, wav_read, nullptr, kInputWav, true},
    {dff_open, dff_read, nullptr, kInputDsdiff, true},
    {wsd_open, wsd_read, nullptr, kInputWsd, true},
    {dsf_open, dsf_read, nullptr, kInputDsf, true},
#ifdef LUMEN_WITH_FFMPEG
    {ffmpeg_open, ffmpeg_read, ffmpeg_close, kInputFfmpeg, false},
#endif
};

// How the steps lay out what they write: settled once the device is probed.
struct sample_layout {
  int32_t format = 0;
  int32_t sample_bytes = 0;  // physical width of the format / 8
  int32_t frame_bytes = 0;
  bool oversample = false;
  bool left_cut = false;
  bool right_cut = false;
  int32_t dop_marker_phase = 0;  // 0 is 0xFA; runs on over the whole list
};
sample_layout layout;
fir_filter filter;

void interrupt_handler(int) {
  if (repeated_interrupt()) fatal_error("Interrupt stack. Abort\n");
}

// f x 2^31 rounded toward zero, saturated to int32; NaN is silence.
int32_t float_to_int32(float f) {
  const float scaled = f * 2147483648.0f;
  if (!(scaled > -2147483648.0f)) return std::isnan(scaled) ? 0 : INT32_MIN;
  if (scaled >= 2147483648.0f) return INT32_MAX;
  return static_cast<int32_t>(scaled);
}

int32_t sample_value(const player& p, const uint8_t* bytes) {
  if (p.pcm.row != nullptr) return decode_sample(*p.pcm.row, bytes);
  return float_to_int32(decode_float_sample(p.current_file->sample_format == kFormatFloat_BE, bytes));
}

// One output sample: the top sample_bytes bytes of v, little-endian (S24_LE:
// the 24-bit value in the low three bytes of its container), or silence.
uint8_t* store_sample(int32_t v, bool cut, uint8_t* out) {
  const int32_t bytes = layout.sample_bytes;
  if (layout.format == kFormatS24_LE) v >>= 8;
  const auto word = static_cast<uint32_t>(cut ? 0 : v);
  const int32_t first = layout.format == kFormatS24_LE ? 0 : 4 - bytes;
  for (int32_t i = 0; i < bytes; ++i) *out++ = static_cast<uint8_t>(word >> (8 * (first + i)));
  return out;
}

uint8_t* store_frame(int32_t left, int32_t right, uint8_t* out) {
  return store_sample(right, layout.right_cut, store_sample(left, layout.left_cut, out));
}

// The frames one input frame becomes go into the ring buffer in one write
// (the step has made room for them).
void filter_pair(player& p, const float (&pair)[2]) {
  uint8_t frames[kFirBlockFrames * 2 * sizeof(int32_t)];
  uint8_t* out = frames;
  int32_t count = 0;
  const float* values = fir_process(filter, pair, &count);
  for (int32_t i = 0; values != nullptr && i + 1 < count; i += 2) {
    out = store_frame(float_to_int32(values[i]), float_to_int32(values[i + 1]), out);
  }
  ringbuffer_write(p.rb.get(), frames, static_cast<int32_t>(out - frames));
}

void convert_pcm_frame(player& p, const uint8_t* frame) {
  const int32_t sample_bytes = p.current_file->bytes_per_sample;
  const int32_t left = sample_value(p, frame), right = sample_value(p, frame + sample_bytes);
  if (layout.oversample) {
    filter_pair(p, {static_cast<float>(left) * 0x1p-31f, static_cast<float>(right) * 0x1p-31f});
    return;
  }
  uint8_t one[2 * sizeof(int32_t)];
  ringbuffer_write(p.rb.get(), one, static_cast<int32_t>(store_frame(left, right, one) - one));
}

// With -os the stream's last file's last frames are still inside the filter.
void end_of_stream(player& p, const music_file& last) {
  if (!layout.oversample || is_dsd(last)) return;
  player_flush_filter(p, static_cast<int32_t>(last.format.sample_rate), fir_delay_seconds(filter),
                      kFirBlockFrames * layout.frame_bytes, filter_pair);
}

bool convert_pcm_step(player& p) {
  return player_pcm_step(p, (layout.oversample ? kFirBlockFrames : 1) * layout.frame_bytes, convert_pcm_frame);
}

// One DSD read (L0 R0 L1 R1 ...) as frames: one native frame per 8 bytes,
// one DoP frame per 4. A short read still makes whole frames: the missing
// bytes are quiet DSD. False when playback stopped while waiting for room.
bool write_dsd_frames(player& p, std::span<const uint8_t> read, int32_t* frames_written) {
  uint8_t in[kDsdReadBytes];
  std::fill(std::copy(read.begin(), read.end(), in), std::end(in), kDsdQuietByte);
  const int32_t format = layout.format;
  const int32_t per_frame = format == kFormatDsdU32_BE ? 8 : 4;
  constexpr uint16_t kCutDop = dop_word(kDopSilenceByte, kDopSilenceByte);
  for (int32_t at = 0; at + per_frame <= kDsdReadBytes; at += per_frame) {
    uint8_t* out = player_frame_slot(p, layout.frame_bytes);
    if (out == nullptr) return false;
    const uint8_t* b = in + at;
    if (format == kFormatDsdU32_BE) {
      const uint8_t left[4] = {b[0], b[2], b[4], b[6]}, right[4] = {b[1], b[3], b[5], b[7]};
      store_native_frame(true, native_word(left), native_word(right), out);
    } else {
      const uint16_t l = layout.left_cut ? kCutDop : dop_word(b[0], b[2]);
      const uint16_t r = layout.right_cut ? kCutDop : dop_word(b[1], b[3]);
      store_dop_frame(format, l, r, kDopMarkers[layout.dop_marker_phase], out);
      layout.dop_marker_phase ^= 1;
    }
    ringbuffer_commit(p.rb.get(), layout.frame_bytes);
    ++*frames_written;
  }
  return true;
}

bool convert_dsd_step(player& p) {
  return player_dsd_step(p, layout.frame_bytes, layout.format == kFormatDsdU32_BE ? 1 : 2, write_dsd_frames);
}

convert_function prepare_file(player&, music_file& file, refusal* why) {
  // DSD goes out as DoP at a 16th of its rate.
  if (is_dsd(file)) {
    *why = rate_refusal(file, 16 * kLowestPcmRate, UINT32_MAX);
    return *why ? nullptr : convert_dsd_step;
  }
  *why = rate_refusal(file, kLowestPcmRate, kHighestPcmRate);
  if (*why) return nullptr;
  if (!pcm_samples_known(file)) {
    *why = refuse("Unsupported input format %d.\n", file.sample_format);
    return nullptr;
  }
  // The filter follows each file's rate; the output rate stays, so this
  // only switches its path.
  const channel_cuts cuts{.left = layout.left_cut, .right = layout.right_cut};
  if (layout.oversample &&
      !fir_init(filter, static_cast<int32_t>(file.format.sample_rate), kOversampledRate, 2, 0, cuts)) {
    *why = refuse("coeff filter initialize failed.\n");
    return nullptr;
  }
  return convert_pcm_step;
}

// The rate a file's samples run at: its DSD bit rate or its frame rate.
uint32_t file_rate(const music_file& file) { return file.format.sample_rate; }

// Files of one kind at one rate go out in one bit-perfect stream.
bool bit_perfect_together(const music_file& a, const music_file& b) {
  return is_dsd(a) == is_dsd(b) && file_rate(a) == file_rate(b);
}

// A bit-perfect stream carries files of one kind at one rate; oversampled,
// PCM files of any rate.
bool joins_stream(const music_file& streamed, const music_file& file) {
  return bit_perfect_together(streamed, file) || (layout.oversample && !is_dsd(file) && !is_dsd(streamed));
}

char device_name[kDeviceNameBytes];

// Probes the device for the stream `first` calls for and lays the frames out for it.
output_stream stream_for(player&, const music_file& first) {
  output_stream stream = lumen_output_stream(first, device_name, layout.oversample);
  probe_output(stream);
  lumen_lay_out(stream);
  return stream;
}

// --count: probes the files without a device; prints how many can be
// played and exits 0 when all of them can go out in one bit-perfect stream.
[[noreturn]] void count_playable_files(play_list& list) {
  int32_t playable = 0;
  bool one_stream = true;
  const music_file* first = nullptr;
  for (music_file& file : list.records) {
    if (file.index < 0) break;
    const recognition found = recognise_music_file(&file, kReaders);
    close_music_file(&file, found.reader);
    if (found.result != recognised::file) {
      one_stream = false;
      continue;
    }
    ++playable;
    if (first == nullptr) first = &file;
    one_stream = one_stream && bit_perfect_together(*first, file);
  }
  printf("%d\n", playable);
  fflush(stdout);
  exit_program(one_stream && playable > 0 ? 0 : 1);
}

}  // namespace

player_parts lumen_parts(bool oversample, bool left_cut, bool right_cut) {
  layout.oversample = oversample;
  layout.left_cut = left_cut;
  layout.right_cut = right_cut;
  return {.kind = player_kind::lumen,
          .readers = kReaders,
          .prepare_file = prepare_file,
          .end_of_stream = end_of_stream,
          .joins_stream = joins_stream,
          .stream_for = stream_for};
}

void lumen_lay_out(const output_stream& stream) {
  layout.format = stream.format;
  layout.frame_bytes = stream.frame_bytes;
  layout.sample_bytes = stream.frame_bytes / 2;
  layout.dop_marker_phase = 0;  // the lead-in ends on a whole marker pair
}

int lumen_main(int argc, char** argv) {
  install_interrupt_handler(interrupt_handler);
  raise_priority();
  parse_lumen_params(argc, argv, kBanner);
  if (params.first_file_index > argc) {
    print_usage(player_kind::lumen, argv[0]);
    fatal_error("argc is %d skip is %d\n", argc, params.first_file_index);
  }
#ifdef LUMEN_WITH_FFMPEG
  ffmpeg_init();
#endif
  snprintf(device_name, sizeof device_name, "%s", params.device_name);
  if (!params.count_only && device_name[0] == '\0' && !find_last_card(device_name)) {
    fatal_error("Output device is not defined.\n");
  }

  char** paths = dir2files_build(params.first_file_index, argc, argv);
  if (paths[0] == nullptr) fatal_error("no files found.\n");
  play_list list = make_play_list(paths);
  dir2files_release_result();
  dir2files_release_all();
  if (params.count_only) count_playable_files(list);

  player p;
  player_setup(p, lumen_parts(params.oversample != 0, params.left_cut != 0, params.right_cut != 0), list,
               params.silent != 0, params.mode_name);
  player_check_files(p);

  output_stream stream = stream_for(p, p.files[0]);

  player_prefill(p, player_buffer_bytes(params.buffer_size), stream.frame_bytes);
  player_play(p, stream);
  dsf_release();
  leave_key_mode();
  return 0;
}
