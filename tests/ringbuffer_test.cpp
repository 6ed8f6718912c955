#include "ringbuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

std::vector<uint8_t> counting_bytes(int32_t n, uint8_t first) {
  std::vector<uint8_t> bytes(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(first + i);
  return bytes;
}

void write_all(ringbuffer* rb, const std::vector<uint8_t>& bytes) {
  ASSERT_EQ(ringbuffer_write(rb, bytes.data(), static_cast<int32_t>(bytes.size())), static_cast<int32_t>(bytes.size()));
}

// Consumes n bytes span by span, as an output thread does.
std::vector<uint8_t> read_bytes(ringbuffer* rb, int32_t n) {
  std::vector<uint8_t> out;
  while (n > 0) {
    const int32_t span = std::min(ringbuffer_readable_span(rb), n);
    if (span == 0) break;
    const uint8_t* at = rb->data + rb->read_pos.load();
    out.insert(out.end(), at, at + span);
    ringbuffer_consume(rb, span);
    n -= span;
  }
  return out;
}

TEST(RingbufferNew, RoundsLengthDownToTheUnitAndClearsEveryMark) {
  ringbuffer_ptr rb = ringbuffer_new(100, 16, 2);
  ASSERT_NE(rb, nullptr);
  EXPECT_EQ(rb->size, 100);
  EXPECT_EQ(rb->length, 96);
  EXPECT_EQ(rb->unit, 16);
  EXPECT_EQ(rb->active.load(), 1);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(rb->data) % 16, 0u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(rb->file_marks[i].file_index.load(), -1);
    EXPECT_EQ(rb->file_marks[i].bytes_ahead.load(), -1);
  }
  EXPECT_EQ(ringbuffer_used(rb.get()), 0);
  EXPECT_EQ(ringbuffer_space(rb.get()), 80);
  EXPECT_EQ(ringbuffer_readable_span(rb.get()), 0);
  EXPECT_FALSE(ringbuffer_drained(rb.get()));
}

TEST(RingbufferNew, RefusesBuffersThatCouldHoldNothing) {
  CaptureStderr();
  EXPECT_EQ(ringbuffer_new(100, 0, 2), nullptr);
  EXPECT_EQ(ringbuffer_new(100, -16, 2), nullptr);
  EXPECT_EQ(ringbuffer_new(-100, 16, 2), nullptr);
  EXPECT_EQ(ringbuffer_new(100, 16, -1), nullptr);
  EXPECT_EQ(ringbuffer_new(15, 16, 0), nullptr);
  EXPECT_EQ(ringbuffer_new(31, 16, 0), nullptr);  // length 16: all gap
  EXPECT_EQ(GetCapturedStderr(), "");
  ringbuffer_ptr smallest = ringbuffer_new(32, 16, 0);
  ASSERT_NE(smallest, nullptr);
  EXPECT_EQ(ringbuffer_space(smallest.get()), 16);
}

TEST(RingbufferFree, NullsTheHandleAndIgnoresASecondCall) {
  ringbuffer_ptr rb = ringbuffer_new(100, 16, 0);
  ringbuffer_free(rb);
  EXPECT_EQ(rb, nullptr);
  ringbuffer_free(rb);
  EXPECT_EQ(rb, nullptr);
}

TEST(RingbufferWrite, FillsUpToTheGapAndNoFurther) {
  ringbuffer_ptr rb = ringbuffer_new(100, 16, 0);
  const auto bytes = counting_bytes(96, 1);
  EXPECT_EQ(ringbuffer_write(rb.get(), bytes.data(), 96), 80);
  EXPECT_EQ(ringbuffer_used(rb.get()), 80);
  EXPECT_EQ(ringbuffer_space(rb.get()), 0);
  EXPECT_EQ(ringbuffer_writable_span(rb.get()), 0);
  EXPECT_EQ(ringbuffer_fill_percent(rb.get()), 83);
  EXPECT_EQ(ringbuffer_write(rb.get(), bytes.data(), 1), 0);
  EXPECT_EQ(read_bytes(rb.get(), 96), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 80));
}

TEST(RingbufferWrite, AfterEmptyingInTheMiddleGoesOnAtTheOldPosition) {
  ringbuffer_ptr rb = ringbuffer_new(100, 16, 0);
  write_all(rb.get(), counting_bytes(40, 0));
  read_bytes(rb.get(), 40);
  EXPECT_EQ(ringbuffer_used(rb.get()), 0);
  EXPECT_EQ(ringbuffer_space(rb.get()), 80);

  const auto bytes = counting_bytes(30, 100);
  write_all(rb.get(), bytes);
  EXPECT_EQ(std::memcmp(rb->data + 40, bytes.data(), bytes.size()), 0);
  EXPECT_EQ(read_bytes(rb.get(), 30), bytes);
}

TEST(RingbufferWrite, SplitsAcrossTheEndAndReadsBackWhole) {
  ringbuffer_ptr rb = ringbuffer_new(100, 16, 0);
  write_all(rb.get(), counting_bytes(80, 0));
  read_bytes(rb.get(), 80);

  const auto bytes = counting_bytes(50, 7);
  write_all(rb.get(), bytes);
  EXPECT_EQ(rb->write_pos.load(), 34);
  EXPECT_EQ(std::memcmp(rb->data + 80, bytes.data(), 16), 0);
  EXPECT_EQ(std::memcmp(rb->data, bytes.data() + 16, 34), 0);
  EXPECT_EQ(ringbuffer_readable_span(rb.get()), 16);
  EXPECT_EQ(read_bytes(rb.get(), 50), bytes);
}

TEST(RingbufferWritableSpan, IsTheContiguousRoomWithinTheSpace) {
  ringbuffer_ptr rb = ringbuffer_new(100, 16, 0);
  EXPECT_EQ(ringbuffer_writable_span(rb.get()), 80);  // read 0: the gap sits at the end
  ringbuffer_commit(rb.get(), 40);
  EXPECT_EQ(ringbuffer_writable_span(rb.get()), 40);
  read_bytes(rb.get(), 24);
  EXPECT_EQ(ringbuffer_writable_span(rb.get()), 56);  // up to the end
  ringbuffer_commit(rb.get(), 56);
  EXPECT_EQ(rb->write_pos.load(), 0);
  EXPECT_EQ(ringbuffer_writable_span(rb.get()), 8);  // up to read - unit

  // read_pos below one unit: the end is nearer than the gap allows.
  ringbuffer_ptr low = ringbuffer_new(100, 16, 0);
  ringbuffer_commit(low.get(), 8);
  read_bytes(low.get(), 8);
  ringbuffer_commit(low.get(), 32);
  EXPECT_EQ(ringbuffer_writable_span(low.get()), 48);
}

TEST(RingbufferWritableSpan, CommitNeverPublishesMoreThanTheSpan) {
  ringbuffer_ptr rb = ringbuffer_new(100, 16, 0);
  ringbuffer_commit(rb.get(), 1000);
  EXPECT_EQ(ringbuffer_used(rb.get()), 80);
  EXPECT_EQ(ringbuffer_consume(rb.get(), 1000), -1);
  EXPECT_EQ(ringbuffer_used(rb.get()), 0);
}

TEST(RingbufferFillPercent, DoesNotOverflowInA21MBBuffer) {
  constexpr int32_t kSize = 21 * 1024 * 1024;
  ringbuffer_ptr rb = ringbuffer_new(kSize, 16, 0);
  ASSERT_NE(rb, nullptr);
  write_all(rb.get(), std::vector<uint8_t>(kSize - 16));
  EXPECT_EQ(ringbuffer_fill_percent(rb.get()), 99);
  read_bytes(rb.get(), kSize / 4);
  EXPECT_EQ(ringbuffer_fill_percent(rb.get()), 74);
}

TEST(RingbufferDrained, OnlyOnceFinishedAndEmpty) {
  ringbuffer_ptr rb = ringbuffer_new(100, 16, 0);
  write_all(rb.get(), counting_bytes(10, 0));
  ringbuffer_finish(rb.get());
  EXPECT_EQ(rb->active.load(), 0);
  EXPECT_FALSE(ringbuffer_drained(rb.get()));
  read_bytes(rb.get(), 10);
  EXPECT_TRUE(ringbuffer_drained(rb.get()));
}

TEST(RingbufferMarks, FirstFileIsCrossedByTheFirstByteAndStaysCurrent) {
  ringbuffer_ptr rb = ringbuffer_new(256, 16, 3);
  ringbuffer_mark_file(rb.get(), 0);
  EXPECT_EQ(rb->file_marks[0].file_index.load(), 0);
  write_all(rb.get(), counting_bytes(10, 0));
  EXPECT_EQ(ringbuffer_consume(rb.get(), 0), -1);
  const int32_t crossed = ringbuffer_consume(rb.get(), 1);
  EXPECT_EQ(crossed, 0);
  EXPECT_EQ(ringbuffer_consume(rb.get(), 9), -1);
}

TEST(RingbufferMarks, ZeroBytesAheadIsStillPending) {
  ringbuffer_ptr rb = ringbuffer_new(256, 16, 2);
  ringbuffer_mark_file(rb.get(), 0);
  write_all(rb.get(), counting_bytes(100, 0));
  ringbuffer_mark_file(rb.get(), 1);
  write_all(rb.get(), counting_bytes(50, 0));

  EXPECT_EQ(ringbuffer_consume(rb.get(), 100), 0);
  const int32_t crossed = ringbuffer_consume(rb.get(), 1);
  EXPECT_EQ(crossed, 1);
  EXPECT_EQ(ringbuffer_consume(rb.get(), 49), -1);
}

TEST(RingbufferMarks, TwoShortFilesCrossedAtOnceReportTheLater) {
  ringbuffer_ptr rb = ringbuffer_new(256, 16, 4);
  ringbuffer_mark_file(rb.get(), 0);
  write_all(rb.get(), counting_bytes(10, 0));
  ringbuffer_mark_file(rb.get(), 1);
  write_all(rb.get(), counting_bytes(5, 0));
  ringbuffer_mark_file(rb.get(), 2);
  ringbuffer_mark_file(rb.get(), 3);  // an empty file: same offset as 2
  write_all(rb.get(), counting_bytes(20, 0));

  EXPECT_EQ(ringbuffer_consume(rb.get(), 1), 0);
  const int32_t crossed = ringbuffer_consume(rb.get(), 15);
  EXPECT_EQ(crossed, 3);
}

TEST(RingbufferMarks, CountTheBytesAheadAcrossTheEnd) {
  ringbuffer_ptr rb = ringbuffer_new(100, 16, 2);
  write_all(rb.get(), counting_bytes(80, 0));
  read_bytes(rb.get(), 80);
  ringbuffer_mark_file(rb.get(), 0);  // at offset 80
  write_all(rb.get(), counting_bytes(30, 0));
  ringbuffer_mark_file(rb.get(), 1);  // at offset 14, behind read_pos
  write_all(rb.get(), counting_bytes(20, 0));

  EXPECT_EQ(ringbuffer_consume(rb.get(), 16), 0);
  EXPECT_EQ(ringbuffer_consume(rb.get(), 14), -1);
  EXPECT_EQ(ringbuffer_consume(rb.get(), 1), 1);
}

// A read that stops where the next file's mark is gets only one file's
// bytes; a mark at the read position is the start of that read, not its end.
TEST(RingbufferMarks, BytesBeforeTheNextMarkAcrossTheEnd) {
  ringbuffer_ptr rb = ringbuffer_new(100, 16, 3);
  EXPECT_EQ(ringbuffer_bytes_before_mark(rb.get()), -1);
  write_all(rb.get(), counting_bytes(80, 0));
  read_bytes(rb.get(), 80);
  ringbuffer_mark_file(rb.get(), 0);  // at the read position
  write_all(rb.get(), counting_bytes(30, 0));
  ringbuffer_mark_file(rb.get(), 1);  // 30 bytes on, across the end
  write_all(rb.get(), counting_bytes(20, 0));
  EXPECT_EQ(ringbuffer_bytes_before_mark(rb.get()), 30);
  EXPECT_EQ(ringbuffer_consume(rb.get(), 10), 0);
  EXPECT_EQ(ringbuffer_bytes_before_mark(rb.get()), 20);
  EXPECT_EQ(ringbuffer_consume(rb.get(), 20), -1);
  EXPECT_EQ(ringbuffer_bytes_before_mark(rb.get()), -1);  // file 1's mark is where reading goes on
  EXPECT_EQ(ringbuffer_consume(rb.get(), 20), 1);
}

TEST(RingbufferMarks, IndicesOutsideTheListAreIgnored) {
  ringbuffer_ptr rb = ringbuffer_new(100, 16, 2);
  for (int32_t index : {-1, 2, 3, 1000000}) ringbuffer_mark_file(rb.get(), index);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(rb->file_marks[i].file_index.load(), -1);
  write_all(rb.get(), counting_bytes(10, 0));
  EXPECT_EQ(ringbuffer_consume(rb.get(), 10), -1);
}

TEST(RingbufferMarks, AfterADropASkipBackMarksAFileAgain) {
  ringbuffer_ptr rb = ringbuffer_new(256, 16, 3);
  for (int32_t index : {0, 1, 2}) {
    ringbuffer_mark_file(rb.get(), index);
    write_all(rb.get(), counting_bytes(10, 0));
  }
  EXPECT_EQ(ringbuffer_consume(rb.get(), 5), 0);
  // Skip back from file 0's middle with files 1 and 2 queued: all goes, and
  // file 0 is read again, then file 1.
  EXPECT_EQ(ringbuffer_consume(rb.get(), ringbuffer_used(rb.get())), 2);
  ringbuffer_mark_file(rb.get(), 0);
  write_all(rb.get(), counting_bytes(10, 0));
  ringbuffer_mark_file(rb.get(), 1);
  write_all(rb.get(), counting_bytes(10, 0));
  EXPECT_EQ(ringbuffer_consume(rb.get(), 1), 0);
  EXPECT_EQ(ringbuffer_consume(rb.get(), 9), -1);
  EXPECT_EQ(ringbuffer_consume(rb.get(), 1), 1);
}

// --- one producer and one consumer thread ---

constexpr int64_t kStreamBytes = 32 << 20;
constexpr int32_t kMarkSpacing = 300000;
constexpr auto kStallLimit = std::chrono::seconds(20);

// The byte at a stream position: a mixing hash, so a lost, doubled or
// misplaced byte shows.
constexpr uint8_t stream_byte(int64_t position) noexcept {
  uint64_t x = static_cast<uint64_t>(position + 1) * 0x9E3779B97F4A7C15u;
  x ^= x >> 31;
  x *= 0xD6E8FEB86659FD93u;
  return static_cast<uint8_t>(x >> 56);
}

// Where each file begins: irregular gaps, and one empty file.
std::vector<int64_t> file_starts() {
  std::vector<int64_t> starts;
  for (int64_t k = 0; k * kMarkSpacing < kStreamBytes - kMarkSpacing; ++k) {
    starts.push_back(k == 0 ? 0 : k * kMarkSpacing + (k * 7919) % (kMarkSpacing / 2));
  }
  starts[51] = starts[50];
  return starts;
}

// Waits for the other side; false once it has made no progress for too long.
class idle_guard {
 public:
  void progressed() { idle_since_ = {}; }
  bool wait() {
    const auto now = std::chrono::steady_clock::now();
    if (idle_since_ == std::chrono::steady_clock::time_point{}) idle_since_ = now;
    std::this_thread::yield();
    return now - idle_since_ < kStallLimit;
  }

 private:
  std::chrono::steady_clock::time_point idle_since_{};
};

void produce(ringbuffer* rb, const std::vector<int64_t>& starts, const std::atomic<bool>& stop) {
  std::mt19937 random(1);
  std::uniform_int_distribution<int32_t> chunk(1, 6000);
  std::vector<uint8_t> block(6000);
  idle_guard guard;
  int64_t position = 0;
  size_t next_file = 0;
  while (position < kStreamBytes && !stop.load()) {
    while (next_file < starts.size() && starts[next_file] == position) {
      ringbuffer_mark_file(rb, static_cast<int32_t>(next_file++));
    }
    const int64_t limit = next_file < starts.size() ? starts[next_file] : kStreamBytes;
    const auto want = static_cast<int32_t>(std::min<int64_t>(chunk(random), limit - position));
    int32_t written;
    if (random() % 2 == 0) {
      for (int32_t i = 0; i < want; ++i) block[static_cast<size_t>(i)] = stream_byte(position + i);
      written = ringbuffer_write(rb, block.data(), want);
    } else {
      written = std::min(ringbuffer_writable_span(rb), want);
      uint8_t* at = rb->data + rb->write_pos.load(std::memory_order_relaxed);
      for (int32_t i = 0; i < written; ++i) at[i] = stream_byte(position + i);
      ringbuffer_commit(rb, written);
    }
    position += written;
    if (written > 0) {
      guard.progressed();
    } else if (!guard.wait()) {
      break;
    }
  }
  ringbuffer_finish(rb);
}

// Returns the first fault seen, or an empty string.
std::string consume(ringbuffer* rb, const std::vector<int64_t>& starts) {
  std::mt19937 random(2);
  std::uniform_int_distribution<int32_t> chunk(1, 9000);
  idle_guard guard;
  int64_t position = 0;
  size_t next_file = 0;
  for (;;) {
    const int32_t span = ringbuffer_readable_span(rb);
    if (span == 0) {
      if (ringbuffer_drained(rb)) break;
      if (!guard.wait()) return "consumer stalled at " + std::to_string(position);
      continue;
    }
    guard.progressed();
    const int32_t n = std::min(span, chunk(random));
    const uint8_t* at = rb->data + rb->read_pos.load(std::memory_order_relaxed);
    for (int32_t i = 0; i < n; ++i) {
      if (at[i] != stream_byte(position + i)) return "wrong byte at " + std::to_string(position + i);
    }
    // Files beginning within these n bytes are crossed now; the last one counts.
    int32_t expected = -1;
    while (next_file < starts.size() && starts[next_file] < position + n) {
      expected = static_cast<int32_t>(next_file++);
    }
    const int32_t crossed = ringbuffer_consume(rb, n);
    if (crossed != expected) {
      return "crossed " + std::to_string(crossed) + " instead of " + std::to_string(expected) + " at " +
             std::to_string(position);
    }
    position += n;
  }
  if (position != kStreamBytes) return "stream ended at " + std::to_string(position);
  if (next_file != starts.size()) return "files left uncrossed";
  return {};
}

TEST(RingbufferThreads, StreamArrivesWholeAndInOrderWithEachMarkOnItsByte) {
  const std::vector<int64_t> starts = file_starts();
  ringbuffer_ptr rb = ringbuffer_new(65560, 16, static_cast<int32_t>(starts.size()));
  ASSERT_NE(rb, nullptr);
  std::atomic<bool> stop{false};
  std::string fault;
  std::thread consumer([&] {
    fault = consume(rb.get(), starts);
    stop.store(true);
  });
  produce(rb.get(), starts, stop);
  consumer.join();
  EXPECT_EQ(fault, "");
}

}  // namespace
