#include "modulator_snapshots.h"

#include <algorithm>
#include <array>

void snapshots_size(modulator_snapshots& s, int64_t ring_frames) {
  s.kept.assign(static_cast<size_t>(std::max<int64_t>(ring_frames / kModulatorSnapshotUnits, 0) + 4), {});
  s.first = s.count = 0;
}

void snapshots_before_write(modulator_snapshots& s, const delta_sigma& modulators, int32_t file_index,
                            int64_t played_from, int64_t frame, bool on_grid) {
  if (file_index != s.file_index) {
    // The first write after a restart that did not resume begins a new place.
    if (s.file_index < 0 && !s.continuing) s.count = 0;
    s.continuing = true;
    s.file_index = file_index;
    s.units = played_from;
    s.next_snapshot_units = played_from;
  }
  // Only where an input frame's output begins: the music is made again from there.
  if (s.kept.empty() || !on_grid || s.units < s.next_snapshot_units) return;
  const size_t at = (s.first + s.count) % s.kept.size();
  s.kept[at] = {.file_index = file_index, .units = s.units, .frame = frame, .channels = modulators.channels};
  if (s.count < s.kept.size()) {
    ++s.count;
  } else {
    s.first = (s.first + 1) % s.kept.size();
  }
  s.next_snapshot_units = s.units + kModulatorSnapshotUnits;
}

void snapshots_written(modulator_snapshots& s, int64_t frames) { s.units += frames; }

void snapshots_restart(modulator_snapshots& s) {
  s.file_index = -1;
  s.continuing = false;
}

std::optional<modulator_snapshot> snapshots_resume(modulator_snapshots& s, delta_sigma& modulators, int32_t file_index,
                                                   int64_t units) {
  for (size_t n = s.count; n > 0; --n) {
    const modulator_snapshot& snapshot = s.kept[(s.first + n - 1) % s.kept.size()];
    if (snapshot.file_index != file_index || snapshot.units > units) continue;
    modulators.channels = snapshot.channels;
    s.count = n;
    s.file_index = file_index;
    s.units = units;
    s.next_snapshot_units = snapshot.units;
    s.continuing = true;
    return snapshot;
  }
  return std::nullopt;
}
