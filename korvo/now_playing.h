// What the player says it is playing, read from the events it sends on its
// standard output under --control (see control_channel.h): one line each,
//   file 1 /music/b.wav
//   list 5
//   tag artist Miles Davis
//   position 67.500 192.000
//   state paused
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class player_state : uint8_t { unknown, playing, paused, waiting, stopped };

struct now_playing {
  std::string name;         // the file name of the path the file event gives
  int32_t file_number = 0;  // from 1; 0 before the first file event
  int32_t file_count = 0;
  std::string artist;
  std::string title;
  int64_t position_ms = 0;
  int64_t duration_ms = 0;
  player_state state = player_state::unknown;
  std::string format;  // "44100:24:2", "dsd256", "dop128"
  std::string error;   // the last error event's text
  std::optional<int> exit_status;
  bool operator==(const now_playing&) const = default;
};

// The record and the line read so far, which a later feed completes.
struct now_playing_reader {
  now_playing now;
  std::string line;
  bool overlong = false;  // the line is being skipped to its end
};

// Reads the complete event lines of more output; true when `reader.now`
// changed. Unknown events and malformed lines are passed over.
bool now_playing_feed(now_playing_reader& reader, std::string_view text);

// "3:07", "1:02:03".
std::string format_duration(int64_t seconds);

// "Artist — Title", the one present alone, or empty.
std::string now_playing_tags(const now_playing& now);
