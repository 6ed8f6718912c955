// What the player says it is playing, read from its normal (not --silent)
// output: the file header each file starts with,
//   playing file 2/5 total 03:12 "b.wav" "/music/b.wav"
// and the position line it rewrites in place every second,
//   \rposition 01:07 buffer 80[%] ...\r
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct now_playing {
  std::string name;         // the file name the header quotes first
  int32_t file_number = 0;  // from 1; 0 before the first header
  int32_t file_count = 0;
  int64_t total_seconds = 0;
  int64_t position_seconds = 0;
  bool operator==(const now_playing&) const = default;
};

// The record and the line read so far, which a later feed completes.
struct now_playing_reader {
  now_playing now;
  std::string line;
};

// Reads the complete lines (ended by "\n" or "\r") of more output; true
// when `reader.now` changed.
bool now_playing_feed(now_playing_reader& reader, std::string_view text);

// "3:07", "1:02:03".
std::string format_duration(int64_t seconds);
