// Layouts of one output frame of a delta-sigma stream, native DSD or DoP.
//
// Every layout is built from one word per channel whose most significant bit
// is the earliest one-bit sample: 32 bits for native DSD, 16 bits for DoP.
// A DoP sample is the 24-bit PCM value (marker << 16) | word, so the marker
// byte (0x05 / 0xFA, alternating frame by frame) sits in the top byte and the
// DSD bits below it, the older DSD byte in the middle.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "sample_format.h"

constexpr uint8_t kDopMarkers[2] = {0xFA, 0x05};

constexpr bool is_dop_format(int32_t format) noexcept {
  return format == kFormatS24_3LE || format == kFormatS24_LE || format == kFormatS32_LE;
}

// Bytes of one stereo frame: 6 for packed 24-bit DoP, else 8.
constexpr int32_t dsd_frame_bytes(int32_t format) noexcept { return format == kFormatS24_3LE ? 6 : 8; }

// A 16-bit DoP word from two DSD bytes of one channel, older byte first.
constexpr uint16_t dop_word(uint8_t older, uint8_t newer) noexcept { return static_cast<uint16_t>(older << 8 | newer); }

// A 32-bit native word from four DSD bytes of one channel, oldest first.
constexpr uint32_t native_word(const uint8_t bytes[4]) noexcept {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// Stores one 24-bit DoP sample in the container of format:
//   S24_3LE [w lo, w hi, M]      S24_LE [w lo, w hi, M, 0]      S32_LE [0, w lo, w hi, M]
constexpr uint8_t* store_dop_sample(int32_t format, uint16_t word, uint8_t marker, uint8_t* out) noexcept {
  const uint8_t low = static_cast<uint8_t>(word & 0xFF), high = static_cast<uint8_t>(word >> 8);
  if (format == kFormatS32_LE) *out++ = 0;
  *out++ = low;
  *out++ = high;
  *out++ = marker;
  if (format == kFormatS24_LE) *out++ = 0;
  return out;
}

// One DoP frame: left then right, both with the same marker.
constexpr void store_dop_frame(int32_t format, uint16_t left, uint16_t right, uint8_t marker, uint8_t* out) noexcept {
  store_dop_sample(format, right, marker, store_dop_sample(format, left, marker, out));
}

// One 32-bit word, most significant byte first (big_endian) or last: one
// byte swap at most and one word store.
inline void store_word(bool big_endian, uint32_t word, uint8_t* out) noexcept {
  const bool swap = big_endian != (std::endian::native == std::endian::big);
  const uint32_t ordered = swap ? __builtin_bswap32(word) : word;
  std::memcpy(out, &ordered, sizeof ordered);
}

// One native frame: the two words little-endian (DSD_U32_LE, earliest byte
// last in memory) or big-endian (DSD_U32_BE, earliest byte first).
inline void store_native_frame(bool big_endian, uint32_t left, uint32_t right, uint8_t* out) noexcept {
  store_word(big_endian, left, out);
  store_word(big_endian, right, out + 4);
}

// How a stream's DSD frames are laid out, and the DoP marker to come.
struct dsd_packing {
  int32_t format = 0;  // a DoP container (is_dop_format) or DSD_U32_LE/BE
  int32_t frame_bytes = 0;
  bool dop = false;
  bool big_endian = false;  // native words, earliest byte first (DSD_U32_BE)
  bool left_cut = false;    // the channel carries cut_byte instead of music
  bool right_cut = false;
  uint8_t cut_byte = 0;
  // One marker phase for the whole stream, preroll included: 0 is 0xFA.
  int32_t marker_phase = 0;
};

// The DSD bytes one frame takes from an interleaved run: two a channel for
// DoP, four native.
constexpr int32_t dsd_bytes_per_frame(const dsd_packing& packing) noexcept { return packing.dop ? 4 : 8; }

// The marker of the next DoP frame; the one after it gets the other.
constexpr uint8_t dsd_next_marker(dsd_packing& packing) noexcept {
  const uint8_t marker = kDopMarkers[packing.marker_phase];
  packing.marker_phase ^= 1;
  return marker;
}

// Packs one frame from dsd_bytes_per_frame interleaved bytes (left, right,
// left, ..., oldest first), each cut channel as its cut byte.
inline void dsd_pack_frame(dsd_packing& packing, const uint8_t* in, uint8_t* out) noexcept {
  const uint8_t c = packing.cut_byte;
  if (packing.dop) {
    const uint16_t left = packing.left_cut ? dop_word(c, c) : dop_word(in[0], in[2]);
    const uint16_t right = packing.right_cut ? dop_word(c, c) : dop_word(in[1], in[3]);
    store_dop_frame(packing.format, left, right, dsd_next_marker(packing), out);
    return;
  }
  const uint8_t cut[4] = {c, c, c, c};
  const uint8_t left[4] = {in[0], in[2], in[4], in[6]}, right[4] = {in[1], in[3], in[5], in[7]};
  store_native_frame(packing.big_endian, native_word(packing.left_cut ? cut : left),
                     native_word(packing.right_cut ? cut : right), out);
}

// The packing of a stream of format (frame size, DoP or native, byte order),
// its marker phase at the start.
constexpr dsd_packing dsd_packing_for(int32_t format, bool left_cut, bool right_cut, uint8_t cut_byte) noexcept {
  return {.format = format,
          .frame_bytes = dsd_frame_bytes(format),
          .dop = is_dop_format(format),
          .big_endian = format == kFormatDsdU32_BE,
          .left_cut = left_cut,
          .right_cut = right_cut,
          .cut_byte = cut_byte};
}
