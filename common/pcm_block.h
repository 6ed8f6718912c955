// The PCM conversion steps' read state: one block of a file's delivered
// frames at a time, taken apart frame by frame.
#pragma once

#include <unistd.h>

#include <cstdint>

#include "music_file.h"
#include "sample_format.h"

constexpr int32_t kPcmBlockBytes = 3072;

struct pcm_block {
  uint8_t buffer[kPcmBlockBytes];
  int32_t pending = 0;  // bytes of buffer not yet converted
  int32_t offset = 0;
  const sample_descriptor* row = nullptr;  // the file's sample format, cached until it ends
};

// Reads the next block of whole frames of file; false when the file has
// ended (nothing left to read, or the reader has nothing more).
inline bool pcm_block_read(pcm_block& block, music_file* file, read_function read) {
  if (file->remaining_bytes <= 0) return false;
  const int32_t block_align = file->format.block_align;
  const int32_t n = read(file, block.buffer, kPcmBlockBytes - kPcmBlockBytes % block_align);
  if (n <= 0) return false;
  block.pending = n;
  block.offset = 0;
  return true;
}

// The next stereo frame of samples of sample_bytes each, or null when the
// block holds no whole frame more (a partial one is dropped).
inline const uint8_t* pcm_block_next_frame(pcm_block& block, int32_t sample_bytes) {
  const int32_t frame_bytes = 2 * sample_bytes;
  if (block.pending < frame_bytes) {
    block.pending = 0;
    return nullptr;
  }
  const uint8_t* frame = block.buffer + block.offset;
  block.offset += frame_bytes;
  block.pending -= frame_bytes;
  return frame;
}
