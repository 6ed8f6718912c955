// ALSA sample format codes (snd_pcm_format_t values) as the players use them
// for what a reader delivers and what a device is sent.
#pragma once

#include <bit>
#include <cstdint>

enum : int32_t {
  kFormatS8 = 0,
  kFormatU8 = 1,
  kFormatS16_LE = 2,
  kFormatS16_BE = 3,
  kFormatU16_LE = 4,
  kFormatU16_BE = 5,
  kFormatS24_LE = 6,  // 24 valid bits in the low three bytes of a 4-byte container
  kFormatS24_BE = 7,
  kFormatU24_LE = 8,
  kFormatU24_BE = 9,
  kFormatS32_LE = 10,
  kFormatS32_BE = 11,
  kFormatU32_LE = 12,
  kFormatU32_BE = 13,
  kFormatFloat_LE = 14,
  kFormatFloat_BE = 15,
  kFormatFloat64_LE = 16,
  kFormatFloat64_BE = 17,
  kFormatS24_3LE = 32,  // packed 3-byte samples
  kFormatS24_3BE = 33,
  kFormatU24_3LE = 34,
  kFormatU24_3BE = 35,
  kFormatS20_3LE = 36,
  kFormatS20_3BE = 37,
  kFormatU20_3LE = 38,
  kFormatU20_3BE = 39,
  kFormatS18_3LE = 40,
  kFormatS18_3BE = 41,
  kFormatU18_3LE = 42,
  kFormatU18_3BE = 43,
  kFormatDsdU32_LE = 50,
  kFormatDsdU32_BE = 52,
};

// How to read one sample of an integer PCM format: bytes (1 to 4) assembled
// little-endian, or big-endian when swapped, minus the bias of the unsigned
// formats, then left-aligned in 32 bits.
struct sample_descriptor {
  int32_t format;
  int32_t bytes;
  uint32_t bias;
  bool swapped;
  int32_t shift;  // left shift that puts the sample's top bit in bit 31
};

// The integer formats the players convert, in search order. The 4-byte
// S24/U24 formats hold their 24 bits in the low three bytes of the container.
constexpr sample_descriptor kSampleTable[] = {
    {kFormatU8, 1, 0x80, false, 24},          {kFormatS16_LE, 2, 0, false, 16},
    {kFormatU16_LE, 2, 0x8000, false, 16},    {kFormatS16_BE, 2, 0, true, 16},
    {kFormatU16_BE, 2, 0x8000, true, 16},     {kFormatS32_LE, 4, 0, false, 0},
    {kFormatU32_LE, 4, 0x80000000, false, 0}, {kFormatS32_BE, 4, 0, true, 0},
    {kFormatU32_BE, 4, 0x80000000, true, 0},  {kFormatS24_LE, 4, 0, false, 8},
    {kFormatU24_LE, 4, 0x800000, false, 8},   {kFormatS24_BE, 4, 0, true, 8},
    {kFormatU24_BE, 4, 0x800000, true, 8},    {kFormatS24_3LE, 3, 0, false, 8},
    {kFormatU24_3LE, 3, 0x800000, false, 8},  {kFormatS24_3BE, 3, 0, true, 8},
    {kFormatU24_3BE, 3, 0x800000, true, 8},   {kFormatS18_3LE, 3, 0, false, 8},
    {kFormatU18_3LE, 3, 0x800000, false, 8},  {kFormatS18_3BE, 3, 0, true, 8},
    {kFormatU18_3BE, 3, 0x800000, true, 8},   {kFormatS20_3LE, 3, 0, false, 8},
    {kFormatU20_3LE, 3, 0x800000, false, 8},  {kFormatS20_3BE, 3, 0, true, 8},
    {kFormatU20_3BE, 3, 0x800000, true, 8},
};

// The row for an integer format, or null (the float formats have none).
constexpr const sample_descriptor* find_sample_descriptor(int32_t format) noexcept {
  for (const sample_descriptor& row : kSampleTable) {
    if (row.format == format) return &row;
  }
  return nullptr;
}

// One sample as a signed 32-bit value, full scale +-2^31.
constexpr int32_t decode_sample(const sample_descriptor& row, const uint8_t* bytes) noexcept {
  uint32_t raw = 0;
  for (int32_t i = 0; i < row.bytes; ++i) {
    const int32_t position = row.swapped ? row.bytes - 1 - i : i;
    raw |= uint32_t{bytes[i]} << (8 * position);
  }
  return static_cast<int32_t>((raw - row.bias) << row.shift);
}

// A float sample (FLOAT_LE, or FLOAT_BE byte-swapped) as stored.
constexpr float decode_float_sample(bool big_endian, const uint8_t* bytes) noexcept {
  uint32_t raw = 0;
  for (int32_t i = 0; i < 4; ++i) raw |= uint32_t{bytes[i]} << (8 * (big_endian ? 3 - i : i));
  return std::bit_cast<float>(raw);
}
