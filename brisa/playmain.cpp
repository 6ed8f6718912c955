// brisa's start-up, its readers and its two conversion steps: PCM through the
// filter and the modulators, DSD re-modulated at the rate ratio, both packed
// as native DSD words or DoP frames.
#include "playmain.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <span>

#include "alsathread.h"
#include "fir.h"
#include "deltasigma.h"
#include "dir2files.h"
#include "dsd_frame.h"
#include "dsf.h"
#include "ffmpeg_old.h"
#include "parse_param.h"
#include "player.h"
#include "printable.h"
#include "sample_format.h"
#include "stream_constants.h"
#include "util.h"
#include "wav.h"

namespace {

constexpr int32_t kDsdMaxRatio = 4;

constexpr const char* kBanner =
    "by the Orvalis developers: PCM and DSD to one-bit DSD for USB DACs.\n"
    "This program uses the FFmpeg libraries under the LGPL 2.1.";

constexpr music_reader kReaders[] = {
    {wav_open, wav_read, nullptr, kInputWav, true},
    {dff_open, dff_read, nullptr, kInputDsdiff, true},
    {wsd_open, wsd_read, nullptr, kInputWsd, true},
    {dsf_open, dsf_read, nullptr, kInputDsf, true},
    {ffmpeg_open, ffmpeg_read, ffmpeg_close, kInputFfmpeg, false},
};

// How the steps lay out what they write: settled once the device is probed.
struct frame_layout {
  int32_t format = 0;
  int32_t frame_bytes = 0;
  bool dop = false;
  bool big_endian = false;  // native words, earliest byte first (DSD_U32_BE)
  bool left_cut = false;
  bool right_cut = false;
  int32_t dsd_ratio = 0;  // of the DSD file being converted
  // One marker phase for the whole stream, preroll included: 0 is 0xFA.
  int32_t dop_marker_phase = 0;
};
frame_layout layout;
fir_filter filter;
delta_sigma modulators;
volume_keys keys;

void interrupt_handler(int) {
  if (repeated_interrupt()) fatal_error("Interrupt stack. Abort\n");
}

uint8_t next_dop_marker() {
  const uint8_t marker = kDopMarkers[layout.dop_marker_phase];
  layout.dop_marker_phase ^= 1;
  return marker;
}

// Packs oversampled values (left/right pairs) into output frames, written
// in place at the ring buffer's write position: the modulators fill a block
// of words, the frames go into the contiguous writable area, and each run
// is committed at once (a frame never straddles the end of the data area,
// whose length is whole frames). The caller has made room for all of them.
void pack_values(ringbuffer* rb, std::span<const float> values) {
  const int32_t format = layout.format;
  const int32_t frame = layout.frame_bytes;
  std::array<uint32_t, kFirBlockFloats> words;
  while (values.size() >= 2) {
    const std::span<uint8_t> area = ringbuffer_write_area(rb);
    const size_t frames = std::min({values.size() / 2, words.size() / 2, area.size() / frame});
    if (frames == 0) return;  // no room after all: nothing is written
    pcm_modulate_block(modulators, layout.dop ? 16 : 32, values.first(2 * frames), words);
    uint8_t* out = area.data();
    // The layout is chosen once per run, not per frame.
    const auto store_frames = [&](auto store_frame) {
      for (size_t i = 0; i < 2 * frames; i += 2, out += frame) store_frame(words[i], words[i + 1], out);
    };
    if (layout.dop) {
      store_frames([format](uint32_t left, uint32_t right, uint8_t* at) {
        store_dop_frame(format, static_cast<uint16_t>(left), static_cast<uint16_t>(right), next_dop_marker(), at);
      });
    } else if (layout.big_endian) {
      store_frames([](uint32_t left, uint32_t right, uint8_t* at) { store_native_frame(true, left, right, at); });
    } else {
      store_frames([](uint32_t left, uint32_t right, uint8_t* at) { store_native_frame(false, left, right, at); });
    }
    ringbuffer_commit(rb, static_cast<int32_t>(frames) * frame);
    values = values.subspan(2 * frames);
  }
}

// A sample as a float in [-1, 1); a non-finite float sample is silence
// (it would poison the filter's accumulators for the rest of the run).
float sample_value(const player& p, const uint8_t* bytes) {
  if (p.pcm.row != nullptr) return static_cast<float>(decode_sample(*p.pcm.row, bytes)) * 0x1p-31f;
  const float value = decode_float_sample(p.current_file->sample_format == kFormatFloat_BE, bytes);
  return std::isfinite(value) ? value : 0.0f;
}

bool filtered(const music_file& file) {
  return !is_dsd(file) && file.format.sample_rate != static_cast<uint32_t>(kOversampledRate);
}

void filter_pair(player& p, const float (&pair)[2]) {
  int32_t count = 0;
  const float* values = fir_process(filter, pair, &count);
  if (values != nullptr) pack_values(p.rb.get(), {values, static_cast<size_t>(count)});
}

// One stereo frame through the filter (unless it is at the output rate
// already) and the modulators.
void convert_pcm_frame(player& p, const uint8_t* frame) {
  const int32_t sample_bytes = p.current_file->bytes_per_sample;
  const float pair[2] = {sample_value(p, frame), sample_value(p, frame + sample_bytes)};
  if (filtered(*p.current_file)) {
    filter_pair(p, pair);
  } else {
    pack_values(p.rb.get(), pair);
  }
}

// The last file's last frames are still inside the filter.
void end_of_stream(player& p, const music_file& last) {
  if (!filtered(last)) return;
  player_flush_filter(p, static_cast<int32_t>(last.format.sample_rate), fir_delay_seconds(filter),
                      kFirBlockFrames * layout.frame_bytes, filter_pair);
}

bool convert_pcm_step(player& p) {
  return player_pcm_step(p, kFirBlockFrames * layout.frame_bytes, convert_pcm_frame);
}

// The rate ratio of a DSD file for the output format; 0 when there is none.
int32_t dsd_ratio(const music_file& file) {
  const uint32_t rate = file.format.sample_rate;
  const bool known = rate == kNativeDsdBitRate / 4 || rate == kNativeDsdBitRate / 2 || rate == kNativeDsdBitRate;
  const int32_t ratio = known ? static_cast<int32_t>(kNativeDsdBitRate / rate) : 0;
  return layout.dop ? ratio / 2 : ratio;
}

// Re-modulates one read at the rate ratio and writes the bytes (interleaved
// left/right) as frames; false when playback stopped while waiting for room.
bool write_dsd_frames(player& p, std::span<const uint8_t> read, int32_t* frames_written) {
  uint8_t bytes[kDsdReadBytes * kDsdMaxRatio];
  const auto count = static_cast<int32_t>(read.size());
  dsd_modulator(modulators, read.data(), bytes, count, layout.dsd_ratio);
  const int32_t format = layout.format;
  const int32_t per_frame = layout.dop ? 4 : 8;  // modulated bytes per frame
  constexpr uint16_t kCutDop = dop_word(kDsdPaddingByte, kDsdPaddingByte);
  for (int32_t at = 0; at + per_frame <= count * layout.dsd_ratio; at += per_frame) {
    uint8_t* out = player_frame_slot(p, layout.frame_bytes);
    if (out == nullptr) return false;
    const uint8_t* in = bytes + at;
    if (layout.dop) {
      const uint16_t left = layout.left_cut ? kCutDop : dop_word(in[0], in[2]);
      const uint16_t right = layout.right_cut ? kCutDop : dop_word(in[1], in[3]);
      store_dop_frame(format, left, right, next_dop_marker(), out);
    } else {
      const uint8_t left[4] = {in[0], in[2], in[4], in[6]}, right[4] = {in[1], in[3], in[5], in[7]};
      store_native_frame(layout.big_endian, native_word(left), native_word(right), out);
    }
    ringbuffer_commit(p.rb.get(), layout.frame_bytes);
    ++*frames_written;
  }
  return true;
}

bool convert_dsd_step(player& p) {
  if (p.current_file->index < 0) return false;
  layout.dsd_ratio = dsd_ratio(*p.current_file);
  // Frames one read becomes: 2 bytes a channel per DoP frame, 4 native.
  const int32_t frames_per_read = kDsdReadBytes * layout.dsd_ratio / (layout.dop ? 4 : 8);
  return player_dsd_step(p, layout.frame_bytes, frames_per_read, write_dsd_frames);
}

convert_function prepare_file(player&, music_file& file, refusal* why) {
  if (is_dsd(file)) {
    // A rate with no ratio is refused before any sound.
    if (dsd_ratio(file) != 0) return convert_dsd_step;
    *why = refuse("illegal input-output format pair: %s is DSD at %uHz, the output %s at %dHz.\n",
                  printable(file.file_name).c_str(), file.format.sample_rate, layout.dop ? "DoP" : "native DSD",
                  layout.dop ? kNativeDsdBitRate / 2 : kNativeDsdBitRate);
    return nullptr;
  }
  if (!pcm_samples_known(file)) {
    *why = refuse("input format %d not match.", file.sample_format);
    return nullptr;
  }
  *why = rate_refusal(file, kFirLowestInputRate, kFirHighestInputRate);
  if (*why) return nullptr;
  // The filter follows each file's rate; the output rate stays, so this
  // only switches the path, it resets nothing.
  const channel_cuts cuts{.left = layout.left_cut, .right = layout.right_cut};
  if (file.format.sample_rate != static_cast<uint32_t>(kOversampledRate) &&
      !fir_init(filter, static_cast<int32_t>(file.format.sample_rate), kOversampledRate, 2, params.short_filter,
                cuts)) {
    *why = refuse("coeff filter initialize failed.\n");
    return nullptr;
  }
  return convert_pcm_step;
}

bool on_key(int key) {
  const auto request = volume_key_request(keys, key, params.volume_db);
  if (!request) return false;
  params.volume_db = set_volume(modulators, *request);
  return true;
}

int32_t shown_volume() { return params.volume_db; }

}  // namespace

fir_filter& brisa_filter() { return filter; }

delta_sigma& brisa_modulators() { return modulators; }

player_parts brisa_parts(bool left_cut, bool right_cut) {
  layout.left_cut = left_cut;
  layout.right_cut = right_cut;
  return {.kind = player_kind::brisa,
          .readers = kReaders,
          .prepare_file = prepare_file,
          .volume_db = shown_volume,
          .end_of_stream = end_of_stream,
          .on_key = on_key};
}

void brisa_lay_out(const output_stream& stream) {
  layout.format = stream.format;
  layout.frame_bytes = stream.frame_bytes;
  layout.dop = is_dop_format(stream.format);
  layout.big_endian = stream.format == kFormatDsdU32_BE;
  layout.dop_marker_phase = 0;
}

int brisa_main(int argc, char** argv) {
  install_interrupt_handler(interrupt_handler);
  raise_priority();
  parse_brisa_params(argc, argv,
                     {[](int32_t level) { return select_modulator_level(modulators, level); }, select_dop,
                      [](int32_t db) { return set_volume(modulators, db); }},
                     kBanner);
  if (params.first_file_index > argc) {
    print_usage(player_kind::brisa, argv[0]);
    fatal_error("argc is %d skip is %d\n", argc, params.first_file_index);
  }
  ffmpeg_init();
  const dac_choice dac = choose_dac(params.device_name);
  if (dac.device_name[0] == '\0') fatal_error("DeltaSigma direct output device is not found.\n");

  char** paths = dir2files_build(params.first_file_index, argc, argv);
  if (paths[0] == nullptr) fatal_error("no files found.\n");
  raise_priority();
  const int32_t buffer_bytes = player_buffer_bytes(params.buffer_size);
  play_list list = make_play_list(paths);
  dir2files_release_result();
  dir2files_release_all();

  player p;
  player_setup(p, brisa_parts(params.left_cut != 0, params.right_cut != 0), list, params.silent != 0,
               params.mode_name);
  player_check_files(p);

  output_stream stream = dsd_output_stream(dac);
  probe_output(stream, !params.silent);
  brisa_lay_out(stream);

  // Two frames a unit, so the buffer's length is a whole number of DoP marker pairs.
  player_prefill(p, buffer_bytes, 2 * stream.frame_bytes);
  if (strncmp(dac.device_name, "hw:", 3) != 0) {
    printf("mode alsa device name %s illegal\nauto search device.\n", printable(dac.device_name).c_str());
  }
  player_play(p, stream);
  dsf_release();
  leave_key_mode();
  return 0;
}
