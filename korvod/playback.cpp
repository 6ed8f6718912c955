#include "playback.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "control_channel.h"
#include "music_paths.h"

namespace {

// Songs kept in the player's list after the one heard.
constexpr size_t kSongsAhead = 2;
// The player's list holds a few thousand files; a run that has played
// this many ends, and the next run goes on.
constexpr size_t kLongestRun = 4000;
// A player that has not ended this long after quit is killed.
constexpr int64_t kQuitPatienceMs = 10000;
constexpr int32_t kLowestDb = -48;

std::optional<int64_t> parse_millis(std::string_view text) {
  const std::optional<int64_t> millis = control_parse_seconds(text);
  if (!millis || *millis < 0) return std::nullopt;
  return millis;
}

const queue_entry* entry_of(const daemon_state& d, int32_t id) {
  const std::optional<size_t> position = queue_position_of(d.queue, id);
  return position ? &d.queue.entries[*position] : nullptr;
}

int64_t duration_of(const daemon_state& d, int32_t id) {
  const queue_entry* entry = entry_of(d, id);
  const song_record* song = entry != nullptr ? library_find_song(d.library, entry->uri) : nullptr;
  return song != nullptr ? song->duration_ms : 0;
}

void rebuild_random_order(daemon_state& d) {
  std::vector<int32_t>& order = d.playback.random_order;
  order.clear();
  for (const queue_entry& entry : d.queue.entries) order.push_back(entry.id);
  std::shuffle(order.begin(), order.end(), d.random);
  // What plays now comes first: every other song follows it once.
  const auto current = std::find(order.begin(), order.end(), d.playback.current_id);
  if (current != order.end()) std::rotate(order.begin(), current, order.end());
}

bool random_order_valid(const daemon_state& d) {
  if (d.playback.random_order.size() != d.queue.entries.size()) return false;
  std::vector<int32_t> ids;
  for (const queue_entry& entry : d.queue.entries) ids.push_back(entry.id);
  std::vector<int32_t> order = d.playback.random_order;
  std::sort(ids.begin(), ids.end());
  std::sort(order.begin(), order.end());
  return ids == order;
}

// One step forward (+1) or back (-1) in the play order, refusals not skipped.
int32_t neighbour(daemon_state& d, int32_t id, int step) {
  const std::optional<size_t> position = queue_position_of(d.queue, id);
  if (!position) return -1;
  const playback_state& p = d.playback;
  if (step > 0 && p.single != single_mode::off) return p.repeat ? id : -1;
  const std::vector<int32_t>* order = nullptr;
  std::vector<int32_t> in_queue;
  if (p.random) {
    if (!random_order_valid(d)) rebuild_random_order(d);
    order = &d.playback.random_order;
  } else {
    for (const queue_entry& entry : d.queue.entries) in_queue.push_back(entry.id);
    order = &in_queue;
  }
  const auto at = std::find(order->begin(), order->end(), id);
  if (at == order->end()) return -1;
  const auto index = at - order->begin();
  const auto size = static_cast<std::ptrdiff_t>(order->size());
  const std::ptrdiff_t next = index + step;
  if (next >= 0 && next < size) return (*order)[static_cast<size_t>(next)];
  if (!p.repeat) return -1;
  return (*order)[static_cast<size_t>((next + size) % size)];
}

int32_t skip_unplayable(daemon_state& d, int32_t id, int step) {
  int32_t found = neighbour(d, id, step);
  for (size_t tries = 0; found >= 0 && d.unplayable.count(found) != 0; ++tries) {
    if (tries > d.queue.entries.size()) return -1;
    found = neighbour(d, found, step);
  }
  return found;
}

std::optional<std::string> path_of(const daemon_state& d, int32_t id) {
  const queue_entry* entry = entry_of(d, id);
  if (entry == nullptr) return std::nullopt;
  return music_path_resolve(d.options.music_dir, entry->uri);
}

int32_t volume_db(int32_t percent) { return kLowestDb + (percent * -kLowestDb + 50) / 100; }

int32_t volume_percent(int32_t db) {
  return std::clamp(static_cast<int32_t>(std::lround((db - kLowestDb) * 100.0 / -kLowestDb)), 0, 100);
}

// The ids of the player's list as far as korvod has sent them.
std::vector<int32_t> sent_ids(const player_run& run) {
  std::vector<int32_t> ids = run.list_ids;
  ids.insert(ids.end(), run.appends_sent.begin(), run.appends_sent.end());
  return ids;
}

void quit_player(daemon_state& d) {
  player_run& run = d.run;
  if (!player_process_running(run.process) || run.quit_sent) return;
  player_process_send(run.process, control_command_name::kQuit);
  run.quit_sent = true;
  run.fence = 0;
  run.quit_since = playback_steady_ms();
}

// Keeps the songs after the one heard as the queue would play them: what
// is missing is appended; what is wrong is cleared first, a marker line
// following the clear so that the list's count after it can be told.
void sync_ahead(daemon_state& d) {
  player_run& run = d.run;
  if (!player_process_running(run.process) || run.quit_sent || run.fence != 0) return;
  const std::vector<int32_t> ids = sent_ids(run);
  if (run.heard_index < 0 || static_cast<size_t>(run.heard_index) >= ids.size()) return;
  const std::vector<int32_t> ahead(ids.begin() + run.heard_index + 1, ids.end());
  int32_t base = ids[static_cast<size_t>(run.heard_index)];
  size_t matched = 0;
  while (matched < ahead.size() && ahead[matched] == playback_successor(d, base)) base = ahead[matched++];
  if (matched < ahead.size()) {
    if (!run.cleared) {
      static uint64_t fences = 0;
      run.fence = ++fences;
      run.fence_count = -1;
      player_process_send(run.process, control_command_name::kClear);
      player_process_send(run.process, control_command_name::kStatus);
      player_process_send(run.process, "korvod-fence-" + std::to_string(run.fence));
      return;
    }
    // What the player is already reading stays: the queue goes on after it.
    base = ahead.back();
  }
  for (size_t count = ahead.size(); count < kSongsAhead && ids.size() + count < kLongestRun + ahead.size();) {
    const int32_t next = playback_successor(d, base);
    if (next < 0) return;
    const std::optional<std::string> path = path_of(d, next);
    if (!path) {
      d.unplayable.insert(next);
      continue;
    }
    player_process_send(run.process, "append " + control_escape(*path));
    run.appends_sent.push_back(next);
    base = next;
    ++count;
  }
}

bool start_player(daemon_state& d, int32_t id, int64_t from_ms, std::string* why) {
  const std::optional<std::string> path = path_of(d, id);
  if (!path) {
    *why = "No such song, or it lies outside the music folder";
    return false;
  }
  playback_state& p = d.playback;
  p.current_id = id;
  p.state = play_state::play;
  p.elapsed_ms = from_ms;
  p.duration_ms = duration_of(d, id);
  p.error.clear();
  d.changed |= kIdlePlayer;
  d.state_dirty = true;
  player_run& run = d.run;
  if (player_process_running(run.process)) {
    run.start_pending = true;
    run.start_id = id;
    run.start_ms = from_ms;
    quit_player(d);
    return true;
  }
  std::vector<std::string> words = {d.options.player, "--control", "--wait-device"};
  if (!d.options.device.empty()) {
    words.push_back("-D");
    words.push_back(d.options.device);
  }
  words.insert(words.end(), d.options.player_options.begin(), d.options.player_options.end());
  if (const std::string& gain = p.replay_gain_mode; gain != "off" && playback_has_volume(d)) {
    const bool by_track = gain == "track" || (gain == "auto" && p.random);
    words.push_back(by_track ? "--replaygain=track" : "--replaygain=album");
  }
  words.push_back(*path);
  run = player_run{};
  if (!player_process_start(run.process, words, why)) {
    p.state = play_state::stop;
    p.error = *why;
    return false;
  }
  run.list_ids = {id};
  if (playback_has_volume(d) && p.volume != 100) {
    player_process_send(run.process, "volume " + std::to_string(volume_db(p.volume)));
  }
  if (from_ms > 0) player_process_send(run.process, "seek " + control_seconds_text(from_ms));
  sync_ahead(d);
  return true;
}

// The heard song changed to `id`.
void song_heard(daemon_state& d, int32_t id) {
  playback_state& p = d.playback;
  const int32_t finished = p.current_id;
  if (id == finished) return;
  if (p.consume && finished >= 0) {
    if (const std::optional<size_t> position = queue_position_of(d.queue, finished)) {
      queue_remove(d.queue, *position, *position + 1);
      d.changed |= kIdlePlaylist;
    }
  }
  p.current_id = id;
  p.elapsed_ms = 0;
  p.duration_ms = duration_of(d, id);
  d.changed |= kIdlePlayer;
  d.state_dirty = true;
  // A song removed from the queue after the player had begun reading it.
  if (entry_of(d, id) == nullptr) player_process_send(d.run.process, control_command_name::kNext);
}

void on_list(daemon_state& d, int32_t count) {
  player_run& run = d.run;
  if (run.fence != 0) {
    run.fence_count = count;
    return;
  }
  while (static_cast<int32_t>(run.list_ids.size()) < count && !run.appends_sent.empty()) {
    run.list_ids.push_back(run.appends_sent.front());
    run.appends_sent.pop_front();
  }
}

void on_error(daemon_state& d, const std::string& text) {
  player_run& run = d.run;
  if (run.fence != 0 && text == "unknown command korvod-fence-" + std::to_string(run.fence)) {
    std::vector<int32_t> ids = sent_ids(run);
    if (run.fence_count >= 0 && static_cast<size_t>(run.fence_count) < ids.size()) ids.resize(run.fence_count);
    run.list_ids = std::move(ids);
    run.appends_sent.clear();
    run.fence = 0;
    run.cleared = true;
    sync_ahead(d);
    return;
  }
  if (!run.appends_sent.empty()) {
    const std::optional<std::string> path = path_of(d, run.appends_sent.front());
    if (!path || text.find(*path) != std::string::npos) {
      d.unplayable.insert(run.appends_sent.front());
      run.appends_sent.pop_front();
      sync_ahead(d);
      return;
    }
  }
  d.playback.error = text;
  d.changed |= kIdlePlayer;
}

void on_event(daemon_state& d, const std::string& line) {
  const control_event_line event = control_split_event(line);
  player_run& run = d.run;
  playback_state& p = d.playback;
  if (event.name == control_event_name::kList) {
    int32_t count = 0;
    std::from_chars(event.rest.data(), event.rest.data() + event.rest.size(), count);
    on_list(d, count);
  } else if (event.name == control_event_name::kFile) {
    const std::string_view index_text = event.rest.substr(0, event.rest.find(' '));
    int32_t index = -1;
    std::from_chars(index_text.data(), index_text.data() + index_text.size(), index);
    const std::vector<int32_t> ids = sent_ids(run);
    if (index < 0 || static_cast<size_t>(index) >= ids.size()) return;
    if (index < run.skip_to_index) return;
    run.skip_to_index = -1;
    run.heard_index = index;
    if (!run.start_pending && !run.quit_sent) song_heard(d, ids[static_cast<size_t>(index)]);
    sync_ahead(d);
  } else if (event.name == control_event_name::kPosition) {
    const size_t blank = event.rest.find(' ');
    const std::optional<int64_t> elapsed = parse_millis(event.rest.substr(0, blank));
    if (!elapsed || run.start_pending || run.quit_sent || run.skip_to_index >= 0) return;
    if (*elapsed > p.elapsed_ms && *elapsed - p.elapsed_ms < 2000) d.play_time_ms += *elapsed - p.elapsed_ms;
    p.elapsed_ms = *elapsed;
    if (blank != std::string_view::npos) {
      if (const std::optional<int64_t> duration = parse_millis(event.rest.substr(blank + 1))) p.duration_ms = *duration;
    }
  } else if (event.name == control_event_name::kFormat) {
    if (!run.start_pending && !run.quit_sent) p.audio = playback_audio_name(event.rest);
  } else if (event.name == control_event_name::kVolume) {
    int32_t db = 0;
    std::from_chars(event.rest.data(), event.rest.data() + event.rest.size(), db);
    if (volume_db(p.volume) != db) {
      p.volume = volume_percent(db);
      d.changed |= kIdleMixer;
    }
  } else if (event.name == control_event_name::kError) {
    on_error(d, control_unescape(event.rest));
  } else if (event.name == control_event_name::kState) {
    if (event.rest.rfind(control_state_name::kStopped, 0) == 0) {
      const std::string_view reason = event.rest.substr(std::min(event.rest.size(), event.rest.find(' ') + 1));
      run.stop_reason = std::string(reason);
    }
  }
}

// The player has ended: its list played out, it was quit, or it failed.
void player_ended(daemon_state& d) {
  player_run& run = d.run;
  const int status = player_process_reap(run.process);
  playback_state& p = d.playback;
  p.audio.clear();
  if (run.start_pending) {
    const int32_t id = run.start_id;
    const int64_t from = run.start_ms;
    run = player_run{};
    std::string why;
    if (!start_player(d, id, from, &why)) d.changed |= kIdlePlayer;
    return;
  }
  const bool asked = run.quit_sent;
  const std::string reason = run.stop_reason;
  const int32_t last = sent_ids(run).empty() ? -1 : sent_ids(run).back();
  run = player_run{};
  if (asked) return;
  d.changed |= kIdlePlayer;
  d.state_dirty = true;
  if (reason == control_state_name::kEndOfList) {
    // A run that reached its longest list, or whose next song could not
    // be added in time, goes on with the next run.
    const int32_t next = playback_successor(d, p.current_id);
    if (next >= 0 && next != last && last == p.current_id) {
      std::string why;
      if (start_player(d, next, 0, &why)) return;
    }
    if (p.consume && p.current_id >= 0) {
      if (const std::optional<size_t> position = queue_position_of(d.queue, p.current_id)) {
        queue_remove(d.queue, *position, *position + 1);
        d.changed |= kIdlePlaylist;
      }
    }
    if (p.single == single_mode::oneshot) {
      p.single = single_mode::off;
      d.changed |= kIdleOptions;
    } else if (p.single == single_mode::off) {
      p.current_id = -1;
    }
    p.state = play_state::stop;
    p.elapsed_ms = 0;
    return;
  }
  p.state = play_state::stop;
  if (p.error.empty()) {
    char text[96];
    if (WIFSIGNALED(status)) {
      snprintf(text, sizeof text, "the player ended by signal %d", WTERMSIG(status));
    } else {
      snprintf(text, sizeof text, "the player stopped (exit status %d)", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    }
    p.error = text;
  }
}

}  // namespace

int64_t playback_steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string playback_audio_name(std::string_view format) {
  if (format.rfind("dop", 0) == 0) return "dsd" + std::string(format.substr(3)) + ":2";
  if (format.rfind("dsd", 0) == 0) return std::string(format) + ":2";
  return std::string(format);
}

int32_t playback_successor(daemon_state& d, int32_t id) { return skip_unplayable(d, id, 1); }
int32_t playback_predecessor(daemon_state& d, int32_t id) { return skip_unplayable(d, id, -1); }

bool playback_has_volume(const daemon_state& d) { return d.options.player == "brisa"; }

bool playback_play(daemon_state& d, int32_t id, int64_t from_ms, std::string* why) {
  if (!d.playback.output_enabled) {
    *why = "The output is disabled";
    return false;
  }
  if (entry_of(d, id) == nullptr) {
    *why = "No such song";
    return false;
  }
  player_run& run = d.run;
  const bool running = player_process_running(run.process) && !run.quit_sent;
  if (running && d.playback.current_id == id && run.fence == 0) {
    player_process_send(run.process, "seek " + control_seconds_text(from_ms));
    player_process_send(run.process, control_command_name::kResume);
    d.playback.state = play_state::play;
    d.playback.elapsed_ms = from_ms;
    d.changed |= kIdlePlayer;
    return true;
  }
  if (running && from_ms == 0 && run.fence == 0 && static_cast<size_t>(run.heard_index) + 1 < run.list_ids.size() &&
      run.list_ids[static_cast<size_t>(run.heard_index) + 1] == id) {
    // The song is next in the player's list already.
    player_process_send(run.process, control_command_name::kNext);
    player_process_send(run.process, control_command_name::kResume);
    run.skip_to_index = run.heard_index + 1;
    d.playback.state = play_state::play;
    song_heard(d, id);
    return true;
  }
  return start_player(d, id, from_ms, why);
}

void playback_pause(daemon_state& d, bool pause) {
  playback_state& p = d.playback;
  const bool running = player_process_running(d.run.process) && !d.run.quit_sent;
  if (pause && p.state == play_state::play) {
    if (running) player_process_send(d.run.process, control_command_name::kPause);
    p.state = play_state::pause;
  } else if (!pause && p.state == play_state::pause) {
    if (running) {
      player_process_send(d.run.process, control_command_name::kResume);
      p.state = play_state::play;
    } else {
      std::string why;
      if (!playback_play(d, p.current_id, p.elapsed_ms, &why)) p.error = why;
    }
  } else {
    return;
  }
  d.changed |= kIdlePlayer;
  d.state_dirty = true;
}

void playback_stop(daemon_state& d) {
  quit_player(d);
  d.run.start_pending = false;
  playback_state& p = d.playback;
  if (p.state != play_state::stop) d.changed |= kIdlePlayer;
  p.state = play_state::stop;
  p.elapsed_ms = 0;
  p.audio.clear();
  d.state_dirty = true;
}

void playback_next(daemon_state& d) {
  playback_state& p = d.playback;
  if (p.state == play_state::stop || p.current_id < 0) return;
  const bool single_was_on = p.single != single_mode::off;
  // next passes over single's stop, as MPD's does.
  p.single = single_mode::off;
  const int32_t next = playback_successor(d, p.current_id);
  if (single_was_on) p.single = single_mode::on;
  if (next < 0) {
    playback_stop(d);
    return;
  }
  const bool paused = p.state == play_state::pause;
  std::string why;
  if (!playback_play(d, next, 0, &why)) p.error = why;
  if (paused) playback_pause(d, true);
}

void playback_previous(daemon_state& d) {
  playback_state& p = d.playback;
  if (p.state == play_state::stop || p.current_id < 0) return;
  int32_t previous = playback_predecessor(d, p.current_id);
  if (previous < 0) previous = p.current_id;
  const bool paused = p.state == play_state::pause;
  std::string why;
  if (!playback_play(d, previous, 0, &why)) p.error = why;
  if (paused) playback_pause(d, true);
}

bool playback_seek(daemon_state& d, int32_t id, int64_t ms, std::string* why) {
  if (entry_of(d, id) == nullptr) {
    *why = "No such song";
    return false;
  }
  playback_state& p = d.playback;
  ms = std::max<int64_t>(ms, 0);
  const bool running = player_process_running(d.run.process) && !d.run.quit_sent;
  if (running && id == p.current_id) {
    player_process_send(d.run.process, "seek " + control_seconds_text(ms));
    p.elapsed_ms = ms;
    d.changed |= kIdlePlayer;
    return true;
  }
  if (!running && p.state == play_state::pause) {
    // Paused without a player (as korvod starts): the place is kept for play.
    p.current_id = id;
    p.elapsed_ms = ms;
    p.duration_ms = duration_of(d, id);
    d.changed |= kIdlePlayer;
    d.state_dirty = true;
    return true;
  }
  const bool paused = p.state == play_state::pause;
  if (!playback_play(d, id, ms, why)) return false;
  if (paused) playback_pause(d, true);
  return true;
}

bool playback_set_volume(daemon_state& d, int32_t percent) {
  if (!playback_has_volume(d)) return false;
  percent = std::clamp(percent, 0, 100);
  playback_state& p = d.playback;
  if (player_process_running(d.run.process) && !d.run.quit_sent) {
    player_process_send(d.run.process, "volume " + std::to_string(volume_db(percent)));
  }
  if (p.volume != percent) d.changed |= kIdleMixer;
  p.volume = percent;
  d.state_dirty = true;
  return true;
}

void playback_queue_changed(daemon_state& d, int64_t removed_position) {
  playback_state& p = d.playback;
  d.state_dirty = true;
  d.run.cleared = false;
  if (p.random && !random_order_valid(d)) rebuild_random_order(d);
  if (p.current_id >= 0 && entry_of(d, p.current_id) == nullptr) {
    const bool has_next = removed_position >= 0 && static_cast<size_t>(removed_position) < d.queue.entries.size();
    const int32_t next = has_next ? d.queue.entries[static_cast<size_t>(removed_position)].id : -1;
    d.changed |= kIdlePlayer;
    if (p.state == play_state::stop || next < 0) {
      if (p.state != play_state::stop) playback_stop(d);
      p.current_id = next;
      p.elapsed_ms = 0;
      return;
    }
    const bool paused = p.state == play_state::pause;
    if (paused && !player_process_running(d.run.process)) {
      p.current_id = next;
      p.elapsed_ms = 0;
      p.duration_ms = duration_of(d, next);
      return;
    }
    std::string why;
    if (!playback_play(d, next, 0, &why)) p.error = why;
    if (paused) playback_pause(d, true);
    return;
  }
  sync_ahead(d);
}

void playback_player_readable(daemon_state& d) {
  player_run& run = d.run;
  player_process_read_texts(run.process);
  std::vector<std::string> lines;
  const bool open = player_process_read_events(run.process, lines);
  for (const std::string& line : lines) on_event(d, line);
  if (!open) {
    while (player_process_read_texts(run.process)) {
    }
    player_ended(d);
  }
}

void playback_tick(daemon_state& d, int64_t now_ms) {
  player_run& run = d.run;
  if (run.quit_sent && player_process_running(run.process) && now_ms - run.quit_since > kQuitPatienceMs) {
    kill(run.process.pid, SIGKILL);
    run.quit_since = now_ms;
  }
}

void playback_shutdown(daemon_state& d) {
  player_run& run = d.run;
  if (!player_process_running(run.process)) return;
  player_process_terminate(run.process);
  run.process.events.reset();
  run.process.texts.reset();
  // A player that does not end within its patience is killed: korvod's own
  // stop never waits on it for good.
  const int64_t since = playback_steady_ms();
  while (!player_process_ended(run.process)) {
    if (playback_steady_ms() - since > kQuitPatienceMs) kill(run.process.pid, SIGKILL);
    usleep(20000);
  }
  player_process_reap(run.process);
}
