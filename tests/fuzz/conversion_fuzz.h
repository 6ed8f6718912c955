// The fuzz body shared by the players' conversion targets: arbitrary bytes
// as a file, played twice in a row through a player's own readers and steps
// (reader, filter, modulators, packing into the ring buffer) without a
// device. The frames are taken out of the ring buffer after every step, as
// the output thread would, and checked: whole frames, no more than the file
// can make, and DoP markers alternating across the files and the stream's
// padded end.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <string>

#include "dsd_frame.h"
#include "dsf.h"
#include "fir.h"
#include "music_file.h"
#include "player.h"
#include "stream_constants.h"
#include "wav.h"

namespace {

// The readers that work on the file's own stream; the FFmpeg reader has a
// target of its own, and its probing would only slow this one down.
constexpr music_reader kStreamReaders[] = {
    {wav_open, wav_read, nullptr, kInputWav, true},
    {dff_open, dff_read, nullptr, kInputDsdiff, true},
    {wsd_open, wsd_read, nullptr, kInputWsd, true},
    {dsf_open, dsf_read, nullptr, kInputDsf, true},
};

// The bytes as a regular file in memory, opened by name as the players do.
struct memory_file {
  int fd = -1;
  std::string path;

  memory_file(const uint8_t* data, size_t size) : fd(memfd_create("fuzz-input", 0)) {
    if (fd < 0 || write(fd, data, size) != static_cast<ssize_t>(size)) return;
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  ~memory_file() {
    if (fd >= 0) close(fd);
  }
  memory_file(const memory_file&) = delete;
  memory_file& operator=(const memory_file&) = delete;
};

// Where a DoP frame of format carries its two marker bytes.
struct marker_places {
  int32_t left;
  int32_t right;
};
constexpr marker_places dop_marker_places(int32_t format) {
  switch (format) {
    case kFormatS24_3LE: return {2, 5};
    case kFormatS24_LE: return {2, 6};
    default: return {3, 7};  // S32_LE
  }
}

// What the stream's frames are checked against.
struct stream_checks {
  int32_t format;
  int32_t frame_bytes;
  bool dop;             // every frame carries a DoP marker pair
  int64_t most_frames;  // all the files can make, the filter's tail included
};

// Takes everything queued out of the ring buffer and checks it; the count
// of frames and the next marker's phase run on across calls.
void take_frames(ringbuffer* rb, const stream_checks& checks, int64_t* frames, int32_t* marker_phase) {
  for (std::span<const uint8_t> area = ringbuffer_read_area(rb); !area.empty(); area = ringbuffer_read_area(rb)) {
    if (area.size() % checks.frame_bytes != 0) __builtin_trap();
    for (size_t at = 0; checks.dop && at < area.size(); at += checks.frame_bytes) {
      const marker_places places = dop_marker_places(checks.format);
      const uint8_t marker = kDopMarkers[*marker_phase];
      if (area[at + places.left] != marker || area[at + places.right] != marker) __builtin_trap();
      *marker_phase ^= 1;
    }
    *frames += static_cast<int64_t>(area.size()) / checks.frame_bytes;
    ringbuffer_consume(rb, static_cast<int32_t>(area.size()));
  }
}

// The longest delay of any filter the players set up: the normal list's
// (longer than the short one's) or lumen's precise path's (where the CPU
// takes it).
double longest_filter_delay_seconds() {
  static const double delay = [] {
    fir_filter normal, precise;
    fir_init(normal, 44100, kOversampledRate, 2, 0);
    fir_use_precise_path(precise);
    fir_init(precise, 44100, kOversampledRate, 2, 0);
    return std::max(fir_delay_seconds(normal), fir_delay_seconds(precise));
  }();
  return delay;
}

// What two copies of a file can make at most: reads of kDsdReadBytes of a
// DSD file (the last one padded), and frames of a PCM file, one for each or,
// through the filter, at 352.8 kHz with the filter's tail after them.
constexpr int64_t kHugeCount = int64_t{1} << 40;  // past what any input here holds
int64_t most_dsd_reads(const music_file& file) {
  return 2 * (std::min(file.total_bytes, kHugeCount) / kDsdReadBytes + 1);
}
int64_t most_pcm_frames(const music_file& file, bool filtered) {
  int64_t frames = 2 * (std::min(file.remaining_bytes, kHugeCount) / file.format.block_align);
  if (!filtered) return frames;
  const int64_t rate = file.format.sample_rate;
  frames += static_cast<int64_t>(std::ceil(2 * longest_filter_delay_seconds() * static_cast<double>(rate))) + 1;
  return frames * kOversampledRate / rate + 2;
}

// A ring buffer that holds a step's frames and the filter's whole tail (the
// stream's end sends it at once), and is still small: a player's default
// buffer would cost each run more than the conversion.
int32_t ring_bytes(int32_t frame_bytes) {
  constexpr int32_t kStepFrames = 4096;  // more than a PCM or a DSD step writes
  const auto tail_frames = static_cast<int32_t>(std::ceil(2 * longest_filter_delay_seconds() * kOversampledRate));
  return 2 * frame_bytes * (kStepFrames + tail_frames);
}

// Plays the file twice through p's parts, laid out by lay_out once the files
// are known to open (it returns the checks); a file the player refuses ends
// the run, as it would stop the player before any sound.
template <typename LayOut>
int fuzz_conversion(const uint8_t* data, size_t size, const player_parts& parts, LayOut lay_out) {
  if (size == 0) return 0;
  const memory_file input(data, size);
  if (input.path.empty()) return 0;
  play_list list = make_play_list({input.path, input.path});
  player p;
  player_setup(p, parts, list, true, nullptr);
  if (player_first_refusal(p)) return 0;

  const stream_checks checks = lay_out(p.files[0]);
  player_begin_stream(p, ring_bytes(checks.frame_bytes), 2 * checks.frame_bytes);
  int64_t frames = 0;
  int32_t marker_phase = 0;
  do {
    take_frames(p.rb.get(), checks, &frames, &marker_phase);
  } while (player_convert_step(p));
  take_frames(p.rb.get(), checks, &frames, &marker_phase);
  if (frames > checks.most_frames) __builtin_trap();
  return 0;
}

}  // namespace
