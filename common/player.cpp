#include "player.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>

#include "control_events.h"
#include "device_watch.h"
#include "printable.h"
#include "progress_text.h"
#include "sample_format.h"
#include "stream_constants.h"

namespace {

constexpr int32_t kPrefillPercent = 80;
constexpr int32_t kDsdBudgetFrames = 3528;
constexpr int32_t kDsdMinFreeFrames = 352;
constexpr unsigned kDrainPollMicros = 500;
// p within a file's first seconds goes back to the file before it.
constexpr int64_t kBackToPreviousSeconds = 3;
// The arrow keys and , and . move this far back or forward.
constexpr int64_t kSeekStepMillis = 10000;
// A bound on the steps a fade-out takes, whatever the reader does.
constexpr int32_t kFadeStepsAtMost = 4096;

std::optional<int32_t> shown_volume(const player& p) {
  if (p.parts.volume_db == nullptr) return std::nullopt;
  return p.parts.volume_db(p);
}

// Playback is ending: an interrupt, q, or the output thread stopped.
bool stopping(const player& p) { return abort_requested.load() != 0 || (p.job != nullptr && p.job->stop.load() != 0); }

int64_t seconds_heard(music_file& file) {
  return std::atomic_ref<int64_t>(file.played_count).load(std::memory_order_relaxed) / kOversampledRate;
}

// Under a file's header: its tags, and what the player says of it.
void print_file_notes(const player& p, const music_file& file) {
  const std::string tags = tags_line_text(file.tags);
  if (!tags.empty()) printf("%s\n", tags.c_str());
  if (p.parts.file_note != nullptr) {
    const std::string note = p.parts.file_note(p, file);
    if (!note.empty()) printf("%s\n", note.c_str());
  }
}

void progress_step(player& p) {
  music_file* playing = p.playing_file.load(std::memory_order_acquire);
  if (playing == nullptr || playing->index < 0) return;
  if (playing != p.shown_file) {
    print_file_header(p.parts.header_minutes, playing->index + 1, p.file_count, total_seconds(*playing),
                      playing->file_name);
    if (!p.silent) print_file_notes(p, *playing);
    p.shown_file = playing;
  }
  const auto seconds = static_cast<int32_t>(seconds_heard(*playing));
  if (seconds != p.seconds_shown) {
    p.seconds_shown = seconds;
    if (p.silent && p.parts.volume_db != nullptr) {
      printf("%d %d %d\n", playing->index, seconds, p.parts.volume_db(p));
    } else if (p.silent) {
      printf("%d %d\n", playing->index, seconds);
    } else if (ringbuffer_drained(p.rb.get())) {
      clear_fitted_position_line(false);
    } else {
      const char* status = p.control.paused.load() ? "pause" : p.mode_name;
      const int64_t total = total_seconds(*playing);
      print_fitted_position_line(
          {.seconds = seconds,
           .remaining_seconds = total > 0 ? std::optional(std::max<int64_t>(total - seconds, 0)) : std::nullopt,
           .fill_percent = ringbuffer_fill_percent(p.rb.get()),
           .volume_db = shown_volume(p),
           .status = status});
    }
  }
  fflush(stdout);
}

// Opens the file for playing: recognises it and prepares its step. A file
// that cannot be played is closed again and refused, in the player's texts.
refusal open_file(player& p, music_file* file) {
  const recognition found = recognise_music_file(file, p.parts.readers);
  const std::string name = printable(file->file_name);
  switch (found.result) {
    case recognised::file: break;
    case recognised::cannot_open: return refuse("file %s open error.\n", name.c_str());
    case recognised::not_regular: return refuse("%s is not a regular file: not played.\n", name.c_str());
    case recognised::refused: return refuse("%s cannot be played: %s.\n", name.c_str(), file->refusal);
    case recognised::unknown_format: return refuse("file format of %s unknown.\n", name.c_str());
    case recognised::unsupported_bits:
      return refuse("%s: sample bit length %d is not supported.\n", name.c_str(), file->format.bits_per_sample);
  }
  refusal why;
  // A header without a frame: nothing would be heard but the lead-in.
  if (file->remaining_bytes < (is_dsd(*file) ? 1 : file->format.block_align) ||
      (found.reader->on_stream && !holds_a_frame(*file))) {
    why = refuse("nothing to play in %s.\n", name.c_str());
  } else {
    p.reader = found.reader;
    p.convert = p.parts.prepare_file(p, *file, &why);
  }
  if (why) close_music_file(file, found.reader);
  return why;
}

void open_or_stop(player& p, music_file* file) {
  if (const refusal why = open_file(p, file)) fatal_refusal(why);
}

// Whether a cut into file fades: PCM always, DSD where the player converts it.
bool fades(const player& p, const music_file& file) { return !is_dsd(file) || p.parts.fades_dsd; }

bool joins_stream(const player& p, const music_file& file) {
  return p.parts.joins_stream == nullptr || p.parts.joins_stream(p, *p.stream_file, file);
}

// Moves the reader of a file just opened to the frame at units (1/352800 s)
// into it; returns the position of that frame in units, or -1 when the file
// ends before it.
int64_t seek_reader(player& p, music_file& file, int64_t units) {
  const int64_t rate = frames_per_second(file);
  if (p.reader->seek == nullptr || rate <= 0) return -1;
  const int64_t frame = frame_of_units(file, units);
  if (!p.reader->seek(&file, frame)) return -1;
  p.frame_in_file = frame;
  return units_of_frame(file, frame);
}

// Opens file as the one read now, from units (1/352800 s) into it. A file
// the stream cannot carry is left unmarked: it begins the next stream.
// False, the file closed again, when it ends before units.
// Opens file as the one read now at units into it, without a mark; the
// position found, or -1 (the file closed again) when it ends before units.
int64_t open_file_at(player& p, music_file* file, int64_t units) {
  p.current_file = file;
  open_or_stop(p, file);
  p.frame_in_file = 0;
  if (units > 0 && (units = seek_reader(p, *file, units)) < 0) close_music_file(file, p.reader);
  return units;
}

bool begin_file(player& p, music_file* file, int64_t units = 0) {
  if ((units = open_file_at(p, file, units)) < 0) return false;
  file->played_from = units;  // before the mark: the output side reads it there
  if (!joins_stream(p, *file)) {
    p.stream_ends = true;
    return true;
  }
  ringbuffer_mark_file(p.rb.get(), file->index);
  return true;
}

// Where a jump moves from: the target of the last one until that is heard
// (keys in quick succession add up), else what is heard now.
jump_target jump_base(const player& p) {
  if (p.jumped.index >= 0 && p.control.jumps_heard.load() != p.control.jumps_asked.load()) return p.jumped;
  music_file& heard = *p.playing_file.load(std::memory_order_acquire);
  return {heard.index, std::atomic_ref<int64_t>(heard.played_count).load(std::memory_order_relaxed)};
}

// The start of the file to skip to for n (the one after) or p (the start of
// the file, or the one before it within its first seconds).
jump_target skip_target(const player& p, int key) {
  const jump_target from = jump_base(p);
  if (key == 'n') return {from.index + 1, 0};
  const bool back = from.index > 0 && from.units < kBackToPreviousSeconds * kOversampledRate;
  return {back ? from.index - 1 : from.index, 0};
}

// Where the music handed to the device ended when the queue was dropped,
// or the place heard when none was handed yet.
jump_target handed_end(const player& p) {
  const int32_t index = p.control.handed_index.load();
  if (index < 0 || index >= p.file_count) return jump_base(p);
  return {index, p.control.handed_units.load()};
}

// Where reading begins to go on seamlessly at units into file: the input
// frame read first, and the priming before the first output written.
struct primed_start {
  int64_t read_from = 0;  // input frame
  int64_t priming_frames = 0;
  int64_t priming_units = 0;
};

// The units a reader is sought to so that it begins at frame itself: the
// first whose frame it is (where units are finer than frames; at rates
// that do not divide 352800 the units of a frame round down, a frame early).
int64_t seek_units_of_frame(const music_file& file, int64_t frame) {
  const int64_t rate = frames_per_second(file);
  if (rate <= 0 || rate >= kOversampledRate) return units_of_frame(file, frame);
  return (frame * kOversampledRate + rate - 1) / rate;
}

// The player's history before units (the filter's reach) is read first, its
// frames only filling the player's state; from the place the player goes on
// from (its modulators' state), output is made again but written from units on.
primed_start primed_start_at(player& p, const music_file& file, int64_t units) {
  const int64_t rate = frames_per_second(file);
  if (rate <= 0) return {};
  const int64_t history = p.parts.history_frames != nullptr ? p.parts.history_frames(p, file) : 0;
  const int64_t at = frame_of_units(file, units);
  const resume_place here{.units = units_of_frame(file, at), .frame = at};
  std::optional<resume_place> start = p.parts.resume_from != nullptr ? p.parts.resume_from(p, file, units) : here;
  if (!start || start->units > units) start = here;
  // Short of history at the file's start: as much as there is, on the
  // history's cycle (whole cycles keep a filter's phases where they were).
  const int64_t cycle = p.parts.history_cycle != nullptr ? p.parts.history_cycle(p, file) : 1;
  const int64_t from = start->frame >= history ? start->frame - history : start->frame % std::max<int64_t>(cycle, 1);
  return {.read_from = from, .priming_frames = start->frame - from, .priming_units = units - start->units};
}

// Opens file as the one read now, to go on seamlessly at units into it
// (primed_start_at). False as begin_file.
bool begin_file_primed(player& p, music_file* file, int64_t units) {
  const primed_start start = primed_start_at(p, *file, units);
  if (start.priming_frames <= 0 && start.priming_units <= 0) return begin_file(p, file, units);
  if (!begin_file(p, file, seek_units_of_frame(*file, start.read_from))) return false;
  // Set before any frame is written, so before the output side reaches the mark.
  file->played_from = units;
  p.priming_frames = start.priming_frames;
  p.priming_units = start.priming_units;
  return true;
}

// The reader side forgets the file it read and the player's state; the
// current file is closed.
void forget_reading(player& p) {
  close_music_file(p.current_file, p.reader);
  p.pcm = {};
  p.dsd_carry_bytes = 0;
  p.stream_ends = false;
  p.last_read = nullptr;  // cut: no tail to play
  p.tail_frames = -1;
  p.priming_frames = 0;
  p.priming_units = 0;
  // The player sees whether the music ended in a fade to silence.
  if (p.parts.restart != nullptr) p.parts.restart(p);
  p.fade = {};
}

// The music handed to the device ends in a short fade instead of a step:
// the file is read again from where that music ended (the player's history
// first), faded out, and the filter's tail follows; no mark, so the output
// side goes on with the file it hands over. DSD passed through has no fade.
// Leaves the reader side as forget_reading does. into_silence: the
// stream's silence follows.
void fade_out_at(player& p, jump_target at, bool into_silence) {
  if (at.index < 0 || at.index >= p.file_count || p.control.handed_index.load() < 0) return;
  music_file* file = &p.files[at.index];
  const primed_start start = fades(p, *file) ? primed_start_at(p, *file, at.units) : primed_start{};
  if (!fades(p, *file) || open_file_at(p, file, seek_units_of_frame(*file, start.read_from)) < 0) {
    p.current_file = &p.files[p.file_count];
    return;
  }
  p.priming_frames = start.priming_frames;
  p.priming_units = start.priming_units;
  p.fade = fade_ramp_for(frames_per_second(*file), true);
  // A few milliseconds: converted here, the queue being empty.
  // Also after an interrupt, which ends the stream in this fade.
  const auto playing = [&p] { return p.job->stop.load() == 0; };
  for (int32_t steps = 0; !fade_out_done(p.fade) && playing() && steps < kFadeStepsAtMost; ++steps) {
    if (!p.convert(p)) break;
  }
  for (int32_t steps = 0; p.parts.end_of_stream != nullptr && playing() && steps < kFadeStepsAtMost; ++steps) {
    if (p.parts.end_of_stream(p, *file)) break;
  }
  for (int32_t steps = 0; into_silence && p.parts.into_silence != nullptr && playing() && steps < kFadeStepsAtMost;
       ++steps) {
    if (p.parts.into_silence(p)) break;
    usleep(kDrainPollMicros);
  }
  forget_reading(p);
}

// Asks the output side to drop everything queued and waits until it has;
// false when playback stops first.
bool drop_queued_music(player& p) {
  p.control.drop_queued.store(true);
  while (p.control.drop_queued.load()) {
    if (p.job->stop.load() != 0) return false;
    usleep(kDrainPollMicros);
  }
  if (p.parts.frames_dropped != nullptr) p.parts.frames_dropped(p, p.control.frames_dropped.load());
  return true;
}

// How a jump reads on: from its target; from where the music handed to the
// device ends, made again (brisa's volume is in its frames); or, for a
// pause, from there after the pause.
enum class jump_kind : uint8_t { to_target, remake, pause };

// Drops everything queued and reads on from target: a file, and the
// position in it; past the file's end the next one, past the last file
// nothing more is read. The music dropped fades out and the music read on
// fades in, except for a remake, which goes on seamlessly. True when
// reading goes on.
bool jump_to(player& p, jump_target target, jump_kind kind = jump_kind::to_target) {
  ringbuffer* rb = p.rb.get();
  const bool reads_on = kind != jump_kind::to_target || target.index < p.file_count;
  p.jumped = target;
  p.control.jumps_asked.store(p.control.jumps_asked.load() + 1);
  // Open again before the drop, so the output side never finds the list played out.
  if (reads_on) ringbuffer_reopen(rb);
  if (stopping(p) || !drop_queued_music(p)) return false;
  const jump_target handed = handed_end(p);
  if (kind != jump_kind::to_target) p.jumped = target = handed;
  forget_reading(p);
  if (kind != jump_kind::remake) fade_out_at(p, handed, kind == jump_kind::pause);
  if (kind == jump_kind::pause) {
    // The fade is heard, then the stream's silence while paused.
    while (ringbuffer_used(rb) > 0 && !stopping(p)) usleep(kDrainPollMicros);
    p.control.paused.store(true);
  }
  for (; target.index < p.file_count; ++target.index, target.units = 0) {
    music_file* file = &p.files[target.index];
    if (kind == jump_kind::remake ? begin_file_primed(p, file, target.units) : begin_file(p, file, target.units)) {
      if (kind != jump_kind::remake && fades(p, *file)) p.fade = fade_ramp_for(frames_per_second(*file), false);
      p.jumped = {target.index, p.current_file->played_from};
      return true;
    }
  }
  p.jumped = {p.file_count, 0};
  p.current_file = &p.files[p.file_count];
  ringbuffer_finish(rb);
  return false;
}

// The target of a seek by millis from where the last jump went or the
// listener is (relative), or to millis into that file; clamped at its start.
jump_target seek_target(const player& p, int64_t millis, bool relative) {
  const jump_target from = jump_base(p);
  const int64_t offset = millis / 1000 * kOversampledRate + millis % 1000 * kOversampledRate / 1000;
  return {from.index, std::max<int64_t>((relative ? from.units : 0) + offset, 0)};
}

// Acts on a key typed or sent through a pipe. True when a skip has the
// main loop read on.
bool act_on_key(player& p, int key) {
  switch (key) {
    case -1: return false;
    case ' ': return player_set_paused(p, !p.control.paused.load());
    case 'n':
    case 'p': return jump_to(p, skip_target(p, key));
    case ',':
    case kKeyLeft: return player_seek(p, -kSeekStepMillis, true);
    case '.':
    case kKeyRight: return player_seek(p, kSeekStepMillis, true);
    case 'q': abort_requested.store(-1); return false;  // as Ctrl-C
    default:
      // A change shows at once, not with the next second.
      if (p.parts.on_key != nullptr && p.parts.on_key(p, key)) p.seconds_shown = -1;
      return false;
  }
}

// Acts on the keys that have come, up to a bound, before anything more is
// converted: a burst of skips is not heard file by file. True when a skip
// has the main loop read on.
bool poll_keys(player& p) {
  if (p.channel != nullptr) return control_session_step(*p.channel, p, act_on_key);
  constexpr int32_t kKeysPerPoll = 64;
  bool reads_on = false;
  for (int32_t i = 0; i < kKeysPerPoll; ++i) {
    const int key = key_decoder_next(p.keys, poll_keyboard, monotonic_micros());
    if (key < 0) break;
    reads_on = act_on_key(p, key) || reads_on;
  }
  return reads_on;
}

// What the player still holds goes out as room allows, then the stream
// takes no more. True once the stream is finished.
bool end_stream(player& p) {
  if (p.parts.end_of_stream != nullptr && p.last_read != nullptr && !p.parts.end_of_stream(p, *p.last_read)) {
    return false;
  }
  ringbuffer_finish(p.rb.get());
  return true;
}

// After an interrupt the music handed to the device fades out, then the
// stream ends in its silence: the output side waits for this (a little
// while) before it ends the stream.
void end_in_fade(player& p) {
  if (p.job->stop.load() == 0 && !p.control.ending_faded.load()) {
    ringbuffer_reopen(p.rb.get());
    if (drop_queued_music(p)) {
      forget_reading(p);
      fade_out_at(p, handed_end(p), true);
    }
  }
  p.current_file = &p.files[p.file_count];
  ringbuffer_finish(p.rb.get());
  p.control.ending_faded.store(true);
}

// Converts until the stream has taken all it can carry or playback stops.
void main_loop(player& p) {
  ringbuffer* rb = p.rb.get();
  for (;;) {
    if (p.job->stop.load()) return;
    if (abort_requested.load()) {
      end_in_fade(p);
      return;
    }
    progress_step(p);
    poll_keys(p);
    if (!rb->active.load()) return;
    if (p.stream_ends || p.current_file->index < 0) {
      if (end_stream(p)) return;
      usleep(kRingPollMicros);  // the tail waits for room
      continue;
    }
    if (p.convert(p)) {
      // Others ready to run go first; a zero sleep would wait out the
      // timer slack (some 50 us) after every step.
      sched_yield();
    } else if (p.current_file->index >= 0) {
      usleep(kRingPollMicros);  // the buffer is full: let the output side play
    }
  }
}

// Waits for the output side to take everything queued; true when a skip
// has the main loop read on.
bool drain(player& p) {
  while (ringbuffer_used(p.rb.get()) > 0 && !stopping(p)) {
    progress_step(p);
    // A player's own key may have made the queued music again (brisa's volume).
    if (poll_keys(p) || p.rb->active.load()) return true;
    usleep(kDrainPollMicros);
  }
  return false;
}

// Creates the ring buffer for a stream that begins with the current file
// (open already).
void open_ring(player& p, int32_t unit) {
  // A mark for every file the list can grow to while the stream plays.
  p.rb = ringbuffer_new(p.buffer_bytes, unit, p.list != nullptr ? p.list->capacity() : p.file_count);
  if (!p.rb) fatal_error("ringbuffer_new() failed.\n");
  ringbuffer_mark_file(p.rb.get(), p.current_file->index);
  p.stream_file = p.current_file;
  p.tail_frames = -1;
  p.playing_file.store(p.current_file);
}

// Fills the ring buffer, just opened, to 80 percent.
void prefill(player& p) {
  ringbuffer* rb = p.rb.get();
  int32_t percent_shown = -1;
  while (rb->active.load() && ringbuffer_fill_percent(rb) < kPrefillPercent && !abort_requested.load() &&
         !p.stream_ends) {
    const int32_t percent = ringbuffer_fill_percent(rb);
    if (!p.silent && percent != percent_shown) {
      print_fitted_position_line({.seconds = 0,
                                  .remaining_seconds = std::nullopt,
                                  .fill_percent = percent,
                                  .volume_db = shown_volume(p),
                                  .status = "filling buffer"});
      percent_shown = percent;
    }
    if (!p.convert(p)) break;
    sched_yield();
  }
  // A step stops short when interrupted: the interrupt ends it, not the fill.
  if (abort_requested.load()) fatal_error("exit by interrupt\n");
}

// Plays the ring buffer as one stream: the output thread plays it while
// the main loop fills it, until the stream ends.
void play_stream(player& p, output_stream& stream) {
  output_job job{&stream, p.rb.get(), p.files, &p.playing_file, &p.control};
  p.job = &job;
  p.stream_format = stream.format;
  p.stream_rate = stream.rate;
  pthread_t output_thread_id;
  if (pthread_create(&output_thread_id, nullptr, output_thread, &job) != 0) fatal_error("pthread_create() failed.\n");
  do {
    main_loop(p);
  } while (drain(p));
  if (abort_requested.load() && !p.control.ending_faded.load()) end_in_fade(p);
  clear_fitted_position_line(true);
  if (pthread_join(output_thread_id, nullptr) != 0) fatal_error("pthread_join() failed.\n");
  printf("\n");
  p.job = nullptr;
  if (job.stop_reason != nullptr && !abort_requested.load()) fatal_error("playback stopped: %s.\n", job.stop_reason);
}

}  // namespace

void player_setup(player& p, const player_parts& parts, play_list& list, bool silent, const char* mode_name) {
  p.parts = parts;
  p.silent = silent;
  p.mode_name = mode_name;
  p.files = list.first();
  p.file_count = list.count();
  p.list = &list;
}

refusal player_first_refusal(player& p) {
  for (int32_t i = 0; i < p.file_count; ++i) {
    if (refusal why = open_file(p, &p.files[i])) return why;
    close_music_file(&p.files[i], p.reader);
  }
  return {};
}

void player_check_files(player& p) {
  if (const refusal why = player_first_refusal(p)) fatal_refusal(why);
}

bool player_next_file(player& p) {
  p.pcm = {};
  music_file* file = p.current_file;
  if (file->index < 0) return true;
  close_music_file(file, p.reader);
  p.last_read = file;
  p.current_file = file->next;
  if (p.current_file->index >= 0) begin_file(p, p.current_file);
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
  player_begin_stream(p, buffer_bytes, unit);
  prefill(p);
}

void player_begin_stream(player& p, int32_t buffer_bytes, int32_t unit) {
  p.buffer_bytes = buffer_bytes;
  p.current_file = &p.files[0];
  open_or_stop(p, p.current_file);
  open_ring(p, unit);
}

bool player_convert_step(player& p) {
  if (!p.rb->active.load()) return false;
  if (p.stream_ends || p.current_file->index < 0) {
    if (end_stream(p)) close_music_file(p.current_file, p.reader);
    return true;
  }
  p.convert(p);
  return true;
}

void player_play(player& p, output_stream& stream) {
  if (p.channel == nullptr) enter_key_mode();  // the channel's commands are whole lines
  play_stream(p, stream);
  while (p.stream_ends && !abort_requested.load()) {
    // The file read last needs a stream of its own, now that this one has played out.
    p.stream_ends = false;
    p.rb.reset();
    stream = p.parts.stream_for(p, *p.current_file);
    open_ring(p, stream.frame_bytes);
    prefill(p);
    play_stream(p, stream);
  }
  close_music_file(p.current_file, p.reader);
  p.rb.reset();
  if (!p.silent && !abort_requested.load() && p.current_file->index < 0) printf("end of the play list.\n");
}

bool player_pcm_step(player& p, int32_t room_bytes, pcm_frame_function convert_frame) {
  music_file* file = p.current_file;
  // An interrupt ends the music in a fade-out: that one is still converted.
  if ((abort_requested.load() && !p.fade.down) || file->index < 0) return false;
  bool converted = false;
  if (fade_out_done(p.fade)) return false;
  if (p.pcm.pending <= 0) {
    // A fade cut short by the file's end: its end is the fade's.
    if (!pcm_block_read(p.pcm, file, p.reader->read)) return p.fade.down ? false : player_next_file(p);
    converted = true;  // a block read counts as work done
  }
  if (p.pcm.row == nullptr) p.pcm.row = find_sample_descriptor(file->sample_format);  // null for float samples
  const int32_t sample_bytes = file->bytes_per_sample;
  // Room for all one input frame can become, so none stops half-way.
  while (p.pcm.pending > 0 && ringbuffer_space(p.rb.get()) >= room_bytes && !fade_out_done(p.fade)) {
    const uint8_t* frame = pcm_block_next_frame(p.pcm, sample_bytes);
    if (frame == nullptr) break;
    convert_frame(p, frame);
    ++p.frame_in_file;
    converted = true;
  }
  return converted;
}

namespace {

// A file's last bytes short of a read go on into the next file when that
// continues the stream at the same DSD rate; otherwise they go out padded
// with the idle byte.
void end_of_dsd_file(player& p, dsd_write_function write_frames) {
  const music_file& file = *p.current_file;
  const music_file& next = *file.next;
  const bool carries =
      next.index >= 0 && is_dsd(next) && next.format.sample_rate == file.format.sample_rate && joins_stream(p, next);

  if (p.dsd_carry_bytes > 0 && !carries) {
    std::fill(p.dsd_carry + std::exchange(p.dsd_carry_bytes, 0), std::end(p.dsd_carry), kDsdPaddingByte);
    write_frames(p, std::span<const uint8_t>(p.dsd_carry));
  }
  player_next_file(p);
}

}  // namespace

bool player_dsd_step(player& p, int32_t frame_bytes, int32_t frames_per_read, dsd_write_function write_frames) {
  music_file* file = p.current_file;
  // An interrupt ends the music in a fade-out: that one is still converted.
  if ((abort_requested.load() && !p.fade.down) || file->index < 0 || fade_out_done(p.fade)) return false;
  const int32_t free_frames = ringbuffer_space(p.rb.get()) / frame_bytes;
  if (free_frames < kDsdMinFreeFrames) return false;
  const int32_t budget = std::min(free_frames, kDsdBudgetFrames);
  for (int32_t written = 0; written + frames_per_read <= budget && !fade_out_done(p.fade);) {
    // What the file before left over comes first.
    uint8_t input[2 * kDsdReadBytes];
    const int32_t carried = p.dsd_carry_bytes;
    std::copy_n(p.dsd_carry, carried, input);
    const int32_t n = p.reader->read(file, input + carried, kDsdReadBytes);
    if (n <= 0 && p.fade.down) return false;  // a fade cut short by the file's end: its end is the fade's
    if (n <= 0) {
      end_of_dsd_file(p, write_frames);
      return true;
    }
    const int32_t have = carried + n;
    // Short of a whole read, all of it waits: the file's end is near.
    p.dsd_carry_bytes = have < kDsdReadBytes ? have : have - kDsdReadBytes;
    std::copy_n(input + have - p.dsd_carry_bytes, p.dsd_carry_bytes, p.dsd_carry);
    if (have < kDsdReadBytes) continue;
    written += write_frames(p, std::span<const uint8_t>(input, kDsdReadBytes));
  }
  return true;
}

int32_t player_write_dsd_frames(player& p, dsd_packing& packing, std::span<const uint8_t> bytes) {
  const int32_t per_frame = dsd_bytes_per_frame(packing);
  int32_t frames = 0;
  for (size_t at = 0; at + per_frame <= bytes.size(); at += per_frame, ++frames) {
    uint8_t* out = player_frame_slot(p, packing.frame_bytes);
    if (out == nullptr) break;  // the steps make room first: never here
    dsd_pack_frame(packing, bytes.data() + at, out);
    ringbuffer_commit(p.rb.get(), packing.frame_bytes);
  }
  return frames;
}

bool player_flush_filter(player& p, int32_t input_rate, double delay_seconds, int32_t room_bytes,
                         float_pair_function filter_pair) {
  // The taps reach as far after an input frame as before it: twice the delay.
  if (p.tail_frames < 0) p.tail_frames = static_cast<int64_t>(std::ceil(2 * delay_seconds * input_rate)) + 1;
  constexpr float kSilence[2] = {0.0f, 0.0f};
  for (; p.tail_frames > 0 && ringbuffer_space(p.rb.get()) >= room_bytes; --p.tail_frames) filter_pair(p, kSilence);
  return p.tail_frames == 0;
}

uint8_t* player_frame_slot(player& p, int32_t frame_bytes) {
  if (ringbuffer_space(p.rb.get()) < frame_bytes) return nullptr;
  return ringbuffer_write_area(p.rb.get()).data();
}

bool player_read_on(player& p) {
  music_file* file = p.current_file;
  if (!p.rb || file == nullptr || file->index < 0 || p.stream_ends || abort_requested.load()) return false;
  ringbuffer_reopen(p.rb.get());
  p.tail_frames = -1;  // the filter's tail, if begun, leads into the new file
  begin_file(p, file);
  return true;
}

bool player_remake_queued(player& p) {
  if (p.rb == nullptr || p.playing_file.load() == nullptr || p.job == nullptr) return false;
  return jump_to(p, jump_base(p), jump_kind::remake);
}

bool player_set_paused(player& p, bool paused) {
  if (paused == p.control.paused.load()) return false;
  p.seconds_shown = -1;  // the line says so at once
  if (!paused || p.rb == nullptr || p.job == nullptr || p.playing_file.load() == nullptr) {
    p.control.paused.store(paused);
    return false;
  }
  return jump_to(p, jump_base(p), jump_kind::pause);
}

bool player_seek(player& p, int64_t millis, bool relative) {
  if (p.rb == nullptr || p.playing_file.load() == nullptr) return false;
  return jump_to(p, seek_target(p, millis, relative));
}
