#include "play_queue.h"

#include <algorithm>

namespace {

// A new version, and every entry from `first` marked with it: their
// positions changed.
void changed_from(play_queue& queue, size_t first) {
  ++queue.version;
  for (size_t i = first; i < queue.entries.size(); ++i) queue.entries[i].version = queue.version;
}

}  // namespace

std::optional<int32_t> queue_add(play_queue& queue, std::string uri, std::optional<size_t> position) {
  if (queue.entries.size() >= kQueueLongest) return std::nullopt;
  const size_t at = std::min(position.value_or(queue.entries.size()), queue.entries.size());
  const int32_t id = queue.next_id;
  queue.next_id = queue.next_id == INT32_MAX ? 1 : queue.next_id + 1;
  queue.entries.insert(queue.entries.begin() + static_cast<std::ptrdiff_t>(at), queue_entry{id, std::move(uri), 0});
  changed_from(queue, at);
  return id;
}

std::optional<size_t> queue_position_of(const play_queue& queue, int32_t id) {
  for (size_t i = 0; i < queue.entries.size(); ++i) {
    if (queue.entries[i].id == id) return i;
  }
  return std::nullopt;
}

bool queue_remove(play_queue& queue, size_t start, size_t end) {
  if (start > end || end > queue.entries.size()) return false;
  queue.entries.erase(queue.entries.begin() + static_cast<std::ptrdiff_t>(start),
                      queue.entries.begin() + static_cast<std::ptrdiff_t>(end));
  changed_from(queue, start);
  return true;
}

bool queue_move(play_queue& queue, size_t start, size_t end, size_t to) {
  const size_t count = end - start;
  if (start > end || end > queue.entries.size() || to + count > queue.entries.size()) return false;
  std::vector<queue_entry> moved(queue.entries.begin() + static_cast<std::ptrdiff_t>(start),
                                 queue.entries.begin() + static_cast<std::ptrdiff_t>(end));
  queue.entries.erase(queue.entries.begin() + static_cast<std::ptrdiff_t>(start),
                      queue.entries.begin() + static_cast<std::ptrdiff_t>(end));
  queue.entries.insert(queue.entries.begin() + static_cast<std::ptrdiff_t>(to), moved.begin(), moved.end());
  changed_from(queue, std::min(start, to));
  return true;
}

bool queue_shuffle(play_queue& queue, size_t start, size_t end, std::mt19937& random) {
  if (start > end || end > queue.entries.size()) return false;
  std::shuffle(queue.entries.begin() + static_cast<std::ptrdiff_t>(start),
               queue.entries.begin() + static_cast<std::ptrdiff_t>(end), random);
  changed_from(queue, start);
  return true;
}

void queue_clear(play_queue& queue) {
  queue.entries.clear();
  ++queue.version;
}
