// Writes WAVE, WAVE_FORMAT_EXTENSIBLE and RF64 test files, in memory or to
// a path, from interleaved sample values; every header field can be
// overridden to build damaged or hostile files.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// How the samples are stored. s24_in_32 keeps 24 valid bits in the upper
// three bytes of a 4-byte container (the low byte is zero).
enum class sample_encoding { u8, s16, s24, s24_in_32, s32, float32 };

// Bytes of one sample's container.
int encoding_bytes(sample_encoding encoding);

// Encodes interleaved samples. Integers are the stored signed value at the
// encoding's width (s24_in_32 takes the 24-bit value; u8 adds 128; float32
// divides by 2^31); doubles in [-1, 1) are scaled to full scale and clipped.
std::vector<uint8_t> encode_samples(sample_encoding encoding, std::span<const int32_t> samples);
std::vector<uint8_t> encode_samples(sample_encoding encoding, std::span<const double> samples);

// A chunk written as is: id, body, the pad byte when the body is odd.
// declared_size replaces the size word (the body is still written whole).
struct wav_chunk {
  std::string id;  // four characters
  std::vector<uint8_t> body{};
  std::optional<uint32_t> declared_size{};
};

enum class wav_container { wave, extensible, rf64, rf64_extensible };

struct wav_spec {
  wav_container container = wav_container::wave;
  sample_encoding encoding = sample_encoding::s16;
  uint16_t channels = 2;
  uint32_t sample_rate = 44100;

  std::vector<wav_chunk> before_fmt{};   // between the RIFF header (or ds64) and "fmt "
  std::vector<wav_chunk> before_data{};  // between "fmt " and "data"
  std::vector<wav_chunk> after_data{};

  // Field overrides; unset fields follow from the encoding and channels.
  std::optional<uint16_t> format_tag{};      // the fmt tag (extensible: still the tag, not the GUID)
  std::optional<uint16_t> subformat_code{};  // first two GUID bytes of an extensible fmt
  std::optional<uint16_t> block_align{};
  std::optional<uint16_t> bits_per_sample{};
  std::optional<uint32_t> fmt_size{};      // body is cut or zero-extended to this size
  std::optional<uint32_t> data_size{};     // the 32-bit size word of "data"
  std::optional<uint32_t> riff_size{};     // the 32-bit size word after "RIFF"/"RF64"
  std::optional<std::string> form_type{};  // "WAVE"
  std::optional<uint32_t> ds64_size{};     // declared ds64 size (24 or more is also written)
  std::optional<uint64_t> ds64_data_size{};
  std::optional<uint64_t> ds64_sample_count{};
};

// The file's bytes with `audio` (already encoded) as the data chunk body.
std::vector<uint8_t> wav_bytes(const wav_spec& spec, std::span<const uint8_t> audio);
std::vector<uint8_t> wav_bytes(const wav_spec& spec, std::span<const int32_t> samples);
std::vector<uint8_t> wav_bytes(const wav_spec& spec, std::span<const double> samples);

// Writes bytes to path; false when the file cannot be written.
bool write_file(const std::string& path, std::span<const uint8_t> bytes);
bool write_wav(const std::string& path, const wav_spec& spec, std::span<const double> samples);

// seconds x rate frames of a sine, the same on every channel, interleaved.
std::vector<double> tone(double frequency, double amplitude, uint32_t rate, double seconds, int channels = 2);
