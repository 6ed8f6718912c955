// Lock-free single-producer, single-consumer byte queue between a player's
// reader side (main thread) and its output thread, with file marks that tell
// the output side at which byte of the stream the next file begins.
//
// Each side owns one index and only reads the other's:
//
//   |____########______|      # queued bytes, _ free
//        ^r      ^w           read_pos (consumer), write_pos (producer)
//
// A gap of `unit` bytes always stays free between write_pos and read_pos, so
// a full buffer never looks empty. length is a multiple of unit and callers
// pick unit as a multiple of their frame size, so a frame never straddles
// the end of the data area.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "music_file.h"

// {file index, bytes ahead}; both -1 while not set. The producer writes a
// pair before the consumer can reach it; afterwards only the consumer
// changes bytes_ahead, until a skip has the consumer drop everything queued
// and the producer set again the pair of the file it reads on with. While
// the mark is pending, bytes_ahead holds the data-area offset of the file's
// first byte (the bytes still ahead are counted from read_pos); the consumer
// sets it to -1 once it has crossed the mark.
struct file_mark {
  std::atomic<int32_t> file_index;
  std::atomic<int32_t> bytes_ahead;
};

struct ringbuffer {
  int32_t size;                    // bytes allocated for the data area
  int32_t length;                  // usable bytes: size rounded down to a multiple of unit
  std::atomic<int32_t> read_pos;   // consumer's index, 0 <= read_pos < length
  std::atomic<int32_t> write_pos;  // producer's index, 0 <= write_pos < length
  int32_t unit;
  std::atomic<int32_t> active;  // 1 from creation; 0 once the producer has nothing more to write
  file_mark* file_marks;        // file count + 1 pairs
  uint8_t* data;                // size bytes, directly behind the header
};

struct ringbuffer_deleter {
  void operator()(ringbuffer* rb) const noexcept;
};
using ringbuffer_ptr = std::unique_ptr<ringbuffer, ringbuffer_deleter>;

// Header and data in one block; null for unit 0 (silently) or when memory
// cannot be had (after the "malloc() failed.\n" report).
ringbuffer_ptr ringbuffer_new(int32_t size, int32_t unit, int32_t file_count);
// Frees the buffer and nulls the handle; nothing on a null handle.
void ringbuffer_free(ringbuffer_ptr& rb);

// Bytes queued.
int32_t ringbuffer_used(const ringbuffer* rb);
// Bytes the producer may still add.
int32_t ringbuffer_space(const ringbuffer* rb);
// ringbuffer_used * 100 / length, in 64 bits (the product passes 2^31 at 21 MB).
int32_t ringbuffer_fill_percent(const ringbuffer* rb);
// True when the producer has finished and everything has been consumed.
bool ringbuffer_drained(const ringbuffer* rb);

// Producer, copying: writes min(n, space) bytes, split across the end of the
// data area when needed; returns the bytes written.
int32_t ringbuffer_write(ringbuffer* rb, const uint8_t* source, int32_t n);
// Producer, in place: contiguous bytes writable at data + write_pos.
int32_t ringbuffer_writable_span(const ringbuffer* rb);
// Producer, in place: those bytes, at the write position.
std::span<uint8_t> ringbuffer_write_area(ringbuffer* rb);
// Producer, in place: publishes n bytes already written at data + write_pos.
// The caller has checked space and the contiguous span.
void ringbuffer_commit(ringbuffer* rb, int32_t n);
// How often a side waiting for the other looks again.
constexpr unsigned kRingPollMicros = 2000;
// Producer: file `index` begins after the bytes queued now.
void ringbuffer_mark_file(ringbuffer* rb, int32_t index);
// Producer: nothing more will come.
void ringbuffer_finish(ringbuffer* rb);
// Producer: more will come after all (a skip back after the last file was read).
void ringbuffer_reopen(ringbuffer* rb);

// Consumer: bytes readable at data + read_pos without wrapping.
int32_t ringbuffer_readable_span(const ringbuffer* rb);
// Consumer: those bytes, at the read position.
std::span<const uint8_t> ringbuffer_read_area(const ringbuffer* rb);
// Consumer: n bytes at data + read_pos have been used. Returns the file index
// of the last mark crossed, or -1 when none was.
int32_t ringbuffer_consume(ringbuffer* rb, int32_t n);
// Consumer: the bytes queued before the next file's mark (one at read_pos
// does not count: consuming from there crosses it), or -1 when none is
// pending. Reading no further than this, a read crosses a mark only at its
// start, so the bytes it reads all belong to one file.
int32_t ringbuffer_bytes_before_mark(const ringbuffer* rb);
