// The fuzz body shared by the DSDIFF and WSD readers, which deliver the
// same interleaved stream from a recorded number of sound bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "dsf.h"
#include "music_file.h"

namespace {

// Bounds every run: a file may declare exabytes it does not hold, but the
// reads end when the bytes do; this only caps a pathological call count.
constexpr int kMaxReads = 1 << 20;
constexpr int kMaxRequest = 16384;

}  // namespace

// Opens arbitrary bytes with open_file, then reads them to the end with
// read_file in calls of varying size; traps when a read breaks the reader
// contract or delivers more than the recorded sound data holds.
inline int fuzz_interleaved_dsd_reader(const uint8_t* data, size_t size, open_function open_file,
                                       read_function read_file) {
  if (size == 0) return 0;
  // fmemopen in read mode never writes to the buffer.
  music_file file{};
  file.fp.reset(fmemopen(const_cast<uint8_t*>(data), size, "rb"));
  if (!file.fp) return 0;
  if (open_file(&file) != 0) return 0;
  if (file.file_channels < 2 || file.channel_map[0] >= file.file_channels ||
      file.channel_map[1] >= file.file_channels || file.format.sample_rate == 0 || file.total_bytes < 0) {
    __builtin_trap();
  }
  describe_dsd_stream(&file);

  // Two delivered bytes per whole frame of the recorded sound data.
  const int64_t limit = 2 * (file.dsd_bytes_left / file.file_channels);
  int64_t delivered = 0;
  bool short_group = false;  // only the last read may end in a short group
  for (int call = 0; call < kMaxReads; ++call) {
    // Request sizes taken from the input itself, from 0 up to kMaxRequest.
    const uint8_t a = data[call % size];
    const uint8_t b = data[(call * 7 + 3) % size];
    const int max = (a << 6 | b) % (kMaxRequest + 1);
    std::vector<uint8_t> dest(static_cast<size_t>(max));  // exactly max: overruns are caught
    const int n = read_file(&file, dest.data(), max);
    if (n == -1) break;
    if (n < 0 || n > max || n % 2 != 0 || short_group || (n == 0 && max >= 8)) __builtin_trap();
    short_group = n % 8 != 0;
    delivered += n;
    if (delivered > limit) __builtin_trap();
  }
  return 0;
}
