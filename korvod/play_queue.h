// The queue: songs by their path, each with an id that stays with it while
// it moves, and versions that tell a client what changed since it looked.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

struct queue_entry {
  int32_t id = 0;
  std::string uri;
  uint32_t version = 0;  // the queue's version when this entry last changed place or was added
};

struct play_queue {
  std::vector<queue_entry> entries;
  uint32_t version = 1;
  int32_t next_id = 1;
};

// The most songs the queue holds.
constexpr size_t kQueueLongest = 16384;

// Adds a song at `position` (the end when none); its id, or none when the
// queue is full.
std::optional<int32_t> queue_add(play_queue& queue, std::string uri, std::optional<size_t> position = std::nullopt);
std::optional<size_t> queue_position_of(const play_queue& queue, int32_t id);
// Entries [start, end) removed; false when the range is not inside the queue.
bool queue_remove(play_queue& queue, size_t start, size_t end);
// Entries [start, end) moved so that the first is at `to` afterwards.
bool queue_move(play_queue& queue, size_t start, size_t end, size_t to);
// Entries [start, end) in a random order.
bool queue_shuffle(play_queue& queue, size_t start, size_t end, std::mt19937& random);
void queue_clear(play_queue& queue);
