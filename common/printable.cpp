#include "printable.h"

#include <cstdint>
#include <cstdio>

namespace {

void append_escaped(std::string& out, uint8_t byte) {
  char code[5];
  snprintf(code, sizeof code, "\\x%02x", byte);
  out += code;
}

constexpr bool is_continuation(uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 sequence at the start of text (no
// overlong forms, no surrogates, nothing above U+10FFFF), or 0 when it is
// not one.
size_t utf8_sequence_length(std::string_view text) noexcept {
  const auto lead = static_cast<uint8_t>(text[0]);
  size_t length = 0;
  uint8_t second_low = 0x80;
  uint8_t second_high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) second_low = 0xA0;
    if (lead == 0xED) second_high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) second_low = 0x90;
    if (lead == 0xF4) second_high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  const auto second = static_cast<uint8_t>(text[1]);
  if (second < second_low || second > second_high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (!is_continuation(static_cast<uint8_t>(text[i]))) return 0;
  }
  return length;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<uint8_t>(text[i]);
    if (byte < 0x80) {
      if (byte < 0x20 || byte == 0x7F) {
        append_escaped(out, byte);
      } else {
        out += text[i];
      }
      ++i;
      continue;
    }
    const size_t length = utf8_sequence_length(text.substr(i));
    // A byte that begins no well-formed sequence is shown alone; the C1
    // controls are shown as their two bytes.
    const bool c1 = length == 2 && byte == 0xC2 && static_cast<uint8_t>(text[i + 1]) <= 0x9F;
    if (length == 0 || c1) {
      const size_t shown = length == 0 ? 1 : length;
      for (size_t k = 0; k < shown; ++k) append_escaped(out, static_cast<uint8_t>(text[i + k]));
      i += shown;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}
