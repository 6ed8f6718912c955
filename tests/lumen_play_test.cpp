// lumen end to end: the real binaries against the real ALSA library. After
// the second of lead-in, what the fake DAC received must be the input,
// bit for bit, in the device's format.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "alsa_env.h"
#include "analyser.h"
#include "band_energy.h"
#include "dsd_capture.h"
#include "dsd_writer.h"
#include "process.h"
#include "util.h"
#include "wav_writer.h"

namespace {

using bytes = std::vector<uint8_t>;

class LumenPlays : public testing::Test {
 protected:
  void dac(std::vector<std::string> formats, fake_dac_options options = {}) {
    options.formats = std::move(formats);
    env_.add_fake_dac("dac", options);
  }

  std::string write(const std::string& name, const bytes& content) {
    EXPECT_TRUE(write_file(env_.file(name), content));
    return env_.file(name);
  }

  process_result play(std::vector<std::string> words, const std::string& program = "lumen",
                      process_options options = {}) {
    words.insert(words.begin(), built_program(program));
    return env_.run(words, options);
  }
  // A paced run whose capture is compared or timed.
  process_result play_unbroken(std::vector<std::string> words, const std::string& program = "lumen",
                               const process_options& options = {}) {
    words.insert(words.begin(), built_program(program));
    return env_.run_unbroken(words, options);
  }
  process_result play_on_dac(std::vector<std::string> files, const std::string& program = "lumen") {
    files.insert(files.begin(), {"-D", "dac"});
    return play(files, program);
  }

  // What the DAC got after `lead_in` frames of frame_bytes, which must all
  // repeat `silence` (whole frames).
  bytes music(size_t lead_in, size_t frame_bytes, const bytes& silence) {
    const std::string all = read_captured(env_.dac_output("dac"));
    const size_t skip = lead_in * frame_bytes;
    EXPECT_GE(all.size(), skip);
    if (all.size() < skip) return {};
    for (size_t i = 0; i < skip; ++i) {
      if (static_cast<uint8_t>(all[i]) != silence[i % silence.size()]) {
        ADD_FAILURE() << "lead-in byte " << i << " is " << int(static_cast<uint8_t>(all[i]));
        break;
      }
    }
    return bytes(all.begin() + static_cast<std::ptrdiff_t>(skip), all.end());
  }
  bytes music(size_t lead_in, size_t frame_bytes, uint8_t fill = 0) {
    return music(lead_in, frame_bytes, bytes(frame_bytes, fill));
  }

  alsa_env env_;
};

// Stereo samples whose values cover the range, both signs and both channels.
std::vector<int32_t> ramp_samples(size_t frames, int32_t amplitude) {
  std::vector<int32_t> samples;
  for (size_t i = 0; i < 2 * frames; ++i) {
    samples.push_back(static_cast<int32_t>((static_cast<int64_t>(i) * 7919 % (2 * int64_t{amplitude})) - amplitude));
  }
  return samples;
}

// Each 32-bit sample value, as the little-endian bytes of its top `width` bytes.
bytes top_bytes(const std::vector<int64_t>& values32, int width) {
  bytes out;
  for (const int64_t v : values32) {
    const auto word = static_cast<uint32_t>(v);
    for (int i = 4 - width; i < 4; ++i) out.push_back(static_cast<uint8_t>(word >> (8 * i)));
  }
  return out;
}

std::vector<int64_t> scaled(const std::vector<int32_t>& samples, int shift) {
  std::vector<int64_t> out;
  for (const int32_t s : samples) out.push_back(static_cast<int64_t>(static_cast<uint32_t>(s) << shift));
  return out;
}

constexpr size_t kFrames = 20000;

// Frames of the 5 ms fades around a cut at 44.1 kHz: ramped, so no longer
// the file's own.
constexpr int64_t kFadeFrames = 44100 * 5 / 1000;

// Without -D the last card that plays is taken, on its first playback
// device: a card after it that only records is passed over.
TEST_F(LumenPlays, TheLastCardThatPlaysIsTakenOnItsFirstPlaybackDevice) {
  dac({"S16_LE"});
  env_.route_hw(1, 2, "dac");
  env_.add_cards({{.number = 1, .longname = "Some DAC at usb-3", .playback = {5, 2}},
                  {.number = 3, .longname = "Webcam at usb-4", .playback = {}, .capture = {0}}});
  const std::vector<int32_t> samples(2 * 4410, 0);
  const process_result run = play({write("a.wav", wav_bytes(wav_spec{.sample_rate = 44100}, samples))});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("last device hw:1,2\n"), std::string::npos) << run.out;
}

TEST_F(LumenPlays, SixteenBitWaveIntoA32BitDacIsBitPerfect) {
  dac({"S16_LE", "S32_LE"});
  const std::vector<int32_t> samples = ramp_samples(kFrames, 32768);
  const process_result run = play_on_dac({write("a.wav", wav_bytes(wav_spec{}, samples))});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("Open 44100Hzfs PCM stream\n"), std::string::npos);
  EXPECT_EQ(music(44100, 8), top_bytes(scaled(samples, 16), 4));
}

TEST_F(LumenPlays, TwentyFourBitWaveIntoA24BitDacIsBitPerfect) {
  dac({"S16_LE", "S24_3LE"}, {.rate_min = 8000, .rate_max = 192000});
  const std::vector<int32_t> samples = ramp_samples(kFrames, 1 << 23);
  const wav_spec spec{.container = wav_container::rf64, .encoding = sample_encoding::s24, .sample_rate = 96000};
  const process_result run = play_on_dac({write("a.wav", wav_bytes(spec, samples))});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("Open 96000Hzfs PCM stream\n"), std::string::npos);
  EXPECT_EQ(music(96000, 6), top_bytes(scaled(samples, 8), 3));
}

TEST_F(LumenPlays, ThirtyTwoBitWaveIntoA16BitDacIsTruncated) {
  dac({"S16_LE"});
  const std::vector<int32_t> samples = ramp_samples(kFrames, INT32_MAX / 2);
  const process_result run =
      play_on_dac({write("a.wav", wav_bytes(wav_spec{.encoding = sample_encoding::s32}, samples))});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(music(44100, 4), top_bytes(scaled(samples, 0), 2));
}

TEST_F(LumenPlays, EightBitAndFloatWaves) {
  dac({"S32_LE"});
  const std::vector<int32_t> u8 = ramp_samples(kFrames, 128);
  process_result run = play_on_dac({write("a.wav", wav_bytes(wav_spec{.encoding = sample_encoding::u8}, u8))});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(music(44100, 8), top_bytes(scaled(u8, 24), 4));

  // Float 0.5 is 2^30; 1.0 and beyond saturate to the largest value.
  const std::vector<double> floats = {0.5, -0.5, 1.0, -1.0, 1.5, -2.0, 0.25, 0.0};
  std::vector<double> many;
  for (size_t i = 0; i < kFrames / 4; ++i) many.insert(many.end(), floats.begin(), floats.end());
  wav_spec float_spec{.encoding = sample_encoding::float32};
  std::vector<uint8_t> audio;
  for (const double f : many) {
    const float value = static_cast<float>(f);
    uint8_t raw[4];
    memcpy(raw, &value, 4);
    audio.insert(audio.end(), raw, raw + 4);
  }
  run = play_on_dac({write("f.wav", wav_bytes(float_spec, audio))});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  std::vector<int64_t> expected;
  for (const double f : many) {
    expected.push_back(f >= 1.0 ? INT32_MAX : f <= -1.0 ? INT32_MIN : static_cast<int64_t>(f * 2147483648.0));
  }
  EXPECT_EQ(music(44100, 8), top_bytes(expected, 4));
}

TEST_F(LumenPlays, A24BitContainerDacGetsTheSampleInItsLowThreeBytes) {
  dac({"S24_LE"});
  const std::vector<int32_t> samples = ramp_samples(kFrames, 32768);
  const process_result run = play_on_dac({write("a.wav", wav_bytes(wav_spec{}, samples))});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  bytes expected;
  for (const int32_t s : samples) {
    const auto word = static_cast<uint32_t>(s * 256);  // 24-bit value, sign-extended container
    for (int i = 0; i < 4; ++i) expected.push_back(static_cast<uint8_t>(word >> (8 * i)));
  }
  EXPECT_EQ(music(44100, 8), expected);
}

TEST_F(LumenPlays, ChannelCutsWriteSilence) {
  dac({"S32_LE"});
  const std::vector<int32_t> samples = ramp_samples(kFrames, 32768);
  const process_result run = play_on_dac({"--left-cut", write("a.wav", wav_bytes(wav_spec{}, samples))});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  std::vector<int64_t> expected = scaled(samples, 16);
  for (size_t i = 0; i < expected.size(); i += 2) expected[i] = 0;
  EXPECT_EQ(music(44100, 8), top_bytes(expected, 4));
}

TEST_F(LumenPlays, FlacThroughFfmpegIsBitPerfect) {
  dac({"S32_LE"});
  const std::vector<int32_t> samples = ramp_samples(kFrames, 32768);
  const std::string wav = write("src.wav", wav_bytes(wav_spec{}, samples));
  const process_result encode =
      run_process({"/usr/bin/ffmpeg", "-loglevel", "error", "-y", "-i", wav, "-c:a", "flac", env_.file("a.flac")});
  if (encode.exit_status != 0) GTEST_SKIP() << "ffmpeg cannot encode FLAC here: " << encode.err;
  const process_result run = play_on_dac({env_.file("a.flac")});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(music(44100, 8), top_bytes(scaled(samples, 16), 4));
}

// A folder that holds only links (an album kept on another disk) plays
// the files behind them; a FLAC with a few damaged bytes plays on past the
// damage, with one warning naming it.
TEST_F(LumenPlays, LinkedAlbumsAndDamagedFlacsPlay) {
  dac({"S32_LE"});
  const process_result encode = run_process({"/usr/bin/ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                             "sine=f=440:d=10", "-ac", "2", "-c:a", "flac", env_.file("whole.flac")});
  if (encode.exit_status != 0) GTEST_SKIP() << "ffmpeg cannot encode FLAC here: " << encode.err;
  std::ifstream in(env_.file("whole.flac"), std::ios::binary);
  bytes flac((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::fill_n(flac.begin() + static_cast<std::ptrdiff_t>(flac.size() * 45 / 100), 16, 0);
  write("damaged.flac", flac);
  ASSERT_EQ(mkdir(env_.file("album").c_str(), 0755), 0);
  ASSERT_EQ(symlink(env_.file("damaged.flac").c_str(), env_.file("album/01.flac").c_str()), 0);

  const process_result run = play_on_dac({env_.file("album")});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("album/01.flac: damaged at "), std::string::npos) << run.err;
  EXPECT_GE(music(44100, 8).size(), size_t{9} * 44100 * 8);
}

// A DSD64 stream: two channels of numbered bytes.
constexpr size_t kDsdBytes = 40000;

TEST_F(LumenPlays, DsdiffAsNativeDsdWithCuts) {
  dac({"DSD_U32_BE"}, {.rate_min = 44100});
  const channel_bytes channels = numbered_channels(2, kDsdBytes);
  const std::string file = write("a.dff", dff_bytes(dff_spec{}, interleave_channels(channels)));
  process_result run = play_on_dac({file});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("Open 2.8MHzfs native DSD stream\n"), std::string::npos) << run.err;
  const auto words = [&](bool right_cut) {
    bytes expected;
    for (size_t at = 0; at + 4 <= kDsdBytes; at += 4) {
      expected.insert(expected.end(), channels[0].begin() + at, channels[0].begin() + at + 4);
      if (right_cut)
        expected.insert(expected.end(), 4, 0x55);
      else
        expected.insert(expected.end(), channels[1].begin() + at, channels[1].begin() + at + 4);
    }
    return expected;
  };
  // The lead-in is idle DSD (0x69), not a second of full negative DC.
  EXPECT_EQ(music(88200, 8, 0x69), words(false));

  // A cut channel is as silent as in DoP.
  run = play({"-D", "dac", "--right-cut", file});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(music(88200, 8, 0x69), words(true));
}

// DoP frames [L1 L0 M R1 R0 M] with markers alternating from 0xFA.
// DoP silence in S24_3LE, two frames: silent DSD bytes under both markers.
const bytes kDopSilence = {0x55, 0x55, 0xFA, 0x55, 0x55, 0xFA, 0x55, 0x55, 0x05, 0x55, 0x55, 0x05};

bytes dop_frames(const channel_bytes& channels, bool left_cut = false) {
  bytes out;
  uint8_t marker = 0xFA;
  for (size_t at = 0; at + 2 <= channels[0].size(); at += 2) {
    for (int c = 0; c < 2; ++c) {
      const bool cut = left_cut && c == 0;
      out.push_back(cut ? 0x55 : channels[c][at + 1]);
      out.push_back(cut ? 0x55 : channels[c][at]);
      out.push_back(marker);
    }
    marker = marker == 0xFA ? 0x05 : 0xFA;
  }
  return out;
}

TEST_F(LumenPlays, DsdiffAsDopWithAlternatingMarkersAndCuts) {
  dac({"S24_3LE"});
  const channel_bytes channels = numbered_channels(2, kDsdBytes);
  const std::string file = write("a.dff", dff_bytes(dff_spec{}, interleave_channels(channels)));
  process_result run = play_on_dac({file});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("Open 2.8MHzfs DoP stream\n"), std::string::npos) << run.err;
  EXPECT_EQ(music(176400, 6, kDopSilence), dop_frames(channels));

  run = play({"-D", "dac", "--left-cut", file});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(music(176400, 6, kDopSilence), dop_frames(channels, true));
}

TEST_F(LumenPlays, WsdAndDsfPlayLikeDsdiff) {
  dac({"S24_3LE"});
  const channel_bytes channels = numbered_channels(2, kDsdBytes);
  process_result run = play_on_dac({write("a.wsd", wsd_bytes(wsd_spec{}, interleave_channels(channels)))});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(music(176400, 6, kDopSilence), dop_frames(channels));

  // DSF stores the earliest bit in bit 0: the reader reverses each byte.
  const channel_bytes stored = bits_reversed(channels);
  // Every build reads DSF itself: DSD goes out as DSD.
  const std::string dsf = write("a.dsf", dsf_bytes(dsf_spec{}, stored));
  for (const char* program : {"lumen-dsf", "lumen"}) {
    run = play_on_dac({dsf}, program);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.err.find("Open 2.8MHzfs DoP stream\n"), std::string::npos) << program << run.err;
    EXPECT_EQ(music(176400, 6, kDopSilence), dop_frames(channels)) << program;
  }
}

// An interrupt ends the stream within a few tenths, however much is
// queued, in DoP silence that keeps the markers' alternation.
TEST_F(LumenPlays, AnInterruptEndsTheStreamPromptlyInItsSilence) {
  dac({"S24_3LE"}, {.paced = true});
  const channel_bytes channels = numbered_channels(2, 2822400 / 8 * 10);
  const std::string file = write("long.dff", dff_bytes(dff_spec{}, interleave_channels(channels)));
  const process_result run = play_unbroken({"-D", "dac", "-B", "10M", file}, "lumen",
                                           {.timeout_seconds = 20, .interrupt_when = "position 00:01"});
  EXPECT_EQ(run.interrupts_sent, 1);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const bytes got = music(176400, 6, kDopSilence);
  ASSERT_EQ(got.size() % 12, 0u);
  for (size_t at = 0; at < got.size(); at += 6) ASSERT_EQ(got[at + 2], (at / 6) % 2 == 0 ? 0xFA : 0x05) << at;
  size_t music_end = got.size();
  while (music_end >= 6 && got[music_end - 6] == 0x55 && got[music_end - 5] == 0x55) music_end -= 6;
  constexpr double kBytesPerSecond = 176400 * 6;
  EXPECT_LT(static_cast<double>(music_end) / kBytesPerSecond, 1.0 + 0.5 + 0.3 + 0.15);
  EXPECT_GE(static_cast<double>(got.size() - music_end) / kBytesPerSecond, 0.05);
}

TEST_F(LumenPlays, Dsd256GoesOutAsDopAt705600) {
  dac({"S32_LE"});
  const channel_bytes channels = numbered_channels(2, kDsdBytes);
  const process_result run =
      play_on_dac({write("a.dff", dff_bytes(dff_spec{.sample_rate = 11289600}, interleave_channels(channels)))});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const bytes kDopSilence32 = {0, 0x55, 0x55, 0xFA, 0, 0x55, 0x55, 0xFA, 0, 0x55, 0x55, 0x05, 0, 0x55, 0x55, 0x05};
  const bytes got = music(705600, 8, kDopSilence32);
  ASSERT_EQ(got.size(), kDsdBytes / 2 * 8);
  EXPECT_EQ(got[0], 0);
  EXPECT_EQ(got[1], channels[0][1]);
  EXPECT_EQ(got[2], channels[0][0]);
  EXPECT_EQ(got[3], 0xFA);
  EXPECT_EQ(got[11], 0x05);
}

// Each file plays at its own rate: a file of another rate or kind has the
// stream drained and the device opened again for it, lead-in and all, while
// DSD files of one rate stay one stream with no padding between them.
TEST_F(LumenPlays, AMixedListPlaysAsOneBitPerfectStreamPerRateAndKind) {
  dac({"S24_3LE"}, {.keep_streams = true});
  const std::vector<int32_t> first = ramp_samples(1000, 1000), second = ramp_samples(1200, 1000);
  const std::string a = write("a.wav", wav_bytes(wav_spec{}, first));
  const std::string b = write("b.wav", wav_bytes(wav_spec{.sample_rate = 48000}, second));
  // 1002 bytes a channel each: the first file's last two carry into the second.
  const channel_bytes c_channels = numbered_channels(2, 1002), d_channels = numbered_channels(2, 1002);
  const std::string c = write("c.dff", dff_bytes(dff_spec{}, interleave_channels(c_channels)));
  const std::string d = write("d.dff", dff_bytes(dff_spec{}, interleave_channels(d_channels)));
  const process_result run = play_on_dac({a, b, c, d});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  for (const char* stream :
       {"Open 44100Hzfs PCM stream\n", "Open 48000Hzfs PCM stream\n", "Open 2.8MHzfs DoP stream\n"}) {
    EXPECT_NE(run.err.find(stream), std::string::npos) << stream << run.err;
  }

  bytes expected(44100 * 6, 0);
  const bytes first_music = top_bytes(scaled(first, 16), 3);
  expected.insert(expected.end(), first_music.begin(), first_music.end());
  expected.insert(expected.end(), 48000 * 6, 0);
  const bytes second_music = top_bytes(scaled(second, 16), 3);
  expected.insert(expected.end(), second_music.begin(), second_music.end());
  for (size_t i = 0; i < 176400 / 2; ++i) expected.insert(expected.end(), kDopSilence.begin(), kDopSilence.end());
  channel_bytes joined = c_channels;
  for (int ch = 0; ch < 2; ++ch) joined[ch].insert(joined[ch].end(), d_channels[ch].begin(), d_channels[ch].end());
  const bytes dsd = dop_frames(joined);
  expected.insert(expected.end(), dsd.begin(), dsd.end());
  const std::string got = read_captured(env_.dac_output("dac"));
  const bytes got_bytes(got.begin(), got.end());
  const auto differ = std::mismatch(got_bytes.begin(), got_bytes.end(), expected.begin(), expected.end());
  EXPECT_EQ(got_bytes.size(), expected.size()) << run.err;
  EXPECT_EQ(differ.first, got_bytes.end()) << "first difference at byte " << (differ.first - got_bytes.begin());
}

// n drops what is queued of the file heard and the next starts at once; p
// after a file's first three seconds starts it again. The DAC gets the
// first file cut, the second cut then whole, the third whole.
TEST_F(LumenPlays, SkipKeysDropTheQueuedMusicAndStartAFileFromItsBeginning) {
  dac({"S24_3LE"}, {.paced = true});
  const std::vector<std::vector<int32_t>> samples = {ramp_samples(110250, 1000), ramp_samples(220500, 3000),
                                                     ramp_samples(44100, 5000)};
  std::vector<std::string> words = {"-D", "dac", "-B", "10M"};
  std::vector<bytes> expected;
  for (size_t i = 0; i < samples.size(); ++i) {
    words.push_back(write(std::string(1, static_cast<char>('a' + i)) + ".wav", wav_bytes(wav_spec{}, samples[i])));
    expected.push_back(top_bytes(scaled(samples[i], 16), 3));
  }
  const process_result run = play_unbroken(
      words, "lumen",
      {.timeout_seconds = 30, .keys = {{"position 00:01", "n"}, {"playing file 2/3", ""}, {"position 00:03", "p"}}});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const bytes got = music(44100, 6);
  size_t at = 0;
  // Frames from `at` on that begin `file`.
  const auto prefix_of = [&](const bytes& file) {
    size_t n = 0;
    while (at + n < got.size() && n < file.size() && got[at + n] == file[n]) ++n;
    return n / 6;
  };
  // A cut: the music fades out and the file skipped to fades in, one silent
  // frame that keeps the stream's frame count even before or between them,
  // or none; then the file's own frames, by which the place is found. (A
  // fade's first and last frames can equal the music's: small samples
  // scaled by nearly 1.)
  const size_t fade_bytes = static_cast<size_t>(kFadeFrames) * 6;
  const auto after_cut = [&](const bytes& next) {
    const size_t needle = std::min<size_t>(32 * 6, next.size());
    const auto from = got.begin() + static_cast<std::ptrdiff_t>(std::min(at, got.size()));
    const auto reach = got.begin() + static_cast<std::ptrdiff_t>(std::min(got.size(), at + 2 * fade_bytes + 64 * 6));
    const auto found = std::search(from, reach, next.begin(), next.begin() + static_cast<std::ptrdiff_t>(needle));
    at = found == reach ? at + 2 * fade_bytes : static_cast<size_t>(found - got.begin());
  };
  const bytes second_file(expected[1].begin() + static_cast<std::ptrdiff_t>(fade_bytes), expected[1].end());
  const size_t first_frames = prefix_of(expected[0]);
  at += first_frames * 6;
  after_cut(second_file);
  const size_t second_frames = prefix_of(second_file) + static_cast<size_t>(kFadeFrames);
  at += (second_frames - static_cast<size_t>(kFadeFrames)) * 6;
  after_cut(second_file);
  const double first = static_cast<double>(first_frames) / 44100, second = static_cast<double>(second_frames) / 44100;
  // Heard for a second, then what the device held: under 0.3 s.
  EXPECT_GE(first, 1.0);
  EXPECT_LT(first, 1.0 + 0.3);
  EXPECT_GE(second, 3.0);
  EXPECT_LT(second, 3.0 + 0.3);
  ASSERT_EQ(got.size(), at + second_file.size() + expected[2].size());
  EXPECT_TRUE(std::equal(second_file.begin(), second_file.end(), got.begin() + static_cast<std::ptrdiff_t>(at)));
  EXPECT_TRUE(std::equal(expected[2].begin(), expected[2].end(),
                         got.begin() + static_cast<std::ptrdiff_t>(at + second_file.size())));
}

// Pause, resume and a skip in bit-perfect PCM: the music fades out and in
// where it is cut, with no step or lost frame: in short windows the energy
// between 3 and 20 kHz stays near the music's own (a tone over faint noise).
TEST_F(LumenPlays, PauseAndSkipFadeWithoutAClick) {
  dac({"S24_3LE"}, {.paced = true});
  uint32_t seed = 1;
  const auto music_file = [&](const std::string& name, double seconds) {
    std::vector<double> samples = tone(1000, 0.5, 44100, seconds);
    for (double& sample : samples) {
      seed = seed * 1664525 + 1013904223;
      sample += (static_cast<double>(seed >> 8) / (1 << 24) - 0.5) * 0x1p-11;  // about -75 dBFS
    }
    const std::string path = env_.file(name);
    EXPECT_TRUE(write_wav(path, wav_spec{.encoding = sample_encoding::s24}, samples));
    return path;
  };
  const process_result run = play_unbroken(
      {"-D", "dac", music_file("a.wav", 4), music_file("b.wav", 2)}, "lumen",
      {.timeout_seconds = 30, .keys = {{"position 00:01", " "}, {"pause", " ", 0.3}, {"position 00:02", "n"}}});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const bytes got = music(44100, 6);
  std::vector<float> left;
  for (size_t at = 0; at + 6 <= got.size(); at += 6) {
    const int32_t value =
        static_cast<int32_t>(static_cast<uint32_t>(got[at]) << 8 | static_cast<uint32_t>(got[at + 1]) << 16 |
                             static_cast<uint32_t>(got[at + 2]) << 24);
    left.push_back(static_cast<float>(value) * 0x1p-31f);
  }
  constexpr size_t kWindow = 1024;  // 23 ms
  const size_t edge = 4410;
  ASSERT_GT(left.size(), 10 * edge);
  const std::vector<double> levels = band_energy_windows(left, 44100, kWindow, kWindow / 4, edge, left.size() - edge);
  std::vector<double> sorted = levels;
  std::sort(sorted.begin(), sorted.end());
  const double music = sorted[sorted.size() / 2];
  size_t quiet = 0;
  for (size_t i = 0; i < levels.size(); ++i) {
    quiet += levels[i] < music - 20 ? 1 : 0;  // the pause
    EXPECT_LT(levels[i], music + 6) << "window at " << static_cast<double>(edge + i * kWindow / 4) / 44100
                                    << " s, the music at " << music << " dBFS";
  }
  EXPECT_GT(quiet, 0U) << "the pause";
}

// Oversampled music paused fades out from the frame after the last one the
// device had: the pause's capture is the whole run's up to there, then the
// same music barely scaled, not frames of it again.
TEST_F(LumenPlays, OversampledMusicFadesOutFromWhereTheDeviceLeftIt) {
  dac({"S32_LE"}, {.paced = true});
  const std::string file = env_.file("tone.wav");
  ASSERT_TRUE(write_wav(file, wav_spec{}, tone(1000, 0.5, 44100, 3)));
  const auto left_samples = [&](const process_result& run) {
    EXPECT_EQ(run.exit_status, 0) << run.err;
    const bytes got = music(352800, 8);
    std::vector<int32_t> left(got.size() / 8);
    for (size_t i = 0; i < left.size(); ++i) memcpy(&left[i], got.data() + 8 * i, 4);
    return left;
  };
  const auto unbroken = [&](const process_options& options) {
    return left_samples(play_unbroken({"-D", "dac", "-os", file}, "lumen", options));
  };
  const std::vector<int32_t> whole = unbroken({});
  const std::vector<int32_t> paused = unbroken({.keys = {{"position 00:01", " "}, {"pause", "q", 0.3}}});
  const size_t cut = static_cast<size_t>(std::mismatch(whole.begin(), whole.end(), paused.begin(), paused.end()).first -
                                         whole.begin());
  ASSERT_GT(cut, 352800u) << "music before the pause";
  ASSERT_LT(cut + 16, std::min(whole.size(), paused.size()));
  // A frame's step in the tone is 1.8 % of its peak; the fade's first
  // frames scale it by less than 0.02 %.
  for (size_t i = cut; i < cut + 16; ++i) EXPECT_LT(std::abs(int64_t{paused[i]} - whole[i]), 1 << 20) << i - cut;
}

// 24-bit frames that tell where they come from: left is the frame's
// number from 1 (0 is silence), right the file's number above a tag that a
// frame scaled by a fade loses.
constexpr int32_t kFileTag = 0x1234;
std::vector<int32_t> numbered_frames(size_t frames, int32_t file) {
  std::vector<int32_t> samples;
  for (size_t i = 0; i < frames; ++i) {
    samples.push_back(static_cast<int32_t>(i + 1));
    samples.push_back(file << 16 | kFileTag);
  }
  return samples;
}

// A capture of numbered_frames in S24_3LE read back: runs of consecutive
// frames of one file, the frames between them (silent, or faded) counted.
struct frame_run {
  int32_t file;
  int64_t first;  // the file's frame, from 0
  int64_t count;
  int64_t silence_before;
};

std::vector<frame_run> frame_runs(const bytes& got) {
  std::vector<frame_run> runs;
  int64_t silence = 0;
  for (size_t at = 0; at + 6 <= got.size(); at += 6) {
    const auto value = [&](size_t i) { return got[i] | got[i + 1] << 8 | got[i + 2] << 16; };
    const int32_t number = value(at), tagged = value(at + 3);
    const int32_t file = tagged >> 16;
    if (number <= 0 || (tagged & 0xFFFF) != kFileTag || file <= 0) {
      ++silence;
      continue;
    }
    if (runs.empty() || silence > 0 || runs.back().file != file ||
        runs.back().first + runs.back().count != number - 1) {
      runs.push_back({file, number - 1, 0, silence});
      silence = 0;
    }
    ++runs.back().count;
  }
  // A lone frame a fade happened to leave tagged is not a run.
  std::vector<frame_run> kept;
  int64_t between = 0;
  for (frame_run r : runs) {
    between += r.silence_before;
    if (r.count < 2) {
      between += r.count;
      continue;
    }
    r.silence_before = std::exchange(between, 0);
    kept.push_back(r);
  }
  return kept;
}

std::string runs_text(const frame_run& r) {
  return "file " + std::to_string(r.file) + " from " + std::to_string(r.first) + " for " + std::to_string(r.count) +
         " after " + std::to_string(r.silence_before) + " silent; ";
}

// Seeks move within the file heard: back before its start it begins again,
// forward ten seconds the stream goes on from there, bit for bit, to the end.
TEST_F(LumenPlays, SeekKeysGoOnFromTheNewPlaceFrameExact) {
  dac({"S24_3LE"}, {.paced = true});
  constexpr size_t kFileFrames = 44100 * 12;
  const std::string file =
      write("a.wav", wav_bytes(wav_spec{.encoding = sample_encoding::s24}, numbered_frames(kFileFrames, 7)));
  const process_result run = play_unbroken(
      {"-D", "dac", "-B", "10M", file}, "lumen",
      {.timeout_seconds = 40, .keys = {{"position 00:02", ","}, {"position 00:00", ""}, {"position 00:01", "\x1b[C"}}});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.out.find("position 00:11"), std::string::npos) << run.out;
  const std::vector<frame_run> runs = frame_runs(music(44100, 6));
  ASSERT_EQ(runs.size(), 3u);
  // Back to the start after two seconds and what the device held; each
  // place goes on bit for bit after its fade-in.
  EXPECT_EQ(runs[0].first, 0);
  EXPECT_GE(runs[0].count, 2 * 44100);
  EXPECT_EQ(runs[1].first, kFadeFrames);
  EXPECT_GE(runs[1].count, 44100);
  // Ten seconds on from what was heard when the key came, to the last frame.
  const int64_t heard_at_key = runs[2].first - kFadeFrames - 10 * 44100;
  EXPECT_GE(heard_at_key, 44100);
  EXPECT_LE(heard_at_key, runs[1].first + runs[1].count);
  EXPECT_EQ(runs[2].first + runs[2].count, static_cast<int64_t>(kFileFrames));
  // A fade out, one frame that may keep the count even, a fade in.
  for (const frame_run& r : runs) EXPECT_LE(r.silence_before, 2 * kFadeFrames + 1);
  const double latency = static_cast<double>(runs[1].first + runs[1].count - heard_at_key) / 44100;
  EXPECT_LT(latency, 0.3);
  std::cout << "seek latency (key to the new place heard, in music played meanwhile): " << latency << " s\n";
}

// Five n within a moment move five files: each counts from the last one's
// target, not from the file still heard.
TEST_F(LumenPlays, QuickSkipsAddUp) {
  dac({"S24_3LE"}, {.paced = true});
  std::vector<std::string> words = {"-D", "dac", "-B", "10M"};
  for (int32_t i = 1; i <= 7; ++i) {
    words.push_back(write("f" + std::to_string(i) + ".wav",
                          wav_bytes(wav_spec{.encoding = sample_encoding::s24}, numbered_frames(44100 * 2, i))));
  }
  const process_result run =
      play_unbroken(words, "lumen", {.timeout_seconds = 30, .keys = {{"position 00:01", "nnnnn"}}});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.out.find("playing file 2/7"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("playing file 6/7"), std::string::npos) << run.out;
  const std::vector<frame_run> runs = frame_runs(music(44100, 6));
  std::string seen;
  for (const frame_run& r : runs) seen += runs_text(r);
  ASSERT_EQ(runs.size(), 3u) << seen;
  EXPECT_EQ(runs[0].file, 1);
  EXPECT_EQ(runs[1].file, 6);
  EXPECT_EQ(runs[1].first, kFadeFrames);  // after its fade-in, to its end
  EXPECT_EQ(runs[1].count, 44100 * 2 - kFadeFrames);
  EXPECT_EQ(runs[2].file, 7);
  EXPECT_EQ(runs[2].first, 0);  // a file's own end is no cut: gapless
  EXPECT_EQ(runs[2].silence_before, 0);
}

// DSD bytes that tell their place apart and are never a silent or zero byte.
channel_bytes random_dsd(size_t bytes_per_channel) {
  channel_bytes channels(2);
  uint32_t state = 12345;
  for (auto& channel : channels) {
    for (size_t i = 0; i < bytes_per_channel; ++i) {
      state = state * 1664525u + 1013904223u;
      auto b = static_cast<uint8_t>(state >> 24);
      if (b == 0x00 || b == 0x55 || b == 0x69 || b == 0x96 || b == 0xAA) b ^= 0x01;
      channel.push_back(b);
    }
  }
  return channels;
}

// A DSF seek, as DoP and as native DSD: one stream whose DoP markers go on
// alternating, idle silence (never zero bits) at the join, and after it
// every channel's bytes from the new place to the file's end.
TEST_F(LumenPlays, DsfSeeksAsDopAndNativeDsd) {
  constexpr size_t kBytes = 352800 * 12;  // 12 s of DSD64 a channel
  const channel_bytes channels = random_dsd(kBytes);
  const channel_bytes stored = bits_reversed(channels);  // DSF keeps the earliest bit in bit 0
  const std::string dsf = write("a.dsf", dsf_bytes(dsf_spec{}, stored));
  struct output {
    const char* program;
    const char* format_name;
    int32_t format;
    size_t lead_in_frames;
    uint8_t silence;
  };
  for (const output& out : {output{"lumen-dsf", "S24_3LE", kFormatS24_3LE, 176400, 0x55},
                            output{"lumen", "DSD_U32_BE", kFormatDsdU32_BE, 88200, 0x69}}) {
    SCOPED_TRACE(out.program);
    const std::string device = out.format == kFormatS24_3LE ? "dop" : "native";
    env_.add_fake_dac(device, {.formats = {out.format_name}, .paced = true});
    const process_result run =
        play_unbroken({"-D", device, dsf}, out.program, {.timeout_seconds = 30, .keys = {{"position 00:01", "."}}});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::string capture = read_captured(env_.dac_output(device));
    if (out.format == kFormatS24_3LE) {
      const std::vector<uint8_t> markers = dop_markers(capture, out.format);
      for (size_t i = 0; i < markers.size(); ++i) ASSERT_EQ(markers[i], i % 2 == 0 ? 0xFA : 0x05) << i;
    }
    for (int c = 0; c < 2; ++c) {
      const std::vector<uint8_t> got = dsd_channel_bytes(capture, out.format, c, out.lead_in_frames);
      const std::vector<uint8_t>& file = channels[static_cast<size_t>(c)];
      ASSERT_EQ(std::find(got.begin(), got.end(), 0x00), got.end());
      size_t first = 0;
      while (first < got.size() && got[first] == file[first]) ++first;
      size_t at = first;
      while (at < got.size() && got[at] == out.silence) ++at;
      EXPECT_LE(at - first, 4u);  // a frame that keeps the markers' alternation
      ASSERT_GE(got.size(), at + 64);
      const auto found = std::search(file.begin(), file.end(), got.begin() + static_cast<std::ptrdiff_t>(at),
                                     got.begin() + static_cast<std::ptrdiff_t>(at + 64));
      ASSERT_NE(found, file.end());
      const auto from = static_cast<size_t>(found - file.begin());
      const auto heard_at_key = static_cast<int64_t>(from) - 10 * 352800;
      EXPECT_GE(heard_at_key, 352800);
      EXPECT_LE(heard_at_key, static_cast<int64_t>(first));
      // The rest of the file, then at most a read's padding.
      ASSERT_GE(got.size() - at, kBytes - from);
      EXPECT_TRUE(std::equal(file.begin() + static_cast<std::ptrdiff_t>(from), file.end(),
                             got.begin() + static_cast<std::ptrdiff_t>(at)));
      EXPECT_LT(got.size() - at - (kBytes - from), 4u);
      if (c == 0) {
        std::cout << out.program << " seek latency (key to the new place heard): "
                  << static_cast<double>(static_cast<int64_t>(first) - heard_at_key) / 352800 << " s\n";
      }
    }
  }
}

TEST_F(LumenPlays, CountTellsWhetherTheListIsOneStream) {
  const std::string a = write("a.wav", wav_bytes(wav_spec{}, ramp_samples(100, 1000)));
  const std::string b = write("b.wav", wav_bytes(wav_spec{}, ramp_samples(100, 1000)));
  const std::string c = write("c.wav", wav_bytes(wav_spec{.sample_rate = 96000}, ramp_samples(100, 1000)));
  const std::string junk = write("d.wav", bytes(100, 7));
  process_result run = play({"--count", "-D", "hw:5,0", a, b});
  EXPECT_EQ(run.out, "2\n");
  EXPECT_EQ(run.exit_status, 0);
  run = play({"--count", a, c});
  EXPECT_EQ(run.out, "2\n");
  EXPECT_EQ(run.exit_status, 1);
  run = play({"--count", a, junk});
  EXPECT_EQ(run.out, "1\n");
  EXPECT_EQ(run.exit_status, 1);
}

// Files of every rate come out at 352.8 kHz at one level (the path's gain
// of 0.9), with no images of the tone above the audio band.
TEST_F(LumenPlays, OversamplingToTheDacsHighRate) {
  dac({"S16_LE", "S32_LE"});
  constexpr uint32_t kRates[] = {44100, 48000, 96000};
  std::vector<std::string> words = {"-D", "dac", "-os"};
  for (const uint32_t rate : kRates) {
    const std::string file = env_.file("tone" + std::to_string(rate) + ".wav");
    ASSERT_TRUE(write_wav(file, wav_spec{.sample_rate = rate}, tone(1000, 0.5, rate, 1)));
    words.push_back(file);
  }
  const process_result run = play(words);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("Open 352800Hzfs PCM stream\n"), std::string::npos);
  const bytes got = music(352800, 8);
  ASSERT_GE(got.size(), 8u * 3 * 352800);
  for (size_t i = 0; i < 3; ++i) {
    // 2^17 frames of each file's second, from 0.05 s into it.
    std::vector<float> left;
    for (size_t at = 8 * (i * 352800 + 17640); left.size() < (1u << 17); at += 8) {
      int32_t v;
      memcpy(&v, got.data() + at, 4);
      left.push_back(static_cast<float>(v) * 0x1p-31f);
    }
    const analyser_result result = analyser_run(left, 352800, {.band_high_hz = 170000, .tone_hz = 1000});
    EXPECT_NEAR(result.tone_dbfs, -6.0 - 0.915, 0.05) << kRates[i];
    EXPECT_GT(result.snr_db, 80) << kRates[i];
  }
}

// The filter's tail plays at the end of the list: the last sample, an
// impulse, reaches the DAC whole.
TEST_F(LumenPlays, TheLastSampleLeavesTheFilter) {
  dac({"S32_LE"});
  std::vector<int32_t> samples(2 * 2000, 0);
  samples[samples.size() - 2] = 16384;  // half of full scale, left
  const process_result run = play({"-D", "dac", "-os", write("impulse.wav", wav_bytes(wav_spec{}, samples))});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const bytes got = music(352800, 8);
  int32_t peak = 0;
  for (size_t at = 0; at + 8 <= got.size(); at += 8) {
    int32_t v;
    memcpy(&v, got.data() + at, 4);
    peak = std::max(peak, v);
  }
  // Its centre: about the 0.9 the 44.1 kHz path passes of a half-scale sample.
  EXPECT_GT(static_cast<double>(peak) * 0x1p-31, 0.2);
  // And the output runs on for the filter's reach after it.
  EXPECT_GE(got.size() / 8, 2000u * 8 + 2000u);
}

TEST_F(LumenPlays, SilentLinesFollowTheFileBeingHeard) {
  dac({"S32_LE"}, {.paced = true});
  const std::string a = env_.file("a.wav"), b = env_.file("b.wav");
  ASSERT_TRUE(write_wav(a, wav_spec{}, tone(1000, 0.1, 44100, 1.5)));
  ASSERT_TRUE(write_wav(b, wav_spec{}, tone(1000, 0.1, 44100, 1.2)));
  const process_result run = play({"-D", "dac", "--silent", a, b});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const size_t a_one = run.out.find("\n0 1\n");
  const size_t second = run.out.find("playing file 2/2 total 0:01 \"b.wav\"");
  ASSERT_NE(a_one, std::string::npos) << run.out;
  EXPECT_LT(a_one, second);
  EXPECT_NE(run.out.find("\n1 0\n", second), std::string::npos);
}

}  // namespace

// A player held up longer than the device's half second of buffer: the
// device runs dry once, is prepared again and the list plays on, every
// frame of every file in order, silence only where the gap was.
TEST_F(LumenPlays, OneUnderrunIsRiddenOverAndTheListPlaysOn) {
  dac({"S16_LE"}, {.paced = true});
  constexpr size_t kFileFrames = 88200;                                   // two seconds
  const std::vector<int32_t> samples = ramp_samples(kFileFrames, 32768);  // no frame is all zero
  const std::string file = write("a.wav", wav_bytes(wav_spec{}, samples));
  const process_result run =
      play({"-D", "dac", file, file, file}, "lumen", {.pause_when = "position 00:01", .pause_seconds = 0.7});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_TRUE(std::regex_search(run.err, std::regex("\nERROR pcm_output [0-9]+ underrun at 00:0[0-9], recovered\n")))
      << run.err;
  EXPECT_NE(run.out.find("playing file 3/3"), std::string::npos) << run.out;
  const bytes heard = music(44100, 4);
  bytes without_silence;
  for (size_t at = 0; at + 4 <= heard.size(); at += 4) {
    if (std::any_of(heard.begin() + static_cast<std::ptrdiff_t>(at),
                    heard.begin() + static_cast<std::ptrdiff_t>(at + 4), [](uint8_t b) { return b != 0; })) {
      without_silence.insert(without_silence.end(), heard.begin() + static_cast<std::ptrdiff_t>(at),
                             heard.begin() + static_cast<std::ptrdiff_t>(at + 4));
    }
  }
  const bytes one = top_bytes(scaled(samples, 16), 2);
  bytes three;
  for (int i = 0; i < 3; ++i) three.insert(three.end(), one.begin(), one.end());
  EXPECT_GE(heard.size() - without_silence.size(), size_t{44100 * 4}) << "the lead-in's second bridged the gap";
  ASSERT_EQ(without_silence.size(), three.size());
  EXPECT_TRUE(without_silence == three);
  EXPECT_NE(read_captured(env_.dac_log("dac")).find("\nunderrun "), std::string::npos);
}

// A DAC that stops taking frames ends playback with a report; after an
// interrupt, which waits for the stream's silence, it ends it too.
// A WAV file that ends before its data chunk does plays what it holds, then
// says so, and the list ends well.
TEST_F(LumenPlays, AShortWaveFilePlaysWhatItHoldsAndSaysSo) {
  dac({"S16_LE"});
  const std::vector<int32_t> samples = ramp_samples(10 * 44100, 32768);
  bytes content = wav_bytes(wav_spec{}, samples);
  const size_t header = content.size() - 4 * samples.size() / 2;
  const size_t held_frames = samples.size() / 2 * 3 / 10;
  content.resize(header + 4 * held_frames);
  const process_result run = play_on_dac({write("short.wav", content)});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find(env_.file("short.wav") + ": the file ends early, at 00:03 of 00:10.\n"), std::string::npos)
      << run.err;
  const std::vector<int32_t> held(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(2 * held_frames));
  EXPECT_EQ(music(44100, 4), top_bytes(scaled(held, 16), 2));
}

TEST_F(LumenPlays, AStalledDacStopsWithAReport) {
  dac({"S16_LE"}, {.paced = true, .stall_after = 30000});  // within the lead-in
  const std::string file = write("long.wav", wav_bytes(wav_spec{}, ramp_samples(44100 * 20, 1000)));
  const process_result stalled = play_on_dac({file});
  EXPECT_NE(stalled.err.find(" playback stopped: device stalled.\n"), std::string::npos) << stalled.err;
  EXPECT_EQ(stalled.exit_status, fatal_exit_status(reported_line_of(stalled.err, "playback stopped"))) << stalled.err;
  EXPECT_NE(stalled.exit_status, 0);

  const process_result interrupted = play({"-D", "dac", file}, "lumen", {.interrupt_when = "position 00:00"});
  EXPECT_EQ(interrupted.interrupts_sent, 1);
  EXPECT_FALSE(interrupted.timed_out);
}

// Opening a busy device is retried for seconds; an interrupt ends that at once.
TEST_F(LumenPlays, AnInterruptEndsTheOpenRetries) {
  dac({"S16_LE"}, {.busy_opens = 100});
  const std::string file = write("a.wav", wav_bytes(wav_spec{}, ramp_samples(1000, 1000)));
  const process_result run = play({"-D", "dac", file}, "lumen", {.interrupt_when = "1st snd_pcm_open() failed."});
  EXPECT_EQ(run.interrupts_sent, 1);
  EXPECT_EQ(env_.dac_opens("dac"), 1);
  EXPECT_NE(run.err.find(" exit by interrupt\n"), std::string::npos) << run.err;
  EXPECT_EQ(run.exit_status, fatal_exit_status(reported_line(run.err)));
}

// Control characters in a file name or an option reach the terminal
// escaped, in the header and in reports alike.
TEST_F(LumenPlays, NamesAreShownWithTheirControlCharactersEscaped) {
  dac({"S16_LE"});
  const process_result played =
      play_on_dac({write("a\x1b]0;title\x07.wav", wav_bytes(wav_spec{}, ramp_samples(1000, 1000)))});
  ASSERT_EQ(played.exit_status, 0) << played.err;
  EXPECT_NE(played.out.find("\"a\\x1b]0;title\\x07.wav\""), std::string::npos) << played.out;
  const process_result refused = play_on_dac({write("b\x1b[31m\xc2\x9b.wav", bytes(100, 'x'))});
  EXPECT_NE(refused.err.find("b\\x1b[31m\\xc2\\x9b.wav"), std::string::npos) << refused.err;
  EXPECT_NE(refused.exit_status, 0);
  const process_result bad_option = play({"--mode=m\x1b[31m", "-D", "dac", "a.wav"});
  EXPECT_NE(bad_option.err.find("illegal mode name m\\x1b[31m passed."), std::string::npos) << bad_option.err;
  for (const std::string& text : {played.out, played.err, refused.out, refused.err, bad_option.err}) {
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  }
}

// A file of the list replaced by a FIFO once playing has begun is refused
// by name when its turn comes, instead of blocking the player for ever.
TEST_F(LumenPlays, AFileReplacedByAFifoIsRefusedWhenItsTurnComes) {
  dac({"S32_LE"}, {.paced = true});
  const wav_spec spec{.encoding = sample_encoding::s32, .sample_rate = 352800};
  const std::string first = write("a.wav", wav_bytes(spec, ramp_samples(352800 * 2, 1000)));
  const std::string second = write("b.wav", wav_bytes(spec, ramp_samples(1000, 1000)));
  // The device starts after the buffer is filled; the second file is
  // opened seconds later, when the first has nearly gone out.
  std::thread replace([&] {
    for (int i = 0; i < 2000 && read_captured(env_.dac_log("dac")).find("\nstart") == std::string::npos; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string fifo = env_.file("fifo");
    EXPECT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(rename(fifo.c_str(), second.c_str()), 0);
  });
  const process_result run = play_on_dac({first, second});
  replace.join();
  EXPECT_NE(run.err.find("b.wav is not a regular file"), std::string::npos) << run.err;
  EXPECT_EQ(run.exit_status, fatal_exit_status(reported_line_of(run.err, env_.file("b.wav")))) << run.err;
}

// Files that cannot be played are refused before any sound, by name and
// with the reason: rates no device buffer suits, damaged DSD files (never
// handed on to FFmpeg), a header without frames, a count that overflows.
TEST_F(LumenPlays, UnplayableFilesAreRefusedByNameWithTheReason) {
  dac({"S32_LE"}, {.rate_min = 1});
  // The report reads `before` path `after`.
  const auto expect_refused = [&](const std::string& program, const std::string& name, const bytes& content,
                                  const std::string& after, const std::string& before = "") {
    const process_result run = play_on_dac({write(name, content)}, program);
    EXPECT_NE(run.err.find(before + env_.file(name) + after), std::string::npos) << run.err;
    EXPECT_EQ(run.exit_status, fatal_exit_status(reported_line(run.err))) << run.err;
    EXPECT_NE(run.exit_status, 0);
  };
  const bytes frames = interleave_channels(numbered_channels(2, 4096));
  expect_refused("lumen", "slow.wav", wav_bytes(wav_spec{.sample_rate = 1}, ramp_samples(100, 1000)),
                 ": sample rate 1Hz is not supported (8000 to 16777216Hz).\n");
  expect_refused("lumen", "wide.wav", wav_bytes(wav_spec{.sample_rate = 0xFFFFFFFF}, ramp_samples(100, 1000)),
                 ": sample rate 4294967295Hz is not supported");
  expect_refused("lumen", "slow.dff", dff_bytes(dff_spec{.sample_rate = 44100}, frames),
                 ": DSD rate 44100Hz is not supported (128000 to 4294967295Hz).\n");
  expect_refused("lumen", "chnl.dff", dff_bytes(dff_spec{.channel_ids = {"SLFT", "XXXX"}}, frames),
                 " cannot be played: its DSDIFF property chunk is damaged");
  expect_refused("lumen", "dst.dff", dff_bytes(dff_spec{.compression = "DST "}, frames),
                 " cannot be played: its DSDIFF sound is DST-compressed.\n");
  expect_refused("lumen", "sizes.wav",
                 wav_bytes(wav_spec{.container = wav_container::rf64, .ds64_sample_count = 7}, ramp_samples(100, 1)),
                 " cannot be played: its RF64 data size and sample count disagree.\n");
  expect_refused("lumen", "empty.wav", wav_bytes(wav_spec{}, std::span<const int32_t>{}), ".\n", "nothing to play in ");
  // Headers that promise sound the file does not hold.
  const auto cut = [](bytes content, size_t sound_bytes) {
    content.resize(content.size() - sound_bytes);
    return content;
  };
  const std::vector<int32_t> ramp = ramp_samples(100, 1000);
  expect_refused("lumen", "cut.wav", cut(wav_bytes(wav_spec{}, ramp), 400), ".\n", "nothing to play in ");
  expect_refused("lumen", "cut.dff", cut(dff_bytes(dff_spec{}, frames), frames.size()), ".\n", "nothing to play in ");
  const bytes dsf = dsf_bytes(dsf_spec{}, numbered_channels(2, 64));
  expect_refused("lumen-dsf", "cut.dsf", bytes(dsf.begin(), dsf.begin() + 92), ".\n", "nothing to play in ");
  expect_refused("lumen-dsf", "endless.dsf",
                 dsf_bytes(dsf_spec{.sample_count = uint64_t{1} << 62}, numbered_channels(2, 64)),
                 " cannot be played: its DSF sample count is impossible.\n");
  const wav_spec doubles{.format_tag = 3, .block_align = 16, .bits_per_sample = 64};
  for (const char* program : {"lumen", "lumen-dsf"}) {
    expect_refused(program, "double.wav", wav_bytes(doubles, bytes(1600, 0)),
                   ": sample bit length 64 is not supported.\n");
  }
}
