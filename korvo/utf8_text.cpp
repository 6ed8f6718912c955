#include "utf8_text.h"

#include <cstdint>

namespace {

// Length of the sequence a lead byte starts (0: not a lead byte).
constexpr size_t sequence_length(uint8_t lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Whether `byte` may follow `lead` as the second byte: this is where
// overlong forms, surrogates and values above U+10FFFF are refused.
constexpr bool valid_second(uint8_t lead, uint8_t byte) noexcept {
  switch (lead) {
    case 0xE0: return byte >= 0xA0 && byte <= 0xBF;
    case 0xED: return byte >= 0x80 && byte <= 0x9F;
    case 0xF0: return byte >= 0x90 && byte <= 0xBF;
    case 0xF4: return byte >= 0x80 && byte <= 0x8F;
    default: return byte >= 0x80 && byte <= 0xBF;
  }
}

constexpr bool is_continuation(uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

// How far the bytes from a position form one well-formed character.
struct sequence_check {
  size_t valid;   // bytes that belong to the sequence so far
  bool complete;  // the whole sequence is there
};

// valid 0: no lead byte there; complete false with valid > 0: the sequence
// stops (at the end of the text, or at a byte that cannot follow).
sequence_check check_sequence(std::string_view text, size_t at) noexcept {
  const uint8_t lead = static_cast<uint8_t>(text[at]);
  const size_t length = sequence_length(lead);
  if (length == 0) return {0, false};
  size_t valid = 1;
  while (valid < length) {
    if (at + valid >= text.size()) return {valid, false};
    const uint8_t byte = static_cast<uint8_t>(text[at + valid]);
    const bool ok = valid == 1 ? valid_second(lead, byte) : is_continuation(byte);
    if (!ok) return {valid, false};
    ++valid;
  }
  return {length, true};
}

}  // namespace

std::string utf8_sanitise(std::string& tail, std::string_view bytes) {
  std::string input = std::move(tail);
  tail.clear();
  input.append(bytes);
  std::string out;
  out.reserve(input.size());
  size_t at = 0;
  while (at < input.size()) {
    const sequence_check check = check_sequence(input, at);
    if (check.complete) {
      out.append(input, at, check.valid);
      at += check.valid;
    } else if (check.valid > 0 && at + check.valid == input.size()) {
      tail.assign(input, at, check.valid);  // the rest may come with the next read
      break;
    } else {
      // An invalid sequence: one replacement for what looked like its start.
      out.append(kReplacement);
      at += check.valid > 0 ? check.valid : 1;
    }
  }
  return out;
}

std::string utf8_flush(std::string& tail) {
  std::string out = tail.empty() ? std::string() : std::string(kReplacement);
  tail.clear();
  return out;
}
