// The engine both players run on. The main thread reads the play list's
// files one after the other and converts them into output frames in a ring
// buffer; the output thread (pcm_output) plays the buffer. This module owns
// that hand-over: the file change, the ring buffer's size, pre-fill, the main
// loop, the drain and the progress line. Each player brings its readers, its
// conversion steps and its output stream.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "dsd_frame.h"
#include "fade_ramp.h"
#include "key_decoder.h"
#include "music_file.h"
#include "pcm_block.h"
#include "pcm_output.h"
#include "ringbuffer.h"
#include "util.h"

struct player;
struct control_session;

// DSD is read kDsdReadBytes at a time: four bytes a channel, interleaved.
constexpr int32_t kDsdReadBytes = 8;

// A conversion step: converts what fits of the current file into the ring
// buffer without waiting for room, and moves on to the next file at the end
// of one. False when there was nothing to do: no room, or the whole list is
// read. Only the main loop waits, reads keys and prints.
using convert_function = bool (*)(player& p);

// A place music is made again from: an input frame of a file, and where in
// the file (1/352800 s) its first output frame lies.
struct resume_place {
  int64_t units = 0;
  int64_t frame = 0;
};

// A player's own parts. context is the player's state for this run (its
// frame layout, filter, modulators): the steps find it in p.parts; the
// engine never looks inside.
struct player_parts {
  minutes_format header_minutes;          // of the file header's total time
  std::span<const music_reader> readers;  // tried in order
  void* context = nullptr;
  // The conversion step for a recognised file, with what it needs set up
  // (the filter); null, with the reason in *why, for a file it refuses.
  convert_function (*prepare_file)(player& p, music_file& file, refusal* why) = nullptr;
  // The volume in dB to show, for a player that has one (the position line
  // shows it).
  int32_t (*volume_db)(const player& p) = nullptr;
  // Runs when a stream ends (the end of the list, or a file that needs a
  // stream of its own), last being the file read last: writes what fits of
  // what the player still holds (the filter's tail). True once all of it is
  // out; until then it is called again. Null: the player holds nothing.
  bool (*end_of_stream)(player& p, const music_file& last) = nullptr;
  // After a fade-out that the stream's silence follows (a pause, the end of
  // playback), once end_of_stream is done: writes what takes the player's
  // output into that silence without a step. True once all of it is out;
  // until then it is called again. Null: the silence follows as it is.
  bool (*into_silence)(player& p) = nullptr;
  // A key typed while playing beside the transport keys (space, n, p, q),
  // for a player that has more; true when it changed what the progress line
  // shows.
  bool (*on_key)(player& p, int key) = nullptr;
  // Sets the volume in dB for a player that has one; false for a value it
  // does not take.
  bool (*set_volume_db)(player& p, int32_t db) = nullptr;
  // The stream carries DSD whatever the file (a PCM format is DoP).
  bool sends_dsd = false;
  // DSD files go through the player's own conversion, where a fade scales
  // them as it does PCM; otherwise they pass as they are, without fades.
  bool fades_dsd = false;
  // For a player whose stream follows the file: whether file can go on in
  // the stream set up for `streamed`, and the stream for one that cannot
  // (probed, the player's layout set). Null: one stream carries the list.
  bool (*joins_stream)(const player& p, const music_file& streamed, const music_file& file) = nullptr;
  output_stream (*stream_for)(player& p, const music_file& first) = nullptr;
  // After a jump (skip or seek) has dropped what was queued: the player's
  // state (filter, modulators) starts again from rest, with nothing of the
  // music dropped; p.fade tells whether what was written last faded out to
  // silence. Null: it holds none.
  void (*restart)(player& p) = nullptr;
  // Input frames of file the player's conversion must see before a place to
  // go on from there as it did (the filter's reach). Null: none.
  int64_t (*history_frames)(const player& p, const music_file& file) = nullptr;
  // The input frames the history comes in whole numbers of (the filter's
  // phases repeat after them). Null: 1.
  int64_t (*history_cycle)(const player& p, const music_file& file) = nullptr;
  // The queued frames were dropped, frames of them: the player's frame
  // count (its DoP markers) goes on from the last frame handed over. Null:
  // it keeps none.
  void (*frames_dropped)(player& p, int32_t frames) = nullptr;
  // Music is made again from units (1/352800 s) into file, where the
  // device's music ends: the player sets its state (the modulators) as it
  // was at a place it knows at or before units, and returns that place; the
  // engine converts from there and writes from units on. None (or null):
  // the input frame at units.
  std::optional<resume_place> (*resume_from)(player& p, const music_file& file, int64_t units) = nullptr;
  // A line the player prints under a file's header (brisa's ReplayGain);
  // empty for none. Null: the player has nothing to say.
  std::string (*file_note)(const player& p, const music_file& file) = nullptr;
};

// Where the listener will be once the last jump (skip or seek) is heard:
// a file of the list (the count: past the last one) and the position in it
// in 1/352800 s.
struct jump_target {
  int32_t index = -1;  // -1: no jump yet
  int64_t units = 0;
};

struct player {
  player_parts parts;
  bool silent = false;              // progress as plain numbers, for a front end
  const char* mode_name = nullptr;  // shown after the position
  music_file* files = nullptr;
  int32_t file_count = 0;
  play_list* list = nullptr;  // grows while playing (files appended) through the control channel
  // The control channel (--control), which replaces the keys; null without it.
  control_session* channel = nullptr;
  ringbuffer_ptr rb;
  music_file* current_file = nullptr;    // being read; the terminator after the last one
  const music_reader* reader = nullptr;  // of the current file
  convert_function convert = nullptr;    // of the current file
  pcm_block pcm;                         // the PCM steps' block of the current file
  // DSD bytes short of a whole read at the end of a file, carried into the
  // next one so that DSD lists play without a gap.
  uint8_t dsd_carry[kDsdReadBytes] = {};
  int32_t dsd_carry_bytes = 0;
  const music_file* stream_file = nullptr;  // the file the output stream was set up for
  const music_file* last_read = nullptr;    // the file read to its end last, for the stream's tail
  bool stream_ends = false;                 // the current file needs a stream of its own
  // Input frames of silence still to go through the filter at the stream's
  // end (player_flush_filter); -1 until the tail begins.
  int64_t tail_frames = -1;
  // Input frames read on after a jump that only fill the player's state (the
  // filter's history): the player converts them without writing them.
  int64_t priming_frames = 0;
  // After them, output in 1/352800 s that the device had before the jump:
  // converted again for the player's state, not written.
  int64_t priming_units = 0;
  // The input frame of the current file converted now (between steps, the
  // next one): where its reader was sought to, counted on by the PCM step.
  int64_t frame_in_file = 0;
  // The gain ramp on the PCM converted now: a fade-out of music cut, a
  // fade-in after a cut.
  fade_ramp fade;
  int32_t buffer_bytes = 0;
  // The output thread's job while a stream plays, for its stop flag.
  const output_job* job = nullptr;
  // The stream's format and rate as probed, copied before its output thread
  // (which opens the device again) starts: for the control channel.
  int32_t stream_format = 0;
  int32_t stream_rate = 0;
  // The file being heard: moved by the output thread, read by the progress
  // line and the skip keys.
  std::atomic<music_file*> playing_file{nullptr};
  playback_control control;
  music_file* shown_file = nullptr;  // whose header was printed last
  int32_t seconds_shown = -1;
  key_decoder keys;
  // The last jump asked for: until it is heard (control.jumps_heard), the
  // next jump is computed from it rather than from what is heard.
  jump_target jumped;
};

// Sets the engine up for the list, its progress shown as asked.
void player_setup(player& p, const player_parts& parts, play_list& list, bool silent, const char* mode_name);

// The first file of the list that cannot be played, each file opened and
// closed once as for playing; none when all can.
refusal player_first_refusal(player& p);

// Stops the program, before any sound, at the first file that cannot be
// played.
void player_check_files(player& p);

// Moves on to the next file of the list; past the last one current_file is
// the terminator. Returns true (the step did something).
bool player_next_file(player& p);

// The ring buffer's size in bytes for -B size (0: not given), with a warning
// when the size given is below the default.
int32_t player_buffer_bytes(int32_t requested);

// Creates the ring buffer (unit bytes, a whole number of frames), opens the
// first file and fills the buffer to 80 percent.
void player_prefill(player& p, int32_t buffer_bytes, int32_t unit);

// Without a device, for running the steps on any list whose files all
// open (player_first_refusal): begins the first stream in a ring buffer of
// buffer_bytes (unit as for player_prefill). Each player_convert_step then
// converts a little, or at the stream's end sends what the player still
// holds (the filter's tail); the caller takes the frames out of p.rb in
// between. False once the stream has ended.
void player_begin_stream(player& p, int32_t buffer_bytes, int32_t unit);
bool player_convert_step(player& p);

// Starts the output thread on the stream, converts the rest of the list
// while it plays, and obeys the keys: space pauses, n and p skip, q quits.
// A file that needs a stream of its own waits for this one to play out,
// then plays on a stream of its own. Closes the last file at the end. A
// playback that stopped on the device's account is fatal.
void player_play(player& p, output_stream& stream);

// A PCM step: one block of the current file's samples, frame by frame
// through convert_frame, each once room_bytes (all one frame can become) are
// free in the ring buffer; a block that does not fit waits in p.pcm for the
// next step. At the end of the file, the next one.
using pcm_frame_function = void (*)(player& p, const uint8_t* frame);
bool player_pcm_step(player& p, int32_t room_bytes, pcm_frame_function convert_frame);

// A DSD step: reads of kDsdReadBytes handed to write_frames, which writes
// them as frames and returns how many, for up to kDsdBudgetFrames frames
// while at least kDsdMinFreeFrames are free (always room for what it
// writes). A file's last bytes short of a read carry into the next file of
// the same DSD rate; only a stream's last read is short (write_frames pads
// it).
using dsd_write_function = int32_t (*)(player& p, std::span<const uint8_t> read);
bool player_dsd_step(player& p, int32_t frame_bytes, int32_t frames_per_read, dsd_write_function write_frames);

// Writes interleaved DSD bytes (left, right, left, ...) as whole frames laid
// out by packing, each where player_frame_slot puts it; bytes short of a
// frame are left out. Returns the frames written.
int32_t player_write_dsd_frames(player& p, dsd_packing& packing, std::span<const uint8_t> bytes);

// The filter's tail, for end_of_stream: feeds it silence at input_rate
// until every input frame has passed all its taps (the taps reach
// delay_seconds after a frame as before it), each pair through filter_pair
// once room_bytes are free. True once the whole tail is out.
using float_pair_function = void (*)(player& p, const float (&pair)[2]);
bool player_flush_filter(player& p, int32_t input_rate, double delay_seconds, int32_t room_bytes,
                         float_pair_function filter_pair);

// Files were appended to the list once its end had been read: reading goes
// on with current_file, in this stream when it joins it. True when the main
// loop reads on.
bool player_read_on(player& p);

// Moves what is heard to millis into the file being heard, or by millis
// from where it is when relative: clamped at the file's start, past its end
// the next file. True when reading goes on.
bool player_seek(player& p, int64_t millis, bool relative);

// Makes the queued music again, from where the music handed to the device
// ends: what the player changed (brisa's volume) is heard at once. True
// when reading goes on.
bool player_remake_queued(player& p);

// Pauses, the music fading out before the stream's silence (read on from
// there, to fade in on resuming), or resumes. True when reading goes on.
bool player_set_paused(player& p, bool paused);

// Where the next frame of frame_bytes goes in the ring buffer, or null when
// there is no room for it. Commit it when written.
uint8_t* player_frame_slot(player& p, int32_t frame_bytes);
