#include "hostile_files.h"

#include <algorithm>

#include "dsd_writer.h"
#include "wav_writer.h"

namespace {

// An ID3v2 tag whose sizes lie: the tag claims the most a size can say,
// its one frame more than that, behind an extended header and
// unsynchronisation.
std::vector<uint8_t> lying_id3(uint8_t version) {
  return {'I', 'D', '3', version, 0,   0xC0, 0x7F, 0x7F, 0x7F, 0x7F, 0,    0, 0, 6, 0,    0,    0,
          0,   0,   0,   'T',     'I', 'T',  '2',  0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0xFF, 0xFE, 'x'};
}

constexpr uint32_t kHostileRates[] = {0, 1, 100, 2050, 7999, 1u << 24, 1u << 31, 0xFFFFFFFFu};

std::string rate_name(uint32_t rate) { return "rate" + std::to_string(rate); }

// Every prefix length that cuts a header field or the first frames.
void add_truncations(std::vector<hostile_file>& out, const std::string& ext, const std::vector<uint8_t>& whole,
                     std::initializer_list<size_t> lengths) {
  for (const size_t n : lengths) {
    const size_t cut = std::min(n, whole.size());
    out.push_back({"cut" + std::to_string(n) + ext, std::vector<uint8_t>(whole.begin(), whole.begin() + cut)});
  }
}

std::vector<hostile_file> wav_battery() {
  const std::vector<int32_t> samples(2 * 1000, 1000);
  const auto wav = [&](const wav_spec& spec) { return wav_bytes(spec, samples); };
  std::vector<hostile_file> out;
  out.push_back({"good.wav", wav({})});
  add_truncations(out, ".wav", wav({}), {0, 4, 11, 12, 20, 30, 36, 40, 44, 45});
  for (const uint32_t rate : kHostileRates) out.push_back({rate_name(rate) + ".wav", wav({.sample_rate = rate})});
  for (const uint16_t channels : {0, 3, 8, 65535}) {
    out.push_back({"channels" + std::to_string(channels) + ".wav", wav({.channels = channels})});
  }
  for (const uint16_t align : {0, 1, 3, 65535}) {
    out.push_back({"align" + std::to_string(align) + ".wav", wav({.block_align = align})});
  }
  for (const uint16_t bits : {0, 7, 12, 64}) {
    out.push_back({"bits" + std::to_string(bits) + ".wav", wav({.bits_per_sample = bits})});
  }
  out.push_back({"header_only.wav", wav_bytes(wav_spec{}, std::span<const int32_t>{})});
  out.push_back({"data_huge.wav", wav({.data_size = 0xFFFFFFFFu})});
  out.push_back({"fmt_zero.wav", wav({.fmt_size = 0})});
  out.push_back({"fmt_huge.wav", wav({.fmt_size = 1u << 16})});  // the writer pads the body out
  out.push_back({"tag_mp3.wav", wav({.format_tag = 0x55})});
  out.push_back({"float16.wav", wav({.format_tag = 3})});
  out.push_back({"ext_junk.wav", wav({.container = wav_container::extensible, .subformat_code = 0x1234})});
  out.push_back({"chunk_huge.wav", wav({.before_data = {{"junk", {1, 2, 3}, 0xFFFFFFF0u}}})});
  out.push_back({"rf64_disagree.wav", wav({.container = wav_container::rf64, .ds64_sample_count = 7})});
  out.push_back(
      {"rf64_huge.wav",
       wav({.container = wav_container::rf64, .ds64_data_size = 1ull << 62, .ds64_sample_count = 1ull << 60})});
  out.push_back({"rf64_ds64_huge.wav", wav({.container = wav_container::rf64, .ds64_size = 1u << 16})});
  out.push_back({"tag_list_huge.wav", wav({.after_data = {{"LIST", {'I', 'N', 'F', 'O'}, 0xFFFFFFF0u}}})});
  out.push_back(
      {"tag_info_huge.wav",
       wav({.after_data = {{"LIST", {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 0xFF, 0xFF, 0xFF, 0x7F, 'x'}}}})});
  out.push_back({"tag_id3_lies.wav", wav({.after_data = {{"id3 ", lying_id3(3)}}})});
  return out;
}

std::vector<hostile_file> dff_battery() {
  const std::vector<uint8_t> frames = interleave_channels(numbered_channels(2, 4096));
  const auto dff = [&](const dff_spec& spec) { return dff_bytes(spec, frames); };
  std::vector<hostile_file> out;
  out.push_back({"good.dff", dff({})});
  add_truncations(out, ".dff", dff({}), {0, 4, 12, 16, 30, 60, 100, 150});
  for (const uint32_t rate : kHostileRates) out.push_back({rate_name(rate) + ".dff", dff({.sample_rate = rate})});
  out.push_back({"rate44100.dff", dff({.sample_rate = 44100})});
  out.push_back({"no_fs.dff", dff({.fs = false})});
  out.push_back({"chnl_unknown.dff", dff({.channel_ids = {"SLFT", "XXXX"}})});
  out.push_back({"chnl_count.dff", dff({.channel_count = 200})});
  out.push_back({"chnl_none.dff", dff({.channel_ids = {}})});
  out.push_back({"dst.dff", dff({.compression = "DST "})});
  out.push_back({"form_huge.dff", dff({.form_size = 1ull << 63})});
  out.push_back({"form_small.dff", dff({.form_size = 8})});
  out.push_back({"prop_huge.dff", dff({.prop_size = 0xFFFFFFFFFFFFull})});
  out.push_back({"sound_huge.dff", dff({.sound_size = 1ull << 62})});
  out.push_back({"sound_empty.dff", dff_bytes(dff_spec{}, std::span<const uint8_t>{})});
  out.push_back({"sub_huge.dff", dff({.in_prop = {{"XYZW", {1}, 1ull << 40}}})});
  out.push_back(
      {"tag_diti_huge.dff",
       dff({.after_sound = {{"DIIN", {'D', 'I', 'T', 'I', 0, 0, 0, 0, 0, 0, 0, 5, 0xFF, 0xFF, 0xFF, 0xFF, 'x'}}}})});
  out.push_back({"tag_id3_lies.dff", dff({.after_sound = {{"ID3 ", lying_id3(4)}}})});
  return out;
}

std::vector<hostile_file> wsd_battery() {
  const std::vector<uint8_t> frames = interleave_channels(numbered_channels(2, 4096));
  const auto wsd = [&](const wsd_spec& spec) { return wsd_bytes(spec, frames); };
  std::vector<hostile_file> out;
  out.push_back({"good.wsd", wsd({})});
  add_truncations(out, ".wsd", wsd({}), {0, 4, 20, 40, 52, 2047, 2048, 2049});
  for (const uint32_t rate : kHostileRates) out.push_back({rate_name(rate) + ".wsd", wsd({.sample_rate = rate})});
  for (const uint8_t channels : {0, 1, 9, 255}) {
    out.push_back({"channels" + std::to_string(channels) + ".wsd", wsd({.channels = channels})});
  }
  out.push_back({"assign_bad.wsd", wsd({.assignment = 0x01000001})});
  out.push_back({"offset_past_end.wsd", wsd({.data_offset = 1u << 20})});  // written out: not 4 GB
  out.push_back({"size_small.wsd", wsd({.file_size = 10})});
  out.push_back({"size_huge.wsd", wsd({.file_size = 1ull << 63})});
  out.push_back({"header_only.wsd", wsd_bytes(wsd_spec{}, std::span<const uint8_t>{})});
  return out;
}

std::vector<hostile_file> dsf_battery() {
  const channel_bytes channels = numbered_channels(2, 4096);
  const auto dsf = [&](const dsf_spec& spec) { return dsf_bytes(spec, channels); };
  std::vector<hostile_file> out;
  out.push_back({"good.dsf", dsf({})});
  add_truncations(out, ".dsf", dsf({}), {0, 4, 12, 28, 40, 60, 80, 92, 100});
  for (const uint32_t rate : kHostileRates) out.push_back({rate_name(rate) + ".dsf", dsf({.sample_rate = rate})});
  for (const uint32_t block : {0u, 1u, 7u, 1u << 25}) {
    out.push_back({"block" + std::to_string(block) + ".dsf", dsf({.declared_block_size = block})});
  }
  out.push_back({"channels0.dsf", dsf({.channel_number = 0})});
  out.push_back({"channels_huge.dsf", dsf({.channel_number = 0xFFFFFFFFu})});
  out.push_back({"bits8.dsf", dsf({.bits_per_sample = 8})});
  out.push_back({"format_dst.dsf", dsf({.format_id = 1})});
  out.push_back({"count_zero.dsf", dsf({.sample_count = 0})});
  out.push_back({"count_2pow62.dsf", dsf({.sample_count = 1ull << 62})});
  out.push_back({"count_max.dsf", dsf({.sample_count = ~0ull})});
  out.push_back({"tag_id3_lies.dsf", dsf({.metadata = lying_id3(4)})});
  return out;
}

}  // namespace

std::vector<hostile_file> hostile_files(const std::string& format) {
  if (format == "wav") return wav_battery();
  if (format == "dff") return dff_battery();
  if (format == "wsd") return wsd_battery();
  if (format == "dsf") return dsf_battery();
  return {};
}
