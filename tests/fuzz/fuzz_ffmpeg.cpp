// libFuzzer target: the FFmpeg adapter on arbitrary bytes served from memory
// through a custom AVIOContext, then ffmpeg_read to the end in calls of
// varying size. Traps when a read breaks the reader contract.
extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ffmpeg_old.h"

namespace {

constexpr int kIoBufferBytes = 4096;
constexpr int kMaxRequest = 16384;
// Bounds a run: a small input may still decode to hours of audio. A few
// decoded packets reach every path of the adapter; more only repeat them.
constexpr int64_t kMaxDeliveredBytes = 256 << 10;
constexpr int kMaxReads = 1 << 10;
// FFmpeg's defaults probe up to 5 MB and 5 s of stream (and 1 MB to tell
// the format): on inputs of a few kilobytes that is all wasted decoding.
// The whole input fits in this.
constexpr int kProbeBytes = 32 << 10;
constexpr int64_t kAnalyzeMicros = 100000;
// A few bytes of header may declare a tag or a block of a gigabyte, which
// FFmpeg allocates and clears before it finds the input too short: the
// fuzzer would spend its time in page faults. Real blocks of these inputs
// stay far below this (the largest, an AAC channel element, is about half
// a megabyte); a larger request fails as if memory had run out.
constexpr size_t kMaxAllocation = 4 << 20;

struct memory_input {
  const uint8_t* data;
  size_t size;
  size_t position;
};

// FFmpeg reads into a buffer of its own, which it may replace and free, so
// one copy is the least it takes; a read larger than that buffer lands in
// FFmpeg's destination directly.
int read_memory(void* opaque, uint8_t* buffer, int wanted) {
  auto* in = static_cast<memory_input*>(opaque);
  const size_t n = std::min(static_cast<size_t>(wanted), in->size - in->position);
  if (n == 0) return AVERROR_EOF;
  std::memcpy(buffer, in->data + in->position, n);
  in->position += n;
  return static_cast<int>(n);
}

int64_t seek_memory(void* opaque, int64_t offset, int whence) {
  auto* in = static_cast<memory_input*>(opaque);
  const auto size = static_cast<int64_t>(in->size);
  int64_t base = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return size;
    case SEEK_SET: break;
    case SEEK_CUR: base = static_cast<int64_t>(in->position); break;
    case SEEK_END: base = size; break;
    default: return -1;
  }
  if (offset < -base || offset > size - base) return -1;
  in->position = static_cast<size_t>(base + offset);
  return base + offset;
}

// The I/O context and its buffer, which FFmpeg may have replaced.
void free_io(AVIOContext* io) {
  if (io == nullptr) return;
  av_freep(&io->buffer);
  avio_context_free(&io);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool initialised = (ffmpeg_init(), av_max_alloc(kMaxAllocation), true);
  (void)initialised;
  if (size == 0) return 0;

  memory_input in{data, size, 0};
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
  AVIOContext* io = avio_alloc_context(buffer, kIoBufferBytes, 0, &in, read_memory, nullptr, seek_memory);
  AVFormatContext* input = avformat_alloc_context();
  if (io == nullptr || input == nullptr) {
    if (io == nullptr) av_free(buffer);
    avformat_free_context(input);
    free_io(io);
    return 0;
  }
  input->pb = io;
  // The input is the one buffer: a playlist or a concatenation among the
  // bytes may not send FFmpeg to files of the working directory or to the
  // network, where a run would stop being repeatable or wait on a socket.
  // No protocol has this name.
  input->protocol_whitelist = av_strdup("none");
  input->format_probesize = kProbeBytes;
  input->probesize = kProbeBytes;
  input->max_analyze_duration = kAnalyzeMicros;
  if (avformat_open_input(&input, nullptr, nullptr, nullptr) < 0) {  // frees input
    free_io(io);
    return 0;
  }
  // As ffmpeg_open does before it hands the demuxer on.
  if (avformat_find_stream_info(input, nullptr) < 0) {
    avformat_close_input(&input);
    free_io(io);
    return 0;
  }

  char name[] = "memory";
  music_file file{};
  file.file_name = name;
  if (ffmpeg_open_input(&file, input) == 0) {
    const int frame = file.format.block_align;
    if (frame <= 0 || file.total_bytes < 0 || file.remaining_bytes <= 0) __builtin_trap();
    std::vector<uint8_t> dest(kMaxRequest);
    int64_t delivered = 0;
    for (int call = 0; call < kMaxReads && delivered < kMaxDeliveredBytes; ++call) {
      const int max = (data[call % size] << 6 | data[(call * 7 + 3) % size]) % (kMaxRequest + 1);
      const int n = ffmpeg_read(&file, dest.data(), max);
      if (n == -1) {
        if (max >= frame) break;
        continue;
      }
      if (n <= 0 || n > max || n % frame != 0) __builtin_trap();
      delivered += n;
    }
  }
  ffmpeg_close(&file);
  free_io(io);
  return 0;
}
