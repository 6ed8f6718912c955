// Keys as the players read them: bytes from a terminal in key mode or a
// pipe, with the arrow keys' escape sequences (ESC [ C, or ESC O C in a
// terminal's application mode) turned into one key each. A lone ESC is
// given out once nothing has followed it for a moment, never held for ever.
#pragma once

#include <cstdint>

// Key codes beyond the byte range for the arrow keys.
enum : int {
  kKeyUp = 0x101,
  kKeyDown = 0x102,
  kKeyRight = 0x103,
  kKeyLeft = 0x104,
};

// How long an ESC waits for the rest of a sequence: a terminal sends a
// sequence in one write, a person types no second key this fast.
constexpr int64_t kLoneEscapeMicros = 100000;

struct key_decoder {
  enum class state : uint8_t { plain, escape, sequence } at = state::plain;
  int64_t escape_micros = 0;  // when the ESC came
  int pending = -1;           // a key decoded with the one before it, given out next
};

// The next key at now_micros, or -1 when none is complete yet: a key held
// back comes first, else read_byte gives the next byte (-1: none came).
// Call it on every poll, so that a lone ESC comes out.
int key_decoder_next(key_decoder& decoder, int (*read_byte)(), int64_t now_micros);
