#include "printable.h"

#include <cstdint>
#include <cstdio>

namespace {

void append_escaped(std::string& out, uint8_t byte) {
  char code[5];
  snprintf(code, sizeof code, "\\x%02x", byte);
  out += code;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<uint8_t>(text[i]);
    const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) >= 0x80 &&
                    static_cast<uint8_t>(text[i + 1]) <= 0x9F;
    if (c1) {
      append_escaped(out, byte);
      append_escaped(out, static_cast<uint8_t>(text[++i]));
    } else if (byte < 0x20 || byte == 0x7F) {
      append_escaped(out, byte);
    } else {
      out += text[i];
    }
  }
  return out;
}
