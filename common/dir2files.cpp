#include "dir2files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
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

// Whether a directory entry is a regular file. File systems that report no
// type in the listing are asked with an lstat of the entry, so a symbolic
// link is skipped there as well.
bool entry_is_regular(DIR* dir, const struct dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_REG;
  struct stat info;
  if (fstatat(dirfd(dir), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  return S_ISREG(info.st_mode);
}

// Adds the regular files directly inside directory, each as the directory
// operand joined with the entry name.
void add_directory(const char* directory, std::vector<std::string>& list) {
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
  while (const struct dirent* entry = readdir(dir.get())) {
    if (is_dot_entry(entry->d_name) || !entry_is_regular(dir.get(), entry)) continue;
    const int needed = snprintf(joined.data(), joined.size(), "%s%s%s", directory, separator, entry->d_name);
    // A cut path would name some other file, or none: leave it out.
    if (needed < 0 || static_cast<size_t>(needed) > kJoinedPathMaxChars) {
      report_warning("path %s%s%s too long.\n", printable(directory).c_str(), separator,
                     printable(entry->d_name).c_str());
      fflush(stderr);
      continue;
    }
    list.emplace_back(joined.data());
  }
}

// One command-line operand: a regular file enters as typed, a directory
// contributes its regular files, anything else is passed over.
void examine_operand(const char* operand, std::vector<std::string>& list) {
  struct stat info;
  if (stat(operand, &info) != 0) {
    perror("");
    report_warning("cannot stat %s\n", printable(operand).c_str());
    fflush(stderr);
    return;
  }
  if (S_ISREG(info.st_mode)) {
    list.emplace_back(operand);
  } else if (S_ISDIR(info.st_mode)) {
    add_directory(operand, list);
  }
}

// Ascending byte order over the first kCompareLimit bytes; equal paths keep
// the order in which they were collected.
void sort_list(std::vector<std::string>& list) {
  std::stable_sort(list.begin(), list.end(), [](const std::string& a, const std::string& b) {
    return strncmp(a.c_str(), b.c_str(), kCompareLimit) < 0;
  });
}

}  // namespace

std::vector<std::string> dir2files_build(int first_file_index, int argc, char** argv) {
  std::vector<std::string> list;
  if (first_file_index >= argc) {
    examine_operand(".", list);
  } else {
    for (int i = first_file_index; i < argc; ++i) examine_operand(argv[i], list);
  }
  sort_list(list);
  return list;
}
