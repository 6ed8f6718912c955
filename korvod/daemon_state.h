// What korvod holds while it runs, one record passed to the modules that
// act on it: the settings, the library and its scan, the queue, where
// playback stands and the player that plays.
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "library.h"
#include "library_scan.h"
#include "options.h"
#include "play_queue.h"
#include "player_process.h"

// The subsystems a client waits for with idle.
enum idle_subsystem : uint32_t {
  kIdleDatabase = 1u << 0,
  kIdleUpdate = 1u << 1,
  kIdleStoredPlaylist = 1u << 2,
  kIdlePlaylist = 1u << 3,
  kIdlePlayer = 1u << 4,
  kIdleMixer = 1u << 5,
  kIdleOutput = 1u << 6,
  kIdleOptions = 1u << 7,
  kIdlePartition = 1u << 8,
  kIdleSticker = 1u << 9,
  kIdleSubscription = 1u << 10,
  kIdleMessage = 1u << 11,
};

enum class play_state : uint8_t { stop, play, pause };
enum class single_mode : uint8_t { off, on, oneshot };

struct playback_state {
  play_state state = play_state::stop;
  int32_t current_id = -1;  // the song heard, paused, or where play starts; -1: none
  int64_t elapsed_ms = 0;
  int64_t duration_ms = 0;
  std::string audio;     // the stream as MPD names formats
  int32_t volume = 100;  // brisa's, in percent: 100 = 0 dB, 0 = -48 dB
  bool repeat = false;
  bool random = false;
  bool consume = false;
  single_mode single = single_mode::off;
  bool output_enabled = true;
  // off, track, album or auto (album in order, track in random order): brisa
  // applies it from the next time it is started; lumen plays bit-perfect.
  std::string replay_gain_mode = "off";
  std::string error;
  std::vector<int32_t> random_order;  // ids, the order random plays them in
};

// The player run and what korvod knows of its play list: the song id at
// each index of the list, and the appends and the clear still on their way.
struct player_run {
  player_process process;
  std::vector<int32_t> list_ids;     // confirmed by the player's list events
  std::deque<int32_t> appends_sent;  // not yet confirmed, in order
  int32_t heard_index = 0;
  int32_t skip_to_index = -1;  // a next sent: the player's reports of the song before it are stale
  bool quit_sent = false;
  int64_t quit_since = 0;    // steady milliseconds
  std::string stop_reason;   // from the player's stopped state
  bool cleared = false;      // the list ahead was cleared since the queue last changed
  uint64_t fence = 0;        // the marker that follows a clear (0: none on its way)
  int32_t fence_count = -1;  // the list's count last seen before the marker
  // Started after the one running has ended.
  bool start_pending = false;
  int32_t start_id = -1;
  int64_t start_ms = 0;
};

struct daemon_state {
  korvod_options options;
  music_library library;
  library_scanner scanner;
  int32_t update_job = 0;  // the last scan's number; running while scanner.running
  play_queue queue;
  playback_state playback;
  player_run run;
  std::set<int32_t> unplayable;  // ids the player refused, skipped until the library is read again
  std::mt19937 random{std::random_device{}()};
  uint32_t changed = 0;      // idle subsystems changed since the clients were told
  bool state_dirty = false;  // the queue or the position is not saved yet
  int64_t started_at = 0;    // seconds since the epoch
  int64_t play_time_ms = 0;  // music heard since korvod started
};
