// lumen's process-wide player state, shared by the main thread (reading,
// converting, showing progress) and the output thread (playing).
#pragma once

#include <atomic>
#include <cstdint>

#include "music_file.h"
#include "ringbuffer.h"
#include "stream_constants.h"


using convert_function = int32_t (*)();

struct player_state {
  ringbuffer_ptr rb;
  music_file* shown_file = nullptr;  // whose header was printed last
  convert_function convert = nullptr;
  read_function read = nullptr;      // reader of the file opened last
  music_file* current_file = nullptr;  // being read; the terminator after the last file
  music_file* files = nullptr;
  int32_t file_count = 0;
  // The file being heard: moved by the output thread, read by main's progress line.
  std::atomic<music_file*> playing_file{nullptr};
};
extern player_state state;

// The whole program: start-up, playback of the list, exit status.
int lumen_main(int argc, char** argv);
