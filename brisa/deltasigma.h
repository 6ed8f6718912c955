// One-bit delta-sigma modulators: PCM samples at 352.8 kHz become 16 or 32
// bits each, DSD bytes are re-modulated at an integer rate ratio. Also the
// output volume: whole-dB attenuation through a table of integer levels.
//
// Each delta_sigma record is one set of modulators (settings and both
// channels' states), owned by the caller and passed to every call; two
// records share nothing.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

constexpr int32_t kLevelTableSize = 48;
constexpr int32_t kMaxAttenuationDb = 48;

// The volumes the modulators take: 0 down to -48 dB.
constexpr bool volume_in_range(int32_t db) noexcept { return db >= -kMaxAttenuationDb && db <= 0; }

// One channel's state, kept by the modulators between calls: the
// integrators of levels 1 and 2 (any value, modulo 2^32), level 7's states
// in vector lane order, and the last DSD byte's bits still standing.
struct delta_sigma_channel {
  uint32_t i1 = 0;
  uint32_t i2 = 0;
  uint8_t ones_mask = 0;
  uint8_t zeros_mask = 0;
  std::array<float, 8> c{};
};

// Whether this CPU runs the modulators' 8-lane (AVX2) code.
bool modulator_vectors_available();

// One set of modulators.
struct delta_sigma {
  int32_t level = 1;                          // 1, 2 or 7
  int32_t attenuation = 0;                    // the volume in dB with the sign reversed, 0..48
  bool wide = modulator_vectors_available();  // whether level 7 runs on 8 lanes
  std::array<delta_sigma_channel, 2> channels{};
  // A gain of the DSD path (0 to 1) on top of the volume: the file's ReplayGain.
  float dsd_gain = 1.0f;
};

// Switches the modulators to level 1, 2 or 7 and returns -1; any other
// level changes nothing and returns 0.
int32_t select_modulator_level(delta_sigma& modulators, int32_t level);
int32_t modulator_level(const delta_sigma& modulators);

// Accepts -48..0 dB and returns it; any other value changes nothing and
// returns the volume in effect.
int32_t set_volume(delta_sigma& modulators, int32_t db);
int32_t get_volume(const delta_sigma& modulators);

// Entry i of the level table: 2^31 * 2^(-(i mod 6 + 1)/6) >> (i / 6 + 2).
int32_t level_table_entry(int32_t attenuation);

// channel 0 left, 1 right; bits 16 or 32; x in [-1, 1). Returns the bits in
// the low `bits` bits of the result, the earliest in bit bits-1.
uint32_t pcm_modulator(delta_sigma& modulators, int channel, int bits, float x);

// One stereo sample: sets *left_bits and *right_bits to exactly what
// pcm_modulator(0, bits, left) and then pcm_modulator(1, bits, right) would
// return (same state, same bits), faster at levels 2 and 7.
void pcm_modulate_pair(delta_sigma& modulators, int bits, float left, float right, uint32_t* left_bits,
                       uint32_t* right_bits);

// A block of stereo samples, left and right interleaved: words[2i] and
// words[2i + 1] become exactly what pcm_modulate_pair(bits, values[2i],
// values[2i + 1], ...) would set, pair after pair. Runs
// min(values.size(), words.size()) / 2 pairs; the loop's constants and
// level 7's states stay in registers across the block.
void pcm_modulate_block(delta_sigma& modulators, int bits, std::span<const float> values, std::span<uint32_t> words);

// Re-modulates count interleaved DSD bytes (left at even positions) at ratio
// r into count * r bytes, same interleaving, earliest bit in bit 7. Returns count.
int32_t dsd_modulator(delta_sigma& modulators, const uint8_t* input, uint8_t* output, int32_t count, int32_t ratio);

// Sets both channels to zero state (all levels, the DSD masks). The player
// calls it only after a jump: across files its state carries on. Level,
// volume and vector width are left as they are.
void reset_modulators(delta_sigma& modulators);

// Ends the modulators' silence where the idle pattern (0xAA in every byte)
// is to follow, without a click: appends to words the frames (left and
// right words of `bits` bits, 16 or 32, as pcm_modulate_block makes them)
// that take the stream there, about 2.2 ms of it. The modulators go on from
// where they stopped when the music comes back.
void land_in_idle(delta_sigma& modulators, int bits, std::vector<uint32_t>& words);

// Lets the modulators use 8-lane (AVX2) code where the CPU has it, which is
// the default, or keeps them to their 4-lane code; both give the same bits.
// Returns whether the 8-lane code is now in use. For tests and benchmarks.
bool select_modulator_vectors(delta_sigma& modulators, bool wide);
