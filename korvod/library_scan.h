// The scan of the music folder behind update and rescan: it runs on a
// thread of its own, reads each new or changed file's tags and length with
// the players' readers, and hands the new library to the event loop, whose
// poll wakes on `wake_fd`.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "library.h"
#include "unique_fd.h"

// Walks the folder: files of a kind no reader takes are left out, links
// that lead out of the folder too; a song known to `previous` whose
// modification time is unchanged is taken from it unless `read_all`.
music_library library_scan(const std::string& music_dir, const music_library& previous, bool read_all,
                           const std::atomic<bool>& stop);

struct library_scanner {
  std::thread thread;
  unique_fd wake_fd;  // an eventfd, readable once a scan has ended
  std::mutex lock;
  std::optional<music_library> result;  // under lock
  std::atomic<bool> stop{false};
  bool running = false;
};

// Creates the wake descriptor; false when it cannot.
bool scanner_init(library_scanner& scanner);
// Starts a scan; false when one is running.
bool scanner_start(library_scanner& scanner, const std::string& music_dir, music_library previous, bool read_all);
// The scan's library once it has ended (the thread joined), else empty.
std::optional<music_library> scanner_take(library_scanner& scanner);
// Ends a running scan early and joins it.
void scanner_stop(library_scanner& scanner);
