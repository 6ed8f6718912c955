// The engine's side of the control channel (--control): reads command lines
// from standard input between two conversion steps, acts on them, and sends
// an event line on every change the main loop sees, and every half second
// of music heard. The events go to the standard output the program was
// given; the human texts go to standard error from then on.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "music_file.h"

struct player;

struct control_session {
  int events_fd = -1;       // where the events go
  std::string pending;      // the bytes of a command line not yet ended
  bool discarding = false;  // a line too long: dropped up to its newline
  bool input_ended = false;
  // Commands that came while the DAC was waited for before playback, kept for it.
  std::deque<std::string> held;
  std::string_view stop_reason;  // why playback stops, once asked
  // What the events said last; a status command forgets it all.
  const music_file* file_sent = nullptr;
  int32_t index_sent = -1;
  std::string state_sent;
  std::string format_sent;
  int64_t half_seconds_sent = -1;
  int32_t volume_sent = INT32_MIN;
  int32_t count_sent = -1;
  int32_t device_waits_seen = 0;  // the output side's waits for a lost DAC, as last seen
};

// Moves the human output off standard output, keeping standard output for
// the events. False when the descriptors cannot be had.
bool control_session_begin(control_session& session);

// One command line read and acted on, if one came, then the events of what
// changed. act_on_key is the engine's transport (space, n, p). True when a
// skip or a seek has the main loop read on.
using key_action = bool (*)(player& p, int key);
bool control_session_step(control_session& session, player& p, key_action act_on_key);

// The main thread waits for the DAC, before playback or before a stream of
// its own: says so once (state waiting) until the next step sends the state.
void control_session_wait_begins(control_session& session);

// The command lines that came while the main thread waits for the DAC: quit
// ends the wait (false), status sends the state again, a malformed line its
// error; the others are kept, in order, for once playback runs.
bool control_session_wait_step(control_session& session);

// The last events of a run that ends normally: stopped, with the reason,
// and the exit status.
void control_session_end(control_session& session, int exit_status);

// An event line sent as it is.
void control_session_send(const control_session& session, std::string_view line);
