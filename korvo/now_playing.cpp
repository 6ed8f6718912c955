#include "now_playing.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <utility>

#include "control_channel.h"
#include "utf8_text.h"

namespace {

// A longer line is no event Korvo shows (a path is at most 4096 bytes, four
// times that escaped); it is passed over whole.
constexpr size_t kMaxLine = 20000;

// Text a label takes: valid UTF-8.
std::string valid_text(std::string_view bytes) {
  std::string tail;
  std::string text = utf8_sanitise(tail, bytes);
  return text + utf8_flush(tail);
}

// An escaped field as a label shows it.
std::string shown_text(std::string_view field) { return valid_text(control_unescape(field)); }

std::optional<int32_t> whole_number(std::string_view text) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc{} || stop != end || value < 0) return std::nullopt;
  return value;
}

// The first word of `rest` and what follows its blank.
std::pair<std::string_view, std::string_view> split_word(std::string_view rest) {
  const size_t space = rest.find(' ');
  if (space == std::string_view::npos) return {rest, {}};
  return {rest.substr(0, space), rest.substr(space + 1)};
}

std::string base_name(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos || slash + 1 == path.size() ? path : path.substr(slash + 1));
}

player_state state_of(std::string_view word) {
  if (word == control_state_name::kPlaying) return player_state::playing;
  if (word == control_state_name::kPaused) return player_state::paused;
  if (word == control_state_name::kWaiting) return player_state::waiting;
  if (word == control_state_name::kStopped) return player_state::stopped;
  return player_state::unknown;
}

void read_file(now_playing& now, std::string_view rest) {
  const auto [index_word, path] = split_word(rest);
  const std::optional<int32_t> index = whole_number(index_word);
  if (!index) return;
  now.file_number = *index + 1;
  now.name = valid_text(base_name(control_unescape(path)));
  now.file_count = std::max(now.file_count, now.file_number);
  now.artist.clear();
  now.title.clear();
  now.position_ms = 0;
  now.duration_ms = 0;
}

void read_position(now_playing& now, std::string_view rest) {
  const auto [position_word, duration_word] = split_word(rest);
  const std::optional<int64_t> position = control_parse_seconds(position_word);
  const std::optional<int64_t> duration = control_parse_seconds(duration_word);
  if (!position || *position < 0) return;
  now.position_ms = *position;
  if (duration && *duration >= 0) now.duration_ms = *duration;
}

void read_tag(now_playing& now, std::string_view rest) {
  const auto [name, text] = split_word(rest);
  if (name == control_tag_name::kArtist) now.artist = shown_text(text);
  if (name == control_tag_name::kTitle) now.title = shown_text(text);
}

void read_line(now_playing& now, std::string_view line) {
  const control_event_line event = control_split_event(line);
  if (event.name == control_event_name::kFile) {
    read_file(now, event.rest);
  } else if (event.name == control_event_name::kList) {
    if (const std::optional<int32_t> count = whole_number(event.rest)) now.file_count = *count;
  } else if (event.name == control_event_name::kPosition) {
    read_position(now, event.rest);
  } else if (event.name == control_event_name::kTag) {
    read_tag(now, event.rest);
  } else if (event.name == control_event_name::kState) {
    now.state = state_of(split_word(event.rest).first);
  } else if (event.name == control_event_name::kFormat) {
    now.format = shown_text(event.rest);
  } else if (event.name == control_event_name::kError) {
    now.error = shown_text(event.rest);
  } else if (event.name == control_event_name::kExit) {
    int status = 0;
    const char* end = event.rest.data() + event.rest.size();
    const auto [stop, error] = std::from_chars(event.rest.data(), end, status);
    if (!event.rest.empty() && error == std::errc{} && stop == end) now.exit_status = status;
  }
}

}  // namespace

bool now_playing_feed(now_playing_reader& reader, std::string_view text) {
  const now_playing before = reader.now;
  for (const char c : text) {
    if (c == '\n') {
      if (!reader.overlong) read_line(reader.now, reader.line);
      reader.line.clear();
      reader.overlong = false;
    } else if (reader.line.size() < kMaxLine) {
      reader.line.push_back(c);
    } else {
      reader.line.clear();
      reader.overlong = true;
    }
  }
  return reader.now != before;
}

std::string format_duration(int64_t seconds) {
  char text[32];
  if (seconds >= 3600) {
    snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
             static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  } else {
    snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
             static_cast<long long>(seconds % 60));
  }
  return text;
}

std::string now_playing_tags(const now_playing& now) {
  if (!now.artist.empty() && !now.title.empty()) return now.artist + " \u2014 " + now.title;
  return now.artist.empty() ? now.title : now.artist;
}
