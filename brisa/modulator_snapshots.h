// The modulators' state at places of the music lately converted, so that
// music made again from where the device's music ends (a volume change, the
// fade-out at a pause, a jump or quit) goes on from the state that music
// left the modulators in: no restart from rest, which bursts noise into the
// band in mid-music.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "deltasigma.h"

// A place in a file's output (in 1/352800 s, one output frame each), the
// input frame whose output begins there, and the modulators' channels just
// before it.
struct modulator_snapshot {
  int32_t file_index = -1;
  int64_t units = 0;
  int64_t frame = 0;
  std::array<delta_sigma_channel, 2> channels{};
};

// Snapshots every kModulatorSnapshotUnits of output written, the latest
// `capacity` kept: as far back as the ring buffer reaches.
struct modulator_snapshots {
  std::vector<modulator_snapshot> kept{};  // a ring, oldest at `first`
  size_t first = 0;
  size_t count = 0;
  // The file and place of the next output frame written (file index -1:
  // not known until the next write begins).
  int32_t file_index = -1;
  int64_t units = 0;
  int64_t next_snapshot_units = 0;
  // After a restart: whether the output written next goes on from a
  // snapshot; else it begins a new place and the snapshots are forgotten.
  bool continuing = false;
};

constexpr int64_t kModulatorSnapshotUnits = 2048;  // 5.8 ms

// Room for snapshots over ring_frames output frames (and a little more).
void snapshots_size(modulator_snapshots& s, int64_t ring_frames);

// Before the output frames of input frame `frame` of file_index, which
// began at played_from (its mark), are written: takes a snapshot when one is
// due and that frame's output begins exactly at it (on_grid).
void snapshots_before_write(modulator_snapshots& s, const delta_sigma& modulators, int32_t file_index,
                            int64_t played_from, int64_t frame, bool on_grid);
// After frames output frames were written.
void snapshots_written(modulator_snapshots& s, int64_t frames);

// The playing place is left (a jump, a pause): what is written next begins
// a new place unless snapshots_resume finds one.
void snapshots_restart(modulator_snapshots& s);

// The latest snapshot at or before units into file_index, restored into
// the modulators, the ones after it forgotten; its place and frame, or none
// (the modulators left as they are).
std::optional<modulator_snapshot> snapshots_resume(modulator_snapshots& s, delta_sigma& modulators, int32_t file_index,
                                                   int64_t units);
