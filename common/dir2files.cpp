#include "dir2files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "printable.h"
#include "util.h"

namespace {

// A directory entry's path is joined in a buffer of this size and may use at
// most kJoinedPathMaxChars of it.
constexpr size_t kJoinedPathBytes = 2048;
constexpr size_t kJoinedPathMaxChars = 2046;
// Paths are ordered by their first kCompareLimit bytes.
constexpr size_t kCompareLimit = 2048;

struct dir_closer {
  void operator()(DIR* dir) const noexcept { closedir(dir); }
};
using dir_handle = std::unique_ptr<DIR, dir_closer>;

constexpr bool is_dot_entry(const char* name) noexcept {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// The identity of a file whatever path reaches it.
struct file_id {
  dev_t device;
  ino_t inode;
  friend auto operator<=>(const file_id&, const file_id&) = default;
};

// What one expansion has collected: the paths, and the files and
// directories already reached through directories, so that a file linked
// twice or a directory named twice (or through a link to itself) gives its
// files once.
struct expansion {
  std::vector<listed_file> list;
  std::set<file_id> listed_files;
  std::set<file_id> expanded_directories;
};

// The regular file a directory entry names, following a symbolic link.
// Other kinds of entries (subdirectories included, as the expansion goes one
// level deep) and links that lead nowhere give no file.
std::optional<file_id> entry_regular_file(DIR* dir, const struct dirent* entry) {
  if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_REG && entry->d_type != DT_LNK) return std::nullopt;
  struct stat info;
  if (fstatat(dirfd(dir), entry->d_name, &info, 0) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return file_id{info.st_dev, info.st_ino};
}

// Adds the regular files directly inside directory, each as the directory
// operand joined with the entry name.
void add_directory(const char* directory, expansion& found) {
  const dir_handle dir(opendir(directory));
  if (!dir) {
    perror("");
    report_warning("directory %s open failed.\n", printable(directory).c_str());
    fflush(stderr);
    return;
  }
  const size_t length = strlen(directory);
  const char* separator = length > 0 && directory[length - 1] == '/' ? "" : "/";
  std::array<char, kJoinedPathBytes> joined;
  // Entries come in no particular order: which of two links to one file is
  // kept is settled in byte order.
  std::vector<std::pair<std::string, file_id>> files;
  while (const struct dirent* entry = readdir(dir.get())) {
    if (is_dot_entry(entry->d_name)) continue;
    const std::optional<file_id> id = entry_regular_file(dir.get(), entry);
    if (!id) continue;
    const int needed = snprintf(joined.data(), joined.size(), "%s%s%s", directory, separator, entry->d_name);
    // A cut path would name some other file, or none: leave it out.
    if (needed < 0 || static_cast<size_t>(needed) > kJoinedPathMaxChars) {
      report_warning("path %s%s%s too long.\n", printable(directory).c_str(), separator,
                     printable(entry->d_name).c_str());
      fflush(stderr);
      continue;
    }
    files.emplace_back(joined.data(), *id);
  }
  std::sort(files.begin(), files.end());
  for (auto& [path, id] : files) {
    if (found.listed_files.insert(id).second) found.list.push_back({std::move(path), directory});
  }
}

// One command-line operand, symbolic links followed: a regular file enters
// as typed, a directory contributes its regular files (once, however often
// it is named), anything else is passed over with a warning.
void examine_operand(const char* operand, expansion& found) {
  struct stat info;
  if (stat(operand, &info) != 0) {
    perror("");
    report_warning("cannot stat %s\n", printable(operand).c_str());
    fflush(stderr);
    return;
  }
  if (S_ISREG(info.st_mode)) {
    found.list.push_back({operand, {}});
  } else if (S_ISDIR(info.st_mode)) {
    if (found.expanded_directories.insert(file_id{info.st_dev, info.st_ino}).second) add_directory(operand, found);
  } else {
    report_warning("%s is neither a regular file nor a directory, skipped.\n", printable(operand).c_str());
    fflush(stderr);
  }
}

// Ascending byte order over the first kCompareLimit bytes; equal paths keep
// the order in which they were collected.
void sort_list(std::vector<listed_file>& list) {
  std::stable_sort(list.begin(), list.end(), [](const listed_file& a, const listed_file& b) {
    return strncmp(a.path.c_str(), b.path.c_str(), kCompareLimit) < 0;
  });
}

}  // namespace

std::vector<std::string> dir2files_build(int first_file_index, int argc, char** argv) {
  std::vector<listed_file> listed = dir2files_list(first_file_index, argc, argv);
  std::vector<std::string> paths;
  paths.reserve(listed.size());
  for (listed_file& file : listed) paths.push_back(std::move(file.path));
  return paths;
}

std::vector<listed_file> dir2files_list(int first_file_index, int argc, char** argv) {
  expansion found;
  if (first_file_index >= argc) {
    examine_operand(".", found);
  } else {
    for (int i = first_file_index; i < argc; ++i) examine_operand(argv[i], found);
  }
  sort_list(found.list);
  return std::move(found.list);
}
