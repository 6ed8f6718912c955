#include "wav.h"

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <span>

#include "chunk_tags.h"
#include "readwrite.h"
#include "sample_format.h"

namespace {

static_assert(sizeof(off_t) == 8, "chunk skips need 64-bit file offsets");

// A chunk id as read_le32 returns it: the first character in the low byte.
constexpr uint32_t fourcc(const char (&id)[5]) noexcept {
  return static_cast<uint32_t>(static_cast<uint8_t>(id[0])) | static_cast<uint32_t>(static_cast<uint8_t>(id[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(id[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(id[3])) << 24;
}

constexpr uint32_t kRiffId = fourcc("RIFF");
constexpr uint32_t kRf64Id = fourcc("RF64");
constexpr uint32_t kFmtId = fourcc("fmt ");
constexpr uint32_t kDataId = fourcc("data");

// An RF64 file keeps its real sizes in "ds64"; the 32-bit words say so.
constexpr uint32_t kRf64SizePlaceholder = 0xFFFFFFFF;
// The three 64-bit counts at the start of a ds64 body: RIFF size, data size,
// sample count. A table may follow.
constexpr uint32_t kDs64CountBytes = 24;

constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagExtensible = 0xFFFE;

// Containers of 1 to 4 bytes are what the players' sample formats cover and
// what wav_read delivers. Wider ones (64-bit float) are still recognised, so
// the players can name the bit length they do not support.
constexpr uint32_t kMaxSampleBytes = 4;
constexpr uint32_t kMaxRecognisedSampleBytes = 0xFFFF / 8;  // bits_per_sample = 8 x bytes fits 16 bits

// No file holds this much; the cap keeps 2 x size inside int64.
constexpr uint64_t kMaxAudioBytes = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) / 2;

// wav_read copies whole runs of file frames through this much stack.
constexpr size_t kRunBytes = 32 * 1024;

using fmt_body = std::array<uint8_t, kWaveFormatBytes>;

constexpr uint16_t le16_at(const fmt_body& b, size_t at) noexcept {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

constexpr uint32_t le32_at(const fmt_body& b, size_t at) noexcept {
  return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 | static_cast<uint32_t>(b[at + 2]) << 16 |
         static_cast<uint32_t>(b[at + 3]) << 24;
}

// The fmt chunk body as stored (little-endian), field by field, so the
// result does not depend on the host's byte order.
wave_format decode_wave_format(const fmt_body& b) {
  wave_format format{};
  format.format_tag = le16_at(b, 0);
  format.channels = le16_at(b, 2);
  format.sample_rate = le32_at(b, 4);
  format.bytes_per_second = le32_at(b, 8);
  format.block_align = le16_at(b, 12);
  format.bits_per_sample = le16_at(b, 14);
  format.extra_size = le16_at(b, 16);
  format.valid_bits = le16_at(b, 18);
  format.channel_mask = le32_at(b, 20);
  std::copy_n(b.begin() + 24, sizeof format.subformat, format.subformat);
  std::copy_n(b.begin() + 40, sizeof format.spare, format.spare);
  return format;
}

// The format code of an extensible file: the first two bytes of the GUID.
constexpr uint16_t subformat_code(const wave_format& f) noexcept {
  return static_cast<uint16_t>(f.subformat[0] | f.subformat[1] << 8);
}

constexpr uint16_t encoding_code(const wave_format& f) noexcept {
  return f.format_tag == kTagExtensible ? subformat_code(f) : f.format_tag;
}

// True for integer and float PCM, plain or extensible: the encodings the
// players take as they are. Anything else (ADPCM, A-law, mu-law, ...) is
// left to the next reader.
constexpr bool is_plain_pcm(const wave_format& f) noexcept {
  const uint16_t code = encoding_code(f);
  return code == kTagPcm || code == kTagFloat;
}

// True when every frame is channels x a container whose width in bits fits
// bits_per_sample (float: 4 or 8 bytes), so frames can be split into
// samples without a division by zero or an empty frame.
constexpr bool has_usable_layout(const wave_format& f) noexcept {
  if (f.channels == 0 || f.sample_rate == 0 || f.block_align == 0) return false;
  if (f.block_align % f.channels != 0) return false;
  const uint32_t sample_bytes = f.block_align / f.channels;
  if (sample_bytes > kMaxRecognisedSampleBytes) return false;
  return encoding_code(f) != kTagFloat || sample_bytes == 4 || sample_bytes == 8;
}

// Moves the stream on by n bytes; false when the seek fails.
bool skip_bytes(FILE* fp, uint64_t n) {
  if (n > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return false;
  return n == 0 || fseeko(fp, static_cast<off_t>(n), SEEK_CUR) == 0;
}

// Reads chunk ids until `wanted` and leaves the stream at its size word;
// every other chunk is skipped with its pad byte. False at the end of the
// file or on a failed seek.
bool find_chunk(FILE* fp, uint32_t wanted) {
  for (;;) {
    uint32_t id = 0;
    uint32_t size = 0;
    if (!read_le32(fp, &id)) return false;
    if (id == wanted) return true;
    if (!read_le32(fp, &size)) return false;
    if (!skip_bytes(fp, uint64_t{size} + (size & 1u))) return false;
  }
}

// Reads the fmt chunk body of `size` bytes (at most 44; the rest stays zero).
bool read_fmt_body(FILE* fp, uint32_t size, fmt_body* body) {
  body->fill(0);
  if (size == 0 || fread(body->data(), 1, size, fp) == size) return true;
  fputs("fread() failed.\n", stderr);
  return false;
}

// The header of a RIFF or RF64 file up to the first chunk after "WAVE" (or
// after "ds64"). For RF64 the real data size and sample count are returned.
struct riff_header {
  bool rf64 = false;
  uint64_t ds64_data_size = 0;
  uint64_t ds64_sample_count = 0;
};

bool read_riff_header(FILE* fp, riff_header* header) {
  uint32_t id = 0;
  uint32_t riff_size = 0;
  if (!read_le32(fp, &id)) return false;
  if (id == kRiffId) {
    // The RIFF size is not trusted; the chunks tell where the data is.
    return read_le32(fp, &riff_size) && expect_tag(fp, "WAVE", 4);
  }
  if (id != kRf64Id) return false;
  header->rf64 = true;
  uint32_t ds64_size = 0;
  uint64_t riff_size64 = 0;
  if (!read_le32(fp, &riff_size) || riff_size != kRf64SizePlaceholder) return false;
  if (!expect_tag(fp, "WAVEds64", 8)) return false;
  if (!read_le32(fp, &ds64_size) || ds64_size < kDs64CountBytes) return false;
  return read_le64(fp, &riff_size64) && read_le64(fp, &header->ds64_data_size) &&
         read_le64(fp, &header->ds64_sample_count) && skip_bytes(fp, ds64_size - kDs64CountBytes);
}

// Delivers the first two channels of each whole file frame in `run`, or the
// one channel of a mono file twice.
void copy_delivered(std::span<const uint8_t> run, size_t frame_bytes, size_t sample_bytes, uint8_t* dest) {
  const size_t out_bytes = 2 * sample_bytes;
  for (size_t at = 0; at + frame_bytes <= run.size(); at += frame_bytes, dest += out_bytes) {
    if (frame_bytes < out_bytes) {
      memcpy(dest, run.data() + at, sample_bytes);
      memcpy(dest + sample_bytes, run.data() + at, sample_bytes);
    } else {
      memcpy(dest, run.data() + at, out_bytes);
    }
  }
}

// Reads one file frame bigger than the run buffer and delivers its first two
// channels; false on a short read (dest untouched then).
bool read_large_frame(FILE* fp, std::span<uint8_t> scratch, size_t frame_bytes, size_t out_bytes, uint8_t* dest) {
  std::array<uint8_t, 2 * kMaxSampleBytes> head{};
  for (size_t left = frame_bytes; left > 0;) {
    const size_t piece = std::min(left, scratch.size());
    if (fread(scratch.data(), 1, piece, fp) != piece) return false;
    if (left == frame_bytes) std::copy_n(scratch.begin(), out_bytes, head.begin());
    left -= piece;
  }
  std::copy_n(head.begin(), out_bytes, dest);
  return true;
}

// Reads up to `frames` file frames and delivers them to dest; returns the
// frames delivered. A partial frame at the end of the file is dropped.
size_t read_frames(FILE* fp, size_t frames, size_t frame_bytes, size_t sample_bytes, uint8_t* dest) {
  const size_t out_bytes = 2 * sample_bytes;
  if (frame_bytes == out_bytes) {
    // Stereo: the file frames are the delivered frames.
    return fread(dest, 1, frames * frame_bytes, fp) / frame_bytes;
  }
  std::array<uint8_t, kRunBytes> run;
  size_t done = 0;
  if (frame_bytes > run.size()) {
    while (done < frames && read_large_frame(fp, run, frame_bytes, out_bytes, dest + done * out_bytes)) ++done;
    return done;
  }
  const size_t frames_per_run = run.size() / frame_bytes;
  while (done < frames) {
    const size_t wanted = std::min(frames - done, frames_per_run);
    const size_t got = fread(run.data(), 1, wanted * frame_bytes, fp) / frame_bytes;
    copy_delivered(std::span(run).first(got * frame_bytes), frame_bytes, sample_bytes, dest + done * out_bytes);
    done += got;
    if (got < wanted) break;
  }
  return done;
}

}  // namespace

// Parses a RIFF/WAVE or RF64 header. Returns 0 with the record describing the
// delivered stream and the stream at the first audio byte, or -1 (not a PCM
// WAV file, or damaged); the caller rewinds before trying another reader.
int wav_open(music_file* file) {
  FILE* fp = file->fp.get();
  if (fp == nullptr) return -1;
  riff_header header;
  if (!read_riff_header(fp, &header)) return -1;

  uint32_t fmt_size = 0;
  fmt_body body{};
  if (!find_chunk(fp, kFmtId) || !read_le32(fp, &fmt_size)) return -1;
  if (fmt_size > kWaveFormatBytes || !read_fmt_body(fp, fmt_size, &body)) return -1;
  wave_format format = decode_wave_format(body);
  if (!is_plain_pcm(format) || !has_usable_layout(format)) return -1;

  // For RF64 the 32-bit data size is a placeholder; ds64 has the real one.
  uint32_t data_size = 0;
  if (!find_chunk(fp, kDataId) || !read_le32(fp, &data_size)) return -1;
  uint64_t audio_bytes = data_size;
  if (header.rf64) {
    // block_align x sample count == data size, checked without overflow.
    if (header.ds64_data_size % format.block_align != 0 ||
        header.ds64_data_size / format.block_align != header.ds64_sample_count) {
      return refuse_file(file, "its RF64 data size and sample count disagree");
    }
    audio_bytes = header.ds64_data_size;
  }
  audio_bytes = std::min(audio_bytes, kMaxAudioBytes);

  // From here on the format describes the delivered two-channel stream.
  const uint16_t sample_bytes = static_cast<uint16_t>(format.block_align / format.channels);
  file->file_channels = format.channels;
  file->total_bytes = static_cast<int64_t>(2 * audio_bytes / format.channels);
  file->remaining_bytes = file->total_bytes;
  format.channels = 2;
  format.block_align = static_cast<uint16_t>(2 * sample_bytes);
  format.bits_per_sample = static_cast<uint16_t>(8 * sample_bytes);
  file->format = format;
  file->tags = track_tags{};
  wav_read_tags(fp, header.rf64, header.rf64 ? header.ds64_data_size : data_size, &file->tags);
  return 0;
}

// Fills dest with up to max_bytes of whole two-channel frames; returns the
// bytes written, or -1 at the end of the data (call again until then). A
// file that ends before its data chunk does is reported once.
int wav_read(music_file* file, uint8_t* dest, int max_bytes) {
  const wave_format& format = file->format;
  if (file->fp == nullptr || format.channels == 0 || file->file_channels <= 0) return -1;
  const size_t sample_bytes = format.block_align / format.channels;
  if (sample_bytes == 0 || sample_bytes > kMaxSampleBytes) return -1;
  const size_t out_bytes = 2 * sample_bytes;
  const size_t frame_bytes = sample_bytes * static_cast<size_t>(file->file_channels);

  const int64_t n = std::min<int64_t>(file->remaining_bytes, max_bytes);
  if (n < static_cast<int64_t>(out_bytes) || feof(file->fp.get()) || ferror(file->fp.get())) return -1;
  const size_t frames = static_cast<size_t>(n) / out_bytes;
  const size_t delivered = read_frames(file->fp.get(), frames, frame_bytes, sample_bytes, dest) * out_bytes;
  file->remaining_bytes -= static_cast<int64_t>(delivered);
  // The file ends before its data chunk does: what it holds is played. The
  // stream's end or error flag, now set, keeps the report to one.
  if (delivered < frames * out_bytes) report_early_end(*file, file->remaining_bytes, file->total_bytes);
  if (delivered == 0) return -1;
  return static_cast<int>(delivered);
}

// Sets input_format, bytes_per_sample and sample_format of an opened WAV
// file; false when the container width has no ALSA format here.
bool describe_wav_stream(music_file* file) {
  const wave_format& format = file->format;
  if (format.channels == 0) return false;
  file->input_format = kInputWav;
  file->bytes_per_sample = format.block_align / format.channels;
  switch (format.bits_per_sample) {
    case 8: file->sample_format = kFormatU8; return true;
    case 16: file->sample_format = kFormatS16_LE; return true;
    case 24: file->sample_format = file->bytes_per_sample == 4 ? kFormatS24_LE : kFormatS24_3LE; return true;
    case 32:
      file->sample_format =
          format.format_tag == kTagFloat || subformat_code(format) == kTagFloat ? kFormatFloat_LE : kFormatS32_LE;
      return true;
    default: return false;
  }
}

bool wav_seek(music_file* file, int64_t frame) {
  const wave_format& format = file->format;
  if (file->fp == nullptr || format.channels == 0 || file->file_channels <= 0 || frame < 0) return false;
  const int64_t sample_bytes = format.block_align / format.channels;
  const int64_t out_bytes = 2 * sample_bytes;
  if (sample_bytes == 0 || frame >= file->remaining_bytes / out_bytes) return false;
  // The stream is at the first audio byte; a file frame holds every channel.
  const int64_t file_bytes = frame * sample_bytes * file->file_channels;
  if (file_bytes > std::numeric_limits<off_t>::max() ||
      fseeko(file->fp.get(), static_cast<off_t>(file_bytes), SEEK_CUR) != 0)
    return false;
  file->remaining_bytes -= frame * out_bytes;
  return true;
}
