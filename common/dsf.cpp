// The one-bit readers, DSDIFF and WSD as well as DSF (see dsf.h; the file is
// named after the first of them): chunk walks, channel layouts, and each
// format's delivery of left and right DSD bytes.
#include "dsf.h"

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "chunk_tags.h"
#include "printable.h"
#include "readwrite.h"
#include "util.h"

namespace {

static_assert(sizeof(off_t) == 8, "DSD files pass 4 GiB: chunk walks need 64-bit file offsets");

using chunk_id = std::array<char, 4>;

constexpr chunk_id make_id(const char (&text)[5]) noexcept { return {text[0], text[1], text[2], text[3]}; }

constexpr uint64_t kMaxInt64 = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());
// Sound data of more bytes than this per channel would overflow its bit count.
constexpr uint64_t kMaxSoundBytes = kMaxInt64 / 8;

// Reads a 4-byte id; false (silently) at the end of the file.
bool read_id(FILE* fp, chunk_id* id) { return fread(id->data(), 1, id->size(), fp) == id->size(); }

bool read_byte(FILE* fp, uint8_t* value) { return fread(value, 1, 1, fp) == 1; }

bool seek_to(FILE* fp, uint64_t offset) {
  return offset <= kMaxOffset && fseeko(fp, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool skip_bytes(FILE* fp, uint64_t n) {
  return n == 0 || (n <= kMaxOffset && fseeko(fp, static_cast<off_t>(n), SEEK_CUR) == 0);
}

// Bytes from a chunk's body to the next chunk: its size and the pad byte of
// an odd size, the pad counted only where the parent still has room for it.
constexpr int64_t chunk_cost(uint64_t size, int64_t parent_left) noexcept {
  const uint64_t padded = size + (size & 1u);
  return static_cast<int64_t>(std::min(padded, static_cast<uint64_t>(parent_left)));
}

// ---- DSDIFF ---------------------------------------------------------------

constexpr int64_t kChunkHeaderBytes = 12;  // id and 64-bit size
constexpr uint16_t kMinDffChannels = 2;
constexpr uint16_t kMaxDffChannels = 6;
constexpr uint64_t kFverBytes = 4;
constexpr uint64_t kFsBytes = 4;
constexpr uint64_t kAbssBytes = 8;
constexpr uint64_t kLscoBytes = 2;
constexpr uint64_t kCmprTypeBytes = 4;

// What the "PROP" chunk says about the sound data.
struct dff_properties {
  uint32_t sample_rate = 0;  // 0 until an "FS  " sub-chunk
  uint16_t channels = 0;     // 0 until a "CHNL" sub-chunk
  int32_t left = -1;         // frame positions; -1 until CHNL names them
  int32_t right = -1;
  bool dst = false;  // CMPR says the sound is DST-compressed
};

enum class channel_role { left, right, other, unknown };

channel_role dff_channel_role(const chunk_id& id) {
  if (id == make_id("SLFT") || id == make_id("MLFT")) return channel_role::left;
  if (id == make_id("SRGT") || id == make_id("MRGT")) return channel_role::right;
  for (const char* other : {"C   ", "LFE ", "LS  ", "RS  "}) {
    if (memcmp(id.data(), other, id.size()) == 0) return channel_role::other;
  }
  return channel_role::unknown;
}

// "CHNL": channel count, then one id per frame position. When a side is
// named twice the later position wins.
bool read_channels(FILE* fp, uint64_t size, dff_properties* props) {
  uint16_t count = 0;
  if (!read_be16(fp, &count)) return false;
  if (count < kMinDffChannels || count > kMaxDffChannels || size != 4u * count + 2) return false;
  props->channels = count;
  props->left = props->right = -1;
  for (int32_t position = 0; position < count; ++position) {
    chunk_id id{};
    if (!read_id(fp, &id)) return false;
    switch (dff_channel_role(id)) {
      case channel_role::left: props->left = position; break;
      case channel_role::right: props->right = position; break;
      case channel_role::other: break;
      case channel_role::unknown: return false;
    }
  }
  return true;
}

// "CMPR": the compression type. The name after it is passed over by the
// caller's seek to the sub-chunk's end.
bool read_compression(FILE* fp, uint64_t size, dff_properties* props) {
  chunk_id type{};
  if (size < kCmprTypeBytes || !read_id(fp, &type)) return false;
  if (type == make_id("DSD ")) {
    props->dst = false;
    return true;
  }
  if (type == make_id("DST ")) {
    props->dst = true;
    return true;
  }
  return false;
}

// Walks the sub-chunks of "PROP" over `left` bytes from the current
// position. Each sub-chunk must fit in what is left of its parent, and the
// walk goes on from its recorded end whatever its fields said.
bool read_properties(FILE* fp, int64_t left, dff_properties* props) {
  while (left > 0) {
    chunk_id id{};
    uint64_t size = 0;
    if (left < kChunkHeaderBytes || !read_id(fp, &id) || !read_be64(fp, &size)) return false;
    left -= kChunkHeaderBytes;
    if (size > static_cast<uint64_t>(left)) return false;
    const off_t body = ftello(fp);
    if (body < 0) return false;

    bool ok = true;
    if (id == make_id("FS  ")) {
      ok = size == kFsBytes && read_be32(fp, &props->sample_rate);
    } else if (id == make_id("CHNL")) {
      ok = read_channels(fp, size, props);
    } else if (id == make_id("CMPR")) {
      ok = read_compression(fp, size, props);
    } else if (id == make_id("ABSS")) {
      ok = size == kAbssBytes;  // start time: not used
    } else if (id == make_id("LSCO")) {
      ok = size == kLscoBytes;  // loudspeaker configuration: not used
    }
    if (!ok) return false;
    const int64_t cost = chunk_cost(size, left);
    left -= cost;
    if (!seek_to(fp, static_cast<uint64_t>(body) + static_cast<uint64_t>(cost))) return false;
  }
  return true;
}

// The "DSD " chunk of `size` bytes starts at the stream position: fills the
// record when the properties before it describe a playable stream.
int start_dff_sound(music_file* file, const dff_properties& props, uint64_t size) {
  if (props.sample_rate == 0 || props.channels == 0 || props.left < 0 || props.right < 0) return -1;
  if (props.dst || size > kMaxSoundBytes) return -1;
  file->file_channels = props.channels;
  std::fill(std::begin(file->channel_map), std::end(file->channel_map), uint8_t{0});
  file->channel_map[0] = static_cast<uint8_t>(props.left);
  file->channel_map[1] = static_cast<uint8_t>(props.right);
  file->format = wave_format{};
  file->format.sample_rate = props.sample_rate;
  const int64_t bits_per_channel = static_cast<int64_t>(size * 8 / props.channels);
  file->remaining_bytes = file->total_bytes = bits_per_channel;
  file->dsd_bytes_left = static_cast<int64_t>(size);
  return 0;
}

// ---- WSD ------------------------------------------------------------------

constexpr int32_t kMaxWsdChannels = 8;

struct channel_pair {
  int32_t left;
  int32_t right;
};

// The frame positions of left and right from the channel assignment word;
// its first byte says how the channels are laid out.
constexpr std::optional<channel_pair> wsd_channel_pair(uint32_t assignment) noexcept {
  const uint32_t a = assignment >> 24;
  if (a == 0) {
    if ((assignment & 0x00FFFFFFu) != 0) return std::nullopt;
    return channel_pair{0, 1};
  }
  if ((a & 0x44u) == 0x44u) {
    // Front left first; right comes after the centre, surround and LFE
    // channels that the other bits announce.
    const int32_t before_right = ((a & 0x20u) != 0) + ((a & 0x10u) != 0) + ((a & 0x08u) != 0);
    return channel_pair{0, 1 + before_right};
  }
  if ((a & 0x28u) == 0x28u) {
    if ((a & 0x40u) != 0) return channel_pair{1, 0};
    if ((a & 0x10u) != 0) return channel_pair{0, 2};
    return channel_pair{0, 1};
  }
  return std::nullopt;
}

static_assert(wsd_channel_pair(0x00000000)->right == 1);
static_assert(wsd_channel_pair(0x68000000)->left == 1);
static_assert(wsd_channel_pair(0x7C000000)->right == 4);
static_assert(!wsd_channel_pair(0x00000001));

// The fields of a WSD header (big-endian; offsets from the file start).
struct wsd_header {
  uint8_t version = 0;         // 8
  uint64_t file_size = 0;      // 12: the sound data ends here
  uint32_t text_offset = 0;    // 20
  uint32_t data_offset = 0;    // 24: the sound data starts here
  uint32_t playback_time = 0;  // 32
  uint32_t sample_rate = 0;    // 36
  uint8_t channels = 0;        // 44
  uint32_t assignment = 0;     // 48
};

// The fields after the "1bit" tag.
bool read_wsd_header(FILE* fp, wsd_header* h) {
  constexpr uint64_t kReserved4 = 4, kReserved3 = 3;
  return skip_bytes(fp, kReserved4) && read_byte(fp, &h->version) && skip_bytes(fp, kReserved3) &&
         read_be64(fp, &h->file_size) && read_be32(fp, &h->text_offset) && read_be32(fp, &h->data_offset) &&
         skip_bytes(fp, kReserved4) && read_be32(fp, &h->playback_time) && read_be32(fp, &h->sample_rate) &&
         skip_bytes(fp, kReserved4) && read_byte(fp, &h->channels) && skip_bytes(fp, kReserved3) &&
         read_be32(fp, &h->assignment);
}

// ---- DSDIFF and WSD delivery ----------------------------------------------

// File frames go through this much stack per fread.
constexpr size_t kRunBytes = 8192;
// Neither format has more channels than this in a frame.
constexpr int32_t kMaxDsdFrameBytes = 8;

// Delivers the left and right bytes of whole file frames until max_bytes
// (rounded down to a multiple of 8) are written or the recorded sound data
// or the file ends. The last group may be short: the player carries it into
// the next file or completes it.
int read_dsd_frames(music_file* file, uint8_t* dest, int max_bytes) {
  if (file == nullptr || file->fp == nullptr || feof(file->fp.get()) || file->dsd_bytes_left <= 0) return -1;
  const int32_t channels = file->file_channels;
  const uint8_t left = file->channel_map[0];
  const uint8_t right = file->channel_map[1];
  if (channels <= 0 || channels > kMaxDsdFrameBytes || left >= channels || right >= channels) return -1;
  const int n = max_bytes / 8 * 8;
  if (n <= 0) return 0;

  const auto frame_bytes = static_cast<size_t>(channels);
  std::array<uint8_t, kRunBytes> run;
  int delivered = 0;
  while (delivered < n) {
    const int64_t frames_left = file->dsd_bytes_left / channels;
    if (frames_left == 0) {
      file->dsd_bytes_left = 0;  // a partial frame at the end is dropped
      break;
    }
    const size_t wanted = std::min({static_cast<size_t>(n - delivered) / 2, run.size() / frame_bytes,
                                    static_cast<size_t>(std::min<int64_t>(frames_left, kRunBytes))});
    const size_t got = fread(run.data(), frame_bytes, wanted, file->fp.get());
    for (size_t i = 0; i < got; ++i) {
      dest[delivered++] = run[i * frame_bytes + left];
      dest[delivered++] = run[i * frame_bytes + right];
    }
    file->dsd_bytes_left -= static_cast<int64_t>(got * frame_bytes);
    if (got < wanted) {
      // Read error or early end of the file: reported once, as nothing is read after.
      report_early_end(*file, file->dsd_bytes_left / channels, file->total_bytes / 2);
      file->dsd_bytes_left = 0;
      break;
    }
  }
  if (delivered == 0) return -1;
  return delivered;
}

// ---- DSF ------------------------------------------------------------------

constexpr uint32_t kUsualDsfBlockSize = 4096;
// No encoder writes larger blocks; the cap bounds the buffer that is
// allocated before a single sound byte is read.
constexpr uint32_t kMaxDsfBlockSize = 1u << 24;
constexpr uint32_t kDsfRawFormat = 0;  // format id of uncompressed DSD
constexpr uint64_t kDataChunkHeaderBytes = 12;
// Fewer samples than this per channel keep every count derived from them
// (bits of both channels, times 16 for the progress) within int64.
constexpr uint64_t kMaxDsfSampleCount = uint64_t{1} << 58;

// Entry i is i with its 8 bits in reverse order: DSF stores the earliest
// one-bit sample in bit 0, the delivered stream in bit 7.
constexpr std::array<uint8_t, 256> kBitReversed = [] {
  std::array<uint8_t, 256> table{};
  for (uint32_t i = 0; i < table.size(); ++i) {
    uint32_t reversed = 0;
    for (uint32_t bit = 0; bit < 8; ++bit) reversed |= ((i >> bit) & 1u) << (7 - bit);
    table[i] = static_cast<uint8_t>(reversed);
  }
  return table;
}();
static_assert(kBitReversed[0x01] == 0x80 && kBitReversed[0x96] == 0x69 && kBitReversed[0xF0] == 0x0F);

// A buffer for the file's block pair; false when it cannot be had.
bool allocate_block_pair(music_file* file, uint32_t block_size) {
  const size_t bytes = 2 * size_t{block_size};
  file->dsf_blocks.buffer.reset(static_cast<uint8_t*>(std::malloc(bytes)));
  file->dsf_blocks.position = block_size;  // nothing read yet
  return file->dsf_blocks.buffer != nullptr;
}

// Bytes per channel of a whole DSF file: the sample count rounded up to
// whole bytes, without overflow.
constexpr uint64_t dsf_bytes_per_channel(uint64_t sample_count) noexcept {
  return sample_count / 8 + (sample_count % 8 != 0 ? 1 : 0);
}

bool read_dsf_format(FILE* fp, dsf_header* h) {
  return read_le32(fp, &h->format_version) && read_le32(fp, &h->format_id) && read_le32(fp, &h->channel_type) &&
         read_le32(fp, &h->channel_number) && read_le32(fp, &h->sampling_frequency) &&
         read_le32(fp, &h->bits_per_sample) && read_le64(fp, &h->sample_count) && read_le32(fp, &h->block_size);
}

// Reads the next block of the first two channels and passes over the blocks
// of the others; false on a short read or a failed seek.
bool read_block_pair(FILE* fp, const dsf_header& h, uint8_t* pair_buffer) {
  const size_t pair = 2 * size_t{h.block_size};
  if (fread(pair_buffer, 1, pair, fp) != pair) return false;
  return skip_bytes(fp, uint64_t{h.channel_number - 2} * h.block_size);
}

}  // namespace

// The form must hold "FVER"/"PROP"/other chunks and then the "DSD " sound
// chunk; every chunk must fit in its parent.
int dff_open(music_file* file) {
  FILE* fp = file->fp.get();
  if (fp == nullptr) return -1;
  uint64_t form_size = 0;
  if (!expect_tag(fp, "FRM8", 4)) return -1;
  if (!read_be64(fp, &form_size) || !expect_tag(fp, "DSD ", 4)) {
    return refuse_file(file, "its DSDIFF form is cut short or not DSD");
  }
  if (form_size <= 4 || form_size > kMaxInt64) return refuse_file(file, "its DSDIFF form size is impossible");
  int64_t left = static_cast<int64_t>(form_size) - 4;

  dff_properties props;
  while (left > 0) {
    chunk_id id{};
    uint64_t size = 0;
    if (left < kChunkHeaderBytes || !read_id(fp, &id) || !read_be64(fp, &size) ||
        size > static_cast<uint64_t>(left - kChunkHeaderBytes)) {
      return refuse_file(file, "a DSDIFF chunk runs past its form or the file");
    }
    left -= kChunkHeaderBytes;
    if (id == make_id("DSD ")) {
      if (start_dff_sound(file, props, size) == 0) {
        file->tags = track_tags{};
        dff_read_tags(fp, form_size, &file->tags);
        return 0;
      }
      return refuse_file(file, props.dst ? "its DSDIFF sound is DST-compressed"
                                         : "its DSDIFF properties lack the rate or the left and right channels");
    }
    if (id == make_id("DST ") || id == make_id("DSTI")) return refuse_file(file, "its DSDIFF sound is DST-compressed");

    const off_t body = ftello(fp);
    if (body < 0) return -1;
    if (id == make_id("FVER")) {
      uint32_t version = 0;
      if (size != kFverBytes || !read_be32(fp, &version)) {
        return refuse_file(file, "its DSDIFF version chunk is damaged");
      }
    } else if (id == make_id("PROP")) {
      if (size < 4 || !expect_tag(fp, "SND ", 4) || !read_properties(fp, static_cast<int64_t>(size) - 4, &props)) {
        return refuse_file(file, "its DSDIFF property chunk is damaged (rate, channels or compression)");
      }
    }
    const int64_t cost = chunk_cost(size, left);
    left -= cost;
    if (!seek_to(fp, static_cast<uint64_t>(body) + static_cast<uint64_t>(cost))) {
      return refuse_file(file, "a DSDIFF chunk runs past the file");
    }
  }
  return refuse_file(file, "it has no DSDIFF sound chunk");
}

int dff_read(music_file* file, uint8_t* dest, int max_bytes) { return read_dsd_frames(file, dest, max_bytes); }

// The sound data runs from the data offset to the file size of the header.
int wsd_open(music_file* file) {
  FILE* fp = file->fp.get();
  if (fp == nullptr) return -1;
  wsd_header h;
  if (!expect_tag(fp, "1bit", 4)) return -1;
  if (!read_wsd_header(fp, &h)) return refuse_file(file, "its WSD header is cut short");
  if (h.channels == 0 || h.channels > kMaxWsdChannels) return refuse_file(file, "its WSD channel count is impossible");
  if (h.sample_rate == 0) return refuse_file(file, "its WSD rate is 0");
  if (h.file_size < h.data_offset || h.file_size - h.data_offset > kMaxSoundBytes) {
    return refuse_file(file, "its WSD data offset and file size are impossible");
  }
  const std::optional<channel_pair> pair = wsd_channel_pair(h.assignment);
  if (!pair || pair->left >= h.channels || pair->right >= h.channels) {
    return refuse_file(file, "its WSD channel assignment names no left and right channels");
  }
  if (!seek_to(fp, h.data_offset)) return refuse_file(file, "its WSD data offset is past the file");

  const uint64_t sound_bytes = h.file_size - h.data_offset;
  file->file_channels = h.channels;
  std::fill(std::begin(file->channel_map), std::end(file->channel_map), uint8_t{0});
  file->channel_map[0] = static_cast<uint8_t>(pair->left);
  file->channel_map[1] = static_cast<uint8_t>(pair->right);
  file->format = wave_format{};
  file->format.sample_rate = h.sample_rate;
  file->remaining_bytes = file->total_bytes = static_cast<int64_t>(sound_bytes * 8 / h.channels);
  file->dsd_bytes_left = static_cast<int64_t>(sound_bytes);
  return 0;
}

int wsd_read(music_file* file, uint8_t* dest, int max_bytes) { return read_dsd_frames(file, dest, max_bytes); }

// Reads the "DSD ", "fmt " and "data" chunk headers. A block size other than
// 4096 is reported but played.
int dsf_open(music_file* file) {
  FILE* fp = file->fp.get();
  if (fp == nullptr) return -1;
  file->dsf = dsf_header{};
  file->dsf_blocks = dsf_block_pair{};
  dsf_header& h = file->dsf;
  uint64_t dsd_size = 0;
  uint64_t fmt_size = 0;
  uint64_t data_size = 0;
  if (!expect_tag(fp, "DSD ", 4)) return -1;
  if (!read_le64(fp, &dsd_size) || !seek_to(fp, dsd_size)) return refuse_file(file, "its DSF header is cut short");
  if (!expect_tag(fp, "fmt ", 4) || !read_le64(fp, &fmt_size) || !read_dsf_format(fp, &h)) {
    return refuse_file(file, "its DSF format chunk is missing or cut short");
  }
  if (h.block_size != kUsualDsfBlockSize) {
    const std::string name = file->file_name != nullptr ? printable(file->file_name) + ": " : std::string();
    report_warning("%sDSF block size if %u\n", name.c_str(), h.block_size);
  }
  if (h.bits_per_sample > 1 || h.format_id != kDsfRawFormat) {
    return refuse_file(file, "its DSF samples are not plain DSD");
  }
  if (h.channel_number < 2 || h.channel_number > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
    return refuse_file(file, "its DSF channel count is impossible");
  }
  if (h.block_size == 0 || h.block_size > kMaxDsfBlockSize) {
    return refuse_file(file, "its DSF block size is impossible");
  }
  if (h.sampling_frequency == 0) return refuse_file(file, "its DSF rate is 0");
  file->dsf_block_size = static_cast<int32_t>(h.block_size);
  h.block_size_bits = 8 * h.block_size;
  file->file_channels = static_cast<int32_t>(h.channel_number);

  if (fmt_size > kMaxOffset - std::min(dsd_size, kMaxOffset) || !seek_to(fp, dsd_size + fmt_size) ||
      !expect_tag(fp, "data", 4) || !read_le64(fp, &data_size)) {
    return refuse_file(file, "its DSF data chunk is missing");
  }
  h.data_bytes = data_size >= kDataChunkHeaderBytes ? data_size - kDataChunkHeaderBytes : 0;
  h.bytes_per_channel = dsf_bytes_per_channel(h.sample_count);
  if (h.sample_count >= kMaxDsfSampleCount) return refuse_file(file, "its DSF sample count is impossible");
  if (!allocate_block_pair(file, h.block_size)) return refuse_file(file, "its DSF blocks do not fit in memory");

  file->remaining_bytes = file->total_bytes = static_cast<int64_t>(8 * h.bytes_per_channel);
  file->format = wave_format{};
  file->format.sample_rate = h.sampling_frequency;
  file->tags = track_tags{};
  dsf_read_tags(fp, &file->tags);
  return 0;
}

// Delivers the first two channels block pair by block pair, bit-reversed;
// the zero padding of the last block is never delivered.
int dsf_read(music_file* file, uint8_t* dest, int max_bytes) {
  if (file == nullptr || file->fp == nullptr || feof(file->fp.get())) return -1;
  dsf_header& h = file->dsf;
  dsf_block_pair& pair = file->dsf_blocks;
  if (h.bytes_per_channel == 0) return -1;
  const uint32_t block = h.block_size;
  if (block == 0 || h.channel_number < 2 || pair.buffer == nullptr) return -1;
  const int n = max_bytes / 8 * 8;
  if (n <= 0) return 0;

  const uint8_t* left = pair.buffer.get();
  const uint8_t* right = left + block;
  int delivered = 0;
  while (delivered < n && h.bytes_per_channel > 0) {
    if (pair.position >= block) {
      if (!read_block_pair(file->fp.get(), h, pair.buffer.get())) {
        // Read error or early end of the file: reported once, as nothing is read after.
        report_early_end(*file, static_cast<int64_t>(h.bytes_per_channel), file->total_bytes / 2);
        h.bytes_per_channel = 0;
        break;
      }
      pair.position = 0;
    }
    // Positions of this pass: what is left of the block, of the request and
    // of the channel's bytes.
    const uint32_t k = static_cast<uint32_t>(std::min<uint64_t>(
        {uint64_t{block - pair.position}, static_cast<uint64_t>(n - delivered) / 2, h.bytes_per_channel}));
    for (uint32_t i = pair.position; i < pair.position + k; ++i) {
      dest[delivered++] = kBitReversed[left[i]];
      dest[delivered++] = kBitReversed[right[i]];
    }
    pair.position += k;
    h.bytes_per_channel -= k;
  }
  if (delivered == 0) return -1;
  return delivered;
}

void describe_dsd_stream(music_file* file) {
  constexpr uint16_t kDsdExtraSize = 22;
  constexpr uint32_t kDsdChannelMask = 1;
  wave_format& f = file->format;
  f.channels = 2;
  f.block_align = 2;
  f.bits_per_sample = 1;
  f.extra_size = kDsdExtraSize;
  f.channel_mask = kDsdChannelMask;
  std::fill_n(f.subformat, 4, uint8_t{0});
  f.bytes_per_second = f.sample_rate / 8 * 2;
  file->bytes_per_sample = 1;
}

namespace {

// DSDIFF and WSD store whole frames of every channel's byte one after the
// other: the stream moves on by whole frames.
bool seek_dsd_frames(music_file* file, int64_t frame) {
  const int32_t channels = file->file_channels;
  if (file->fp == nullptr || channels <= 0 || frame < 0 || frame >= file->dsd_bytes_left / channels) return false;
  const int64_t bytes = frame * channels;
  if (!skip_bytes(file->fp.get(), static_cast<uint64_t>(bytes))) return false;
  file->dsd_bytes_left -= bytes;
  return true;
}

}  // namespace

bool dff_seek(music_file* file, int64_t frame) { return seek_dsd_frames(file, frame); }

bool wsd_seek(music_file* file, int64_t frame) { return seek_dsd_frames(file, frame); }

// The data is blocks of block size bytes, each channel's block in turn: the
// pair holding the byte is read, delivery starts inside it.
bool dsf_seek(music_file* file, int64_t frame) {
  dsf_header& h = file->dsf;
  dsf_block_pair& pair = file->dsf_blocks;
  if (file->fp == nullptr || pair.buffer == nullptr || h.block_size == 0 || frame < 0 ||
      static_cast<uint64_t>(frame) >= h.bytes_per_channel) {
    return false;
  }
  const uint64_t block = static_cast<uint64_t>(frame) / h.block_size;
  uint64_t skipped = 0;  // a hostile channel count could overflow it
  if (__builtin_mul_overflow(block, uint64_t{h.channel_number} * h.block_size, &skipped) ||
      !skip_bytes(file->fp.get(), skipped) || !read_block_pair(file->fp.get(), h, pair.buffer.get())) {
    return false;
  }
  pair.position = static_cast<uint32_t>(static_cast<uint64_t>(frame) % h.block_size);
  h.bytes_per_channel -= static_cast<uint64_t>(frame);
  return true;
}
