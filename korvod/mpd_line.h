// The MPD protocol's lines: a request split into its command and arguments
// as MPD's clients quote them, and the pieces of a response (fields, ACK).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The longest line a client may send, newline excluded.
constexpr size_t kMpdLongestLine = 64 * 1024;
// The most arguments one command takes.
constexpr size_t kMpdMostArguments = 256;

// The ACK codes clients know.
enum class mpd_error : int32_t {
  not_list = 1,
  arg = 2,
  password = 3,
  permission = 4,
  unknown = 5,
  no_exist = 50,
  playlist_max = 51,
  system = 52,
  playlist_load = 53,
  update_already = 54,
  player_sync = 55,
  exist = 56,
};

struct mpd_request {
  std::string command;
  std::vector<std::string> args;
};

// A request line split: the command word (letters, digits, '_'), then
// arguments, each a bare word or a double-quoted string in which a
// backslash takes the next byte as it is. Empty, with the reason in *why,
// for a line that cannot be read that way.
std::optional<mpd_request> mpd_parse_line(std::string_view line, std::string* why);

// An argument quoted so that mpd_parse_line reads it back.
std::string mpd_quote(std::string_view text);

// "ACK [code@index] {command} message\n"
std::string mpd_ack(mpd_error code, size_t index, std::string_view command, std::string_view message);

// "key: value\n", the value's control bytes (a newline would end the
// field) written as spaces.
std::string mpd_field(std::string_view key, std::string_view value);

// An unsigned number argument; empty unless the whole text is one.
std::optional<int64_t> mpd_parse_integer(std::string_view text);
// "START:END" or "POS" (END = POS + 1); END may be left out ("START:") for
// the end of the list, given as `open_end`.
struct mpd_range {
  int64_t start = 0;
  int64_t end = 0;
};
std::optional<mpd_range> mpd_parse_range(std::string_view text, int64_t open_end);
// Seconds with a fraction ("83", "83.5", "+10", "-2.25") as milliseconds;
// `relative` says whether it had a sign.
struct mpd_time {
  int64_t millis = 0;
  bool relative = false;
};
std::optional<mpd_time> mpd_parse_time(std::string_view text);
