#include "key_decoder.h"

namespace {

constexpr int kEscape = 27;

// The arrow a sequence's final byte names, or -1 for any other sequence
// (function keys, Home, ...), which is passed over.
int arrow_key(int final_byte) {
  switch (final_byte) {
    case 'A': return kKeyUp;
    case 'B': return kKeyDown;
    case 'C': return kKeyRight;
    case 'D': return kKeyLeft;
    default: return -1;
  }
}

// Parameter and intermediate bytes of a control sequence come before its
// final byte (0x40 to 0x7E).
bool ends_sequence(int byte) { return byte >= 0x40 && byte <= 0x7E; }

}  // namespace

int key_decoder_next(key_decoder& decoder, int (*read_byte)(), int64_t now_micros) {
  using state = key_decoder::state;
  if (decoder.pending >= 0) {
    const int key = decoder.pending;
    decoder.pending = -1;
    return key;
  }
  const int byte = read_byte();
  if (byte < 0) {
    const bool timed_out = now_micros - decoder.escape_micros >= kLoneEscapeMicros;
    if (decoder.at == state::plain || !timed_out) return -1;
    const bool lone = decoder.at == state::escape;
    decoder.at = state::plain;
    return lone ? kEscape : -1;  // a sequence cut short is dropped
  }
  switch (decoder.at) {
    case state::plain:
      if (byte != kEscape) return byte;
      decoder.at = state::escape;
      decoder.escape_micros = now_micros;
      return -1;
    case state::escape:
      if (byte == '[' || byte == 'O') {
        decoder.at = state::sequence;
        return -1;
      }
      if (byte == kEscape) {  // the first was alone
        decoder.escape_micros = now_micros;
        return kEscape;
      }
      // ESC and a key together (Alt and the key): both, in order.
      decoder.at = state::plain;
      decoder.pending = byte;
      return kEscape;
    case state::sequence:
      if (!ends_sequence(byte)) return -1;
      decoder.at = state::plain;
      return arrow_key(byte);
  }
  return -1;
}
