#include "wav_writer.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>

namespace {

constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagFloat = 3;
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr uint16_t kExtensionBytes = 22;
constexpr uint32_t kRf64Placeholder = 0xFFFFFFFF;
constexpr uint32_t kDs64CountBytes = 24;  // RIFF size, data size, sample count
constexpr uint32_t kDs64Bytes = 28;       // the counts and an empty table
// The fixed tail of the KSDATAFORMAT_SUBTYPE_PCM / _IEEE_FLOAT GUIDs.
constexpr uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}
void put64(std::vector<uint8_t>& out, uint64_t v) {
  for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}
void put_id(std::vector<uint8_t>& out, const std::string& id) {
  for (size_t i = 0; i < 4; ++i) out.push_back(i < id.size() ? static_cast<uint8_t>(id[i]) : ' ');
}
void patch32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

void put_chunk(std::vector<uint8_t>& out, const wav_chunk& chunk) {
  put_id(out, chunk.id);
  put32(out, chunk.declared_size.value_or(static_cast<uint32_t>(chunk.body.size())));
  out.insert(out.end(), chunk.body.begin(), chunk.body.end());
  if (chunk.body.size() % 2 != 0) out.push_back(0);
}

void put_sample(std::vector<uint8_t>& out, sample_encoding encoding, int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  switch (encoding) {
    case sample_encoding::u8: out.push_back(static_cast<uint8_t>(u + 128)); break;
    case sample_encoding::s16: put16(out, static_cast<uint16_t>(u)); break;
    case sample_encoding::s24:
      for (int shift = 0; shift < 24; shift += 8) out.push_back(static_cast<uint8_t>(u >> shift));
      break;
    case sample_encoding::s24_in_32: put32(out, u << 8); break;
    case sample_encoding::s32: put32(out, u); break;
    case sample_encoding::float32: put32(out, std::bit_cast<uint32_t>(static_cast<float>(v / 2147483648.0))); break;
  }
}

bool is_float(sample_encoding encoding) { return encoding == sample_encoding::float32; }

uint16_t container_bits(sample_encoding encoding) { return static_cast<uint16_t>(8 * encoding_bytes(encoding)); }

uint16_t valid_bits(sample_encoding encoding) {
  return encoding == sample_encoding::s24_in_32 ? 24 : container_bits(encoding);
}

uint32_t channel_mask(uint16_t channels) {
  if (channels == 1) return 0x4;  // front centre
  return channels < 32 ? (1u << channels) - 1 : 0;
}

std::vector<uint8_t> fmt_body(const wav_spec& spec, bool extensible) {
  const uint16_t code = is_float(spec.encoding) ? kTagFloat : kTagPcm;
  const uint16_t tag = spec.format_tag.value_or(extensible ? kTagExtensible : code);
  const uint16_t block_align =
      spec.block_align.value_or(static_cast<uint16_t>(spec.channels * encoding_bytes(spec.encoding)));
  // A plain fmt of 4-byte containers with 24 valid bits says 24 bits, as
  // many writers do; the extensible one says 32 with 24 valid.
  const uint16_t bits =
      spec.bits_per_sample.value_or(extensible ? container_bits(spec.encoding) : valid_bits(spec.encoding));
  std::vector<uint8_t> body;
  put16(body, tag);
  put16(body, spec.channels);
  put32(body, spec.sample_rate);
  put32(body, spec.sample_rate * block_align);
  put16(body, block_align);
  put16(body, bits);
  if (extensible) {
    put16(body, kExtensionBytes);
    put16(body, valid_bits(spec.encoding));
    put32(body, channel_mask(spec.channels));
    put16(body, spec.subformat_code.value_or(code));
    body.insert(body.end(), std::begin(kGuidTail), std::end(kGuidTail));
  } else if (tag != kTagPcm) {
    put16(body, 0);  // every non-PCM fmt carries an (empty) extension size
  }
  if (spec.fmt_size) body.resize(*spec.fmt_size, 0);
  return body;
}

struct file_closer {
  void operator()(FILE* fp) const { fclose(fp); }
};

}  // namespace

int encoding_bytes(sample_encoding encoding) {
  switch (encoding) {
    case sample_encoding::u8: return 1;
    case sample_encoding::s16: return 2;
    case sample_encoding::s24: return 3;
    case sample_encoding::s24_in_32:
    case sample_encoding::s32:
    case sample_encoding::float32: return 4;
  }
  return 0;
}

std::vector<uint8_t> encode_samples(sample_encoding encoding, std::span<const int32_t> samples) {
  std::vector<uint8_t> out;
  out.reserve(samples.size() * static_cast<size_t>(encoding_bytes(encoding)));
  for (int32_t v : samples) put_sample(out, encoding, v);
  return out;
}

std::vector<uint8_t> encode_samples(sample_encoding encoding, std::span<const double> samples) {
  std::vector<uint8_t> out;
  out.reserve(samples.size() * static_cast<size_t>(encoding_bytes(encoding)));
  for (double x : samples) {
    if (is_float(encoding)) {
      put32(out, std::bit_cast<uint32_t>(static_cast<float>(x)));
      continue;
    }
    const int bits = encoding == sample_encoding::s24_in_32 ? 24 : 8 * encoding_bytes(encoding);
    const double full_scale = std::ldexp(1.0, bits - 1);
    const double scaled = std::clamp(std::round(x * full_scale), -full_scale, full_scale - 1);
    put_sample(out, encoding, static_cast<int32_t>(scaled));
  }
  return out;
}

std::vector<uint8_t> wav_bytes(const wav_spec& spec, std::span<const uint8_t> audio) {
  const bool rf64 = spec.container == wav_container::rf64 || spec.container == wav_container::rf64_extensible;
  const bool extensible =
      spec.container == wav_container::extensible || spec.container == wav_container::rf64_extensible;
  const std::vector<uint8_t> fmt = fmt_body(spec, extensible);
  const uint16_t block_align =
      spec.block_align.value_or(static_cast<uint16_t>(spec.channels * encoding_bytes(spec.encoding)));

  std::vector<uint8_t> out;
  put_id(out, rf64 ? "RF64" : "RIFF");
  put32(out, 0);  // patched below
  put_id(out, spec.form_type.value_or("WAVE"));
  size_t riff64_at = 0;
  if (rf64) {
    const uint32_t declared = spec.ds64_size.value_or(kDs64Bytes);
    put_id(out, "ds64");
    put32(out, declared);
    const size_t body_at = out.size();
    riff64_at = body_at;
    put64(out, 0);  // patched below
    put64(out, spec.ds64_data_size.value_or(audio.size()));
    put64(out, spec.ds64_sample_count.value_or(block_align == 0 ? 0 : audio.size() / block_align));
    put32(out, 0);  // no table entries
    out.resize(body_at + (declared >= kDs64CountBytes ? declared : kDs64Bytes), 0);
  }
  for (const wav_chunk& chunk : spec.before_fmt) put_chunk(out, chunk);
  put_chunk(out, {"fmt ", fmt, std::nullopt});
  for (const wav_chunk& chunk : spec.before_data) put_chunk(out, chunk);
  const uint32_t data_size = rf64 ? kRf64Placeholder : static_cast<uint32_t>(audio.size());
  put_chunk(out, {"data", std::vector<uint8_t>(audio.begin(), audio.end()), spec.data_size.value_or(data_size)});
  for (const wav_chunk& chunk : spec.after_data) put_chunk(out, chunk);

  const uint64_t riff_size = out.size() - 8;
  patch32(out, 4, spec.riff_size.value_or(rf64 ? kRf64Placeholder : static_cast<uint32_t>(riff_size)));
  if (rf64) {
    patch32(out, riff64_at, static_cast<uint32_t>(riff_size));
    patch32(out, riff64_at + 4, static_cast<uint32_t>(riff_size >> 32));
  }
  return out;
}

std::vector<uint8_t> wav_bytes(const wav_spec& spec, std::span<const int32_t> samples) {
  return wav_bytes(spec, encode_samples(spec.encoding, samples));
}

std::vector<uint8_t> wav_bytes(const wav_spec& spec, std::span<const double> samples) {
  return wav_bytes(spec, encode_samples(spec.encoding, samples));
}

bool write_file(const std::string& path, std::span<const uint8_t> bytes) {
  std::unique_ptr<FILE, file_closer> fp(fopen(path.c_str(), "wb"));
  if (!fp) return false;
  if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), fp.get()) != bytes.size()) return false;
  return fclose(fp.release()) == 0;
}

bool write_wav(const std::string& path, const wav_spec& spec, std::span<const double> samples) {
  return write_file(path, wav_bytes(spec, samples));
}

std::vector<double> tone(double frequency, double amplitude, uint32_t rate, double seconds, int channels) {
  const auto frames = static_cast<size_t>(std::llround(seconds * rate));
  std::vector<double> samples;
  samples.reserve(frames * static_cast<size_t>(channels));
  for (size_t i = 0; i < frames; ++i) {
    const double value = amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate);
    samples.insert(samples.end(), static_cast<size_t>(channels), value);
  }
  return samples;
}
