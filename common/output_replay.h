// The frames last handed to the device, kept so that a DAC that is lost and
// comes back hears again what it had been given but had not played: a byte
// ring of whole frames numbered as the stream counts them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct output_replay {
  std::vector<uint8_t> bytes;  // capacity frames of frame_bytes; empty: nothing kept
  int32_t frame_bytes = 0;
  int64_t end_frame = 0;  // the stream frame after the last one kept
  int64_t held = 0;       // frames kept, the newest end_frame - held .. end_frame
};

// Keeps up to capacity_frames frames from end_frame on, dropping all held.
void replay_reset(output_replay& replay, int32_t frame_bytes, int64_t capacity_frames, int64_t end_frame);

// Keeps frames just handed over (count whole frames); the oldest go when full.
void replay_keep(output_replay& replay, const uint8_t* frames, int64_t count);

// The first stream frame still held.
constexpr int64_t replay_first_frame(const output_replay& replay) noexcept { return replay.end_frame - replay.held; }

// The held frames from stream frame `from` (clamped to those held) to the
// end, oldest first, copied out.
std::vector<uint8_t> replay_copy_from(const output_replay& replay, int64_t from);
