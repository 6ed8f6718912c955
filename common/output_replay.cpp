#include "output_replay.h"

#include <algorithm>

namespace {

int64_t capacity_frames(const output_replay& replay) {
  return replay.frame_bytes > 0 ? static_cast<int64_t>(replay.bytes.size()) / replay.frame_bytes : 0;
}

// Byte offset of a held stream frame in the ring.
size_t offset_of(const output_replay& replay, int64_t frame) {
  return static_cast<size_t>(frame % capacity_frames(replay)) * static_cast<size_t>(replay.frame_bytes);
}

}  // namespace

void replay_reset(output_replay& replay, int32_t frame_bytes, int64_t capacity, int64_t end_frame) {
  replay.frame_bytes = frame_bytes;
  replay.bytes.assign(static_cast<size_t>(std::max<int64_t>(capacity, 0) * frame_bytes), 0);
  replay.end_frame = end_frame;
  replay.held = 0;
}

void replay_keep(output_replay& replay, const uint8_t* frames, int64_t count) {
  const int64_t capacity = capacity_frames(replay);
  if (capacity == 0 || count <= 0) {
    replay.end_frame += std::max<int64_t>(count, 0);
    replay.held = 0;
    return;
  }
  // Only the newest capacity frames can stay.
  const int64_t skipped = std::max<int64_t>(count - capacity, 0);
  frames += skipped * replay.frame_bytes;
  int64_t frame = replay.end_frame + skipped;
  for (int64_t left = count - skipped; left > 0;) {
    const size_t at = offset_of(replay, frame);
    const int64_t run = std::min(left, capacity - frame % capacity);
    const auto bytes = static_cast<size_t>(run * replay.frame_bytes);
    std::copy_n(frames, bytes, replay.bytes.begin() + static_cast<std::ptrdiff_t>(at));
    frames += bytes;
    frame += run;
    left -= run;
  }
  replay.end_frame += count;
  replay.held = std::min(replay.held + count, capacity);
}

std::vector<uint8_t> replay_copy_from(const output_replay& replay, int64_t from) {
  from = std::clamp(from, replay_first_frame(replay), replay.end_frame);
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>((replay.end_frame - from) * replay.frame_bytes));
  const int64_t capacity = capacity_frames(replay);
  for (int64_t frame = from; frame < replay.end_frame;) {
    const size_t at = offset_of(replay, frame);
    const int64_t run = std::min(replay.end_frame - frame, capacity - frame % capacity);
    const auto begin = replay.bytes.begin() + static_cast<std::ptrdiff_t>(at);
    out.insert(out.end(), begin, begin + static_cast<std::ptrdiff_t>(run * replay.frame_bytes));
    frame += run;
  }
  return out;
}
