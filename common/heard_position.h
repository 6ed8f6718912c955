// What the listener hears now. Frames handed to the device are heard only
// once the device has played what it held before them (half a second), so
// the output thread notes each run of music it hands over and applies it to
// the play list (the file playing, its position) when the device's delay
// says it has been played.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "music_file.h"

// A run of music handed to the device: from start_frame of the stream
// (silence included) on, the listener hears file, its position having
// moved on by units once the run is over.
struct handed_run {
  int64_t start_frame;
  music_file* file;
  int64_t units;            // in 1/352800 s
  bool file_starts;         // the run begins the file (again, after a skip back)
  int64_t start_units = 0;  // with file_starts: the file's position at the run's start
  int32_t jump = 0;         // the jump (skip or seek) whose first frames these are, or 0
};

struct heard_position {
  // Far more runs than a half-second device buffer holds at one write a
  // millisecond; when full, the oldest is applied early.
  std::array<handed_run, 1024> runs{};
  int32_t first = 0;
  int32_t count = 0;
  int32_t jump_heard = 0;  // the last jump whose run has been applied
};

// Notes a run just handed over.
void heard_note(heard_position& heard, std::atomic<music_file*>& playing, const handed_run& run);

// Applies every run the device has begun to play, heard_frame being the
// stream's frame it plays now: moves `playing` and the files' positions.
void heard_advance(heard_position& heard, std::atomic<music_file*>& playing, int64_t heard_frame);

// Moves every run not yet applied `frames` later in the stream: the frames
// they describe are handed to the device again, after a gap.
void heard_shift(heard_position& heard, int64_t frames);

// Applies every run noted: at the end of the stream.
void heard_all(heard_position& heard, std::atomic<music_file*>& playing);
