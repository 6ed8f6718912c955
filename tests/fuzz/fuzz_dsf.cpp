// libFuzzer target: dsf_open and dsf_read on arbitrary bytes. The file is
// read part of the way, opened again from the start and read to the end in
// calls of varying size, so the record is opened again over a half-used
// block. Traps when a read breaks the reader contract or delivers more than
// the sample count allows.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "dsf.h"

namespace {

// Bounds every run: a file may declare more samples than it holds, but the
// reads end when the bytes do; this only caps a pathological call count.
constexpr int kMaxReads = 1 << 20;
constexpr int kMaxRequest = 16384;
constexpr int kFirstPassReads = 3;

// Request sizes taken from the input itself, from 0 up to kMaxRequest.
int request_size(const uint8_t* data, size_t size, int call) {
  const uint8_t a = data[static_cast<size_t>(call) % size];
  const uint8_t b = data[(static_cast<size_t>(call) * 7 + 3) % size];
  return (a << 6 | b) % (kMaxRequest + 1);
}

// Reads up to `reads` times; traps on a broken contract. Returns the bytes
// delivered.
int64_t read_file(music_file* file, const uint8_t* data, size_t size, int reads) {
  int64_t delivered = 0;
  bool short_group = false;  // only the last read may end in a short group
  for (int call = 0; call < reads; ++call) {
    const int max = request_size(data, size, call);
    std::vector<uint8_t> dest(static_cast<size_t>(max));  // exactly max: overruns are caught
    const int n = dsf_read(file, dest.data(), max);
    if (n == -1) break;
    if (n < 0 || n > max || n % 2 != 0 || short_group || (n == 0 && max >= 8)) __builtin_trap();
    short_group = n % 8 != 0;
    delivered += n;
  }
  return delivered;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // fmemopen in read mode never writes to the buffer.
  music_file file{};
  file.fp.reset(fmemopen(const_cast<uint8_t*>(data), size, "rb"));
  if (!file.fp) return 0;
  if (dsf_open(&file) == 0) {
    read_file(&file, data, size, kFirstPassReads);
    file_stream stream = std::move(file.fp);
    rewind(stream.get());
    file = music_file{};
    file.fp = std::move(stream);
    if (dsf_open(&file) != 0) __builtin_trap();  // the same bytes open the same way
    if (file.file_channels < 2 || file.dsf_block_size <= 0 || file.total_bytes < 0) __builtin_trap();
    describe_dsd_stream(&file);
    // Two delivered bytes per byte of a channel.
    const int64_t limit = 2 * static_cast<int64_t>(file.dsf.bytes_per_channel);
    if (read_file(&file, data, size, kMaxReads) > limit) __builtin_trap();
  }
  return 0;
}
