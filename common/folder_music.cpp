#include "folder_music.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "printable.h"

namespace {

// The first bytes that name a native reader's kind; a WAVE form is told
// apart from other RIFF forms (AVI, WebP) by its form type.
struct native_magic {
  int32_t input_format;
  const char* head;       // the file's first four bytes
  const char* form_type;  // bytes 8 to 11, or null
};

constexpr std::array<native_magic, 5> kNativeMagic{{
    {kInputWav, "RIFF", "WAVE"},
    {kInputWav, "RF64", "WAVE"},
    {kInputDsdiff, "FRM8", nullptr},
    {kInputWsd, "1bit", nullptr},
    {kInputDsf, "DSD ", nullptr},
}};

bool offers_reader(std::span<const music_reader> readers, int32_t input_format) {
  return std::any_of(readers.begin(), readers.end(),
                     [input_format](const music_reader& reader) { return reader.input_format == input_format; });
}

// True when the file begins as a kind one of the native readers knows.
bool has_native_magic(const char* path, std::span<const music_reader> readers) {
  FILE* fp = fopen(path, "rb");
  if (fp == nullptr) return false;
  char head[12] = {};
  const size_t got = fread(head, 1, sizeof head, fp);
  fclose(fp);
  for (const native_magic& magic : kNativeMagic) {
    if (got < 4 || memcmp(head, magic.head, 4) != 0 || !offers_reader(readers, magic.input_format)) continue;
    if (magic.form_type == nullptr || (got == sizeof head && memcmp(head + 8, magic.form_type, 4) == 0)) return true;
  }
  return false;
}

}  // namespace

bool folder_music_is_music(const char* path, std::span<const music_reader> readers) {
  if (has_native_magic(path, readers)) return true;
  music_file record{};
  std::string name = path;
  record.file_name = name.data();
  const recognition found = recognise_music_file(&record, readers);
  switch (found.result) {
    case recognised::file: close_music_file(&record, found.reader); return true;
    // No reader took it: a reader that knew it as audio says why it did not.
    case recognised::unknown_format: return record.refusal != nullptr;
    // Opening it failed, or it is no longer a regular file: the player's
    // check reports it by name.
    default: return true;
  }
}

std::vector<std::string> folder_music_keep(std::vector<listed_file> listed, std::span<const music_reader> readers) {
  std::vector<std::string> paths;
  paths.reserve(listed.size());
  // Folders in the order their files come, with the count of files skipped.
  std::vector<std::pair<std::string, int>> skipped;
  for (listed_file& file : listed) {
    if (file.folder.empty() || folder_music_is_music(file.path.c_str(), readers)) {
      paths.push_back(std::move(file.path));
      continue;
    }
    auto folder =
        std::find_if(skipped.begin(), skipped.end(), [&](const auto& row) { return row.first == file.folder; });
    if (folder == skipped.end()) folder = skipped.insert(skipped.end(), {file.folder, 0});
    ++folder->second;
  }
  for (const auto& [folder, count] : skipped) {
    printf("skipped %d %s that %s not music in %s\n", count, count == 1 ? "file" : "files", count == 1 ? "is" : "are",
           printable(folder).c_str());
  }
  fflush(stdout);
  return paths;
}

std::vector<std::string> folder_music_of(const std::string& folder, std::span<const music_reader> readers) {
  std::string operand = folder;
  char* operands[] = {operand.data()};
  return folder_music_keep(dir2files_list(0, 1, operands), readers);
}
