// Writes the seed corpus of the fuzz targets: make_fuzz_corpus <dir>
// creates <dir>/<target>/ for every target and fills it with small files,
// sound and damaged. A new reader adds its seed maker to kCorpora.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "dsd_writer.h"
#include "tag_writer.h"
#include "wav_writer.h"

namespace {

struct seed {
  std::string name;
  std::vector<uint8_t> bytes;
};

using seed_maker = std::vector<seed> (*)();

// 32 frames of a quiet tone on every channel.
std::vector<double> short_tone(int channels) { return tone(440, 0.5, 8000, 0.004, channels); }

std::vector<uint8_t> wav_seed(const wav_spec& spec) { return wav_bytes(spec, short_tone(spec.channels)); }

wav_chunk chunk(const char* id, size_t size) { return {id, std::vector<uint8_t>(size, 'x'), std::nullopt}; }

std::vector<seed> wav_seeds() {
  std::vector<seed> seeds;
  const std::pair<const char*, sample_encoding> encodings[] = {
      {"u8", sample_encoding::u8},   {"s16", sample_encoding::s16},
      {"s24", sample_encoding::s24}, {"s24in32", sample_encoding::s24_in_32},
      {"s32", sample_encoding::s32}, {"f32", sample_encoding::float32},
  };
  const std::pair<const char*, wav_container> containers[] = {
      {"wave", wav_container::wave},
      {"ext", wav_container::extensible},
      {"rf64", wav_container::rf64},
      {"rf64ext", wav_container::rf64_extensible},
  };
  for (const auto& [container_name, container] : containers) {
    for (const auto& [encoding_name, encoding] : encodings) {
      seeds.push_back({std::string(container_name) + "_" + encoding_name + ".wav",
                       wav_seed({.container = container, .encoding = encoding})});
    }
  }

  seeds.push_back({"mono_s16.wav", wav_seed({.channels = 1})});
  seeds.push_back({"mono_u8.wav", wav_seed({.encoding = sample_encoding::u8, .channels = 1})});
  seeds.push_back({"six_s24.wav", wav_seed({.encoding = sample_encoding::s24, .channels = 6})});
  seeds.push_back(
      {"ext_six_s32.wav",
       wav_seed({.container = wav_container::extensible, .encoding = sample_encoding::s32, .channels = 6})});

  // Chunks the reader must walk past.
  seeds.push_back({"list_odd.wav", wav_seed({.before_fmt = {chunk("LIST", 7)}})});
  seeds.push_back({"nkth_empty.wav", wav_seed({.before_data = {chunk("nkth", 0)}})});
  seeds.push_back({"junk_after_data.wav", wav_seed({.after_data = {chunk("JUNK", 5)}})});
  seeds.push_back({"data_before_fmt.wav", wav_seed({.before_fmt = {chunk("data", 8)}})});
  seeds.push_back({"rf64_table.wav", wav_seed({.container = wav_container::rf64, .ds64_size = 40})});
  seeds.push_back({"list_huge.wav", wav_seed({.before_fmt = {{"LIST", {}, 0xFFFFFFFF}}})});

  // Damaged and foreign files.
  seeds.push_back({"fmt_cut.wav", wav_seed({.container = wav_container::extensible, .fmt_size = 16})});
  seeds.push_back({"fmt_44.wav", wav_seed({.container = wav_container::extensible, .fmt_size = 44})});
  seeds.push_back({"fmt_46.wav", wav_seed({.fmt_size = 46})});
  seeds.push_back({"data_huge.wav", wav_seed({.data_size = 0xFFFFFFF0})});
  seeds.push_back({"data_empty.wav", wav_seed({.data_size = 0})});
  seeds.push_back({"rf64_mismatch.wav", wav_seed({.container = wav_container::rf64, .ds64_sample_count = 7})});
  seeds.push_back({"rf64_ds64_small.wav", wav_seed({.container = wav_container::rf64, .ds64_size = 20})});
  seeds.push_back({"rf64_riff_size.wav", wav_seed({.container = wav_container::rf64, .riff_size = 100})});
  seeds.push_back({"alaw.wav", wav_seed({.encoding = sample_encoding::u8, .format_tag = 6})});
  seeds.push_back({"adpcm.wav", wav_seed({.format_tag = 2})});
  seeds.push_back({"align3.wav", wav_seed({.block_align = 3})});
  seeds.push_back({"channels0.wav", wav_seed({.channels = 0, .block_align = 4})});
  seeds.push_back({"rate0.wav", wav_seed({.sample_rate = 0})});

  std::vector<uint8_t> cut = wav_seed({.encoding = sample_encoding::s24, .channels = 6});
  cut.resize(cut.size() - 7);
  seeds.push_back({"cut_frame.wav", cut});
  cut.resize(30);
  seeds.push_back({"cut_header.wav", cut});
  return seeds;
}

// DSD seeds: a few hundred bytes of numbered channel data each.
std::vector<uint8_t> dff_seed(const dff_spec& spec, int channels, size_t bytes = 40) {
  return dff_bytes(spec, interleave_channels(numbered_channels(channels, bytes)));
}

dff_chunk dff_raw(const char* id, size_t size) { return {id, std::vector<uint8_t>(size, 'x')}; }

std::vector<seed> dff_seeds() {
  std::vector<seed> seeds;
  seeds.push_back({"stereo.dff", dff_seed({}, 2)});
  seeds.push_back({"mstereo.dff", dff_seed({.channel_ids = {"MLFT", "MRGT"}}, 2)});
  seeds.push_back({"five.dff", dff_seed({.channel_ids = {"C   ", "SLFT", "SRGT", "LS  ", "RS  "}}, 5)});
  seeds.push_back({"six.dff", dff_seed({.channel_ids = {"SLFT", "SRGT", "C   ", "LFE ", "LS  ", "RS  "}}, 6)});
  seeds.push_back({"odd_chunks.dff", dff_seed({.before_prop = {dff_raw("COMT", 7)},
                                               .in_prop = {dff_raw("ODD ", 3)},
                                               .after_prop = {dff_raw("DIIN", 1)}},
                                              2)});
  seeds.push_back({"tags_after.dff", dff_seed({.after_sound = {dff_raw("ID3 ", 33), dff_raw("COMT", 8)}}, 2, 13)});
  seeds.push_back({"dst.dff", dff_seed({.compression = "DST ", .sound_id = "DST "}, 2)});
  seeds.push_back({"cmpr_name_long.dff",
                   dff_seed({.compression = std::nullopt, .in_prop = {{"CMPR", {'D', 'S', 'D', ' ', 200, 'a'}}}}, 2)});
  seeds.push_back({"no_fs.dff", dff_seed({.fs = false}, 2)});
  seeds.push_back({"no_right.dff", dff_seed({.channel_ids = {"SLFT", "C   "}}, 2)});
  seeds.push_back({"overshoot.dff", dff_seed({.before_prop = {{"COMT", {1, 2}, 0xFFFFFFFFFFFFFFF0u}}}, 2)});
  seeds.push_back(
      {"sound_huge.dff", dff_seed({.sound_size = 0x7000000000000000u, .form_size = 0x7FFFFFFFFFFFFFF0u}, 2)});
  std::vector<uint8_t> cut = dff_seed({}, 2);
  cut.resize(cut.size() - 11);
  seeds.push_back({"cut_sound.dff", cut});
  cut.resize(60);
  seeds.push_back({"cut_prop.dff", cut});
  return seeds;
}

std::vector<uint8_t> wsd_seed(const wsd_spec& spec, int channels, size_t bytes = 40) {
  wsd_spec small = spec;
  small.data_offset = 64;  // keeps the seeds small; the header is 52 bytes
  return wsd_bytes(small, interleave_channels(numbered_channels(channels, bytes)));
}

std::vector<seed> wsd_seeds() {
  std::vector<seed> seeds;
  seeds.push_back({"stereo.wsd", wsd_seed({}, 2)});
  seeds.push_back({"swapped.wsd", wsd_seed({.assignment = 0x68000000}, 2)});
  seeds.push_back({"centre.wsd", wsd_seed({.channels = 3, .assignment = 0x38000000}, 3)});
  seeds.push_back({"six.wsd", wsd_seed({.channels = 6, .assignment = 0x7C000000}, 6)});
  seeds.push_back({"eight.wsd", wsd_seed({.channels = 8, .assignment = 0x4C000000}, 8)});
  seeds.push_back({"nine.wsd", wsd_seed({.channels = 9}, 9)});
  seeds.push_back({"zero.wsd", wsd_seed({.channels = 0}, 2)});
  seeds.push_back({"right_outside.wsd", wsd_seed({.channels = 3, .assignment = 0x7C000000}, 3)});
  seeds.push_back({"trailing.wsd", wsd_seed({.trailing = std::vector<uint8_t>(21, 0xFF)}, 2, 5)});
  seeds.push_back({"size_small.wsd", wsd_seed({.file_size = 10}, 2)});
  seeds.push_back({"size_huge.wsd", wsd_seed({.file_size = 0xFFFFFFFFFFFFFF00u}, 2)});
  return seeds;
}

std::vector<seed> dsf_seeds() {
  std::vector<seed> seeds;
  const auto dsf_seed = [](const dsf_spec& spec, int channels, size_t bytes) {
    return dsf_bytes(spec, numbered_channels(channels, bytes));
  };
  // Small blocks keep the seeds small; they also print the block-size warning.
  seeds.push_back({"stereo.dsf", dsf_seed({.block_size = 16}, 2, 40)});
  seeds.push_back({"odd_samples.dsf", dsf_seed({.block_size = 16, .sample_count = 301}, 2, 38)});
  seeds.push_back({"five.dsf", dsf_seed({.block_size = 8, .channel_type = 6}, 5, 20)});
  seeds.push_back({"block4096.dsf", dsf_seed({}, 2, 9)});
  seeds.push_back({"eight_bit.dsf", dsf_seed({.block_size = 16, .bits_per_sample = 8}, 2, 16)});
  seeds.push_back({"mono.dsf", dsf_seed({.block_size = 16}, 1, 16)});
  seeds.push_back({"block0.dsf", dsf_seed({.block_size = 16, .declared_block_size = 0}, 2, 16)});
  seeds.push_back({"count_huge.dsf", dsf_seed({.block_size = 16, .sample_count = 0xFFFFFFFFFFFFFFF0u}, 2, 16)});
  seeds.push_back({"count_over.dsf", dsf_seed({.block_size = 16, .sample_count = 100000}, 2, 16)});
  seeds.push_back({"tagged.dsf", dsf_seed({.block_size = 16, .metadata = {'I', 'D', '3', 3, 0}}, 2, 20)});
  return seeds;
}

std::vector<seed> id3v2_seeds() {
  const id3_frames frames{{"TIT2", "Title"}, {"TPE1", "Artist"}, {"TXXX", "REPLAYGAIN_TRACK_GAIN=-6.00 dB"}};
  return {{"v24_utf8.id3", id3v2_tag(frames, 4, 3)}, {"v23_utf16.id3", id3v2_tag(frames, 3, 1)}};
}

struct corpus {
  const char* target;  // the fuzz target's name without "fuzz_"
  seed_maker make;
};

// The players' conversion targets take every kind of file.
std::vector<seed> every_reader_seed() {
  std::vector<seed> seeds;
  for (const seed_maker make : {wav_seeds, dff_seeds, wsd_seeds, dsf_seeds}) {
    for (seed& s : make()) seeds.push_back(std::move(s));
  }
  return seeds;
}

constexpr corpus kCorpora[] = {
    {"wav", wav_seeds},
    {"dff", dff_seeds},
    {"wsd", wsd_seeds},
    {"dsf", dsf_seeds},
    {"id3v2", id3v2_seeds},
    {"brisa_steps", every_reader_seed},
    {"lumen_steps", every_reader_seed},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <dir>\n", argv[0]);
    return 2;
  }
  for (const corpus& c : kCorpora) {
    const std::filesystem::path dir = std::filesystem::path(argv[1]) / c.target;
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
      fprintf(stderr, "cannot create %s: %s\n", dir.c_str(), error.message().c_str());
      return 1;
    }
    for (const seed& s : c.make()) {
      if (!write_file((dir / s.name).string(), s.bytes)) {
        fprintf(stderr, "cannot write %s\n", (dir / s.name).c_str());
        return 1;
      }
    }
  }
  return 0;
}
