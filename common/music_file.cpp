#include "music_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>

#include "dsf.h"
#include "printable.h"
#include "sample_format.h"
#include "util.h"
#include "wav.h"

// The caller keeps the list for the whole run: records point into names.
play_list make_play_list(std::vector<std::string> paths) {
  play_list list;
  for (std::string& path : paths) list.names.push_back(std::move(path));
  // All names are in place before records point into them.
  const size_t count = list.names.size();
  list.records.reserve(count + 1 + kAppendableFiles);
  list.records.resize(count + 1);  // value-initialised: all zero
  for (size_t i = 0; i < count; ++i) {
    music_file& record = list.records[i];
    record.file_name = list.names[i].data();
    record.index = static_cast<int32_t>(i);
    record.next = &list.records[i + 1];
  }
  list.records[count].index = -1;
  return list;
}

music_file* play_list_append(play_list& list, std::string path) {
  if (list.records.size() == list.records.capacity()) return nullptr;
  const int32_t index = list.count();
  list.names.push_back(std::move(path));
  list.records.emplace_back();  // within the capacity: no record moves
  music_file& added = list.records[static_cast<size_t>(index)];
  added.file_name = list.names.back().data();
  added.next = &list.records.back();
  list.records.back().index = -1;
  added.index = index;
  return &added;
}

void play_list_truncate(play_list& list, int32_t count) {
  if (count < 0 || count >= list.count()) return;
  list.records.resize(static_cast<size_t>(count) + 1);
  list.names.resize(static_cast<size_t>(count));
  music_file& terminator = list.records.back();
  terminator = music_file{};
  terminator.index = -1;
}

namespace {

struct opened_file {
  FILE* fp = nullptr;
  bool not_regular = false;  // it opened, but is no regular file
};

// Opens a regular file for reading. A FIFO or a device could block the
// open or the reads for ever (a file replaced by one after the list was
// made): the open does not wait, and what it opened is checked.
opened_file open_regular_file(const char* name) {
  const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat info;
  const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  const int flags = regular ? fcntl(fd, F_GETFL) : -1;
  FILE* fp = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 ? fdopen(fd, "rb") : nullptr;
  if (fp == nullptr) close(fd);
  return {fp, !regular};
}

// The DSD readers count bits per channel; the stream carries both channels' bytes.
void describe_dsd(music_file* file) {
  describe_dsd_stream(file);
  file->remaining_bytes = (file->remaining_bytes + 7) / 8;
  file->total_bytes = 2 * file->remaining_bytes;
}

}  // namespace

recognition recognise_music_file(music_file* file, std::span<const music_reader> readers) {
  const opened_file opened = open_regular_file(file->file_name);
  if (opened.fp == nullptr) return {opened.not_regular ? recognised::not_regular : recognised::cannot_open};
  file->fp.reset(opened.fp);
  for (const music_reader& reader : readers) {
    if (!reader.on_stream) continue;
    rewind(file->fp.get());
    const int opened_as = reader.open(file);
    if (opened_as == kFileRefused) {
      file->fp.reset();
      return {recognised::refused, &reader};
    }
    if (opened_as != 0) continue;
    file->input_format = reader.input_format;
    if (reader.input_format == kInputWav) {
      if (!describe_wav_stream(file)) return {recognised::unsupported_bits, &reader};
    } else {
      describe_dsd(file);
    }
    return {recognised::file, &reader};
  }
  // The other readers open the file themselves, through the stream's
  // descriptor while it is open: what they get is the file checked here.
  for (const music_reader& reader : readers) {
    if (reader.on_stream || reader.open(file) != 0) continue;
    file->input_format = reader.input_format;
    file->bytes_per_sample = file->format.block_align / file->format.channels;
    return {recognised::file, &reader};
  }
  file->fp.reset();
  return {recognised::unknown_format};
}

void close_music_file(music_file* file, const music_reader* reader) {
  if (file == nullptr || file->index < 0) return;  // the terminator is never opened
  if (reader != nullptr && reader->close != nullptr) reader->close(file);
  file->dsf_blocks = dsf_block_pair{};
  file->fp.reset();
}

refusal rate_refusal(const music_file& file, uint32_t lowest, uint32_t highest) {
  const uint32_t rate = file.format.sample_rate;
  if (rate >= lowest && rate <= highest) return {};
  return refuse("%s: %s rate %uHz is not supported (%u to %uHz).\n", printable(file.file_name).c_str(),
                is_dsd(file) ? "DSD" : "sample", rate, lowest, highest);
}

bool holds_a_frame(const music_file& file) {
  FILE* fp = file.fp.get();
  struct stat info;
  const off_t at = fp != nullptr ? ftello(fp) : -1;
  if (at < 0 || fstat(fileno(fp), &info) != 0) return true;  // not told: reading tells
  // The bytes of the first read: a file frame, a DSF block of each channel delivered.
  int64_t first_read = file.file_channels;
  if (file.input_format == kInputWav) first_read = file.format.block_align / 2 * file.file_channels;
  if (file.input_format == kInputDsf) first_read = 2 * int64_t{file.dsf_block_size};
  return info.st_size - at >= std::max<int64_t>(first_read, 1);
}

void report_early_end(const music_file& file, int64_t missing, int64_t promised) {
  const int64_t total = total_seconds(file);
  const auto at = promised > 0
                      ? static_cast<int64_t>(static_cast<double>(total) * static_cast<double>(promised - missing) /
                                             static_cast<double>(promised))
                      : 0;
  report_warning("%s: the file ends early, at %s of %s.\n",
                 printable(file.file_name != nullptr ? file.file_name : "").c_str(), clock_text(at).c_str(),
                 clock_text(total).c_str());
}

int64_t total_seconds(const music_file& file) {
  const int64_t rate = file.format.sample_rate;
  const int64_t block_align = file.format.block_align;
  if (rate <= 0 || block_align <= 0) return 0;
  // A DSD block is one byte a channel: eight one-bit samples.
  const int64_t frames_per_block = is_dsd(file) ? 8 : 1;
  // Whole seconds first, and a hostile header's absurd count held to what
  // fits: times eight it would overflow.
  const int64_t blocks = std::min(file.total_bytes / block_align, std::numeric_limits<int64_t>::max() / 8);
  return blocks / rate * frames_per_block + blocks % rate * frames_per_block / rate;
}

int64_t duration_millis(const music_file& file) {
  const int64_t rate = file.format.sample_rate;
  const int64_t block_align = file.format.block_align;
  if (rate <= 0 || block_align <= 0) return 0;
  const int64_t frames_per_block = is_dsd(file) ? 8 : 1;
  const int64_t blocks =
      std::min(file.total_bytes / block_align, std::numeric_limits<int64_t>::max() / (8 * 1000 * frames_per_block));
  return blocks / rate * frames_per_block * 1000 + blocks % rate * frames_per_block * 1000 / rate;
}

bool pcm_samples_known(const music_file& file) {
  return file.sample_format == kFormatFloat_LE || file.sample_format == kFormatFloat_BE ||
         find_sample_descriptor(file.sample_format) != nullptr;
}
