#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "choices.h"
#include "discovery.h"
#include "i18n.h"

namespace {

enum class value_kind { number, text };

// One setting. `set` is false until the file or the program gave a value;
// only set entries are written.
struct config_entry {
  const char* key;
  value_kind kind;
  bool set;
  int32_t number;
  std::string text;
};

// In file order; reading matches the first key that is a prefix of a line.
std::array<config_entry, 7> table = {{
    {kKeyDevice, value_kind::text, false, 0, {}},
    {kKeyCommand, value_kind::text, false, 0, {}},
    {kKeyBitperfect, value_kind::number, false, 0, {}},
    {kKeyBufferSize, value_kind::number, false, 0, {}},
    {kKeyBrisaLevel, value_kind::number, false, 0, {}},
    {kKeyBrisaDop, value_kind::number, false, 0, {}},
    {kKeyBrisaVolume, value_kind::number, false, 0, {}},
}};

// The file was there but not taken: it is kept as "<path>.bak" before
// config_write replaces it.
bool keep_as_backup = false;

constexpr size_t kMaxHomeLength = 900;
constexpr size_t kMaxLineLength = 1022;
// Far above what Korvo writes; a larger file is not its settings.
constexpr size_t kMaxFileSize = 64 * 1024;

// An open file descriptor, closed when it goes.
struct fd_handle {
  int fd = -1;
  explicit fd_handle(int opened) noexcept : fd(opened) {}
  fd_handle(const fd_handle&) = delete;
  fd_handle& operator=(const fd_handle&) = delete;
  ~fd_handle() {
    if (fd >= 0) close(fd);
  }
};

config_entry* find_entry(std::string_view key, value_kind kind) {
  for (config_entry& entry : table) {
    if (key == entry.key && entry.kind == kind) return &entry;
  }
  return nullptr;
}

// A decimal int32 at the start of text, when there is one.
std::optional<int32_t> parse_number(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (end == text || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::string backup_path(const std::string& path) { return path + ".bak"; }

enum class load_result { loaded, missing, not_regular, open_failed, read_failed, too_large };

// Reads the whole file into `contents`. Opening never waits (a FIFO without
// a writer), and only a regular file is read, at most kMaxFileSize bytes.
// `error` is the errno of a failed open or read.
load_result load_file(const std::string& path, std::string& contents, int& error) {
  const fd_handle file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.fd < 0) {
    error = errno;
    return error == ENOENT ? load_result::missing : load_result::open_failed;
  }
  struct stat status {};
  if (fstat(file.fd, &status) != 0) {
    error = errno;
    return load_result::open_failed;
  }
  if (!S_ISREG(status.st_mode)) return load_result::not_regular;
  std::array<char, 4096> buffer{};
  while (contents.size() <= kMaxFileSize) {
    const ssize_t got = read(file.fd, buffer.data(), buffer.size());
    if (got == 0) return load_result::loaded;
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return load_result::read_failed;
    }
    contents.append(buffer.data(), static_cast<size_t>(got));
  }
  return load_result::too_large;
}

// Why Korvo cannot take these contents as its settings, or nullptr when
// they are short text lines.
const char* unusable_contents(std::string_view contents) {
  size_t line_length = 0;
  for (const char c : contents) {
    if (c == '\n') {
      line_length = 0;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t' && c != '\r') || byte == 0x7f) return "is not text";
    if (++line_length > kMaxLineLength) return "has a line of more than 1022 characters";
  }
  return nullptr;
}

// Moves a file that Korvo cannot take out of the way, so that the next
// start is not stopped by it again and the user keeps its contents.
void set_aside(const std::string& path, const std::string& problem) {
  const std::string backup = backup_path(path);
  if (rename(path.c_str(), backup.c_str()) == 0) {
    fprintf(stderr, "Config file %s %s: moved to %s, using the default settings.\n", path.c_str(), problem.c_str(),
            backup.c_str());
    return;
  }
  fprintf(stderr, "Config file %s %s and cannot be moved to %s (%s): using the default settings.\n", path.c_str(),
          problem.c_str(), backup.c_str(), strerror(errno));
  keep_as_backup = true;  // config_write tries again before it replaces the file
}

// Takes the settings from a file's contents; see config_read.
bool parse_contents(const std::string& path, std::string_view contents) {
  const size_t header_end = std::min(contents.find('\n'), contents.size());
  if (!contents.substr(0, header_end).starts_with(kConfigHeader)) {
    fprintf(stderr, "Config file %s header unmatched.\nIgnored.\n", path.c_str());
    keep_as_backup = header_end > 0;
    return false;
  }
  int32_t line_number = 1;
  size_t start = header_end + 1;
  while (start < contents.size()) {
    const size_t stop = std::min(contents.find('\n', start), contents.size());
    const std::string line(contents.substr(start, stop - start));
    start = stop + 1;
    ++line_number;
    config_entry* entry = nullptr;
    for (config_entry& candidate : table) {
      if (std::string_view(line).starts_with(candidate.key)) {
        entry = &candidate;
        break;
      }
    }
    if (entry == nullptr) continue;
    size_t at = strlen(entry->key);
    if (at >= line.size() || line[at] != ':') {
      fprintf(stderr, "Config file line %d could not understand.\n", line_number);
      keep_as_backup = true;
      return false;
    }
    ++at;
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (entry->kind == value_kind::text) {
      entry->text = line.substr(at);
      entry->set = true;
    } else if (const auto number = parse_number(line.c_str() + at)) {
      entry->number = *number;
      entry->set = true;
    }
  }
  return true;
}

// Writes all of `text` to fd.
bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

std::string file_text() {
  std::string text(kConfigHeader);
  text += '\n';
  for (const config_entry& entry : table) {
    if (!entry.set) continue;
    text += entry.key;
    text += ":\t";
    text += entry.kind == value_kind::number ? std::to_string(entry.number) : entry.text;
    text += '\n';
  }
  return text;
}

// Replaces the file's contents; an empty string when that worked, else why not.
std::string replace_contents(const std::string& path, std::string_view text) {
  // Not O_TRUNC: a FIFO or a device is refused before anything is written;
  // O_NONBLOCK: a FIFO without a reader is refused rather than waited for.
  fd_handle file(open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666));
  if (file.fd < 0) return strerror(errno);
  struct stat status {};
  if (fstat(file.fd, &status) != 0) return strerror(errno);
  if (!S_ISREG(status.st_mode)) return _("not a regular file");
  // Overwritten first and cut after: a full disk leaves the old settings
  // rather than an empty file when the new text fits in the old blocks.
  if (!write_all(file.fd, text) || ftruncate(file.fd, static_cast<off_t>(text.size())) != 0 || fsync(file.fd) != 0) {
    return strerror(errno);
  }
  const int fd = file.fd;
  file.fd = -1;
  if (close(fd) != 0) return strerror(errno);
  return {};
}

}  // namespace

std::string config_path() {
  const char* home = getenv("HOME");
  if (home == nullptr) return {};
  std::string path(home, strnlen(home, kMaxHomeLength));
  if (path.empty() || path.back() != '/') path += '/';
  return path + ".Korvo";
}

bool config_read(const std::string& path) {
  std::string contents;
  int error = 0;
  switch (load_file(path, contents, error)) {
    case load_result::loaded: break;
    case load_result::missing: return false;
    case load_result::not_regular:
      fprintf(stderr, "Config file %s is not a regular file: left alone, using the default settings.\n", path.c_str());
      return false;
    case load_result::open_failed:
      fprintf(stderr, "Config file %s cannot be read: %s\n", path.c_str(), strerror(error));
      keep_as_backup = true;
      return false;
    case load_result::read_failed:
      set_aside(path, std::string("cannot be read (") + strerror(error) + ")");
      return false;
    case load_result::too_large: set_aside(path, "is larger than 64 KiB"); return false;
  }
  if (const char* problem = unusable_contents(contents)) {
    set_aside(path, problem);
    return false;
  }
  return parse_contents(path, contents);
}

bool config_write(const std::string& path, std::string* why) {
  std::string failure;
  if (keep_as_backup) {
    const std::string backup = backup_path(path);
    if (rename(path.c_str(), backup.c_str()) == 0) {
      fprintf(stderr, "Config file %s was kept as %s.\n", path.c_str(), backup.c_str());
      keep_as_backup = false;
    } else if (errno == ENOENT) {
      keep_as_backup = false;
    } else {
      // Writing now would destroy the file that was not taken.
      std::array<char, 1024> text{};
      snprintf(text.data(), text.size(), _("the old file cannot be kept as %s: %s"), backup.c_str(), strerror(errno));
      failure = text.data();
    }
  }
  if (failure.empty()) failure = replace_contents(path, file_text());
  if (failure.empty()) return true;
  fprintf(stderr, "Config file %s cannot be written: %s. The settings are not saved.\n", path.c_str(), failure.c_str());
  if (why != nullptr) *why = failure;
  return false;
}

void config_set_number(std::string_view key, int32_t value) {
  if (config_entry* entry = find_entry(key, value_kind::number)) {
    entry->number = value;
    entry->set = true;
  }
}

void config_set_text(std::string_view key, std::string_view value) {
  if (config_entry* entry = find_entry(key, value_kind::text)) {
    entry->text.assign(value);
    entry->set = true;
  }
}

std::optional<int32_t> config_get_number(std::string_view key) {
  const config_entry* entry = find_entry(key, value_kind::number);
  if (entry == nullptr || !entry->set) return std::nullopt;
  return entry->number;
}

std::optional<std::string> config_get_text(std::string_view key) {
  const config_entry* entry = find_entry(key, value_kind::text);
  if (entry == nullptr || !entry->set) return std::nullopt;
  return entry->text;
}

void config_clear() noexcept {
  keep_as_backup = false;
  for (config_entry& entry : table) {
    entry.set = false;
    entry.number = 0;
    entry.text.clear();
  }
}

void config_apply(korvo_choices& target) {
  if (const auto label = config_get_text(kKeyDevice)) {
    for (const device_entry& device : device_list()) {
      if (device.label == *label) {
        target.device_label = *label;
        break;
      }
    }
  }
  if (const auto command = config_get_text(kKeyCommand)) {
    target.command_name = *command;
    const std::vector<std::string>& commands = command_list();
    for (size_t i = 0; i < commands.size(); ++i) {
      if (commands[i] == *command) {
        target.selected_command = static_cast<int32_t>(i);
        break;
      }
    }
  }
  if (const auto bitperfect = config_get_number(kKeyBitperfect)) target.convert_format = *bitperfect == 0;
  if (const auto buffer = config_get_number(kKeyBufferSize)) target.buffer_mb = choices_buffer_clamp(*buffer);
  if (const auto level = config_get_number(kKeyBrisaLevel)) {
    target.brisa.modulator_level = choices_modulator_level(*level);
  }
  if (const auto dop = config_get_number(kKeyBrisaDop)) target.brisa.dop = *dop != 0;
  if (const auto volume = config_get_number(kKeyBrisaVolume)) target.brisa.volume_db = choices_volume_clamp(*volume);
}
