#include "library_scan.h"

#include <dirent.h>
#include <sys/eventfd.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "music_paths.h"
#include "readers.h"

namespace {

// Deeper folders than this are not read: a guard against link loops the
// visited set misses and against hostile trees.
constexpr int kDeepestFolder = 64;

struct dir_closer {
  void operator()(DIR* dir) const noexcept { closedir(dir); }
};

struct walk {
  std::string root_real;
  const music_library& previous;
  bool read_all;
  const std::atomic<bool>& stop;
  music_library library;
  std::set<std::pair<dev_t, ino_t>> visited;
};

// The stream a file holds, as MPD names formats: "44100:16:2", "dsd64:2".
std::string format_text(const music_file& file) {
  const int32_t channels = file.file_channels > 0 ? file.file_channels : file.format.channels;
  if (is_dsd(file)) {
    const int64_t bit_rate = int64_t{file.format.sample_rate} * 8;
    return "dsd" + std::to_string(bit_rate / 44100) + ":" + std::to_string(channels);
  }
  const bool is_float =
      file.format.format_tag == 3 || (file.format.format_tag == 0xFFFE && file.format.subformat[0] == 3);
  const std::string bits = is_float ? "f" : std::to_string(file.format.bits_per_sample);
  return std::to_string(file.format.sample_rate) + ":" + bits + ":" + std::to_string(channels);
}

// The song a reader takes the file as, or none.
std::optional<song_record> read_song(const std::string& path, std::string uri, int64_t modified) {
  music_file file{};
  std::string name = path;
  file.file_name = name.data();
  const recognition found = recognise_music_file(&file, kNativeAndFfmpegReaders);
  std::optional<song_record> song;
  if (found.result == recognised::file) {
    song = song_record{};
    song->uri = std::move(uri);
    song->modified = modified;
    song->duration_ms = duration_millis(file);
    song->format = format_text(file);
    song->title = file.tags.title;
    song->artist = file.tags.artist;
    song->album = file.tags.album;
    song->track = file.tags.track;
    song->date = file.tags.date;
  }
  close_music_file(&file, found.reader);
  file.file_name = nullptr;
  return song;
}

void scan_folder(walk& w, const std::string& path, const std::string& uri, int depth) {
  if (depth > kDeepestFolder) return;
  std::unique_ptr<DIR, dir_closer> dir(opendir(path.c_str()));
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name.empty() || name.front() == '.') continue;  // hidden files, "." and ".."
    names.emplace_back(name);
  }
  dir.reset();
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (w.stop.load(std::memory_order_relaxed)) return;
    const std::string child_uri = uri.empty() ? name : uri + "/" + name;
    if (!music_uri_is_clean(child_uri)) continue;
    const std::string child_path = path + "/" + name;
    struct stat info {};
    if (stat(child_path.c_str(), &info) != 0) continue;
    struct stat own {};
    const bool is_link = lstat(child_path.c_str(), &own) == 0 && S_ISLNK(own.st_mode);
    // A link is followed only where it stays inside the folder.
    if (is_link) {
      const std::optional<std::string> real = music_path_resolve(w.root_real, child_uri);
      if (!real) continue;
    }
    if (S_ISDIR(info.st_mode)) {
      if (!w.visited.insert({info.st_dev, info.st_ino}).second) continue;
      w.library.directories.push_back({child_uri, static_cast<int64_t>(info.st_mtime)});
      scan_folder(w, child_path, child_uri, depth + 1);
    } else if (S_ISREG(info.st_mode)) {
      const int64_t modified = info.st_mtime;
      const song_record* known = library_find_song(w.previous, child_uri);
      if (!w.read_all && known != nullptr && known->modified == modified) {
        w.library.songs.push_back(*known);
      } else if (std::optional<song_record> song = read_song(child_path, child_uri, modified)) {
        w.library.songs.push_back(std::move(*song));
      }
    }
  }
}

}  // namespace

music_library library_scan(const std::string& music_dir, const music_library& previous, bool read_all,
                           const std::atomic<bool>& stop) {
  walk w{music_path_resolve(music_dir, "").value_or(music_dir), previous, read_all, stop, {}, {}};
  struct stat root {};
  if (stat(w.root_real.c_str(), &root) == 0) w.visited.insert({root.st_dev, root.st_ino});
  scan_folder(w, w.root_real, "", 0);
  const auto by_uri = [](const auto& a, const auto& b) { return a.uri < b.uri; };
  std::sort(w.library.directories.begin(), w.library.directories.end(), by_uri);
  std::sort(w.library.songs.begin(), w.library.songs.end(), by_uri);
  w.library.updated = static_cast<int64_t>(time(nullptr));
  return std::move(w.library);
}

bool scanner_init(library_scanner& scanner) {
  scanner.wake_fd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  return static_cast<bool>(scanner.wake_fd);
}

bool scanner_start(library_scanner& scanner, const std::string& music_dir, music_library previous, bool read_all) {
  if (scanner.running) return false;
  scanner.stop.store(false, std::memory_order_relaxed);
  scanner.running = true;
  scanner.thread = std::thread([&scanner, music_dir, previous = std::move(previous), read_all] {
    music_library library = library_scan(music_dir, previous, read_all, scanner.stop);
    {
      const std::lock_guard<std::mutex> hold(scanner.lock);
      scanner.result = std::move(library);
    }
    const uint64_t one = 1;
    const ssize_t written = write(scanner.wake_fd.get(), &one, sizeof one);
    (void)written;
  });
  return true;
}

std::optional<music_library> scanner_take(library_scanner& scanner) {
  uint64_t count = 0;
  const ssize_t got = read(scanner.wake_fd.get(), &count, sizeof count);
  (void)got;
  std::optional<music_library> library;
  {
    const std::lock_guard<std::mutex> hold(scanner.lock);
    library = std::exchange(scanner.result, std::nullopt);
  }
  if (library && scanner.thread.joinable()) {
    scanner.thread.join();
    scanner.running = false;
  }
  return library;
}

void scanner_stop(library_scanner& scanner) {
  scanner.stop.store(true, std::memory_order_relaxed);
  if (scanner.thread.joinable()) scanner.thread.join();
  scanner.running = false;
}
