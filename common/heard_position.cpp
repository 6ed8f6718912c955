#include "heard_position.h"

#include <limits>

namespace {

void apply_run(const handed_run& run, std::atomic<music_file*>& playing) {
  std::atomic_ref<int64_t> position(run.file->played_count);
  if (run.file_starts) position.store(run.start_units, std::memory_order_relaxed);
  position.fetch_add(run.units, std::memory_order_relaxed);
  if (playing.load(std::memory_order_relaxed) != run.file) playing.store(run.file, std::memory_order_release);
}

void apply_first(heard_position& heard, std::atomic<music_file*>& playing) {
  const handed_run& run = heard.runs[static_cast<size_t>(heard.first)];
  apply_run(run, playing);
  if (run.jump != 0) heard.jump_heard = run.jump;
  heard.first = (heard.first + 1) % static_cast<int32_t>(heard.runs.size());
  --heard.count;
}

}  // namespace

void heard_note(heard_position& heard, std::atomic<music_file*>& playing, const handed_run& run) {
  const auto capacity = static_cast<int32_t>(heard.runs.size());
  if (heard.count == capacity) apply_first(heard, playing);
  heard.runs[static_cast<size_t>((heard.first + heard.count) % capacity)] = run;
  ++heard.count;
}

void heard_advance(heard_position& heard, std::atomic<music_file*>& playing, int64_t heard_frame) {
  while (heard.count > 0 && heard.runs[static_cast<size_t>(heard.first)].start_frame <= heard_frame) {
    apply_first(heard, playing);
  }
}

void heard_shift(heard_position& heard, int64_t frames) {
  const auto capacity = static_cast<int32_t>(heard.runs.size());
  for (int32_t i = 0; i < heard.count; ++i)
    heard.runs[static_cast<size_t>((heard.first + i) % capacity)].start_frame += frames;
}

void heard_all(heard_position& heard, std::atomic<music_file*>& playing) {
  heard_advance(heard, playing, std::numeric_limits<int64_t>::max());
}
