#include "wav.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "sample_format.h"
#include "wav_writer.h"

namespace {

// The ALSA sample format codes, spelled out as the dispatch receives them.
static_assert(kFormatU8 == 1 && kFormatS16_LE == 2 && kFormatS24_LE == 6 && kFormatS32_LE == 10 &&
              kFormatFloat_LE == 14 && kFormatS24_3LE == 32);

// A WAV file held in memory, opened read-only through stdio.
class memory_wav {
 public:
  explicit memory_wav(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
    file_.fp.reset(fmemopen(bytes_.data(), bytes_.size(), "rb"));
  }
  memory_wav(const memory_wav&) = delete;
  memory_wav& operator=(const memory_wav&) = delete;

  music_file& file() { return file_; }
  int open() { return wav_open(&file_); }
  int read(std::vector<uint8_t>& dest, int max) {
    dest.assign(static_cast<size_t>(std::max(max, 0)) + 16, 0xEE);
    return wav_read(&file_, dest.data(), max);
  }
  // Reads until -1 in calls of max bytes; every call must return whole frames.
  std::vector<uint8_t> read_all(int max) {
    std::vector<uint8_t> all, chunk;
    for (int n; (n = read(chunk, max)) != -1;) {
      EXPECT_GT(n, 0);
      EXPECT_LE(n, max);
      EXPECT_EQ(n % file_.format.block_align, 0);
      all.insert(all.end(), chunk.begin(), chunk.begin() + n);
    }
    return all;
  }

 private:
  std::vector<uint8_t> bytes_;
  music_file file_{};
};

// Interleaved samples whose value tells frame and channel apart.
std::vector<int32_t> numbered_samples(int frames, int channels, int32_t scale) {
  std::vector<int32_t> samples;
  for (int f = 0; f < frames; ++f)
    for (int c = 0; c < channels; ++c) samples.push_back(((f * 16 + c + 1) * scale) % (scale * 100));
  return samples;
}

// What the reader should deliver from encoded audio: channels 0 and 1 of
// every frame, or the single channel twice.
std::vector<uint8_t> first_two_channels(const std::vector<uint8_t>& audio, int channels, int sample_bytes) {
  std::vector<uint8_t> out;
  const size_t frame = static_cast<size_t>(channels * sample_bytes);
  const auto s = static_cast<size_t>(sample_bytes);
  for (size_t at = 0; at + frame <= audio.size(); at += frame) {
    out.insert(out.end(), audio.begin() + at, audio.begin() + at + s);
    const size_t second = channels == 1 ? at : at + s;
    out.insert(out.end(), audio.begin() + second, audio.begin() + second + s);
  }
  return out;
}

int open_bytes(const std::vector<uint8_t>& bytes) {
  memory_wav wav(bytes);
  testing::internal::CaptureStderr();  // short reads may say "fread() failed."
  const int result = wav.open();
  testing::internal::GetCapturedStderr();
  return result;
}

TEST(WavOpen, CanonicalStereoHeader) {
  const std::vector<int32_t> samples = numbered_samples(100, 2, 100);
  const std::vector<uint8_t> audio = encode_samples(sample_encoding::s16, samples);
  memory_wav wav(wav_bytes(wav_spec{}, audio));
  ASSERT_EQ(wav.open(), 0);
  EXPECT_EQ(ftello(wav.file().fp.get()), 44);  // at the first audio byte
  EXPECT_EQ(wav.file().file_channels, 2);
  EXPECT_EQ(wav.file().total_bytes, 400);
  EXPECT_EQ(wav.file().remaining_bytes, 400);
  EXPECT_EQ(wav.file().format.sample_rate, 44100u);
  ASSERT_TRUE(describe_wav_stream(&wav.file()));
  EXPECT_EQ(wav.file().input_format, kInputWav);
  EXPECT_EQ(wav.file().bytes_per_sample, 2);
  EXPECT_EQ(wav.file().sample_format, kFormatS16_LE);
  EXPECT_EQ(wav.read_all(3072), audio);
  EXPECT_EQ(wav.file().remaining_bytes, 0);
}

TEST(WavOpen, ShortFmtLeavesTheExtensionZero) {
  memory_wav wav(wav_bytes(wav_spec{}, std::vector<int32_t>(8, 1)));
  ASSERT_EQ(wav.open(), 0);
  const wave_format& f = wav.file().format;
  EXPECT_EQ(f.extra_size, 0);
  EXPECT_EQ(f.valid_bits, 0);
  EXPECT_EQ(f.channel_mask, 0u);
  EXPECT_EQ(std::vector<uint8_t>(f.subformat, f.subformat + 16), std::vector<uint8_t>(16, 0));
}

TEST(WavOpen, ExtensibleFieldsAreDecodedLittleEndian) {
  wav_spec spec{.container = wav_container::extensible, .encoding = sample_encoding::s24_in_32, .channels = 6};
  spec.sample_rate = 0x00017700;  // 96000: every byte of the word matters
  memory_wav wav(wav_bytes(spec, numbered_samples(4, 6, 1000)));
  ASSERT_EQ(wav.open(), 0);
  const wave_format& f = wav.file().format;
  EXPECT_EQ(f.format_tag, 0xFFFE);  // the file's own tag is kept
  EXPECT_EQ(f.sample_rate, 96000u);
  EXPECT_EQ(f.bytes_per_second, 96000u * 24);
  EXPECT_EQ(f.extra_size, 22);
  EXPECT_EQ(f.valid_bits, 24);
  EXPECT_EQ(f.channel_mask, 0x3Fu);
  EXPECT_EQ(f.subformat[0], 1);
  EXPECT_EQ(f.subformat[15], 0x71);
  // Normalised to the delivered stream.
  EXPECT_EQ(f.channels, 2);
  EXPECT_EQ(f.block_align, 8);
  EXPECT_EQ(f.bits_per_sample, 32);
  EXPECT_EQ(wav.file().file_channels, 6);
}

struct encoding_case {
  sample_encoding encoding;
  int32_t alsa_format;
  int bytes_per_sample;
};

class EveryEncoding : public testing::TestWithParam<std::tuple<wav_container, encoding_case>> {};

TEST_P(EveryEncoding, PassesSamplesThroughAsStored) {
  const auto [container, c] = GetParam();
  wav_spec spec{.container = container, .encoding = c.encoding};
  const std::vector<double> samples = tone(1000, 0.9, 44100, 0.05);
  const std::vector<uint8_t> audio = encode_samples(c.encoding, samples);
  memory_wav wav(wav_bytes(spec, audio));
  ASSERT_EQ(wav.open(), 0);
  ASSERT_TRUE(describe_wav_stream(&wav.file()));
  EXPECT_EQ(wav.file().sample_format, c.alsa_format);
  EXPECT_EQ(wav.file().bytes_per_sample, c.bytes_per_sample);
  EXPECT_EQ(wav.file().total_bytes, static_cast<int64_t>(audio.size()));
  EXPECT_EQ(wav.read_all(1000), audio);
}

INSTANTIATE_TEST_SUITE_P(Containers, EveryEncoding,
                         testing::Combine(testing::Values(wav_container::wave, wav_container::extensible,
                                                          wav_container::rf64, wav_container::rf64_extensible),
                                          testing::Values(encoding_case{sample_encoding::u8, kFormatU8, 1},
                                                          encoding_case{sample_encoding::s16, kFormatS16_LE, 2},
                                                          encoding_case{sample_encoding::s24, kFormatS24_3LE, 3},
                                                          // 24 valid bits in 4 bytes play as 32-bit samples.
                                                          encoding_case{sample_encoding::s24_in_32, kFormatS32_LE, 4},
                                                          encoding_case{sample_encoding::s32, kFormatS32_LE, 4},
                                                          encoding_case{sample_encoding::float32, kFormatFloat_LE,
                                                                        4})));

TEST(WavRead, SixChannelsDeliverTheFirstTwo) {
  wav_spec spec{.encoding = sample_encoding::s24, .channels = 6};
  const std::vector<uint8_t> audio = encode_samples(sample_encoding::s24, numbered_samples(5000, 6, 1000));
  memory_wav wav(wav_bytes(spec, audio));
  ASSERT_EQ(wav.open(), 0);
  EXPECT_EQ(wav.file().total_bytes, static_cast<int64_t>(audio.size() / 3));
  // 5000 frames of 18 bytes span several of the reader's internal runs.
  EXPECT_EQ(wav.read_all(65532), first_two_channels(audio, 6, 3));
  memory_wav again(wav_bytes(spec, audio));
  ASSERT_EQ(again.open(), 0);
  EXPECT_EQ(again.read_all(6 * 777), first_two_channels(audio, 6, 3));
}

TEST(WavRead, MonoIsDeliveredOnBothChannels) {
  wav_spec spec{.channels = 1};
  const std::vector<uint8_t> audio = encode_samples(sample_encoding::s16, numbered_samples(300, 1, 7));
  memory_wav wav(wav_bytes(spec, audio));
  ASSERT_EQ(wav.open(), 0);
  EXPECT_EQ(wav.file().file_channels, 1);
  EXPECT_EQ(wav.file().format.channels, 2);
  EXPECT_EQ(wav.file().format.block_align, 4);
  EXPECT_EQ(wav.file().total_bytes, 1200);
  EXPECT_EQ(wav.read_all(100), first_two_channels(audio, 1, 2));
}

TEST(WavRead, FramesLargerThanTheReadBufferAreSplit) {
  // 20000 channels of 16 bits: 40000-byte file frames.
  constexpr int kChannels = 20000;
  wav_spec spec{.channels = kChannels};
  std::vector<uint8_t> audio = encode_samples(sample_encoding::s16, numbered_samples(3, kChannels, 3));
  memory_wav wav(wav_bytes(spec, audio));
  ASSERT_EQ(wav.open(), 0);
  EXPECT_EQ(wav.read_all(8), first_two_channels(audio, kChannels, 2));

  // Cut inside the third frame: two frames, then the end.
  std::vector<uint8_t> bytes = wav_bytes(spec, audio);
  bytes.resize(bytes.size() - 100);
  memory_wav cut(bytes);
  ASSERT_EQ(cut.open(), 0);
  std::vector<uint8_t> dest;
  EXPECT_EQ(cut.read(dest, 100), 8);
  EXPECT_EQ(0, memcmp(dest.data(), first_two_channels(audio, kChannels, 2).data(), 8));
  EXPECT_EQ(cut.read(dest, 100), -1);
}

TEST(WavRead, RequestSizesRoundDownToWholeFrames) {
  memory_wav s16(wav_bytes(wav_spec{}, tone(440, 0.5, 44100, 0.1)));
  ASSERT_EQ(s16.open(), 0);
  const off_t start = ftello(s16.file().fp.get());
  std::vector<uint8_t> dest;
  EXPECT_EQ(s16.read(dest, 3), -1);  // less than one frame: nothing read
  EXPECT_EQ(ftello(s16.file().fp.get()), start);
  EXPECT_EQ(s16.read(dest, 0), -1);
  EXPECT_EQ(s16.read(dest, -5), -1);
  EXPECT_EQ(s16.read(dest, 1000), 1000);
  EXPECT_EQ(dest[1000], 0xEE);  // nothing written past the count
  EXPECT_EQ(s16.file().remaining_bytes, s16.file().total_bytes - 1000);

  memory_wav s24(wav_bytes(wav_spec{.encoding = sample_encoding::s24}, tone(440, 0.5, 44100, 0.1)));
  ASSERT_EQ(s24.open(), 0);
  EXPECT_EQ(s24.read(dest, 1000), 996);
  EXPECT_EQ(s24.file().remaining_bytes, s24.file().total_bytes - 996);
}

TEST(WavRead, StopsAtTheDeclaredDataSize) {
  // A chunk after "data" is not audio.
  wav_spec spec{.after_data = {{"LIST", std::vector<uint8_t>(64, 0x55), std::nullopt}}};
  const std::vector<uint8_t> audio = encode_samples(sample_encoding::s16, numbered_samples(10, 2, 5));
  memory_wav wav(wav_bytes(spec, audio));
  ASSERT_EQ(wav.open(), 0);
  EXPECT_EQ(wav.read_all(7 * 4), audio);
}

TEST(WavRead, ShortFileEndsEarlyThenReportsTheEnd) {
  // Declares a huge data chunk, then holds 10 frames and part of one more.
  for (const auto& [channels, encoding] :
       {std::pair{2, sample_encoding::s16}, std::pair{6, sample_encoding::s24}, std::pair{1, sample_encoding::s16}}) {
    SCOPED_TRACE(channels);
    const int s = encoding_bytes(encoding);
    wav_spec spec{.encoding = encoding, .channels = static_cast<uint16_t>(channels), .data_size = 0xFFFFFFF0};
    std::vector<uint8_t> audio = encode_samples(encoding, numbered_samples(11, channels, 5));
    audio.resize(audio.size() - 1);
    std::vector<uint8_t> bytes = wav_bytes(spec, audio);
    if (audio.size() % 2 != 0) bytes.pop_back();  // no pad byte to complete the frame
    memory_wav wav(bytes);
    ASSERT_EQ(wav.open(), 0);
    const int64_t total = int64_t{2} * 0xFFFFFFF0 / channels;
    EXPECT_EQ(wav.file().total_bytes, total);
    const std::vector<uint8_t> expected = first_two_channels(audio, channels, s);
    ASSERT_EQ(expected.size(), static_cast<size_t>(10 * 2 * s));
    std::vector<uint8_t> dest;
    EXPECT_EQ(wav.read(dest, 4096), 20 * s);
    EXPECT_EQ(0, memcmp(dest.data(), expected.data(), expected.size()));
    EXPECT_EQ(wav.file().remaining_bytes, total - 20 * s);
    EXPECT_EQ(wav.read(dest, 4096), -1);
    EXPECT_EQ(wav.file().remaining_bytes, total - 20 * s);  // unchanged by a failed read
  }
}

TEST(WavOpen, SkipsForeignChunksWithTheirPadByte) {
  wav_spec spec;
  spec.before_fmt = {{"LIST", std::vector<uint8_t>(7, 'l'), std::nullopt}, {"JUNK", {}, std::nullopt}};
  spec.before_data = {{"nkth", {}, std::nullopt}, {"fact", {4, 0, 0, 0}, std::nullopt}};
  const std::vector<uint8_t> audio = encode_samples(sample_encoding::s16, numbered_samples(4, 2, 5));
  memory_wav wav(wav_bytes(spec, audio));
  ASSERT_EQ(wav.open(), 0);
  EXPECT_EQ(wav.read_all(4096), audio);
}

TEST(WavOpen, DataBeforeFmtIsSkippedAndThenMissed) {
  wav_spec spec;
  spec.before_fmt = {{"data", std::vector<uint8_t>(8, 1), std::nullopt}};
  std::vector<uint8_t> bytes = wav_bytes(spec, std::vector<uint8_t>{});
  // Drop the real "data" chunk (empty: 8 bytes at the end).
  bytes.resize(bytes.size() - 8);
  EXPECT_EQ(open_bytes(bytes), -1);
}

TEST(WavOpen, WaveSizesAreNotCutTo32Bits) {
  // 2 x data size / channels overflows 32 bits for these.
  memory_wav stereo(wav_bytes(wav_spec{.data_size = 0xFFFFFFFC}, std::vector<int32_t>(8, 1)));
  ASSERT_EQ(stereo.open(), 0);
  EXPECT_EQ(stereo.file().total_bytes, int64_t{0xFFFFFFFC});
  memory_wav mono(wav_bytes(wav_spec{.channels = 1, .data_size = 0x90000000}, std::vector<int32_t>(8, 1)));
  ASSERT_EQ(mono.open(), 0);
  EXPECT_EQ(mono.file().total_bytes, int64_t{0x120000000});
}

TEST(WavOpen, SkipsAChunkOfFourGigabytes) {
  // A LIST chunk of size 0xFFFFFFFF plus its pad byte: 2^32 bytes to skip,
  // in a sparse temporary file.
  FILE* fp = tmpfile();
  ASSERT_NE(fp, nullptr);
  const std::vector<uint8_t> audio = encode_samples(sample_encoding::s16, numbered_samples(4, 2, 5));
  const std::vector<uint8_t> tail = wav_bytes(wav_spec{}, audio);
  const std::vector<uint8_t> head = {'R', 'I', 'F', 'F', 0xFF, 0xFF, 0xFF, 0xFF, 'W',  'A',
                                     'V', 'E', 'L', 'I', 'S',  'T',  0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_EQ(fwrite(head.data(), 1, head.size(), fp), head.size());
  // A decoy at the start of the LIST body, for a skip cut to 32 bits to find.
  const std::vector<uint8_t> decoy = wav_bytes(wav_spec{.encoding = sample_encoding::u8, .channels = 1}, audio);
  ASSERT_EQ(fwrite(decoy.data() + 12, 1, decoy.size() - 12, fp), decoy.size() - 12);
  // The chunks of the small file after its 12-byte RIFF header.
  ASSERT_EQ(fseeko(fp, static_cast<off_t>(head.size()) + (off_t{1} << 32), SEEK_SET), 0);
  ASSERT_EQ(fwrite(tail.data() + 12, 1, tail.size() - 12, fp), tail.size() - 12);
  rewind(fp);
  music_file file{};
  file.fp.reset(fp);
  ASSERT_EQ(wav_open(&file), 0);
  EXPECT_EQ(file.file_channels, 2);
  EXPECT_EQ(file.format.bits_per_sample, 16);
  std::vector<uint8_t> dest(64);
  EXPECT_EQ(wav_read(&file, dest.data(), 64), 16);
  dest.resize(16);
  EXPECT_EQ(dest, audio);
}

TEST(WavOpen, FailedSeekFailsTheOpen) {
  // A pipe cannot seek. The LIST body holds a decoy fmt and data that a
  // reader ignoring the failed skip would take for the file's own.
  wav_spec decoy_spec{.encoding = sample_encoding::u8, .channels = 1};
  const std::vector<uint8_t> decoy = wav_bytes(decoy_spec, std::vector<int32_t>(4, 0));
  wav_spec spec;
  spec.before_fmt = {{"LIST", std::vector<uint8_t>(decoy.begin() + 12, decoy.end()), std::nullopt}};
  const std::vector<uint8_t> bytes = wav_bytes(spec, std::vector<int32_t>(8, 1));
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fds[1]);
  music_file file{};
  file.fp.reset(fdopen(fds[0], "rb"));
  ASSERT_NE(file.fp, nullptr);
  EXPECT_EQ(wav_open(&file), -1);
}

TEST(WavOpen, RefusesWhatIsNotRiffWave) {
  std::vector<uint8_t> bytes = wav_bytes(wav_spec{}, std::vector<int32_t>(8, 1));
  std::vector<uint8_t> rifx = bytes;
  memcpy(rifx.data(), "RIFX", 4);
  EXPECT_EQ(open_bytes(rifx), -1);
  EXPECT_EQ(open_bytes(wav_bytes(wav_spec{.form_type = "AVI "}, std::vector<int32_t>(8, 1))), -1);
  EXPECT_EQ(open_bytes({'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0}), -1);
  EXPECT_EQ(open_bytes({}), -1);
}

TEST(WavOpen, EveryTruncatedHeaderIsRefused) {
  wav_spec spec{.container = wav_container::rf64_extensible};
  spec.before_fmt = {{"LIST", std::vector<uint8_t>(5, 'l'), std::nullopt}};
  const std::vector<uint8_t> bytes = wav_bytes(spec, std::vector<int32_t>(8, 1));
  const size_t header = bytes.size() - 16;
  for (size_t length = 0; length < header; ++length) {
    SCOPED_TRACE(length);
    EXPECT_EQ(open_bytes(std::vector<uint8_t>(bytes.begin(), bytes.begin() + length)), -1);
  }
  EXPECT_EQ(open_bytes(std::vector<uint8_t>(bytes.begin(), bytes.begin() + header)), 0);
}

TEST(WavOpen, FmtSizeLimits) {
  wav_spec spec{.container = wav_container::extensible};
  spec.fmt_size = 44;  // the whole block, spare included
  EXPECT_EQ(open_bytes(wav_bytes(spec, std::vector<int32_t>(8, 1))), 0);
  spec.fmt_size = 46;
  EXPECT_EQ(open_bytes(wav_bytes(spec, std::vector<int32_t>(8, 1))), -1);
}

// Each mutation makes a file this reader must refuse (the dispatch then
// offers it to the next reader).
struct refusal_case {
  const char* name;
  std::function<void(wav_spec&)> spoil;
};

class Refused : public testing::TestWithParam<refusal_case> {};

TEST_P(Refused, OpenFails) {
  wav_spec spec;
  GetParam().spoil(spec);
  EXPECT_LT(open_bytes(wav_bytes(spec, std::vector<int32_t>(24, 1))), 0);
}

const refusal_case kRefusals[] = {
    {"NoChannels",
     [](wav_spec& s) {
       s.channels = 0;
       s.block_align = 4;
     }},
    {"NoBlockAlign", [](wav_spec& s) { s.block_align = 0; }},
    {"BlockAlignNotWholeSamples", [](wav_spec& s) { s.block_align = 3; }},
    {"BlockAlignBelowChannels", [](wav_spec& s) { s.block_align = 1; }},
    {"SixChannelsBlockAlignFour",
     [](wav_spec& s) {
       s.channels = 6;
       s.block_align = 4;
     }},
    {"NoSampleRate", [](wav_spec& s) { s.sample_rate = 0; }},
    {"FloatInThreeBytes",
     [](wav_spec& s) {
       s.format_tag = 3;
       s.encoding = sample_encoding::s24;
     }},
    {"Adpcm", [](wav_spec& s) { s.format_tag = 2; }},
    {"ALaw",
     [](wav_spec& s) {
       s.format_tag = 6;
       s.encoding = sample_encoding::u8;
     }},
    {"MuLaw",
     [](wav_spec& s) {
       s.format_tag = 7;
       s.encoding = sample_encoding::u8;
     }},
    {"Mpeg", [](wav_spec& s) { s.format_tag = 0x55; }},
    {"ExtensibleAdpcm",
     [](wav_spec& s) {
       s.container = wav_container::extensible;
       s.subformat_code = 2;
     }},
    {"ExtensibleWithoutExtension",
     [](wav_spec& s) {
       s.container = wav_container::extensible;
       s.fmt_size = 16;
     }},
    {"EmptyFmt", [](wav_spec& s) { s.fmt_size = 0; }},
    {"Rf64RiffSizeNotPlaceholder",
     [](wav_spec& s) {
       s.container = wav_container::rf64;
       s.riff_size = 1000;
     }},
    {"Rf64Ds64TooSmall",
     [](wav_spec& s) {
       s.container = wav_container::rf64;
       s.ds64_size = 20;
     }},
    {"Rf64SampleCountMismatch",
     [](wav_spec& s) {
       s.container = wav_container::rf64;
       s.ds64_sample_count = 11;
     }},
    {"Rf64DataSizeNotWholeFrames",
     [](wav_spec& s) {
       s.container = wav_container::rf64;
       s.ds64_data_size = 50;
     }},
    // 4 x (2^62 + 12) wraps to 48, the data size: the product must not wrap.
    {"Rf64SampleCountWraps",
     [](wav_spec& s) {
       s.container = wav_container::rf64;
       s.ds64_sample_count = (uint64_t{1} << 62) + 12;
     }},
};

INSTANTIATE_TEST_SUITE_P(Hostile, Refused, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<refusal_case>& param_info) { return param_info.param.name; });

// 64-bit float files are recognised so the players can say which bit length
// they do not support; nothing is delivered from them.
TEST(WavOpen, WideContainersAreRecognisedButNotDelivered) {
  wav_spec spec{.format_tag = 3, .block_align = 16, .bits_per_sample = 64};
  memory_wav wav(wav_bytes(spec, std::vector<uint8_t>(160, 0)));
  ASSERT_EQ(wav.open(), 0);
  EXPECT_EQ(wav.file().format.bits_per_sample, 64);
  EXPECT_FALSE(describe_wav_stream(&wav.file()));
  std::vector<uint8_t> dest;
  EXPECT_EQ(wav.read(dest, 1000), -1);
}

TEST(WavOpen, Rf64Ds64MustComeFirst) {
  std::vector<uint8_t> bytes = wav_bytes(wav_spec{.container = wav_container::rf64}, std::vector<int32_t>(8, 1));
  memcpy(bytes.data() + 12, "JUNK", 4);
  EXPECT_EQ(open_bytes(bytes), -1);
}

TEST(WavOpen, Rf64CountsComeFromDs64) {
  // Over 4 GiB of data declared; the file itself holds only the start.
  constexpr uint64_t kDataBytes = 6'000'000'000;
  wav_spec spec{.container = wav_container::rf64};
  spec.ds64_data_size = kDataBytes;
  spec.ds64_sample_count = kDataBytes / 4;
  spec.ds64_size = 40;  // a table follows the counts
  memory_wav wav(wav_bytes(spec, std::vector<int32_t>(8, 1)));
  ASSERT_EQ(wav.open(), 0);
  EXPECT_EQ(wav.file().total_bytes, static_cast<int64_t>(kDataBytes));
  EXPECT_EQ(wav.read_all(4096).size(), 16u);

  wav_spec six{.container = wav_container::rf64, .encoding = sample_encoding::s24, .channels = 6};
  six.ds64_data_size = kDataBytes * 18 / 6;  // a whole number of 18-byte frames
  six.ds64_sample_count = kDataBytes / 6;
  memory_wav wav6(wav_bytes(six, std::vector<int32_t>(6, 1)));
  ASSERT_EQ(wav6.open(), 0);
  EXPECT_EQ(wav6.file().total_bytes, static_cast<int64_t>(2 * *six.ds64_data_size / 6));
}

TEST(DescribeWavStream, ContainerWidths) {
  struct width_case {
    uint16_t format_tag, channels, block_align, bits;
    uint16_t subformat;
    bool ok;
    int32_t alsa_format;
  };
  const width_case cases[] = {
      {1, 2, 2, 8, 0, true, kFormatU8},
      {1, 2, 4, 16, 0, true, kFormatS16_LE},
      {1, 2, 6, 24, 0, true, kFormatS24_3LE},
      {1, 2, 8, 24, 0, true, kFormatS24_LE},  // a stream that says 24 bits in 4 bytes
      {1, 2, 8, 32, 0, true, kFormatS32_LE},
      {3, 2, 8, 32, 0, true, kFormatFloat_LE},
      {0xFFFE, 2, 8, 32, 3, true, kFormatFloat_LE},
      {0xFFFE, 2, 8, 32, 1, true, kFormatS32_LE},
      {3, 2, 16, 64, 0, false, 0},
      {1, 2, 4, 12, 0, false, 0},
      {1, 0, 4, 16, 0, false, 0},
  };
  for (const width_case& c : cases) {
    SCOPED_TRACE(testing::Message() << "tag " << c.format_tag << " bits " << c.bits);
    music_file file{};
    file.format.format_tag = c.format_tag;
    file.format.channels = c.channels;
    file.format.block_align = c.block_align;
    file.format.bits_per_sample = c.bits;
    file.format.subformat[0] = static_cast<uint8_t>(c.subformat);
    EXPECT_EQ(describe_wav_stream(&file), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(file.input_format, kInputWav);
    EXPECT_EQ(file.sample_format, c.alsa_format);
    EXPECT_EQ(file.bytes_per_sample, c.block_align / c.channels);
  }
}

TEST(MakePlayList, LinksCopiesAndTerminates) {
  std::string a = "a.wav", b = "dir/b.wav", c = std::string(300, 'x');
  play_list list = make_play_list({a, b, c});
  a[0] = 'z';  // the list keeps its own copies
  play_list moved = std::move(list);
  ASSERT_EQ(moved.count(), 3);
  ASSERT_EQ(moved.records.size(), 4u);
  music_file* record = moved.first();
  for (int i = 0; i < 3; ++i, record = record->next) {
    EXPECT_EQ(record->index, i);
    EXPECT_EQ(record->fp, nullptr);
    EXPECT_EQ(record->played_count, 0);
    EXPECT_EQ(record->next, &moved.records[static_cast<size_t>(i) + 1]);
  }
  EXPECT_STREQ(moved.records[0].file_name, "a.wav");
  EXPECT_STREQ(moved.records[1].file_name, "dir/b.wav");
  EXPECT_EQ(moved.records[2].file_name, c);
  EXPECT_EQ(record->index, -1);
  EXPECT_EQ(record->next, nullptr);
  EXPECT_EQ(record->file_name, nullptr);

  play_list empty = make_play_list({});
  EXPECT_EQ(empty.count(), 0);
  ASSERT_EQ(empty.records.size(), 1u);
  EXPECT_EQ(empty.first()->index, -1);
}

}  // namespace
