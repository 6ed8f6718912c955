#include "now_playing.h"

#include <cstdio>
#include <optional>

namespace {

constexpr std::string_view kHeader = "playing file ";
constexpr std::string_view kPosition = "position ";
constexpr std::string_view kTotal = " total ";
// A line this long is no header or position line; it is not kept whole.
constexpr size_t kMaxLine = 4096;

// A leading decimal number of `text`, which is advanced past it.
std::optional<int64_t> take_number(std::string_view& text) {
  int64_t value = 0;
  size_t digits = 0;
  while (digits < text.size() && digits < 12 && text[digits] >= '0' && text[digits] <= '9') {
    value = value * 10 + (text[digits] - '0');
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  text.remove_prefix(digits);
  return value;
}

// "[H:]MM:SS" or "M:SS" at the start of `text`, in seconds.
std::optional<int64_t> take_duration(std::string_view& text) {
  int64_t seconds = 0;
  for (int part = 0; part < 3; ++part) {
    const std::optional<int64_t> number = take_number(text);
    if (!number) return std::nullopt;
    seconds = seconds * 60 + *number;
    if (text.empty() || text.front() != ':') return part > 0 ? std::optional(seconds) : std::nullopt;
    text.remove_prefix(1);
  }
  return std::nullopt;
}

// The first quoted name: up to the quote that ends the line or is followed
// by a blank (names may hold quotes of their own).
std::string first_quoted(std::string_view text) {
  const size_t open = text.find('"');
  if (open == std::string_view::npos) return {};
  text.remove_prefix(open + 1);
  const size_t separator = text.find("\" ");
  if (separator != std::string_view::npos) return std::string(text.substr(0, separator));
  const size_t close = text.rfind('"');
  return std::string(text.substr(0, close == std::string_view::npos ? text.size() : close));
}

bool read_header(now_playing& now, std::string_view line) {
  line.remove_prefix(kHeader.size());
  const std::optional<int64_t> number = take_number(line);
  if (!number || line.empty() || line.front() != '/') return false;
  line.remove_prefix(1);
  const std::optional<int64_t> count = take_number(line);
  if (!count || !line.starts_with(kTotal)) return false;
  line.remove_prefix(kTotal.size());
  const std::optional<int64_t> total = take_duration(line);
  if (!total) return false;
  now = now_playing{first_quoted(line), static_cast<int32_t>(*number), static_cast<int32_t>(*count), *total, 0};
  return true;
}

bool read_position(now_playing& now, std::string_view line) {
  line.remove_prefix(kPosition.size());
  const std::optional<int64_t> seconds = take_duration(line);
  if (!seconds || *seconds == now.position_seconds) return false;
  now.position_seconds = *seconds;
  return true;
}

bool read_line(now_playing& now, std::string_view line) {
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  if (line.starts_with(kHeader)) return read_header(now, line);
  if (line.starts_with(kPosition)) return read_position(now, line);
  return false;
}

}  // namespace

bool now_playing_feed(now_playing_reader& reader, std::string_view text) {
  bool changed = false;
  for (const char c : text) {
    if (c == '\n' || c == '\r') {
      changed = read_line(reader.now, reader.line) || changed;
      reader.line.clear();
    } else if (reader.line.size() < kMaxLine) {
      reader.line.push_back(c);
    }
  }
  return changed;
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
