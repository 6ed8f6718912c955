// lumen: sends PCM unchanged (or oversampled) and DSD as DoP or native DSD,
// in one stream set up from the first file. Start-up, play list, format
// dispatch, the two conversion steps, main loop and drain.
#include "lumen.h"

#include <pthread.h>
#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "alsathread.h"
#include "fir.h"
#include "dir2files.h"
#include "dsd_frame.h"
#include "dsf.h"
#include "parse_param.h"
#include "pcm_block.h"
#include "pcm_output.h"
#include "sample_format.h"
#include "util.h"
#include "wav.h"
#ifdef LUMEN_WITH_FFMPEG
#include "ffmpeg_old.h"
#endif

player_state state;

namespace {

constexpr int32_t kDefaultBufferBytes = 1572864;
constexpr int32_t kPrefillPercent = 80;
constexpr int32_t kDsdBudgetFrames = 3528;
constexpr int32_t kDsdMinFreeFrames = 352;
constexpr int32_t kDsdReadBytes = 8;
constexpr uint8_t kDsdSilenceByte = 0x55;

#ifdef LUMEN_WITH_FFMPEG
constexpr const char* kBanner =
    "by the Orvalis developers: bit-perfect PCM, DoP and native DSD for USB DACs.\n"
    "This program uses the FFmpeg libraries under the LGPL 2.1.";
#else
constexpr const char* kBanner = "by the Orvalis developers: bit-perfect PCM, DoP and native DSD for USB DACs.";
#endif

pcm_block pcm;

int32_t dop_marker_phase = 0;  // 0 is 0xFA; runs on over the whole list
int32_t progress_seconds_shown = -1;
bool output_started = false;  // until then nothing frees room in the ring buffer

enum class recognised { file, cannot_open, unknown_format, unsupported_bits };

void interrupt_handler(int) {
  if (repeated_interrupt()) fatal_error("Interrupt stack. Abort\n");
}

bool is_dsd(const music_file& file) { return file.format.bits_per_sample == 1; }

void describe_dsd(music_file* file, int32_t input_format, read_function reader);
int32_t convert_pcm_step();
int32_t convert_dsd_step();

// Opens the file and tries the readers in turn; installs the reader and the
// conversion step of the one that recognises it.
recognised recognise_music_file(music_file* file) {
  file->fp = fopen(file->file_name, "rb");
  if (file->fp == nullptr) return recognised::cannot_open;
  if (wav_open(file) == 0) {
    if (!describe_wav_stream(file)) return recognised::unsupported_bits;
    state.read = wav_read;
    state.convert = convert_pcm_step;
    return recognised::file;
  }
  if (rewind(file->fp), dff_open(file) == 0) {
    describe_dsd(file, kInputDsdiff, dff_read);
    return recognised::file;
  }
#ifndef LUMEN_WITH_FFMPEG
  if (rewind(file->fp), dsf_open(file) == 0) {
    describe_dsd(file, kInputDsf, dsf_read);
    return recognised::file;
  }
#endif
  if (rewind(file->fp), wsd_open(file) == 0) {
    describe_dsd(file, kInputWsd, wsd_read);
    return recognised::file;
  }
  fclose(file->fp);
  file->fp = nullptr;
#ifdef LUMEN_WITH_FFMPEG
  if (ffmpeg_open(file) == 0) {
    file->input_format = kInputFfmpeg;
    file->bytes_per_sample = file->format.block_align / file->format.channels;
    state.read = ffmpeg_read;
    state.convert = convert_pcm_step;
    return recognised::file;
  }
#endif
  return recognised::unknown_format;
}

void describe_dsd(music_file* file, int32_t input_format, read_function reader) {
  file->input_format = input_format;
  describe_dsd_stream(file);
  // The readers count bits per channel.
  file->total_bytes = (file->total_bytes + 7) / 8;
  file->remaining_bytes = (file->remaining_bytes + 7) / 8;
  state.read = reader;
  state.convert = convert_dsd_step;
}

void open_music_file(music_file* file) {
  switch (recognise_music_file(file)) {
    case recognised::file:
      // The filter follows each file's rate; the output rate stays, so this
      // only switches its path.
      if (params.oversample && !is_dsd(*file) &&
          !fir_init(static_cast<int32_t>(file->format.sample_rate), kOversampledRate, 2, 0, {params.left_cut != 0, params.right_cut != 0})) {
        fatal_error("coeff filter initialize failed.\n");
      }
      return;
    case recognised::cannot_open: fatal_error("file %s open error.\n", file->file_name);
    case recognised::unknown_format: fatal_error("file format of %s unknown.\n", file->file_name);
    case recognised::unsupported_bits:
      fatal_error("sample bit length %d is not supported.\n", file->format.bits_per_sample);
  }
}

void close_music_file(music_file* file) {
  if (file == nullptr) return;
#ifdef LUMEN_WITH_FFMPEG
  if (file->input_format == kInputFfmpeg && file->fp == nullptr) {
    ffmpeg_close(file);
    return;
  }
#endif
  if (file->fp != nullptr) fclose(file->fp);
  file->fp = nullptr;
}

int32_t change_file() {
  pcm = {};
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

// f x 2^31 rounded toward zero, saturated to int32; NaN is silence.
int32_t float_to_int32(float f) {
  const float scaled = f * 2147483648.0f;
  if (!(scaled > -2147483648.0f)) return std::isnan(scaled) ? 0 : INT32_MIN;
  if (scaled >= 2147483648.0f) return INT32_MAX;
  return static_cast<int32_t>(scaled);
}

int32_t sample_value(const uint8_t* bytes) {
  if (pcm.row != nullptr) return decode_sample(*pcm.row, bytes);
  return float_to_int32(decode_float_sample(state.current_file->sample_format == kFormatFloat_BE, bytes));
}

// One output sample: the top sample_bytes bytes of v, little-endian (S24_LE:
// the 24-bit value in the low three bytes of its container), or silence.
uint8_t* store_sample(int32_t v, bool cut, uint8_t* out) {
  const int32_t bytes = output.sample_bytes;
  if (output.output_format == kFormatS24_LE) v >>= 8;
  const auto word = static_cast<uint32_t>(cut ? 0 : v);
  const int32_t first = output.output_format == kFormatS24_LE ? 0 : 4 - bytes;
  for (int32_t i = 0; i < bytes; ++i) *out++ = static_cast<uint8_t>(word >> (8 * (first + i)));
  return out;
}

void emit_frame(int32_t left, int32_t right) {
  ringbuffer* rb = state.rb.get();
  uint8_t* out = rb->data + rb->write_pos.load(std::memory_order_relaxed);
  store_sample(right, params.right_cut != 0, store_sample(left, params.left_cut != 0, out));
  ringbuffer_commit(rb, output.frame_bytes);
}

// PCM files: a block of samples to the output width, through the filter with -os.
int32_t convert_pcm_step() {
  music_file* file = state.current_file;
  if (abort_requested.load() || file->index < 0) return 0;
  if (pcm.pending <= 0 && !pcm_block_read(pcm, file, state.read)) return change_file();
  if (pcm.row == nullptr && file->sample_format != kFormatFloat_LE && file->sample_format != kFormatFloat_BE) {
    pcm.row = find_sample_descriptor(file->sample_format);
    if (pcm.row == nullptr) fatal_error("Unsupported input format %d.\n", file->sample_format);
  }
  const int32_t sample_bytes = file->bytes_per_sample;
  // Room for everything one input frame can become, so a frame never waits
  // half-way; before playback starts nothing frees room, so stop there.
  const int32_t room_per_frame = (params.oversample ? kFirBlockFrames : 1) * output.frame_bytes;
  while (pcm.pending > 0) {
    if (ringbuffer_space(state.rb.get()) < room_per_frame && (!output_started || !ringbuffer_wait_space(state.rb.get(), room_per_frame))) {
      return -1;
    }
    const uint8_t* frame = pcm_block_next_frame(pcm, sample_bytes);
    if (frame == nullptr) break;
    const int32_t left = sample_value(frame), right = sample_value(frame + sample_bytes);
    if (!params.oversample) {
      emit_frame(left, right);
      continue;
    }
    const float pair[2] = {static_cast<float>(left) * 0x1p-31f, static_cast<float>(right) * 0x1p-31f};
    int32_t count = 0;
    const float* values = fir_process(pair, &count);
    for (int32_t i = 0; values != nullptr && i + 1 < count; i += 2) {
      emit_frame(float_to_int32(values[i]), float_to_int32(values[i + 1]));
    }
  }
  return -1;
}

// One DSD read (L0 R0 L1 R1 ...) as frames: one native frame per 8 bytes,
// one DoP frame per 4. False when playback stopped while waiting for room.
bool write_dsd_frames(const uint8_t* in, int32_t count, int32_t* frames_written) {
  const int32_t format = output.output_format;
  const int32_t per_frame = format == kFormatDsdU32_BE ? 8 : 4;
  ringbuffer* rb = state.rb.get();
  for (int32_t at = 0; at + per_frame <= count; at += per_frame) {
    if (!ringbuffer_wait_space(state.rb.get(), output.frame_bytes)) return false;
    uint8_t* out = rb->data + rb->write_pos.load(std::memory_order_relaxed);
    const uint8_t* b = in + at;
    if (format == kFormatDsdU32_BE) {
      const uint8_t left[4] = {b[0], b[2], b[4], b[6]}, right[4] = {b[1], b[3], b[5], b[7]};
      store_native_frame(true, native_word(left), native_word(right), out);
    } else {
      constexpr uint16_t kSilence = dop_word(kDsdSilenceByte, kDsdSilenceByte);
      const uint16_t l = params.left_cut ? kSilence : dop_word(b[0], b[2]);
      const uint16_t r = params.right_cut ? kSilence : dop_word(b[1], b[3]);
      store_dop_frame(format, l, r, kDopMarkers[dop_marker_phase], out);
      dop_marker_phase ^= 1;
    }
    ringbuffer_commit(rb, output.frame_bytes);
    ++*frames_written;
  }
  return true;
}

// DSD files: packs a budget of frames as DoP or native DSD words.
int32_t convert_dsd_step() {
  music_file* file = state.current_file;
  if (abort_requested.load() || file->index < 0) return 0;
  const int32_t free_frames = ringbuffer_space(state.rb.get()) / output.frame_bytes;
  if (free_frames < kDsdMinFreeFrames) return 0;
  const int32_t budget = std::min(free_frames, kDsdBudgetFrames);
  const int32_t frames_per_read = output.output_format == kFormatDsdU32_BE ? 1 : 2;
  for (int32_t written = 0; written + frames_per_read <= budget;) {
    uint8_t input[kDsdReadBytes];
    const int32_t n = state.read(file, input, kDsdReadBytes);
    if (n <= 0) return change_file();
    // A short read still makes whole frames: the missing bytes are idle DSD.
    const int32_t whole = (n + kDsdReadBytes - 1) / kDsdReadBytes * kDsdReadBytes;
    std::fill(input + n, input + whole, uint8_t{0x69});
    if (!write_dsd_frames(input, whole, &written)) return 0;
  }
  return -1;
}

void progress_step(music_file* playing) {
  ringbuffer* rb = state.rb.get();
  if (playing == nullptr) {
    print_position_line(player_kind::lumen, 0, rb != nullptr ? ringbuffer_fill_percent(rb) : 0, 0, "filling buffer");
    return;
  }
  if (playing->index < 0) return;
  if (playing != state.shown_file) {
    const int64_t m = is_dsd(*playing) ? 16 : 1;
    const int64_t divisor = int64_t{playing->format.block_align} * playing->format.sample_rate;
    const int64_t total = divisor > 0 ? playing->total_bytes * m / divisor : 0;
    print_file_header(player_kind::lumen, playing->index + 1, state.file_count, total, playing->file_name);
    state.shown_file = playing;
  }
  const auto seconds = static_cast<int32_t>(
      std::atomic_ref<int64_t>(playing->played_count).load(std::memory_order_relaxed) / kOversampledRate);
  if (seconds == progress_seconds_shown) return;
  progress_seconds_shown = seconds;
  if (params.silent) {
    printf("%d %d\n", playing->index, seconds);
    fflush(stdout);
  } else if (ringbuffer_drained(rb)) {
    clear_position_line(false);
  } else {
    print_position_line(player_kind::lumen, seconds, ringbuffer_fill_percent(rb), 0, params.mode_name);
  }
}

// The rate a file's samples run at: its DSD bit rate or its frame rate.
uint32_t file_rate(const music_file& file) { return file.format.sample_rate; }

// One stream carries the whole list: a file of the other kind cannot join
// it; one of another rate plays at the stream's rate, which the user is told.
void check_joins_stream(const music_file& first, const music_file& file) {
  if (is_dsd(file) != is_dsd(first)) {
    fatal_error("%s is a %s file, but the stream is %s (set up from %s).\n", file.file_name,
                is_dsd(file) ? "DSD" : "PCM", is_dsd(first) ? "DSD" : "PCM", first.file_name);
  }
  const bool resampled = params.oversample && !is_dsd(file);
  if (file_rate(file) != file_rate(first) && !resampled) {
    report_warning("%s (%uHz) plays at the stream's rate of %uHz.\n", file.file_name, file_rate(file),
                   file_rate(first));
  }
}

// --count: probes the files without a device; prints how many can be
// played and exits 0 when all of them can go out in one bit-perfect stream.
[[noreturn]] void count_playable_files(play_list& list) {
  int32_t playable = 0;
  bool one_stream = true;
  const music_file* first = nullptr;
  for (music_file& file : list.records) {
    if (file.index < 0) break;
    const bool ok = recognise_music_file(&file) == recognised::file;
    close_music_file(&file);
    if (!ok) {
      one_stream = false;
      continue;
    }
    ++playable;
    if (first == nullptr) first = &file;
    one_stream = one_stream && is_dsd(file) == is_dsd(*first) && file_rate(file) == file_rate(*first);
  }
  printf("%d\n", playable);
  fflush(stdout);
  exit_program(one_stream && playable > 0 ? 0 : 1);
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

void prefill() {
  ringbuffer* rb = state.rb.get();
  int32_t percent_shown = -1;
  while (rb->active.load() && ringbuffer_fill_percent(rb) < kPrefillPercent) {
    if (abort_requested.load()) fatal_error("exit by interrupt\n");
    const int32_t percent = ringbuffer_fill_percent(rb);
    if (!params.silent && percent != percent_shown) {
      progress_step(nullptr);
      percent_shown = percent;
    }
    if (!state.convert()) break;
    usleep(0);
  }
}

void main_loop() {
  ringbuffer* rb = state.rb.get();
  for (;;) {
    if (output_stop.load()) return;
    if (abort_requested.load()) {
      state.current_file = &state.files[state.file_count];
      return;
    }
    progress_step(state.playing_file.load(std::memory_order_acquire));
    poll_keyboard();
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

void drain() {
  while (ringbuffer_used(state.rb.get()) > 0 && !stop_requested()) {
    progress_step(state.playing_file.load(std::memory_order_acquire));
    poll_keyboard();
    usleep(500);
  }
}

}  // namespace

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
  if (!params.count_only && params.device_name[0] == '\0') find_last_card();
  if (!params.count_only && params.device_name[0] == '\0') fatal_error("Output device is not defined.\n");

  char** paths = dir2files_build(params.first_file_index, argc, argv);
  if (paths[0] == nullptr) fatal_error("no files found.\n");
  play_list list = make_play_list(paths);
  dir2files_release_result();
  dir2files_release_all();
  state.files = list.first();
  state.file_count = list.count();
  if (params.count_only) count_playable_files(list);

  music_file* first = &state.files[0];
  for (int32_t i = 0; i < state.file_count; ++i) {
    open_music_file(&state.files[i]);
    close_music_file(&state.files[i]);
    check_joins_stream(*first, state.files[i]);
  }
  if (!probe_output()) fatal_error("sound initialize failed.\n");
  state.rb = ringbuffer_new(ring_buffer_bytes(), output.frame_bytes, state.file_count);
  if (!state.rb) fatal_error("ringbuffer_new() failed.\n");
  ringbuffer_mark_file(state.rb.get(), 0);
  enter_key_mode();

  state.current_file = first;
  state.playing_file.store(first);
  open_music_file(first);
  prefill();

  output_stop.store(0);
  output_started = true;
  pthread_t output_thread_id;
  if (pthread_create(&output_thread_id, nullptr, output_thread, nullptr) != 0) {
    fatal_error("pthread_create() failed.\n");
  }
  main_loop();
  drain();
  clear_position_line(true);
  if (pthread_join(output_thread_id, nullptr) != 0) fatal_error("pthread_join() failed.\n");
  printf("\n");
  if (playback_stop_reason != nullptr && !abort_requested.load()) {
    fatal_error("playback stopped: %s.\n", playback_stop_reason);
  }
  close_music_file(state.current_file);
  state.rb.reset();
#ifndef LUMEN_WITH_FFMPEG
  dsf_release();
#endif
  leave_key_mode();
  return 0;
}
