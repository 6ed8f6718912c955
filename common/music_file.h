// One record per play-list entry: the open stream, what its reader
// delivers, the byte counts that drive progress and the end of the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "stream_constants.h"
#include "track_tags.h"
#include "util.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVCodec;
struct AVPacket;
struct AVFrame;
struct ffmpeg_read_state;

// input_format codes: which reader serves the file.
enum : int32_t {
  kInputDsf = 0,
  kInputDsdiff = 1,
  kInputWsd = 2,
  kInputWav = 3,
  kInputFfmpeg = 4,
};

// The body of a WAVE "fmt " chunk (44 bytes in the file, little-endian).
// After a reader has opened a file it describes the delivered two-channel
// stream, not the file.
struct wave_format {
  uint16_t format_tag;  // 1 integer PCM, 3 IEEE float, 0xFFFE extensible
  uint16_t channels;
  uint32_t sample_rate;
  uint32_t bytes_per_second;
  uint16_t block_align;  // bytes per frame
  uint16_t bits_per_sample;
  uint16_t extra_size;
  uint16_t valid_bits;
  uint32_t channel_mask;
  uint8_t subformat[16];  // GUID; its first two bytes hold the format code (1 or 3)
  uint8_t spare[4];
};
constexpr int32_t kWaveFormatBytes = 44;
static_assert(sizeof(wave_format) == kWaveFormatBytes);

// The DSF file header as read by dsf_open.
struct dsf_header {
  uint32_t format_version;
  uint32_t format_id;
  uint32_t channel_type;
  uint32_t channel_number;
  uint32_t sampling_frequency;
  uint32_t bits_per_sample;
  uint64_t sample_count;
  uint32_t block_size;
  uint32_t block_size_bits;
  uint64_t data_bytes;         // data chunk size less 12
  uint64_t bytes_per_channel;  // still to deliver
};

struct file_closer {
  void operator()(FILE* fp) const noexcept { fclose(fp); }
};
using file_stream = std::unique_ptr<FILE, file_closer>;

// A handle freed by the function that goes with it: the FFmpeg adapter sets
// both, so records need nothing of FFmpeg to be destroyed.
template <typename T>
using owned_handle = std::unique_ptr<T, void (*)(T*)>;

// Frees what std::malloc gave: a buffer that does not fit refuses the
// file instead of throwing.
struct memory_freer {
  void operator()(uint8_t* p) const noexcept { std::free(p); }
};

// A DSF file's current left block followed by its current right block:
//   |<- block size ->|<- block size ->|
//   | left  ###......| right ###......|   ### = position bytes delivered
// dsf_open allocates it for the file; it goes with the file when closed.
struct dsf_block_pair {
  std::unique_ptr<uint8_t, memory_freer> buffer;  // 2 x block size bytes
  uint32_t position = 0;                          // bytes of each block delivered; block size: read the next pair first
};

// Records are value-initialised (all zero) and own their open stream and
// whatever their reader keeps for it (DSF blocks, the FFmpeg decoder and
// its read state): they move, they do not copy. Nothing of one file is kept
// by a reader between files.
struct music_file {
  file_stream fp;
  int32_t sample_format;  // ALSA snd_pcm_format_t of the delivered samples
  int32_t bytes_per_sample;
  int32_t file_channels;
  int32_t dsf_block_size;
  uint8_t channel_map[8];  // DSD readers: [0] frame position of left, [1] of right
  int32_t input_format;
  int64_t played_count;  // in 1/352800 s; advanced by the output thread
  // Where played_count starts when the file's mark is crossed: 0, or where a
  // seek began reading it. Set by the main thread before it marks the file.
  int64_t played_from;
  int64_t remaining_bytes;
  int64_t total_bytes;
  char* file_name;  // owned copy
  wave_format format;
  int32_t index;  // -1 in the terminating record
  dsf_header dsf;
  dsf_block_pair dsf_blocks;  // DSF files, while open
  // DSDIFF and WSD readers: bytes of recorded sound data (all channels) not
  // yet read from the file; delivery ends when fewer than a frame are left,
  // so chunks that follow the sound data are never played.
  int64_t dsd_bytes_left;
  // Why the reader of the file's kind refused it (kFileRefused), for the report.
  const char* refusal;
  music_file* next;
  track_tags tags;  // filled by the reader that opened the file
  owned_handle<AVFormatContext> format_context{nullptr, nullptr};
  owned_handle<AVCodecContext> codec_context{nullptr, nullptr};
  const AVCodec* codec;
  owned_handle<AVPacket> packet{nullptr, nullptr};
  owned_handle<AVFrame> frame{nullptr, nullptr};                   // FFmpeg files: the decoded audio being delivered
  owned_handle<ffmpeg_read_state> ffmpeg_state{nullptr, nullptr};  // FFmpeg files: where delivery stands
};

// Reader contract: an open function returns 0 when the file is of its kind
// (record filled, stream at the first audio byte) and -1 otherwise; a read
// function fills dest with whole delivered frames and returns the bytes
// written, or -1 when nothing more can be delivered.
using open_function = int (*)(music_file* file);

// What an open function returns for a file of its kind (its magic matched)
// that it will not play: no other reader gets the file, which would only
// play it wrongly. The reason goes in the record.
constexpr int kFileRefused = -2;
inline int refuse_file(music_file* file, const char* reason) {
  file->refusal = reason;
  return kFileRefused;
}
using read_function = int (*)(music_file* file, uint8_t* dest, int max_bytes);

// The play list: one zero-filled record per file plus a terminator
// (index -1, next null), and the owned copies of the paths. The records
// never move: room for kAppendableFiles more is kept from the start, so
// that the list can grow while the output thread plays from it.
struct play_list {
  std::deque<std::string> names;  // a deque: names stay put as it grows
  std::vector<music_file> records;

  int32_t count() const { return static_cast<int32_t>(names.size()); }
  // The most files the list can hold.
  int32_t capacity() const { return static_cast<int32_t>(records.capacity()) - 1; }
  music_file* first() { return records.data(); }
};

constexpr int32_t kAppendableFiles = 4096;

// Builds the list of the paths, which it keeps.
play_list make_play_list(std::vector<std::string> paths);

// Adds a file at the end: the terminator becomes its record and a new
// terminator follows it. Null when the list is full.
music_file* play_list_append(play_list& list, std::string path);

// Keeps the first count files (never opened beyond them): the record after
// them becomes the terminator.
void play_list_truncate(play_list& list, int32_t count);

// A file reader: how it opens a file and delivers it. Readers that work on
// the file's stream get it open and rewound; the others (FFmpeg) open the
// file by name themselves.
struct music_reader {
  open_function open;
  read_function read;
  void (*close)(music_file* file);  // null: closing the stream is enough
  int32_t input_format;
  bool on_stream;
  // On a file just opened: delivery goes on from delivered frame `frame`
  // (DSD: byte `frame` of each channel). False when the file ends before it.
  bool (*seek)(music_file* file, int64_t frame) = nullptr;
};

enum class recognised { file, cannot_open, not_regular, refused, unknown_format, unsupported_bits };
struct recognition {
  recognised result;
  const music_reader* reader = nullptr;  // the one that took the file
};

// Opens the file (a regular file only) and tries the readers in turn, those
// on the stream first;
// the first that takes it describes the delivered stream in the record (DSD
// byte counts: total_bytes for both channels, remaining_bytes for one).
// The file stays open unless nothing took it.
recognition recognise_music_file(music_file* file, std::span<const music_reader> readers);
// Closes what recognise_music_file opened, through the reader that took it,
// and frees what the reader kept for the file.
void close_music_file(music_file* file, const music_reader* reader);

// One-bit samples: a DSD file.
inline bool is_dsd(const music_file& file) { return file.format.bits_per_sample == 1; }

// Delivered frames a second: DSD frames are one byte a channel.
inline int64_t frames_per_second(const music_file& file) {
  return is_dsd(file) ? file.format.sample_rate / 8 : file.format.sample_rate;
}

// The frame of file at units (1/352800 s) into it, and the units where a
// frame begins, both rounded down (the division last, for 64 bits).
inline int64_t frame_of_units(const music_file& file, int64_t units) {
  const int64_t rate = frames_per_second(file);
  return rate <= 0 ? 0 : units / kOversampledRate * rate + units % kOversampledRate * rate / kOversampledRate;
}
inline int64_t units_of_frame(const music_file& file, int64_t frame) {
  const int64_t rate = frames_per_second(file);
  return rate <= 0 ? 0 : frame / rate * kOversampledRate + frame % rate * kOversampledRate / rate;
}
// PCM samples the players can decode: float, or an integer layout of the
// sample table.
bool pcm_samples_known(const music_file& file);

// The rates the players take: at 8000 Hz half a second of device buffer
// still holds a useful write, and every rate fits the stream's int32_t.
constexpr uint32_t kLowestPcmRate = 8000;
constexpr uint32_t kHighestPcmRate = 1u << 24;

// Refuses the file, naming it and its rate, unless lowest <= its rate <= highest.
refusal rate_refusal(const music_file& file, uint32_t lowest, uint32_t highest);

// The length of the file in whole seconds, from its byte count.
int64_t total_seconds(const music_file& file);
// The same in milliseconds.
int64_t duration_millis(const music_file& file);

// False when a native reader's file, just opened, ends before the bytes of
// its first read: a file cut after its header.
bool holds_a_frame(const music_file& file);

// For a native reader whose file ends before the sound its header promised:
// one warning naming the file and the time reached ("x.wav: the file ends
// early, at 00:01 of 00:10."). missing of promised (in any one unit) were
// not in the file.
void report_early_end(const music_file& file, int64_t missing, int64_t promised);
