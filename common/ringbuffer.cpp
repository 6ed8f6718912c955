#include "ringbuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

#include "util.h"

namespace {

// The one allocation behind a ringbuffer:
//
//   | ringbuffer | mark_count | pad | data: size bytes ... |
//   ^ block                        ^ block + kDataOffset (16-byte aligned)
//
// mark_count lets ringbuffer_mark_file refuse indices the marks table lacks.
struct ringbuffer_block {
  ringbuffer header;   // first member: a ringbuffer* is a ringbuffer_block*
  int32_t mark_count;  // pairs in header.file_marks, the never-set last one included
};
static_assert(std::is_standard_layout_v<ringbuffer_block>);

constexpr size_t kDataAlign = 16;

constexpr size_t round_up(size_t n, size_t to) noexcept { return (n + to - 1) / to * to; }

constexpr size_t kDataOffset = round_up(sizeof(ringbuffer_block), kDataAlign);

constexpr int32_t kUnset = -1;

ringbuffer_block* block_of(ringbuffer* rb) noexcept { return reinterpret_cast<ringbuffer_block*>(rb); }

// (a - b) mod length for two indices in 0..length-1.
constexpr int32_t index_distance(int32_t a, int32_t b, int32_t length) noexcept {
  return a >= b ? a - b : static_cast<int32_t>(int64_t{a} + length - b);
}

// (index + n) mod length without passing 2^31 on the way.
constexpr int32_t index_advance(int32_t index, int32_t n, int32_t length) noexcept {
  return static_cast<int32_t>((int64_t{index} + n) % length);
}

// Bytes queued between a read_pos and a write_pos snapshot.
constexpr int32_t used_of(int32_t read, int32_t write, int32_t length) noexcept {
  return index_distance(write, read, length);
}

// Room the producer has: the distance to read_pos less the `unit` gap.
//
//   |###_______#####|   read > write          |___#######_____|   read <= write
//       ^w     ^r                                 ^r     ^w
constexpr int32_t space_of(int32_t read, int32_t write, int32_t length, int32_t unit) noexcept {
  int64_t d = int64_t{read} - write;
  if (d <= 0) d += length;
  return static_cast<int32_t>(std::max<int64_t>(0, d - unit));
}

// Room writable at data + write without wrapping (may exceed the space; the
// callers clamp).
//
//   read == 0:      |#######______gg|  up to length - unit (gg: the gap)
//                    ^r     ^w
//   read > write:   |###_____gg#####|  up to read - unit
//                       ^w     ^r
//   otherwise:      |___#######_____|  up to the end; the rest is at the start
//                       ^r     ^w
constexpr int32_t contiguous_of(int32_t read, int32_t write, int32_t length, int32_t unit) noexcept {
  int32_t c;
  if (read == 0) {
    c = length - unit - write;
  } else if (read > write) {
    c = read - write - unit;
  } else {
    c = length - write;
  }
  return std::max(c, 0);
}

// A pair is pending from mark_file until the consumer crosses it, then spent.
// While pending its bytes_ahead word holds the data-area offset at which the
// file's first byte lies; the bytes still ahead of it are counted from
// read_pos. An offset, unlike a count the producer would take from a read_pos
// that the consumer may be moving right then, is exact.
bool mark_is_set(const file_mark& mark) noexcept { return mark.file_index.load(std::memory_order_acquire) >= 0; }
bool mark_is_pending(const file_mark& mark) noexcept {
  return mark_is_set(mark) && mark.bytes_ahead.load(std::memory_order_acquire) >= 0;
}

}  // namespace

void ringbuffer_deleter::operator()(ringbuffer* rb) const noexcept {
  if (rb == nullptr) return;
  if (rb->file_marks != nullptr) {
    std::destroy_n(rb->file_marks, block_of(rb)->mark_count);
    std::free(rb->file_marks);
  }
  ringbuffer_block* block = block_of(rb);
  std::destroy_at(block);
  std::free(block);
}

ringbuffer_ptr ringbuffer_new(int32_t size, int32_t unit, int32_t file_count) {
  if (unit <= 0 || size < 0 || file_count < 0 || file_count == INT32_MAX) return nullptr;
  const int32_t length = size - size % unit;
  // A length of one unit would be all gap: nothing could ever be queued.
  if (length <= unit) return nullptr;

  const size_t bytes = kDataOffset + round_up(static_cast<size_t>(size), kDataAlign);
  void* memory = std::aligned_alloc(kDataAlign, bytes);
  if (memory == nullptr) {
    report_warning("malloc() failed.\n");
    return nullptr;
  }
  ringbuffer_block* block = std::construct_at(static_cast<ringbuffer_block*>(memory));
  ringbuffer_ptr rb(&block->header);

  const int32_t mark_count = file_count + 1;
  auto* marks = static_cast<file_mark*>(std::calloc(static_cast<size_t>(mark_count), sizeof(file_mark)));
  if (marks == nullptr) {
    report_warning("malloc() failed.\n");
    return nullptr;  // rb releases the block
  }
  for (int32_t i = 0; i < mark_count; ++i) {
    file_mark* mark = std::construct_at(marks + i);
    mark->file_index.store(kUnset, std::memory_order_relaxed);
    mark->bytes_ahead.store(kUnset, std::memory_order_relaxed);
  }

  block->mark_count = mark_count;
  rb->file_marks = marks;
  rb->size = size;
  rb->length = length;
  rb->unit = unit;
  rb->read_pos.store(0, std::memory_order_relaxed);
  rb->write_pos.store(0, std::memory_order_relaxed);
  rb->active.store(1, std::memory_order_relaxed);
  rb->data = static_cast<uint8_t*>(memory) + kDataOffset;
  std::memset(rb->data, 0, static_cast<size_t>(size));
  return rb;
}

void ringbuffer_free(ringbuffer_ptr& rb) { rb.reset(); }

int32_t ringbuffer_used(const ringbuffer* rb) {
  return used_of(rb->read_pos.load(std::memory_order_acquire), rb->write_pos.load(std::memory_order_acquire),
                 rb->length);
}

int32_t ringbuffer_space(const ringbuffer* rb) {
  return space_of(rb->read_pos.load(std::memory_order_acquire), rb->write_pos.load(std::memory_order_acquire),
                  rb->length, rb->unit);
}

int32_t ringbuffer_fill_percent(const ringbuffer* rb) {
  return static_cast<int32_t>(int64_t{ringbuffer_used(rb)} * 100 / rb->length);
}

bool ringbuffer_drained(const ringbuffer* rb) {
  // active first: once it reads 0, write_pos holds its final value.
  if (rb->active.load(std::memory_order_acquire) != 0) return false;
  return rb->read_pos.load(std::memory_order_acquire) == rb->write_pos.load(std::memory_order_acquire);
}

int32_t ringbuffer_write(ringbuffer* rb, const uint8_t* source, int32_t n) {
  const int32_t read = rb->read_pos.load(std::memory_order_acquire);
  const int32_t write = rb->write_pos.load(std::memory_order_relaxed);
  n = std::clamp(n, 0, space_of(read, write, rb->length, rb->unit));
  if (n == 0) return 0;

  const int32_t c = contiguous_of(read, write, rb->length, rb->unit);
  if (c >= n) {
    std::memcpy(rb->data + write, source, static_cast<size_t>(n));
  } else {
    std::memcpy(rb->data + write, source, static_cast<size_t>(c));
    std::memcpy(rb->data, source + c, static_cast<size_t>(n - c));
  }
  rb->write_pos.store(index_advance(write, n, rb->length), std::memory_order_release);
  return n;
}

int32_t ringbuffer_writable_span(const ringbuffer* rb) {
  const int32_t read = rb->read_pos.load(std::memory_order_acquire);
  const int32_t write = rb->write_pos.load(std::memory_order_relaxed);
  return std::min(contiguous_of(read, write, rb->length, rb->unit), space_of(read, write, rb->length, rb->unit));
}

std::span<uint8_t> ringbuffer_write_area(ringbuffer* rb) {
  const int32_t span = ringbuffer_writable_span(rb);
  return {rb->data + rb->write_pos.load(std::memory_order_relaxed), static_cast<size_t>(span)};
}

void ringbuffer_commit(ringbuffer* rb, int32_t n) {
  // Publishing more than the span would let the queue overrun read_pos and
  // look empty; a caller's slip loses its bytes, not the whole buffer.
  n = std::clamp(n, 0, ringbuffer_writable_span(rb));
  const int32_t write = rb->write_pos.load(std::memory_order_relaxed);
  rb->write_pos.store(index_advance(write, n, rb->length), std::memory_order_release);
}

void ringbuffer_mark_file(ringbuffer* rb, int32_t index) {
  // The last pair is never set: it ends every walk over the table.
  if (index < 0 || index >= block_of(rb)->mark_count - 1) return;
  file_mark& mark = rb->file_marks[index];
  // Published with the next write_pos store; the consumer cannot pass this
  // offset before it has seen that store, and with it the mark.
  mark.bytes_ahead.store(rb->write_pos.load(std::memory_order_relaxed), std::memory_order_release);
  mark.file_index.store(index, std::memory_order_release);
}

void ringbuffer_finish(ringbuffer* rb) { rb->active.store(0, std::memory_order_release); }

void ringbuffer_reopen(ringbuffer* rb) { rb->active.store(1, std::memory_order_release); }

int32_t ringbuffer_readable_span(const ringbuffer* rb) {
  const int32_t read = rb->read_pos.load(std::memory_order_relaxed);
  const int32_t write = rb->write_pos.load(std::memory_order_acquire);
  return std::min(used_of(read, write, rb->length), rb->length - read);
}

std::span<const uint8_t> ringbuffer_read_area(const ringbuffer* rb) {
  const int32_t span = ringbuffer_readable_span(rb);
  return {rb->data + rb->read_pos.load(std::memory_order_relaxed), static_cast<size_t>(span)};
}

int32_t ringbuffer_bytes_before_mark(const ringbuffer* rb) {
  const int32_t read = rb->read_pos.load(std::memory_order_relaxed);
  const file_mark* mark = rb->file_marks;
  while (mark_is_set(*mark) && !mark_is_pending(*mark)) ++mark;
  int32_t nearest = -1;
  for (; mark_is_pending(*mark); ++mark) {
    const int32_t ahead = index_distance(mark->bytes_ahead.load(std::memory_order_relaxed), read, rb->length);
    if (ahead > 0 && (nearest < 0 || ahead < nearest)) nearest = ahead;
  }
  return nearest;
}

int32_t ringbuffer_consume(ringbuffer* rb, int32_t n) {
  const int32_t read = rb->read_pos.load(std::memory_order_relaxed);
  const int32_t write = rb->write_pos.load(std::memory_order_acquire);
  n = std::clamp(n, 0, used_of(read, write, rb->length));

  // Skip the spent pairs; the first pair never set ends the table.
  file_mark* mark = rb->file_marks;
  while (mark_is_set(*mark) && !mark_is_pending(*mark)) ++mark;

  // A mark is crossed once a byte past it is consumed: with 0 bytes ahead it
  // is still pending.
  int32_t crossed = -1;
  for (; mark_is_pending(*mark); ++mark) {
    const int32_t ahead = index_distance(mark->bytes_ahead.load(std::memory_order_relaxed), read, rb->length);
    if (n > ahead) {
      crossed = mark->file_index.load(std::memory_order_relaxed);
      mark->bytes_ahead.store(kUnset, std::memory_order_relaxed);
    }
  }

  rb->read_pos.store(index_advance(read, n, rb->length), std::memory_order_release);
  return crossed;
}
