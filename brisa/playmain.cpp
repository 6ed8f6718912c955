// brisa: plays every PCM file as a one-bit delta-sigma stream (native DSD or
// DoP) and re-modulates DSD files to its output rate. Start-up, play list,
// format dispatch, the two conversion steps, main loop and drain.
#include "playmain.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cinttypes>
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
#include "pcm_block.h"
#include "pcm_output.h"
#include "sample_format.h"
#include "util.h"
#include "wav.h"

player_state state;

namespace {

constexpr int32_t kDefaultBufferBytes = 1572864;
constexpr int32_t kPrefillPercent = 80;
constexpr int32_t kDsdBudgetFrames = 3528;
constexpr int32_t kDsdMinFreeFrames = 352;
constexpr int32_t kDsdReadBytes = 8;  // four bytes per channel
constexpr int32_t kDsdMaxRatio = 4;
constexpr int32_t kNativeBitRate = 32 * kOutputRate;  // 11.2896 MHz

constexpr const char* kBanner =
    "by the Orvalis developers: PCM and DSD to one-bit DSD for USB DACs.\n"
    "This program uses the FFmpeg libraries under the LGPL 2.1.";

pcm_block pcm;

// One marker phase for the whole stream, preroll included: 0 is 0xFA.
int32_t dop_marker_phase = 0;

int32_t progress_seconds_shown = -1;

// Set once the output thread runs: until then the ring buffer only fills.
bool output_started = false;

void interrupt_handler(int) {
  if (repeated_interrupt()) fatal_error("Interrupt stack. Abort\n");
}

// Moves on to the next file of the list; past the last one current_file is
// the terminator and the steps have nothing more to do.
int32_t change_file() {
  music_file* file = state.current_file;
  if (file->index < 0) return -1;
  close_music_file(file);
  state.current_file = file->next;
  if (state.current_file->index >= 0) {
    ringbuffer_mark_file(state.rb.get(), state.current_file->index);
    open_music_file(state.current_file);
  }
  return -1;
}

uint8_t next_dop_marker() {
  const uint8_t marker = kDopMarkers[dop_marker_phase];
  dop_marker_phase ^= 1;
  return marker;
}

// Packs oversampled values (left/right pairs) into output frames, written
// in place at the ring buffer's write position: the modulators fill a block
// of words, the frames go into the contiguous writable span, and each run
// is committed at once (a frame never straddles the end of the data area,
// whose length is whole frames). The caller has made room for all of them.
void pack_values(std::span<const float> values) {
  const int32_t format = output.output_format;
  const bool dop = is_dop_format(format);
  const bool big_endian = output.swap_words != 0;
  const int32_t frame = output_frame_bytes();
  ringbuffer* rb = state.rb.get();
  std::array<uint32_t, kFirBlockFloats> words;
  while (values.size() >= 2) {
    const size_t room = static_cast<size_t>(ringbuffer_writable_span(rb) / frame);
    const size_t frames = std::min({values.size() / 2, words.size() / 2, room});
    if (frames == 0) return;  // no room after all: nothing is written
    pcm_modulate_block(dop ? 16 : 32, values.first(2 * frames), words);
    uint8_t* out = rb->data + rb->write_pos.load(std::memory_order_relaxed);
    // The layout is chosen once per run, not per frame.
    const auto store_frames = [&](auto store_frame) {
      for (size_t i = 0; i < 2 * frames; i += 2, out += frame) store_frame(words[i], words[i + 1], out);
    };
    if (dop) {
      store_frames([format](uint32_t left, uint32_t right, uint8_t* at) {
        store_dop_frame(format, static_cast<uint16_t>(left), static_cast<uint16_t>(right), next_dop_marker(), at);
      });
    } else if (big_endian) {
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
float sample_value(const uint8_t* bytes) {
  if (pcm.row != nullptr) return static_cast<float>(decode_sample(*pcm.row, bytes)) * 0x1p-31f;
  const float value = decode_float_sample(state.current_file->sample_format == kFormatFloat_BE, bytes);
  return std::isfinite(value) ? value : 0.0f;
}

// PCM files: a block of samples through the FIR filter and the modulators.
// 0 when there was nothing to do, -1 otherwise.
int32_t convert_pcm_step() {
  music_file* file = state.current_file;
  if (abort_requested.load() || file->index < 0) return 0;
  if (pcm.pending <= 0 && !pcm_block_read(pcm, file, state.read)) {
    pcm = {};
    return change_file();
  }
  if (pcm.row == nullptr && file->sample_format != kFormatFloat_LE && file->sample_format != kFormatFloat_BE) {
    pcm.row = find_sample_descriptor(file->sample_format);
    if (pcm.row == nullptr) fatal_error("input format %d not match.", file->sample_format);
  }
  const int32_t sample_bytes = file->bytes_per_sample;
  // Room for everything one input frame can become, so packing never waits
  // half-way; before playback starts nothing frees room, so stop there.
  const int32_t room_per_frame = kFirBlockFrames * output_frame_bytes();
  while (pcm.pending > 0) {
    if (ringbuffer_space(state.rb.get()) < room_per_frame && (!output_started || !ringbuffer_wait_space(state.rb.get(), room_per_frame))) {
      return -1;
    }
    const uint8_t* frame = pcm_block_next_frame(pcm, sample_bytes);
    if (frame == nullptr) break;
    const float pair[2] = {sample_value(frame), sample_value(frame + sample_bytes)};
    if (file->format.sample_rate == static_cast<uint32_t>(kOutputRate)) {
      pack_values(pair);
      continue;
    }
    int32_t count = 0;
    const float* values = fir_process(pair, &count);
    if (values != nullptr) pack_values({values, static_cast<size_t>(count)});
  }
  return -1;
}

// The rate ratio of a DSD file for the output format; fatal when there is none.
int32_t dsd_ratio(const music_file* file) {
  const uint32_t rate = file->format.sample_rate;
  const bool known = rate == kNativeBitRate / 4 || rate == kNativeBitRate / 2 || rate == kNativeBitRate;
  int32_t ratio = known ? static_cast<int32_t>(kNativeBitRate / rate) : 0;
  if (is_dop_format(output.output_format)) ratio /= 2;
  if (ratio == 0) fatal_error("illegal input-output format pair.\n");
  return ratio;
}

// Writes the re-modulated bytes (interleaved left/right) as frames; false
// when playback stopped while waiting for room.
bool write_dsd_frames(const uint8_t* bytes, int32_t count, int32_t* frames_written) {
  const int32_t format = output.output_format;
  const int32_t frame = output_frame_bytes();
  const int32_t per_frame = is_dop_format(format) ? 4 : 8;  // input bytes per frame
  ringbuffer* rb = state.rb.get();
  for (int32_t at = 0; at + per_frame <= count; at += per_frame) {
    if (!ringbuffer_wait_space(state.rb.get(), frame)) return false;
    uint8_t* out = rb->data + rb->write_pos.load(std::memory_order_relaxed);
    const uint8_t* in = bytes + at;
    if (is_dop_format(format)) {
      const uint16_t left = params.left_cut ? 0x9696 : dop_word(in[0], in[2]);
      const uint16_t right = params.right_cut ? 0x9696 : dop_word(in[1], in[3]);
      store_dop_frame(format, left, right, next_dop_marker(), out);
    } else {
      const uint8_t left[4] = {in[0], in[2], in[4], in[6]}, right[4] = {in[1], in[3], in[5], in[7]};
      store_native_frame(format == kFormatDsdU32_BE, native_word(left), native_word(right), out);
    }
    ringbuffer_commit(rb, frame);
    ++*frames_written;
  }
  return true;
}

// DSD files: re-modulates a budget of frames at the rate ratio.
int32_t convert_dsd_step() {
  music_file* file = state.current_file;
  if (abort_requested.load() || file->index < 0) return 0;
  const int32_t free_frames = ringbuffer_space(state.rb.get()) / output_frame_bytes();
  if (free_frames < kDsdMinFreeFrames) return 0;
  const int32_t budget = std::min(free_frames, kDsdBudgetFrames);
  const int32_t ratio = dsd_ratio(file);
  // Frames one read of 8 bytes becomes: 2 bytes a channel per DoP frame, 4 native.
  const int32_t frames_per_read = kDsdReadBytes * ratio / (is_dop_format(output.output_format) ? 4 : 8);
  uint8_t input[kDsdReadBytes];
  uint8_t modulated[kDsdReadBytes * kDsdMaxRatio];
  for (int32_t written = 0; written + frames_per_read <= budget;) {
    const int32_t n = state.read(file, input, kDsdReadBytes);
    if (n <= 0) return change_file();
    dsd_modulator(input, modulated, n, ratio);
    if (!write_dsd_frames(modulated, n * ratio, &written)) return 0;
  }
  return -1;
}

int64_t total_seconds(const music_file* file) {
  const int64_t rate = file->format.sample_rate;
  if (rate <= 0) return 0;
  if (file->format.bits_per_sample == 1) return file->total_bytes / 2 / (rate / 8);
  return file->format.block_align > 0 ? file->total_bytes / file->format.block_align / rate : 0;
}

void progress_step(music_file* playing) {
  if (playing->index < 0) return;
  if (playing != state.shown_file) {
    print_file_header(player_kind::brisa, playing->index + 1, state.file_count, total_seconds(playing),
                      playing->file_name);
    state.shown_file = playing;
  }
  const auto seconds = static_cast<int32_t>(
      std::atomic_ref<int64_t>(playing->played_count).load(std::memory_order_relaxed) / kOutputRate);
  if (seconds != progress_seconds_shown) {
    progress_seconds_shown = seconds;
    if (params.silent) {
      printf("%d %d %d\n", playing->index, seconds, get_volume());
    } else if (ringbuffer_drained(state.rb.get())) {
      clear_position_line(false);
    } else {
      print_position_line(player_kind::brisa, seconds, ringbuffer_fill_percent(state.rb.get()), params.volume_db,
                          params.mode_name);
    }
  }
  fflush(stdout);
}

void poll_keys(volume_keys& keys) {
  const int key = poll_keyboard();
  if (const auto request = volume_key_request(keys, key, params.volume_db)) params.volume_db = set_volume(*request);
}

void choose_device() {
  if (params.device_name[0] != '\0') {
    select_dac_named(params.device_name);
  } else {
    select_dac_auto();
  }
  if (params.device_name[0] == '\0') fatal_error("DeltaSigma direct output device is not found.\n");
}

int32_t ring_buffer_bytes() {
  if (params.buffer_size == 0) return kDefaultBufferBytes;
  if (params.buffer_size < kDefaultBufferBytes) {
    report_warning("buffer size %dBytes is too small. reset to %d[Bytes].\n", params.buffer_size,
                   kDefaultBufferBytes);
    return kDefaultBufferBytes;
  }
  return params.buffer_size;
}

// Fills the ring buffer to 80 percent before the device starts.
void prefill() {
  int32_t percent_shown = -1;
  ringbuffer* rb = state.rb.get();
  while (rb->active.load() && ringbuffer_fill_percent(rb) < kPrefillPercent) {
    if (abort_requested.load()) fatal_error("exit by interrupt\n");
    const int32_t percent = ringbuffer_fill_percent(rb);
    if (!params.silent && percent != percent_shown) {
      print_position_line(player_kind::brisa, 0, percent, params.volume_db, "filling buffer");
      percent_shown = percent;
    }
    if (!state.convert()) break;
    usleep(0);
  }
}

// Converts until the list has been read or playback stops.
void main_loop(volume_keys& keys) {
  ringbuffer* rb = state.rb.get();
  for (;;) {
    if (output_stop.load()) return;
    if (abort_requested.load()) {
      state.current_file = &state.files[state.file_count];
      return;
    }
    progress_step(state.playing_file.load(std::memory_order_acquire));
    poll_keys(keys);
    if (!rb->active.load()) return;
    if (state.convert()) {
      usleep(0);
    } else if (state.current_file->index >= 0) {
      usleep(kRingPollMicros);  // the buffer is full: let the output side play
    } else {
      ringbuffer_finish(rb);
      return;
    }
  }
}

void drain(volume_keys& keys) {
  while (ringbuffer_used(state.rb.get()) > 0 && !stop_requested()) {
    progress_step(state.playing_file.load(std::memory_order_acquire));
    poll_keys(keys);
    usleep(500);
  }
}

}  // namespace

void open_music_file(music_file* file) {
  file->fp = fopen(file->file_name, "rb");
  if (file->fp == nullptr) fatal_error("file %s open error.\n", file->file_name);
  if (wav_open(file) == 0) {
    if (!describe_wav_stream(file)) fatal_error("sample bit length %d is not supported.\n", file->format.bits_per_sample);
    state.read = wav_read;
  } else if (rewind(file->fp), dff_open(file) == 0) {
    file->input_format = kInputDsdiff;
    state.read = dff_read;
  } else if (rewind(file->fp), wsd_open(file) == 0) {
    file->input_format = kInputWsd;
    state.read = wsd_read;
  } else {
    fclose(file->fp);
    file->fp = nullptr;
    if (ffmpeg_open(file) != 0) fatal_error("file format of %s unknown.\n", file->file_name);
    file->input_format = kInputFfmpeg;
    file->bytes_per_sample = file->format.block_align / file->format.channels;
    state.read = ffmpeg_read;
  }

  if (file->input_format == kInputDsdiff || file->input_format == kInputWsd) {
    describe_dsd_stream(file);
    // The readers count bits per channel; the stream carries both channels' bytes.
    file->remaining_bytes = (file->remaining_bytes + 7) / 8;
    file->total_bytes = 2 * file->remaining_bytes;
    state.convert = convert_dsd_step;
  } else {
    // The filter follows each file's rate; the output rate stays, so this
    // only switches the path, it resets nothing.
    if (file->format.sample_rate != static_cast<uint32_t>(kOutputRate) &&
        !fir_init(static_cast<int32_t>(file->format.sample_rate), kOutputRate, 2, params.short_filter, {params.left_cut != 0, params.right_cut != 0})) {
      fatal_error("coeff filter initialize failed.\n");
    }
    state.convert = convert_pcm_step;
  }
}

void close_music_file(music_file* file) {
  if (file == nullptr) return;
  if (file->input_format == kInputFfmpeg) {
    ffmpeg_close(file);
  } else if (file->fp != nullptr) {
    fclose(file->fp);
  }
  file->fp = nullptr;
}

int brisa_main(int argc, char** argv) {
  install_interrupt_handler(interrupt_handler);
  raise_priority();
  parse_brisa_params(argc, argv, {select_modulator_level, select_dop, set_volume}, kBanner);
  if (params.first_file_index > argc) {
    print_usage(player_kind::brisa, argv[0]);
    fatal_error("argc is %d skip is %d\n", argc, params.first_file_index);
  }
  ffmpeg_init();
  choose_device();

  char** paths = dir2files_build(params.first_file_index, argc, argv);
  if (paths[0] == nullptr) fatal_error("no files found.\n");
  raise_priority();
  const int32_t buffer_bytes = ring_buffer_bytes();
  play_list list = make_play_list(paths);
  dir2files_release_result();
  dir2files_release_all();
  state.files = list.first();
  state.file_count = list.count();

  for (int32_t i = 0; i < state.file_count; ++i) {
    open_music_file(&state.files[i]);
    close_music_file(&state.files[i]);
  }
  music_file* first = &state.files[0];
  if (!probe_output()) fatal_error("sound initialize failed.\n");

  // Created once the format is settled, so its length is a whole number of frames.
  state.rb = ringbuffer_new(buffer_bytes, 2 * output_frame_bytes(), state.file_count);
  if (!state.rb) fatal_error("ringbuffer_new() failed.\n");
  state.playing_file.store(first);
  ringbuffer_mark_file(state.rb.get(), 0);
  state.current_file = first;
  open_music_file(first);
  prefill();

  output_stop.store(0);
  if (strncmp(params.device_name, "hw:", 3) != 0) {
    printf("mode alsa device name %s illegal\nauto search device.\n", params.device_name);
  }
  volume_keys keys;
  enter_key_mode();
  output_started = true;
  pthread_t output_thread_id;
  if (pthread_create(&output_thread_id, nullptr, output_thread, nullptr) != 0) {
    fatal_error("pthread_create() failed.\n");
  }
  main_loop(keys);
  drain(keys);
  clear_position_line(true);
  if (pthread_join(output_thread_id, nullptr) != 0) fatal_error("pthread_join() failed.\n");
  printf("\n");
  if (playback_stop_reason != nullptr && !abort_requested.load()) {
    fatal_error("playback stopped: %s.\n", playback_stop_reason);
  }
  close_music_file(state.current_file);
  state.rb.reset();
  leave_key_mode();
  return 0;
}
