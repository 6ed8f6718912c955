#include "config.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "choices.h"
#include "discovery.h"
#include "fatal.h"

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
std::array<config_entry, 4> table = {{
    {kKeyDevice, value_kind::text, false, 0, {}},
    {kKeyCommand, value_kind::text, false, 0, {}},
    {kKeyBitperfect, value_kind::number, false, 0, {}},
    {kKeyBufferSize, value_kind::number, false, 0, {}},
}};

// The file was there but not taken: it is kept as "<path>.bak" before
// config_write replaces it.
bool keep_as_backup = false;

constexpr size_t kMaxHomeLength = 900;
constexpr size_t kLineBufferSize = 1024;  // a line fills at most 1022 characters of it

struct file_closer {
  void operator()(FILE* file) const noexcept { fclose(file); }
};
using file_handle = std::unique_ptr<FILE, file_closer>;

config_entry* find_entry(std::string_view key, value_kind kind) {
  for (config_entry& entry : table) {
    if (key == entry.key && entry.kind == kind) return &entry;
  }
  return nullptr;
}

// Reads one line without its newline into `line`; false at the end of the
// file when nothing was read. Ends the program on an overlong line.
bool read_line(FILE* file, std::string& line) {
  line.clear();
  int c = 0;
  bool got_any = false;
  while ((c = getc(file)) != EOF) {
    got_any = true;
    if (c == '\n') return true;
    line.push_back(static_cast<char>(c));
    if (line.size() >= kLineBufferSize - 1) {
      fatal_exit("Config file has too long line.\nAbort.\n");
    }
  }
  return got_any;
}

// A decimal int32 at the start of text, when there is one.
std::optional<int32_t> parse_number(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (end == text || errno == ERANGE || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
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
  const file_handle file(fopen(path.c_str(), "r"));
  if (!file) {
    if (errno != ENOENT) {
      fprintf(stderr, "Config file %s cannot be read: %s\n", path.c_str(), strerror(errno));
      keep_as_backup = true;
    }
    return false;
  }
  std::string line;
  if (!read_line(file.get(), line) || !std::string_view(line).starts_with(kConfigHeader)) {
    fprintf(stderr, "Config file %s header unmatched.\nIgnored.\n", path.c_str());
    keep_as_backup = !line.empty();
    return false;
  }
  int32_t line_number = 1;
  while (read_line(file.get(), line)) {
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

bool config_write(const std::string& path) {
  if (keep_as_backup) {
    const std::string backup = path + ".bak";
    if (rename(path.c_str(), backup.c_str()) == 0) {
      fprintf(stderr, "Config file %s was kept as %s.\n", path.c_str(), backup.c_str());
    }
    keep_as_backup = false;
  }
  const file_handle file(fopen(path.c_str(), "w"));
  if (!file) return false;
  fprintf(file.get(), "%.*s\n", static_cast<int>(kConfigHeader.size()), kConfigHeader.data());
  for (const config_entry& entry : table) {
    if (!entry.set) continue;
    if (entry.kind == value_kind::number) {
      fprintf(file.get(), "%s:\t%d\n", entry.key, entry.number);
    } else {
      fprintf(file.get(), "%s:\t%s\n", entry.key, entry.text.c_str());
    }
  }
  return !ferror(file.get());
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
}
