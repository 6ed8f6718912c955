// libFuzzer target: wav_open, then wav_read to the end in calls of varying
// size, on arbitrary bytes. Traps when a read breaks the reader contract.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "wav.h"

namespace {

// Bounds every run: a file may declare terabytes it does not hold, but the
// reads end when the bytes do; this only caps a pathological call count.
constexpr int kMaxReads = 1 << 20;
constexpr int kMaxRequest = 16384;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // fmemopen in read mode never writes to the buffer.
  music_file file{};
  file.fp.reset(fmemopen(const_cast<uint8_t*>(data), size, "rb"));
  if (!file.fp) return 0;
  if (wav_open(&file) != 0) return 0;
  describe_wav_stream(&file);

  std::vector<uint8_t> dest(kMaxRequest);
  for (int call = 0; call < kMaxReads; ++call) {
    // Request sizes taken from the input itself, from 0 up to kMaxRequest.
    const uint8_t a = data[call % size];
    const uint8_t b = data[(call * 7 + 3) % size];
    const int max = (a << 6 | b) % (kMaxRequest + 1);
    const int64_t before = file.remaining_bytes;
    const int n = wav_read(&file, dest.data(), max);
    if (n == -1) {
      if (file.remaining_bytes != before) __builtin_trap();
      // A request smaller than a frame reads nothing; try another size.
      if (max >= file.format.block_align || file.remaining_bytes < file.format.block_align) break;
      continue;
    }
    if (n <= 0 || n > max || n % file.format.block_align != 0) __builtin_trap();
    if (file.remaining_bytes != before - n || file.remaining_bytes < 0) __builtin_trap();
  }
  return 0;
}
