// Writes DSDIFF, WSD and DSF test files, in memory or to a path, from the
// bytes of each channel; chunk layout and header fields can be overridden to
// build damaged or hostile files.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// One byte sequence per channel, all of the same length.
using channel_bytes = std::vector<std::vector<uint8_t>>;

// The file frames of DSDIFF and WSD: byte i of every channel, channel by
// channel, then byte i + 1.
std::vector<uint8_t> interleave_channels(const channel_bytes& channels);

// Channel c of `count` channels: bytes that tell the channel and the
// position apart ((c + 1) << 5 | position % 32), so a test sees which byte
// landed where.
channel_bytes numbered_channels(int count, size_t bytes_per_channel);

// Every byte with its bits in the other order: DSF stores a byte's earliest
// bit last, DSDIFF first.
uint8_t bits_reversed(uint8_t b);
channel_bytes bits_reversed(channel_bytes channels);

// A chunk written as is: id, size, body, and the pad byte when the body is
// odd. declared_size replaces the size field (the body is still written whole).
struct dff_chunk {
  std::string id;  // four characters
  std::vector<uint8_t> body{};
  std::optional<uint64_t> declared_size{};
};

// DSDIFF: "FRM8" form "DSD " with [FVER] [before_prop] PROP "SND " {FS, CHNL,
// CMPR, ABSS, LSCO, in_prop} [after_prop] sound chunk [after_sound].
struct dff_spec {
  uint32_t sample_rate = 2822400;
  bool fver = true;
  bool fs = true;
  // CHNL ids in frame order; no CHNL sub-chunk when empty.
  std::vector<std::string> channel_ids{"SLFT", "SRGT"};
  std::optional<uint16_t> channel_count{};          // the CHNL count word, else the number of ids
  std::optional<std::string> compression = "DSD ";  // CMPR type; no CMPR when unset
  std::string compression_name = "not compressed";
  bool abss = true;
  bool lsco = true;

  std::vector<dff_chunk> before_prop{};  // top level, after FVER
  std::vector<dff_chunk> in_prop{};      // PROP sub-chunks after the standard ones
  std::vector<dff_chunk> after_prop{};   // top level, before the sound chunk
  std::vector<dff_chunk> after_sound{};  // tags and comments after the sound data

  std::string sound_id = "DSD ";
  std::optional<uint64_t> sound_size{};  // declared size of the sound chunk
  std::optional<uint64_t> prop_size{};   // declared size of PROP
  std::optional<uint64_t> form_size{};   // declared size of FRM8
};

// `frames` is the sound chunk body: file frames as interleave_channels makes.
std::vector<uint8_t> dff_bytes(const dff_spec& spec, std::span<const uint8_t> frames);

// WSD: a 2048-byte header ("1bit", fields big-endian), then the frames.
struct wsd_spec {
  uint32_t sample_rate = 2822400;
  uint8_t channels = 2;
  uint32_t assignment = 0;  // first byte: the layout code
  uint8_t version = 0x11;
  uint32_t data_offset = 2048;
  std::optional<uint64_t> file_size{};  // header field; else data offset + frames
  std::vector<uint8_t> trailing{};      // written after the frames, outside file_size
};

std::vector<uint8_t> wsd_bytes(const wsd_spec& spec, std::span<const uint8_t> frames);

// DSF: "DSD " (28 bytes), "fmt " (52 bytes), "data" with the channel blocks
// (each block_size bytes, the last ones zero-padded), then the metadata.
struct dsf_spec {
  uint32_t sample_rate = 2822400;
  uint32_t block_size = 4096;                     // how the blocks are laid out
  std::optional<uint32_t> declared_block_size{};  // the fmt field, else block_size
  uint32_t bits_per_sample = 1;
  uint32_t format_id = 0;
  uint32_t channel_type = 2;
  std::optional<uint32_t> channel_number{};  // else the number of channels given
  std::optional<uint64_t> sample_count{};    // else 8 x the bytes per channel
  std::vector<uint8_t> metadata{};
};

// channels[c] holds channel c as stored: the earliest sample in bit 0.
std::vector<uint8_t> dsf_bytes(const dsf_spec& spec, const channel_bytes& channels);

bool write_dff(const std::string& path, const dff_spec& spec, std::span<const uint8_t> frames);
bool write_wsd(const std::string& path, const wsd_spec& spec, std::span<const uint8_t> frames);
bool write_dsf(const std::string& path, const dsf_spec& spec, const channel_bytes& channels);
