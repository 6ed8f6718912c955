#include "dsd_writer.h"

#include <algorithm>

#include "wav_writer.h"

namespace {

using bytes = std::vector<uint8_t>;

void put_id(bytes& out, const std::string& id) {
  for (size_t i = 0; i < 4; ++i) out.push_back(i < id.size() ? static_cast<uint8_t>(id[i]) : ' ');
}

void put_be(bytes& out, uint64_t value, int width) {
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put_le(bytes& out, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void append(bytes& out, std::span<const uint8_t> more) { out.insert(out.end(), more.begin(), more.end()); }

// A DSDIFF chunk: id, 64-bit big-endian size, body, pad byte when odd.
void put_dff_chunk(bytes& out, const std::string& id, std::span<const uint8_t> body,
                   std::optional<uint64_t> declared_size = std::nullopt) {
  put_id(out, id);
  put_be(out, declared_size.value_or(body.size()), 8);
  append(out, body);
  if (body.size() % 2 != 0) out.push_back(0);
}

void put_dff_chunks(bytes& out, const std::vector<dff_chunk>& chunks) {
  for (const dff_chunk& chunk : chunks) put_dff_chunk(out, chunk.id, chunk.body, chunk.declared_size);
}

bytes dff_properties(const dff_spec& spec) {
  bytes prop;
  put_id(prop, "SND ");
  if (spec.fs) {
    bytes fs;
    put_be(fs, spec.sample_rate, 4);
    put_dff_chunk(prop, "FS  ", fs);
  }
  if (!spec.channel_ids.empty()) {
    bytes chnl;
    put_be(chnl, spec.channel_count.value_or(static_cast<uint16_t>(spec.channel_ids.size())), 2);
    for (const std::string& id : spec.channel_ids) put_id(chnl, id);
    put_dff_chunk(prop, "CHNL", chnl);
  }
  if (spec.compression) {
    // Type, count byte, name, and a pad byte that makes count + name even.
    bytes cmpr;
    put_id(cmpr, *spec.compression);
    cmpr.push_back(static_cast<uint8_t>(spec.compression_name.size()));
    cmpr.insert(cmpr.end(), spec.compression_name.begin(), spec.compression_name.end());
    if (spec.compression_name.size() % 2 == 0) cmpr.push_back(0);
    put_dff_chunk(prop, "CMPR", cmpr);
  }
  if (spec.abss) {
    bytes abss;
    put_be(abss, 0, 2);  // hours
    abss.push_back(0);   // minutes
    abss.push_back(0);   // seconds
    put_be(abss, 0, 4);  // samples
    put_dff_chunk(prop, "ABSS", abss);
  }
  if (spec.lsco) {
    bytes lsco;
    put_be(lsco, 0, 2);  // stereo
    put_dff_chunk(prop, "LSCO", lsco);
  }
  put_dff_chunks(prop, spec.in_prop);
  return prop;
}

}  // namespace

std::vector<uint8_t> interleave_channels(const channel_bytes& channels) {
  bytes frames;
  if (channels.empty()) return frames;
  for (size_t i = 0; i < channels[0].size(); ++i)
    for (const auto& channel : channels) frames.push_back(channel[i]);
  return frames;
}

uint8_t bits_reversed(uint8_t b) {
  uint8_t r = 0;
  for (int i = 0; i < 8; ++i)
    if (b & (1u << i)) r = static_cast<uint8_t>(r | 0x80u >> i);
  return r;
}

channel_bytes bits_reversed(channel_bytes channels) {
  for (auto& channel : channels) {
    for (uint8_t& b : channel) b = bits_reversed(b);
  }
  return channels;
}

channel_bytes numbered_channels(int count, size_t bytes_per_channel) {
  channel_bytes channels(static_cast<size_t>(count));
  for (int c = 0; c < count; ++c)
    for (size_t i = 0; i < bytes_per_channel; ++i)
      channels[static_cast<size_t>(c)].push_back(static_cast<uint8_t>((c + 1) << 5 | (i % 32)));
  return channels;
}

std::vector<uint8_t> dff_bytes(const dff_spec& spec, std::span<const uint8_t> frames) {
  bytes form;
  put_id(form, "DSD ");
  if (spec.fver) {
    bytes version;
    put_be(version, 0x01050000, 4);
    put_dff_chunk(form, "FVER", version);
  }
  put_dff_chunks(form, spec.before_prop);
  put_dff_chunk(form, "PROP", dff_properties(spec), spec.prop_size);
  put_dff_chunks(form, spec.after_prop);
  put_dff_chunk(form, spec.sound_id, frames, spec.sound_size);
  put_dff_chunks(form, spec.after_sound);

  bytes out;
  put_id(out, "FRM8");
  put_be(out, spec.form_size.value_or(form.size()), 8);
  append(out, form);
  return out;
}

std::vector<uint8_t> wsd_bytes(const wsd_spec& spec, std::span<const uint8_t> frames) {
  const uint64_t header_bytes = std::max<uint64_t>(spec.data_offset, 52);
  const uint64_t file_size = spec.file_size.value_or(spec.data_offset + frames.size());
  const uint64_t bytes_per_second = std::max<uint64_t>(uint64_t{spec.sample_rate} / 8 * spec.channels, 1);
  bytes out;
  put_id(out, "1bit");
  put_be(out, 0, 4);
  out.push_back(spec.version);
  put_be(out, 0, 3);
  put_be(out, file_size, 8);
  put_be(out, 128, 4);  // text offset: not read by the players
  put_be(out, spec.data_offset, 4);
  put_be(out, 0, 4);
  put_be(out, frames.size() / bytes_per_second, 4);  // playback time
  put_be(out, spec.sample_rate, 4);
  put_be(out, 0, 4);
  out.push_back(spec.channels);
  put_be(out, 0, 3);
  put_be(out, spec.assignment, 4);
  out.resize(header_bytes, 0);
  append(out, frames);
  append(out, spec.trailing);
  return out;
}

std::vector<uint8_t> dsf_bytes(const dsf_spec& spec, const channel_bytes& channels) {
  const size_t per_channel = channels.empty() ? 0 : channels[0].size();
  const size_t block = std::max<size_t>(spec.block_size, 1);
  const size_t blocks = (per_channel + block - 1) / block;
  bytes data;
  for (size_t b = 0; b < blocks; ++b) {
    for (const auto& channel : channels) {
      const size_t from = b * block;
      const size_t to = std::min(from + block, channel.size());
      data.insert(data.end(), channel.begin() + static_cast<ptrdiff_t>(from),
                  channel.begin() + static_cast<ptrdiff_t>(to));
      data.resize(data.size() + (block - (to - from)), 0);
    }
  }

  constexpr uint64_t kDsdChunkBytes = 28, kFmtChunkBytes = 52, kDataHeaderBytes = 12;
  const uint64_t total = kDsdChunkBytes + kFmtChunkBytes + kDataHeaderBytes + data.size() + spec.metadata.size();
  bytes out;
  put_id(out, "DSD ");
  put_le(out, kDsdChunkBytes, 8);
  put_le(out, total, 8);
  put_le(out, spec.metadata.empty() ? 0 : total - spec.metadata.size(), 8);
  put_id(out, "fmt ");
  put_le(out, kFmtChunkBytes, 8);
  put_le(out, 1, 4);  // format version
  put_le(out, spec.format_id, 4);
  put_le(out, spec.channel_type, 4);
  put_le(out, spec.channel_number.value_or(static_cast<uint32_t>(channels.size())), 4);
  put_le(out, spec.sample_rate, 4);
  put_le(out, spec.bits_per_sample, 4);
  put_le(out, spec.sample_count.value_or(8 * uint64_t{per_channel}), 8);
  put_le(out, spec.declared_block_size.value_or(spec.block_size), 4);
  put_le(out, 0, 4);  // reserved
  put_id(out, "data");
  put_le(out, kDataHeaderBytes + data.size(), 8);
  append(out, data);
  append(out, spec.metadata);
  return out;
}

bool write_dff(const std::string& path, const dff_spec& spec, std::span<const uint8_t> frames) {
  return write_file(path, dff_bytes(spec, frames));
}

bool write_wsd(const std::string& path, const wsd_spec& spec, std::span<const uint8_t> frames) {
  return write_file(path, wsd_bytes(spec, frames));
}

bool write_dsf(const std::string& path, const dsf_spec& spec, const channel_bytes& channels) {
  return write_file(path, dsf_bytes(spec, channels));
}
