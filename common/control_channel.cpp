#include "control_channel.h"

#include <array>
#include <charconv>
#include <limits>

namespace {

struct verb_row {
  std::string_view name;
  control_verb verb;
};

constexpr std::array kVerbs = {
    verb_row{control_command_name::kPause, control_verb::pause},
    verb_row{control_command_name::kResume, control_verb::resume},
    verb_row{control_command_name::kNext, control_verb::next},
    verb_row{control_command_name::kPrevious, control_verb::previous},
    verb_row{control_command_name::kSeek, control_verb::seek},
    verb_row{control_command_name::kVolume, control_verb::volume},
    verb_row{control_command_name::kAppend, control_verb::append},
    verb_row{control_command_name::kClear, control_verb::clear},
    verb_row{control_command_name::kStatus, control_verb::status},
    verb_row{control_command_name::kQuit, control_verb::quit},
};

constexpr char kHexDigits[] = "0123456789abcdef";

// The escape of one byte, or empty when it goes as it is.
std::string_view escape_of(unsigned char byte, char (&hex)[5]) {
  switch (byte) {
    case '\\': return "\\\\";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: break;
  }
  if (byte >= 0x20 && byte != 0x7F) return {};
  hex[0] = '\\';
  hex[1] = 'x';
  hex[2] = kHexDigits[byte >> 4];
  hex[3] = kHexDigits[byte & 0xF];
  hex[4] = '\0';
  return {hex, 4};
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<int64_t> control_parse_seconds(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  const size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
  if (whole.empty() && fraction.empty()) return std::nullopt;
  // A day's worth of seconds and more is no position: it stays far from overflow.
  constexpr int64_t kMostSeconds = std::numeric_limits<int32_t>::max();
  int64_t seconds = 0;
  for (const char c : whole) {
    if (c < '0' || c > '9') return std::nullopt;
    seconds = std::min(seconds * 10 + (c - '0'), kMostSeconds);
  }
  int64_t millis = 0;
  int64_t scale = 100;
  for (const char c : fraction) {
    if (c < '0' || c > '9') return std::nullopt;
    millis += (c - '0') * scale;
    scale /= 10;
  }
  const int64_t total = seconds * 1000 + millis;
  return negative ? -total : total;
}

std::optional<control_command> control_parse_command(std::string_view line, std::string* why) {
  line = trimmed(line);
  const size_t space = line.find(' ');
  const std::string_view word = line.substr(0, space);
  const std::string_view argument = space == std::string_view::npos ? std::string_view{} : trimmed(line.substr(space));
  const verb_row* row = nullptr;
  for (const verb_row& candidate : kVerbs) {
    if (candidate.name == word) row = &candidate;
  }
  if (row == nullptr) {
    *why = word.empty() ? "empty command" : "unknown command " + control_escape(word);
    return std::nullopt;
  }
  control_command command;
  command.verb = row->verb;
  switch (row->verb) {
    case control_verb::seek: {
      const std::optional<int64_t> millis = control_parse_seconds(argument);
      if (!millis) {
        *why = "seek needs seconds (83.5, +10, -10)";
        return std::nullopt;
      }
      command.millis = *millis;
      command.relative = !argument.empty() && (argument.front() == '+' || argument.front() == '-');
      return command;
    }
    case control_verb::volume: {
      int32_t db = 0;
      const char* end = argument.data() + argument.size();
      const auto [stop, error] = std::from_chars(argument.data(), end, db);
      if (argument.empty() || error != std::errc{} || stop != end) {
        *why = "volume needs a whole number of dB";
        return std::nullopt;
      }
      command.volume_db = db;
      return command;
    }
    case control_verb::append:
      if (argument.empty()) {
        *why = "append needs a path";
        return std::nullopt;
      }
      command.path = control_unescape(argument);
      return command;
    default:
      if (!argument.empty()) {
        *why = std::string(row->name) + " takes no argument";
        return std::nullopt;
      }
      return command;
  }
}

std::string control_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    char hex[5];
    const std::string_view escape = escape_of(static_cast<unsigned char>(c), hex);
    if (escape.empty()) {
      out += c;
    } else {
      out += escape;
    }
  }
  return out;
}

size_t control_escape_into(std::string_view text, char* out, size_t capacity) {
  if (capacity == 0) return 0;
  size_t length = 0;
  for (const char c : text) {
    char hex[5];
    std::string_view piece = escape_of(static_cast<unsigned char>(c), hex);
    if (piece.empty()) piece = std::string_view(&c, 1);
    if (length + piece.size() >= capacity) break;
    for (const char p : piece) out[length++] = p;
  }
  out[length] = '\0';
  return length;
}

std::string control_unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char kind = text[i + 1];
    if (kind == '\\' || kind == 'n' || kind == 'r' || kind == 't') {
      out += kind == 'n' ? '\n' : kind == 'r' ? '\r' : kind == 't' ? '\t' : '\\';
      ++i;
    } else if (kind == 'x' && i + 3 < text.size() && hex_value(text[i + 2]) >= 0 && hex_value(text[i + 3]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 2]) * 16 + hex_value(text[i + 3]));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string control_seconds_text(int64_t millis) {
  const char* sign = millis < 0 ? "-" : "";
  const uint64_t magnitude = millis < 0 ? 0 - static_cast<uint64_t>(millis) : static_cast<uint64_t>(millis);
  std::string fraction = std::to_string(magnitude % 1000);
  fraction.insert(0, 3 - fraction.size(), '0');
  return sign + std::to_string(magnitude / 1000) + "." + fraction;
}

std::string control_event(std::string_view name, std::string_view last_field) {
  std::string line(name);
  if (!last_field.empty()) line += ' ';
  line += control_escape(last_field);
  line += '\n';
  return line;
}

std::string control_event(std::string_view name, std::string_view word, std::string_view last_field) {
  std::string line(name);
  line += ' ';
  line += word;
  if (!last_field.empty()) line += ' ';
  line += control_escape(last_field);
  line += '\n';
  return line;
}

control_event_line control_split_event(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  const size_t space = line.find(' ');
  if (space == std::string_view::npos) return {line, {}};
  return {line.substr(0, space), line.substr(space + 1)};
}

std::string control_format_name(control_stream_kind kind, int64_t dsd_or_frame_rate, int32_t bits, int32_t channels) {
  constexpr int64_t kDsdBase = 44100;
  switch (kind) {
    case control_stream_kind::dsd: return "dsd" + std::to_string(dsd_or_frame_rate / kDsdBase);
    case control_stream_kind::dop: return "dop" + std::to_string(dsd_or_frame_rate / kDsdBase);
    case control_stream_kind::pcm: break;
  }
  return std::to_string(dsd_or_frame_rate) + ":" + std::to_string(bits) + ":" + std::to_string(channels);
}
