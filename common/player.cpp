#include "player.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "fir.h"
#include "printable.h"
#include "sample_format.h"
#include "stream_constants.h"

namespace {

constexpr int32_t kPrefillPercent = 80;
constexpr int32_t kDsdBudgetFrames = 3528;
constexpr int32_t kDsdMinFreeFrames = 352;
constexpr unsigned kDrainPollMicros = 500;

int32_t shown_volume(const player& p) { return p.parts.volume_db != nullptr ? p.parts.volume_db() : 0; }

void progress_step(player& p) {
  music_file* playing = p.playing_file.load(std::memory_order_acquire);
  if (playing == nullptr || playing->index < 0) return;
  if (playing != p.shown_file) {
    print_file_header(p.parts.kind, playing->index + 1, p.file_count, total_seconds(*playing), playing->file_name);
    p.shown_file = playing;
  }
  const auto seconds = static_cast<int32_t>(
      std::atomic_ref<int64_t>(playing->played_count).load(std::memory_order_relaxed) / kOversampledRate);
  if (seconds != p.seconds_shown) {
    p.seconds_shown = seconds;
    if (p.silent && p.parts.volume_db != nullptr) {
      printf("%d %d %d\n", playing->index, seconds, p.parts.volume_db());
    } else if (p.silent) {
      printf("%d %d\n", playing->index, seconds);
    } else if (ringbuffer_drained(p.rb.get())) {
      clear_position_line(false);
    } else {
      print_position_line(p.parts.kind, seconds, ringbuffer_fill_percent(p.rb.get()), shown_volume(p), p.mode_name);
    }
  }
  fflush(stdout);
}

void poll_keys(player& p) {
  const int key = poll_keyboard();
  // A change shows at once, not with the next second.
  if (key >= 0 && p.parts.on_key != nullptr && p.parts.on_key(key)) p.seconds_shown = -1;
}

// Converts until the list has been read or playback stops.
void main_loop(player& p) {
  ringbuffer* rb = p.rb.get();
  for (;;) {
    if (output_stop.load()) return;
    if (abort_requested.load()) {
      p.current_file = &p.files[p.file_count];
      return;
    }
    progress_step(p);
    poll_keys(p);
    if (!rb->active.load()) return;
    if (p.convert(p)) {
      usleep(0);
    } else if (p.current_file->index >= 0) {
      usleep(kRingPollMicros);  // the buffer is full: let the output side play
    } else {
      if (p.parts.end_of_list != nullptr) p.parts.end_of_list(p);
      ringbuffer_finish(rb);
      return;
    }
  }
}

void drain(player& p) {
  while (ringbuffer_used(p.rb.get()) > 0 && !stop_requested()) {
    progress_step(p);
    poll_keys(p);
    usleep(kDrainPollMicros);
  }
}

}  // namespace

void player_setup(player& p, const player_parts& parts, play_list& list, bool silent, const char* mode_name) {
  p.parts = parts;
  p.silent = silent;
  p.mode_name = mode_name;
  p.files = list.first();
  p.file_count = list.count();
}

void player_open_file(player& p, music_file* file) {
  const recognition found = recognise_music_file(file, p.parts.readers);
  switch (found.result) {
    case recognised::file: break;
    case recognised::cannot_open: fatal_error("file %s open error.\n", printable(file->file_name).c_str());
    case recognised::not_regular:
      fatal_error("%s is not a regular file: not played.\n", printable(file->file_name).c_str());
    case recognised::refused:
      fatal_error("%s cannot be played: %s.\n", printable(file->file_name).c_str(), file->refusal);
    case recognised::unknown_format: fatal_error("file format of %s unknown.\n", printable(file->file_name).c_str());
    case recognised::unsupported_bits:
      fatal_error("sample bit length %d is not supported.\n", file->format.bits_per_sample);
  }
  // A header without a frame: nothing would be heard but the lead-in.
  if (file->remaining_bytes < (is_dsd(*file) ? 1 : file->format.block_align)) {
    fatal_error("nothing to play in %s.\n", printable(file->file_name).c_str());
  }
  p.reader = found.reader;
  p.convert = p.parts.prepare_file(p, *file);
}

void player_check_files(player& p, void (*check)(const music_file& first, const music_file& file)) {
  for (int32_t i = 0; i < p.file_count; ++i) {
    player_open_file(p, &p.files[i]);
    close_music_file(&p.files[i], p.reader);
    if (check != nullptr) check(p.files[0], p.files[i]);
  }
}

bool player_next_file(player& p) {
  p.pcm = {};
  music_file* file = p.current_file;
  if (file->index < 0) return true;
  close_music_file(file, p.reader);
  p.current_file = file->next;
  if (p.current_file->index >= 0) {
    ringbuffer_mark_file(p.rb.get(), p.current_file->index);
    player_open_file(p, p.current_file);
  }
  return true;
}

int32_t player_buffer_bytes(int32_t requested) {
  if (requested == 0) return kDefaultBufferBytes;
  if (requested < kDefaultBufferBytes) {
    report_warning("buffer size %dBytes is too small. reset to %d[Bytes].\n", requested, kDefaultBufferBytes);
    return kDefaultBufferBytes;
  }
  return requested;
}

void player_prefill(player& p, int32_t buffer_bytes, int32_t unit) {
  p.rb = ringbuffer_new(buffer_bytes, unit, p.file_count);
  if (!p.rb) fatal_error("ringbuffer_new() failed.\n");
  ringbuffer* rb = p.rb.get();
  ringbuffer_mark_file(rb, 0);
  p.current_file = &p.files[0];
  p.playing_file.store(p.current_file);
  player_open_file(p, p.current_file);

  int32_t percent_shown = -1;
  while (rb->active.load() && ringbuffer_fill_percent(rb) < kPrefillPercent && !abort_requested.load()) {
    const int32_t percent = ringbuffer_fill_percent(rb);
    if (!p.silent && percent != percent_shown) {
      print_position_line(p.parts.kind, 0, percent, shown_volume(p), "filling buffer");
      percent_shown = percent;
    }
    if (!p.convert(p)) break;
    usleep(0);
  }
  // A step stops short when interrupted: the interrupt ends it, not the fill.
  if (abort_requested.load()) fatal_error("exit by interrupt\n");
}

void player_play(player& p, output_stream& stream) {
  output_stop.store(0);
  enter_key_mode();
  p.output_started = true;
  output_job job{&stream, p.rb.get(), &p.playing_file};
  pthread_t output_thread_id;
  if (pthread_create(&output_thread_id, nullptr, output_thread, &job) != 0) fatal_error("pthread_create() failed.\n");
  main_loop(p);
  drain(p);
  clear_position_line(true);
  if (pthread_join(output_thread_id, nullptr) != 0) fatal_error("pthread_join() failed.\n");
  printf("\n");
  if (job.stop_reason != nullptr && !abort_requested.load()) fatal_error("playback stopped: %s.\n", job.stop_reason);
  close_music_file(p.current_file, p.reader);
  p.rb.reset();
}

bool player_pcm_step(player& p, int32_t room_bytes, pcm_frame_function convert_frame) {
  music_file* file = p.current_file;
  if (abort_requested.load() || file->index < 0) return false;
  if (p.pcm.pending <= 0 && !pcm_block_read(p.pcm, file, p.reader->read)) return player_next_file(p);
  if (p.pcm.row == nullptr) p.pcm.row = find_sample_descriptor(file->sample_format);  // null for float samples
  const int32_t sample_bytes = file->bytes_per_sample;
  ringbuffer* rb = p.rb.get();
  while (p.pcm.pending > 0) {
    // Room for all one input frame can become, so it never waits half-way.
    if (ringbuffer_space(rb) < room_bytes && (!p.output_started || !ringbuffer_wait_space(rb, room_bytes))) {
      return true;
    }
    const uint8_t* frame = pcm_block_next_frame(p.pcm, sample_bytes);
    if (frame == nullptr) break;
    convert_frame(p, frame);
  }
  return true;
}

bool player_dsd_step(player& p, int32_t frame_bytes, int32_t frames_per_read, dsd_write_function write_frames) {
  music_file* file = p.current_file;
  if (abort_requested.load() || file->index < 0) return false;
  const int32_t free_frames = ringbuffer_space(p.rb.get()) / frame_bytes;
  if (free_frames < kDsdMinFreeFrames) return false;
  const int32_t budget = std::min(free_frames, kDsdBudgetFrames);
  for (int32_t written = 0; written + frames_per_read <= budget;) {
    uint8_t input[kDsdReadBytes];
    const int32_t n = p.reader->read(file, input, kDsdReadBytes);
    if (n <= 0) return player_next_file(p);
    if (!write_frames(p, std::span(input, static_cast<size_t>(n)), &written)) return false;
  }
  return true;
}

void player_flush_filter(player& p, int32_t input_rate, int32_t room_bytes, float_pair_function filter_pair) {
  // The taps reach as far after an input frame as before it: twice the delay.
  const auto frames = static_cast<int64_t>(std::ceil(2 * fir_delay_seconds() * input_rate)) + 1;
  constexpr float kSilence[2] = {0.0f, 0.0f};
  for (int64_t i = 0; i < frames; ++i) {
    if (!ringbuffer_wait_space(p.rb.get(), room_bytes)) return;
    filter_pair(p, kSilence);
  }
}

uint8_t* player_frame_slot(player& p, int32_t frame_bytes) {
  if (!ringbuffer_wait_space(p.rb.get(), frame_bytes)) return nullptr;
  return ringbuffer_write_area(p.rb.get()).data();
}
