#include "dir2files.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <vector>

#include "printable.h"
#include "util.h"

namespace {

constexpr size_t kFirstPoolBytes = 1024;
constexpr size_t kFirstTableEntries = 128;
// A directory entry's path is joined in a buffer of this size and may use at
// most kJoinedPathMaxChars of it.
constexpr size_t kJoinedPathBytes = 2048;
constexpr size_t kJoinedPathMaxChars = 2046;
// Paths are ordered by their first kCompareLimit bytes.
constexpr size_t kCompareLimit = 2048;

// The list being collected, one per process.
// - pool.size() is the allocated text area (0 before the first path); the
//   paths, each with its NUL, fill pool[0 .. pool_used) and pool_used is
//   always below pool.size() once a path is stored.
// - offsets[i] is where path i starts in the pool; offsets.size() is the count.
// - result is empty, or count + 1 pointers into the pool ending in a null.
//   The pool is not touched while a result is out, so those pointers hold
//   until the next build or release.
struct file_list {
  std::vector<char> pool;
  size_t pool_used = 0;
  std::vector<size_t> offsets;
  std::vector<char*> result;
};

file_list list;

struct dir_closer {
  void operator()(DIR* dir) const noexcept { closedir(dir); }
};
using dir_handle = std::unique_ptr<DIR, dir_closer>;

constexpr bool is_dot_entry(const char* name) noexcept {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Stores a copy of path at the end of the list. The table grows from 128
// entries and the pool from 1024 bytes, each by doubling.
void list_add(const char* path) {
  if (list.offsets.size() == list.offsets.capacity()) {
    const size_t capacity = list.offsets.capacity();
    list.offsets.reserve(capacity == 0 ? kFirstTableEntries : 2 * capacity);
  }
  const size_t length = strlen(path);
  size_t pool_bytes = list.pool.empty() ? kFirstPoolBytes : list.pool.size();
  while (pool_bytes <= list.pool_used + length) pool_bytes *= 2;
  if (pool_bytes != list.pool.size()) list.pool.resize(pool_bytes);

  memcpy(list.pool.data() + list.pool_used, path, length + 1);
  list.offsets.push_back(list.pool_used);
  list.pool_used += length + 1;
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
void add_directory(const char* directory) {
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
    const int needed = snprintf(joined.data(), joined.size(), "%s%s%s", directory, separator,
                                entry->d_name);
    // A cut path would name some other file, or none: leave it out.
    if (needed < 0 || static_cast<size_t>(needed) > kJoinedPathMaxChars) {
      report_warning("path %s%s%s too long.\n", printable(directory).c_str(), separator,
                     printable(entry->d_name).c_str());
      fflush(stderr);
      continue;
    }
    list_add(joined.data());
  }
}

// One command-line operand: a regular file enters as typed, a directory
// contributes its regular files, anything else is passed over.
void examine_operand(const char* operand) {
  struct stat info;
  if (stat(operand, &info) != 0) {
    perror("");
    report_warning("cannot stat %s\n", printable(operand).c_str());
    fflush(stderr);
    return;
  }
  if (S_ISREG(info.st_mode)) {
    list_add(operand);
  } else if (S_ISDIR(info.st_mode)) {
    add_directory(operand);
  }
}

// Ascending byte order over the first kCompareLimit bytes; equal paths keep
// the order in which they were collected.
void sort_list() {
  const char* pool = list.pool.data();
  std::stable_sort(list.offsets.begin(), list.offsets.end(), [pool](size_t a, size_t b) {
    return strncmp(pool + a, pool + b, kCompareLimit) < 0;
  });
}

}  // namespace

char** dir2files_build(int first_file_index, int argc, char** argv) {
  dir2files_release_result();
  if (first_file_index >= argc) {
    examine_operand(".");
  } else {
    for (int i = first_file_index; i < argc; ++i) examine_operand(argv[i]);
  }
  sort_list();

  list.result.reserve(list.offsets.size() + 1);
  for (const size_t offset : list.offsets) list.result.push_back(list.pool.data() + offset);
  list.result.push_back(nullptr);
  return list.result.data();
}

void dir2files_release_result() {
  std::vector<char*>().swap(list.result);
  list.offsets.clear();
  list.pool_used = 0;
}

void dir2files_release_all() { list = file_list{}; }
