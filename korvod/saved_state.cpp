#include "saved_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "control_channel.h"
#include "unique_fd.h"

namespace {

constexpr std::string_view kHeader = "korvod state 1";
// Files larger than this in the state folder are not ours.
constexpr off_t kLargestStateFile = 256 * 1024 * 1024;

int64_t number(std::string_view text) {
  int64_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

}  // namespace

std::string saved_state_text(const daemon_state& d) {
  const playback_state& p = d.playback;
  std::string text(kHeader);
  text += "\n";
  const std::optional<size_t> current = queue_position_of(d.queue, p.current_id);
  const char* state = p.state == play_state::stop ? "stop" : "pause";
  text += std::string("state ") + state + "\n";
  text += "current " + std::to_string(current ? static_cast<int64_t>(*current) : -1) + "\n";
  text += "elapsed " + std::to_string(p.elapsed_ms) + "\n";
  text += "volume " + std::to_string(p.volume) + "\n";
  text += "repeat " + std::to_string(p.repeat ? 1 : 0) + "\n";
  text += "random " + std::to_string(p.random ? 1 : 0) + "\n";
  text += "single " + std::to_string(static_cast<int>(p.single)) + "\n";
  text += "consume " + std::to_string(p.consume ? 1 : 0) + "\n";
  text += "output " + std::to_string(p.output_enabled ? 1 : 0) + "\n";
  text += "replay_gain_mode " + p.replay_gain_mode + "\n";
  for (const queue_entry& entry : d.queue.entries) text += "song " + control_escape(entry.uri) + "\n";
  return text;
}

void saved_state_apply(daemon_state& d, std::string_view text) {
  if (text.substr(0, text.find('\n')) != kHeader) return;
  playback_state& p = d.playback;
  int64_t current = -1;
  bool stopped = true;
  std::vector<bool> kept;
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, blank);
    const std::string_view value = line.substr(blank + 1);
    if (key == "state") {
      stopped = value == "stop";
    } else if (key == "current") {
      current = number(value);
    } else if (key == "elapsed") {
      p.elapsed_ms = std::max<int64_t>(0, number(value));
    } else if (key == "volume") {
      p.volume = static_cast<int32_t>(std::clamp<int64_t>(number(value), 0, 100));
    } else if (key == "repeat") {
      p.repeat = value == "1";
    } else if (key == "random") {
      p.random = value == "1";
    } else if (key == "single") {
      p.single = static_cast<single_mode>(std::clamp<int64_t>(number(value), 0, 2));
    } else if (key == "consume") {
      p.consume = value == "1";
    } else if (key == "output") {
      p.output_enabled = value != "0";
    } else if (key == "replay_gain_mode") {
      if (value == "off" || value == "track" || value == "album" || value == "auto") p.replay_gain_mode = value;
    } else if (key == "song") {
      std::string uri = control_unescape(value);
      const bool known = library_find_song(d.library, uri) != nullptr;
      kept.push_back(known);
      if (known) queue_add(d.queue, std::move(uri));
    }
  }
  // The position of the current song among those kept.
  if (current >= 0 && static_cast<size_t>(current) < kept.size() && kept[static_cast<size_t>(current)]) {
    int64_t position = 0;
    for (int64_t i = 0; i < current; ++i) position += kept[static_cast<size_t>(i)] ? 1 : 0;
    const queue_entry& entry = d.queue.entries[static_cast<size_t>(position)];
    p.current_id = entry.id;
    if (const song_record* song = library_find_song(d.library, entry.uri)) p.duration_ms = song->duration_ms;
    p.state = stopped ? play_state::stop : play_state::pause;
    if (stopped) p.elapsed_ms = 0;
  } else {
    p.elapsed_ms = 0;
  }
}

bool saved_state_write_file(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  bool written = true;
  for (size_t at = 0; at < text.size() && written;) {
    const ssize_t count = write(fd, text.data() + at, text.size() - at);
    if (count < 0 && errno == EINTR) continue;
    written = count > 0;
    if (written) at += static_cast<size_t>(count);
  }
  written = fsync(fd) == 0 && written;
  written = close(fd) == 0 && written;
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::string saved_state_read_file(const std::string& path) {
  const unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return {};
  std::string text;
  struct stat info {};
  if (fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size < kLargestStateFile) {
    char buffer[65536];
    for (ssize_t count; (count = read(fd.get(), buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<size_t>(count));
    }
  }
  return text;
}

bool saved_state_make_dir(const std::string& path) {
  for (size_t slash = 1; slash != std::string::npos;) {
    slash = path.find('/', slash + 1);
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string saved_state_queue_path(const daemon_state& d) { return d.options.state_dir + "/state"; }
std::string saved_state_library_path(const daemon_state& d) { return d.options.state_dir + "/library"; }

void saved_state_save(daemon_state& d) {
  if (!d.state_dirty) return;
  d.state_dirty = false;
  if (!saved_state_write_file(saved_state_queue_path(d), saved_state_text(d))) {
    fprintf(stderr, "korvod: cannot write %s: %s\n", saved_state_queue_path(d).c_str(), strerror(errno));
  }
}

void saved_state_save_library(const daemon_state& d) {
  if (!saved_state_write_file(saved_state_library_path(d), library_cache_text(d.library))) {
    fprintf(stderr, "korvod: cannot write %s: %s\n", saved_state_library_path(d).c_str(), strerror(errno));
  }
}
