#include "mpd_line.h"

#include <charconv>
#include <limits>

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

bool is_command_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The largest time a seek takes (a day), far below what overflows.
constexpr int64_t kLongestMillis = int64_t{24} * 3600 * 1000;

}  // namespace

std::optional<mpd_request> mpd_parse_line(std::string_view line, std::string* why) {
  if (line.find('\0') != std::string_view::npos) {
    *why = "NUL in the line";
    return std::nullopt;
  }
  size_t at = 0;
  while (at < line.size() && is_blank(line[at])) ++at;
  mpd_request request;
  while (at < line.size() && is_command_char(line[at])) request.command += line[at++];
  if (request.command.empty()) {
    *why = at < line.size() ? "Malformed command" : "No command given";
    return std::nullopt;
  }
  if (at < line.size() && !is_blank(line[at])) {
    *why = "Malformed command";
    return std::nullopt;
  }
  for (;;) {
    while (at < line.size() && is_blank(line[at])) ++at;
    if (at == line.size()) return request;
    if (request.args.size() == kMpdMostArguments) {
      *why = "Too many arguments";
      return std::nullopt;
    }
    std::string arg;
    if (line[at] == '"') {
      ++at;
      bool closed = false;
      while (at < line.size()) {
        const char c = line[at++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\') {
          if (at == line.size()) break;
          arg += line[at++];
        } else {
          arg += c;
        }
      }
      if (!closed) {
        *why = "Missing closing '\"'";
        return std::nullopt;
      }
      if (at < line.size() && !is_blank(line[at])) {
        *why = "Space expected after closing '\"'";
        return std::nullopt;
      }
    } else {
      while (at < line.size() && !is_blank(line[at])) {
        const char c = line[at++];
        if (c == '"' || c == '\'' || static_cast<unsigned char>(c) < 0x20) {
          *why = "Invalid unquoted character";
          return std::nullopt;
        }
        arg += c;
      }
    }
    request.args.push_back(std::move(arg));
  }
}

std::string mpd_quote(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string mpd_ack(mpd_error code, size_t index, std::string_view command, std::string_view message) {
  std::string line = "ACK [" + std::to_string(static_cast<int32_t>(code)) + "@" + std::to_string(index) + "] {";
  for (const char c : command) line += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  line += "} ";
  for (const char c : message) line += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  line += '\n';
  return line;
}

std::string mpd_field(std::string_view key, std::string_view value) {
  std::string line;
  line.reserve(key.size() + value.size() + 3);
  line.append(key);
  line += ": ";
  for (const char c : value) line += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  line += '\n';
  return line;
}

std::optional<int64_t> mpd_parse_integer(std::string_view text) {
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty() || value < 0) return std::nullopt;
  return value;
}

std::optional<mpd_range> mpd_parse_range(std::string_view text, int64_t open_end) {
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    const std::optional<int64_t> position = mpd_parse_integer(text);
    if (!position || *position == std::numeric_limits<int64_t>::max()) return std::nullopt;
    return mpd_range{*position, *position + 1};
  }
  const std::optional<int64_t> start = mpd_parse_integer(text.substr(0, colon));
  const std::string_view end_text = text.substr(colon + 1);
  const std::optional<int64_t> end = end_text.empty() ? std::optional<int64_t>(open_end) : mpd_parse_integer(end_text);
  if (!start || !end || *end < *start) return std::nullopt;
  return mpd_range{*start, *end};
}

std::optional<mpd_time> mpd_parse_time(std::string_view text) {
  mpd_time time;
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    time.relative = true;
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  const size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  int64_t seconds = 0;
  if (!whole.empty()) {
    const std::optional<int64_t> parsed = mpd_parse_integer(whole);
    if (!parsed || *parsed > kLongestMillis / 1000) return std::nullopt;
    seconds = *parsed;
  }
  int64_t millis = 0;
  if (dot != std::string_view::npos) {
    const std::string_view fraction = text.substr(dot + 1);
    int64_t scale = 100;
    for (const char c : fraction) {
      if (c < '0' || c > '9') return std::nullopt;
      millis += (c - '0') * scale;
      scale /= 10;
    }
    if (whole.empty() && fraction.empty()) return std::nullopt;
  } else if (whole.empty()) {
    return std::nullopt;
  }
  time.millis = seconds * 1000 + millis;
  if (negative) time.millis = -time.millis;
  return time;
}
