// brisa end to end: the real binary against the real ALSA library, playing
// into fake DACs found by their card names; what the DAC received is read
// back and decoded.
#include <gtest/gtest.h>
#include <termios.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "alsa_env.h"
#include "band_energy.h"
#include "dsd_capture.h"
#include "dsd_writer.h"
#include "process.h"
#include "stream_constants.h"
#include "tag_writer.h"
#include "util.h"
#include "wav_writer.h"

namespace {

constexpr double kNativeBitRate = 11289600;
constexpr double kDopBitRate = 5644800;
constexpr size_t kPrerollFrames = 705600;  // two seconds at 352.8 kHz
constexpr uint32_t kMusicFramesPerSecond = 352800;

struct playback {
  process_result result;
  std::string capture;
};

class BrisaPlays : public testing::Test {
 protected:
  // A fake DAC taking `formats`, behind card 1 named `card_name`.
  void dac(std::vector<std::string> formats, const std::string& card_name = "Amanero Combo384 at usb-1",
           fake_dac_options options = {}) {
    options.formats = std::move(formats);
    env_.add_fake_dac("dac", options);
    env_.route_hw_to("dac");
    env_.add_cards({{.number = 1, .longname = card_name}});
  }

  // A stereo 16-bit WAV of a sine.
  std::string tone_file(const std::string& name, double seconds, double frequency = 1000, double amplitude = 0.5,
                        uint32_t rate = 44100, sample_encoding encoding = sample_encoding::s16) {
    const std::string path = env_.file(name);
    EXPECT_TRUE(write_wav(path, wav_spec{.encoding = encoding, .sample_rate = rate},
                          tone(frequency, amplitude, rate, seconds)));
    return path;
  }

  playback play(std::vector<std::string> words, process_options options = {}, bool unbroken = false) {
    words.insert(words.begin(), built_program("brisa"));
    playback run;
    run.result = unbroken ? env_.run_unbroken(words, options) : env_.run(words, options);
    run.capture = read_captured(env_.dac_output("dac"));
    return run;
  }

  // A paced run whose capture is compared with another's, or timed.
  playback play_unbroken(const std::vector<std::string>& words, const process_options& options = {}) {
    return play(words, options, true);
  }

  alsa_env env_;
};

// Two channels of a DSD64 stream carrying a sine, from a plain first-order
// loop, or a second-order one (its noise lower in the audio band): earliest
// bit in bit 7.
channel_bytes dsd64_tone(double frequency, double amplitude, double seconds, int order = 1) {
  const auto bytes = static_cast<size_t>(seconds * 2822400 / 8);
  channel_bytes channels(2, std::vector<uint8_t>(bytes));
  double error = 0, error_before = 0;  // the quantiser's, shaped by (1 - 1/z)^order
  for (size_t i = 0; i < bytes * 8; ++i) {
    const double x = amplitude * std::sin(2 * M_PI * frequency * static_cast<double>(i) / 2822400);
    const double v = order == 1 ? x + error : x + 2 * error - error_before;
    const bool one = v >= 0;
    error_before = error;
    error = v - (one ? 1.0 : -1.0);
    for (auto& channel : channels) channel[i / 8] = static_cast<uint8_t>(channel[i / 8] | (one ? 0x80 >> (i % 8) : 0));
  }
  return channels;
}

// The music after the two seconds of preroll, as one channel's DSD bytes.
std::vector<uint8_t> music_bytes(const playback& run, int32_t format, int channel) {
  return dsd_channel_bytes(run.capture, format, channel, kPrerollFrames);
}

bool all_bytes_are(std::span<const uint8_t> bytes, uint8_t value) {
  return std::all_of(bytes.begin(), bytes.end(), [value](uint8_t b) { return b == value; });
}

TEST_F(BrisaPlays, NativeBigEndianToAnAmaneroWithTheWholeTail) {
  dac({"DSD_U32_BE"}, "Amanero Combo384 at usb-1", {.paced = true});
  const playback run = play({tone_file("tone.wav", 1)});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  EXPECT_NE(run.result.out.find("device Amanero Combo384 at usb-1 found.\n"), std::string::npos);
  EXPECT_NE(run.result.err.find("Open 11.2MHzfs native DSD stream\n"), std::string::npos);
  // The preroll, then every frame of the file and the filter's tail (its
  // reach after the last frame, 2 x 6.32 ms): the end is played, not cut.
  const size_t frames = run.capture.size() / 8 - kPrerollFrames;
  ASSERT_GE(frames, kMusicFramesPerSecond + 2 * 0.0063 * kMusicFramesPerSecond);
  ASSERT_LE(frames, kMusicFramesPerSecond + 2 * 0.0065 * kMusicFramesPerSecond);
  EXPECT_TRUE(all_bytes_are(std::span(reinterpret_cast<const uint8_t*>(run.capture.data()), kPrerollFrames * 8), 0xAA));

  // Level 1, FIR gain 0.9: a -6 dBFS tone comes out at about -6.9 dBFS.
  const analyser_result left = dsd_tone(music_bytes(run, kFormatDsdU32_BE, 0), kNativeBitRate, 1000);
  EXPECT_NEAR(left.tone_dbfs, -6.9, 0.3);
  EXPECT_GT(left.snr_db, 50);
  const analyser_result right = dsd_tone(music_bytes(run, kFormatDsdU32_BE, 1), kNativeBitRate, 1000);
  EXPECT_NEAR(right.tone_dbfs, -6.9, 0.3);
}

TEST_F(BrisaPlays, NativeLittleEndianToAnXmosCard) {
  dac({"DSD_U32_LE"}, "XMOS Audio 2.0 at usb-2");
  const playback run = play({tone_file("tone.wav", 0.5)});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  EXPECT_NE(run.result.out.find("device XMOS Audio 2.0 at usb-2 found.\n"), std::string::npos);
  const analyser_result left = dsd_tone(music_bytes(run, kFormatDsdU32_LE, 0), kNativeBitRate, 1000);
  EXPECT_NEAR(left.tone_dbfs, -6.9, 0.3);
}

TEST_F(BrisaPlays, AnUnknownCardTakingBigEndianWordsGetsThemInThatOrder) {
  dac({"DSD_U32_BE"}, "Some Other DAC at usb-3");
  const playback run = play({tone_file("tone.wav", 0.5)});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  EXPECT_NE(run.result.out.find("last device hw:1,0\n"), std::string::npos);
  EXPECT_NEAR(dsd_tone(music_bytes(run, kFormatDsdU32_BE, 0), kNativeBitRate, 1000).tone_dbfs, -6.9, 0.3);
}

// Without a known DAC, the last card that plays is taken, on its first
// playback device: a card after it that only records is passed over.
TEST_F(BrisaPlays, TheLastCardThatPlaysIsTakenOnItsFirstPlaybackDevice) {
  env_.add_fake_dac("dac", {.formats = {"DSD_U32_BE"}});
  env_.route_hw(1, 2, "dac");
  env_.add_cards({{.number = 0, .longname = "Onboard Audio at pci-1"},
                  {.number = 1, .longname = "Some Other DAC at usb-3", .playback = {5, 2}},
                  {.number = 3, .longname = "Webcam at usb-4", .playback = {}, .capture = {0}}});
  const playback run = play({tone_file("tone.wav", 0.2)});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  EXPECT_NE(run.result.out.find("last device hw:1,2\n"), std::string::npos) << run.result.out;
  EXPECT_FALSE(run.capture.empty());
}

// A name ALSA defines is played on as named, without a word about it; only
// a name it does not know sends brisa searching the cards.
TEST_F(BrisaPlays, ANamedDeviceIsTakenAsNamedUnlessAlsaDoesNotKnowIt) {
  dac({"DSD_U32_BE"});
  env_.route_default_to("dac");
  const std::string wav = tone_file("tone.wav", 0.2);
  for (const char* name : {"dac", "default", "plughw:1,0"}) {
    const playback run = play({"-D", name, wav});
    EXPECT_EQ(run.result.exit_status, 0) << name << run.result.err;
    EXPECT_EQ(run.result.out.find("illegal"), std::string::npos) << run.result.out;
    EXPECT_EQ(run.result.out.find("auto search"), std::string::npos) << run.result.out;
    EXPECT_EQ(run.result.out.find(" found.\n"), std::string::npos) << run.result.out;
    EXPECT_FALSE(run.capture.empty()) << name;
  }
  const playback searched = play({"-D", "nosuch", wav});
  EXPECT_EQ(searched.result.exit_status, 0) << searched.result.err;
  EXPECT_TRUE(
      searched.result.out.starts_with("mode alsa device name nosuch illegal\nauto search device.\n"
                                      "device Amanero Combo384 at usb-1 found.\n"))
      << searched.result.out;
  EXPECT_FALSE(searched.capture.empty());
}

// Every DoP frame's marker alternates, preroll and music alike, from 0xFA.
void expect_alternating_markers(const std::string& capture, int32_t format) {
  const std::vector<uint8_t> markers = dop_markers(capture, format);
  ASSERT_FALSE(markers.empty());
  for (size_t i = 0; i < markers.size(); ++i) {
    ASSERT_EQ(markers[i], i % 2 == 0 ? 0xFA : 0x05) << "frame " << i;
  }
}

TEST_F(BrisaPlays, DopInPacked24BitsThroughTheFallbackChain) {
  dac({"S24_3LE"});
  const playback run = play({tone_file("tone.wav", 0.5)});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  EXPECT_NE(run.result.err.find("Open 5.6MHzfs DoP stream\n"), std::string::npos);
  expect_alternating_markers(run.capture, kFormatS24_3LE);
  EXPECT_TRUE(all_bytes_are(dsd_channel_bytes(run.capture.substr(0, kPrerollFrames * 6), kFormatS24_3LE, 0), 0xAA));
  EXPECT_NEAR(dsd_tone(music_bytes(run, kFormatS24_3LE, 0), kDopBitRate, 1000).tone_dbfs, -6.9, 0.3);
}

TEST_F(BrisaPlays, DopRequestedOnAnAmaneroStaysDop) {
  dac({"DSD_U32_BE", "S24_3LE"});
  const playback run = play({"--dop", tone_file("tone.wav", 0.5)});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  EXPECT_NE(run.result.err.find("Open 5.6MHzfs DoP stream\n"), std::string::npos);
  expect_alternating_markers(run.capture, kFormatS24_3LE);
}

TEST_F(BrisaPlays, DopIn32BitContainers) {
  dac({"S32_LE"});
  const playback run = play({"--dop", tone_file("tone.wav", 0.5)});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  expect_alternating_markers(run.capture, kFormatS32_LE);
  for (size_t at = 0; at < run.capture.size(); at += 4) ASSERT_EQ(run.capture[at], 0) << at;
  EXPECT_NEAR(dsd_tone(music_bytes(run, kFormatS32_LE, 0), kDopBitRate, 1000).tone_dbfs, -6.9, 0.3);
}

TEST_F(BrisaPlays, DopIn24BitContainersKeepsTheMarkerInsideTheValidBits) {
  dac({"S24_LE"});
  const playback run = play({"--dop", tone_file("tone.wav", 0.5)});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  expect_alternating_markers(run.capture, kFormatS24_LE);
  for (size_t at = 3; at < run.capture.size(); at += 4) ASSERT_EQ(run.capture[at], 0) << at;
  EXPECT_NEAR(dsd_tone(music_bytes(run, kFormatS24_LE, 0), kDopBitRate, 1000).tone_dbfs, -6.9, 0.3);
}

TEST_F(BrisaPlays, EachLevelTracksItsInputWithLessNoise) {
  dac({"DSD_U32_BE"});
  // Float samples: the noise of 16-bit samples would hide the modulators'.
  const std::string file = tone_file("tone.wav", 0.5, 1000, 0.5, 44100, sample_encoding::float32);
  double last_snr = 0;
  for (const auto& [option, gain_db] :
       std::vector<std::pair<std::string, double>>{{"-L1", -6.9}, {"-L2", -12.9}, {"-L7", -18.9}}) {
    const playback run = play({option, file});
    ASSERT_EQ(run.result.exit_status, 0) << option << run.result.err;
    const analyser_result tone = dsd_tone(music_bytes(run, kFormatDsdU32_BE, 0), kNativeBitRate, 1000);
    EXPECT_NEAR(tone.tone_dbfs, gain_db, 0.4) << option;
    EXPECT_GT(tone.snr_db, last_snr + 10) << option;
    last_snr = tone.snr_db;
  }
}

TEST_F(BrisaPlays, VolumeAndChannelCuts) {
  dac({"DSD_U32_BE"});
  const std::string file = tone_file("tone.wav", 0.5);
  const playback quieter = play({"--volume=-6", file});
  ASSERT_EQ(quieter.result.exit_status, 0) << quieter.result.err;
  EXPECT_NEAR(dsd_tone(music_bytes(quieter, kFormatDsdU32_BE, 0), kNativeBitRate, 1000).tone_dbfs, -12.9, 0.4);
  // Level 7 follows the volume as well: 20 table steps of 1.0034 dB.
  const playback level7 = play({"-L7", file});
  const playback level7_down = play({"-L7", "--volume=-20", file});
  ASSERT_EQ(level7_down.result.exit_status, 0) << level7_down.result.err;
  EXPECT_NEAR(dsd_tone(music_bytes(level7, kFormatDsdU32_BE, 0), kNativeBitRate, 1000).tone_dbfs -
                  dsd_tone(music_bytes(level7_down, kFormatDsdU32_BE, 0), kNativeBitRate, 1000).tone_dbfs,
              20.07, 0.3);

  const playback cut = play({"--left-cut", file});
  ASSERT_EQ(cut.result.exit_status, 0) << cut.result.err;
  EXPECT_LT(dsd_tone(music_bytes(cut, kFormatDsdU32_BE, 0), kNativeBitRate, 1000).tone_dbfs, -100);
  EXPECT_NEAR(dsd_tone(music_bytes(cut, kFormatDsdU32_BE, 1), kNativeBitRate, 1000).tone_dbfs, -6.9, 0.3);
}

TEST_F(BrisaPlays, FilesOfOtherRatesPlayAtTheirOwnSpeed) {
  dac({"DSD_U32_BE"});
  const playback run = play({tone_file("a.wav", 0.5, 1000, 0.5, 44100), tone_file("b.wav", 0.5, 1000, 0.5, 48000)});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  // The second file starts half a second of frames after the first.
  const std::vector<uint8_t> second =
      dsd_channel_bytes(run.capture, kFormatDsdU32_BE, 0, kPrerollFrames + kMusicFramesPerSecond / 2 + 2000);
  EXPECT_NEAR(dsd_tone(second, kNativeBitRate, 0).tone_hz, 1000, 20);
}

// An album at 48 or 96 kHz plays at the level of one at 44.1 kHz.
TEST_F(BrisaPlays, EveryInputRatePlaysAtOneLevel) {
  dac({"DSD_U32_BE"});
  constexpr uint32_t kRates[] = {44100, 48000, 96000};
  std::vector<std::string> words = {"-L7"};
  for (const uint32_t rate : kRates) {
    words.push_back(tone_file("tone" + std::to_string(rate) + ".wav", 0.5, 1000, 0.5, rate, sample_encoding::float32));
  }
  const playback run = play(words);
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  // 2^21 bits of each file's half second, from 0.1 s into it.
  constexpr size_t kFrames = 65536, kFirst = kPrerollFrames + kMusicFramesPerSecond / 10;
  double levels[3] = {};
  for (size_t i = 0; i < 3; ++i) {
    std::vector<uint8_t> part =
        dsd_channel_bytes(run.capture, kFormatDsdU32_BE, 0, kFirst + i * kMusicFramesPerSecond / 2);
    ASSERT_GE(part.size(), 4 * kFrames);
    part.resize(4 * kFrames);
    levels[i] = dsd_tone(part, kNativeBitRate, 1000).tone_dbfs;
  }
  EXPECT_NEAR(levels[0], -6.0 - 12.96, 0.1);
  EXPECT_NEAR(levels[1], levels[0], 0.05);
  EXPECT_NEAR(levels[2], levels[0], 0.05);
}

TEST_F(BrisaPlays, SilentLinesAndTheHeaderOfTheFileBeingHeard) {
  dac({"DSD_U32_BE"}, "Amanero Combo384 at usb-1", {.paced = true});
  const playback run = play({"--silent", tone_file("a.wav", 1.5), tone_file("b.wav", 1.2)});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  const std::string& out = run.result.out;
  const size_t first = out.find("playing file 1/2 total 00:01 \"a.wav\"");
  const size_t a_one = out.find("\n0 1 0\n");
  const size_t second = out.find("playing file 2/2 total 00:01 \"b.wav\"");
  const size_t b_zero = out.find("\n1 0 0\n");
  ASSERT_NE(first, std::string::npos) << out;
  ASSERT_NE(second, std::string::npos) << out;
  EXPECT_LT(first, a_one);
  EXPECT_LT(a_one, second);  // a.wav was heard for a second before b.wav's header
  EXPECT_LT(second, b_zero);
  EXPECT_EQ(run.result.err.find("Open "), std::string::npos);  // no notice with --silent
}

// A seek forward plays on in the same stream from ten seconds on: the
// position follows what is heard, and the list ends as it should.
TEST_F(BrisaPlays, SeekKeysMoveThePositionAndPlayOn) {
  dac({"DSD_U32_BE"}, "Amanero Combo384 at usb-1", {.paced = true});
  const playback run = play({"--silent", tone_file("a.wav", 12)}, {.keys = {{"\n0 1 0\n", "\x1b[C"}}});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  const std::string& out = run.result.out;
  const size_t one = out.find("\n0 1 0\n");
  const size_t eleven = out.find("\n0 11 0\n");
  ASSERT_NE(one, std::string::npos) << out;
  ASSERT_NE(eleven, std::string::npos) << out;
  EXPECT_LT(one, eleven);
  EXPECT_EQ(out.find("\n0 5 0\n"), std::string::npos) << out;
  // The tone goes on after the join: the last second is the file's end.
  const std::vector<uint8_t> left = music_bytes(run, kFormatDsdU32_BE, 0);
  const size_t second = static_cast<size_t>(kNativeBitRate / 8);
  ASSERT_GT(left.size(), 2 * second);
  EXPECT_LT(left.size(), static_cast<size_t>(4 * second));
  const analyser_result tone = dsd_tone(std::span(left).last(second * 6 / 10).first(second / 2), kNativeBitRate, 1000);
  EXPECT_GT(tone.snr_db, 40) << tone.snr_db;
}

TEST_F(BrisaPlays, TooSmallABufferIsWarnedAboutAndEnlarged) {
  dac({"DSD_U32_BE"});
  const playback run = play({"-B", "1M", tone_file("tone.wav", 0.2)});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  EXPECT_NE(run.result.err.find(" buffer size 1048576Bytes is too small. reset to 1572864[Bytes].\n"),
            std::string::npos);
}

TEST_F(BrisaPlays, ABusyDacIsRetriedWithTheAttemptsCounted) {
  dac({"DSD_U32_BE"}, "Amanero Combo384 at usb-1", {.busy_opens = 2});
  const playback run = play({tone_file("tone.wav", 0.2)});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  EXPECT_NE(run.result.err.find("1st snd_pcm_open() failed. retrying snd_pcm_open() ...\r"
                                "2nd snd_pcm_open() failed. retrying snd_pcm_open() ...\r\n"),
            std::string::npos)
      << run.result.err;
}

// After the music the DAC is opened once more and set to a PCM mode, so it
// leaves DSD: 32-bit samples, else packed 24-bit, at its lowest rate.
TEST_F(BrisaPlays, TheDacIsLeftInAPcmModeAtItsLowestRate) {
  dac({"DSD_U32_BE", "S24_3LE"}, "Amanero Combo384 at usb-1", {.rate_min = 32000});
  const playback run = play({tone_file("tone.wav", 0.2)});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  const std::string log = read_captured(env_.dac_log("dac"));
  // The last open, after the stream's: the return to PCM, which plays nothing.
  const size_t last_open = log.rfind("\nopen ");
  ASSERT_NE(last_open, std::string::npos) << log;
  const std::string reopened = log.substr(last_open + 1);
  const size_t mode = reopened.find("\nhw_params ");
  ASSERT_NE(mode, std::string::npos) << log;
  EXPECT_EQ(reopened.substr(mode + 1, reopened.find(" buffer=", mode) - mode - 1),
            "hw_params format=S24_3LE rate=32000 channels=2");
  EXPECT_NE(log.substr(0, last_open).find("hw_params format=DSD_U32_BE rate=352800"), std::string::npos) << log;
  // The refused 32-bit format is reported, with the format of the stream.
  EXPECT_NE(
      run.result.err.find(" snd_pcm_hw_params_set_format(format=" + std::to_string(kFormatDsdU32_BE) + ") failed.\n"),
      std::string::npos)
      << run.result.err;
  EXPECT_FALSE(run.capture.empty());
}

TEST_F(BrisaPlays, ADacThatCannotRunAt352800IsFatalBeforeAnySound) {
  dac({"DSD_U32_BE"}, "Amanero Combo384 at usb-1", {.rate_min = 384000});
  const playback run = play({tone_file("tone.wav", 0.2)});
  EXPECT_NE(run.result.err.find("This hardware supports minimum rate 384000Hz not 352800Hz\n"), std::string::npos);
  std::string module;
  const int line = reported_line(run.result.err, &module);
  EXPECT_EQ(module, "pcm_output");
  EXPECT_EQ(run.result.exit_status, fatal_exit_status(line));
  EXPECT_NE(run.result.err.find("could not be opened and configured"), std::string::npos);
  EXPECT_TRUE(run.capture.empty());
}

TEST_F(BrisaPlays, AnInterruptWhilePrefillingEndsAtOnce) {
  // ThreadSanitizer runs a signal's handler late, when the thread next
  // enters a call it intercepts: on a loaded machine the whole fill has been
  // seen to pass first. The other trees check the fill's interrupt.
  if (std::getenv("TSAN_OPTIONS") != nullptr) GTEST_SKIP() << "signals are deferred under ThreadSanitizer";
  dac({"DSD_U32_BE"});
  // 80 % of the buffer is 76 s of music, through the slowest modulator:
  // filling lasts long after its first line, also on a loaded machine under
  // a sanitizer, so the interrupt sent on that line lands in it.
  const playback run = play({"-B", "256M", "-L7", tone_file("long.wav", 120)}, {.interrupt_when = "filling buffer"});
  EXPECT_EQ(run.result.interrupts_sent, 1);
  std::string module;
  const int line = reported_line(run.result.err, &module);
  EXPECT_EQ(module, "player");
  EXPECT_NE(run.result.err.find(" exit by interrupt\n"), std::string::npos) << run.result.err;
  EXPECT_EQ(run.result.exit_status, fatal_exit_status(line));
}

// After an interrupt little more music goes out, however much is queued:
// the stream ends in its own silence, markers unbroken.
TEST_F(BrisaPlays, AnInterruptEndsTheMusicPromptlyInSilenceAndASecondOneAborts) {
  dac({"S24_3LE"}, "Some DAC at usb-3", {.paced = true});
  const std::string file = tone_file("long.wav", 20);
  // A second of music has been heard when the position line says so, and
  // the device holds half a second more; ten megabytes hold nearly four
  // seconds beyond.
  const playback once = play_unbroken({"-B", "10M", file}, {.timeout_seconds = 20, .interrupt_when = "position 00:01"});
  EXPECT_EQ(once.result.interrupts_sent, 1);
  EXPECT_EQ(once.result.exit_status, 0) << once.result.err;
  expect_alternating_markers(once.capture, kFormatS24_3LE);
  const std::vector<uint8_t> left = music_bytes(once, kFormatS24_3LE, 0);
  size_t music_end = left.size();
  while (music_end > 0 && left[music_end - 1] == 0xAA) --music_end;
  constexpr double kBytesPerSecond = kDopBitRate / 8;
  EXPECT_LT(static_cast<double>(music_end) / kBytesPerSecond, 1.0 + 0.5 + 0.3 + 0.15);
  EXPECT_GE(static_cast<double>(left.size() - music_end) / kBytesPerSecond, 0.05);

  const playback twice =
      play({file}, {.timeout_seconds = 20, .interrupt_when = "position 00:01", .interrupt_twice = true});
  EXPECT_EQ(twice.result.interrupts_sent, 2);
  EXPECT_NE(twice.result.err.find(" Interrupt stack. Abort\n"), std::string::npos) << twice.result.err;
  // The output thread may still warn while the process ends: the status is
  // the abort's line, whatever report came last.
  EXPECT_EQ(twice.result.exit_status, fatal_exit_status(reported_line_of(twice.result.err, "Interrupt stack. Abort\n")))
      << twice.result.err;
}

// A kill, a hang-up or Ctrl-\\ ends playback as a first interrupt does: the
// music ends in the stream's silence, the DAC goes back to a PCM mode and
// the terminal gets its settings back.
TEST_F(BrisaPlays, TerminationSignalsEndPlaybackAsAnInterruptDoes) {
  dac({"S24_3LE"}, "Some DAC at usb-3", {.paced = true});
  const std::string file = tone_file("long.wav", 20);
  for (const int sig : {SIGTERM, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(sig);
    const playback run = play_unbroken(
        {"-B", "10M", file},
        {.timeout_seconds = 20, .interrupt_when = "position 00:01", .interrupt_signal = sig, .terminal = true});
    EXPECT_EQ(run.result.interrupts_sent, 1);
    ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
    EXPECT_EQ(run.result.terminal_local_modes_at_interrupt & (ICANON | ECHO), 0u) << "key mode while playing";
    EXPECT_TRUE(run.result.terminal_restored);
    expect_alternating_markers(run.capture, kFormatS24_3LE);
    const std::vector<uint8_t> left = music_bytes(run, kFormatS24_3LE, 0);
    size_t music_end = left.size();
    while (music_end > 0 && left[music_end - 1] == 0xAA) --music_end;
    constexpr double kBytesPerSecond = kDopBitRate / 8;
    EXPECT_GT(music_end, 0u);
    EXPECT_LT(static_cast<double>(music_end) / kBytesPerSecond, 1.0 + 0.5 + 0.3 + 0.15);
    EXPECT_GE(static_cast<double>(left.size() - music_end) / kBytesPerSecond, 0.05);
    // The last open is the return to a PCM mode.
    const std::string log = read_captured(env_.dac_log("dac"));
    const size_t last_open = log.rfind("\nopen ");
    ASSERT_NE(last_open, std::string::npos) << log;
    EXPECT_NE(log.find("hw_params format=S24_3LE rate=44100", last_open), std::string::npos) << log;
  }
}

// Space pauses and resumes: the DAC gets the music faded out, the stream's
// silence, the music faded in from where it stopped, markers alternating
// across it; q then stops like Ctrl-C. The keys come through a pipe.
TEST_F(BrisaPlays, PauseInsertsSilenceIntoTheMusicAndQuitStops) {
  dac({"S24_3LE"}, "Some DAC at usb-3", {.paced = true});
  const std::string file = tone_file("tone.wav", 4);
  const playback whole = play_unbroken({file});
  ASSERT_EQ(whole.result.exit_status, 0) << whole.result.err;
  const playback paused =
      play_unbroken({file}, {.keys = {{"position 00:01", " "}, {"pause", " ", 1.0}, {"position 00:02", "q"}}});
  ASSERT_EQ(paused.result.exit_status, 0) << paused.result.err;
  expect_alternating_markers(paused.capture, kFormatS24_3LE);

  const std::string& a = whole.capture;
  const std::string& b = paused.capture;
  constexpr size_t kFrameBytes = 6;
  const size_t cut = static_cast<size_t>(std::mismatch(a.begin(), a.end(), b.begin(), b.end()).first - a.begin()) /
                     kFrameBytes * kFrameBytes;
  // Silent frames: idle DSD under the marker.
  const auto idle = [&](size_t at) {
    return static_cast<uint8_t>(b[at]) == 0xAA && static_cast<uint8_t>(b[at + 1]) == 0xAA &&
           static_cast<uint8_t>(b[at + 3]) == 0xAA && static_cast<uint8_t>(b[at + 4]) == 0xAA;
  };
  // The music fades out (with the filter's tail) before the idle frames.
  size_t pause_start = cut;
  for (size_t run = 0; pause_start + kFrameBytes <= b.size() && run < 100; pause_start += kFrameBytes)
    run = idle(pause_start) ? run + 1 : 0;
  pause_start -= 100 * kFrameBytes;
  EXPECT_LT(pause_start - cut, 352800 * kFrameBytes / 50) << "a fade of a few milliseconds";
  size_t resume = pause_start;
  while (resume + kFrameBytes <= b.size() && idle(resume)) resume += kFrameBytes;
  const double paused_seconds = static_cast<double>(resume - pause_start) / kFrameBytes / 176400;
  EXPECT_GE(paused_seconds, 0.5) << "the pause lasted a second";
  EXPECT_GT(cut / kFrameBytes, size_t{176400 * 2}) << "music before the pause";
  // The key came once a second had been heard after two of lead-in: the
  // fade begins within the device's 80 ms and a loaded machine's delays,
  // well before the half second a device buffer once held.
  constexpr auto kFramesPerSecond = static_cast<size_t>(kDopBitRate / 16);
  EXPECT_LT(cut / kFrameBytes, kFramesPerSecond * 33 / 10) << "the pause heard late";
  // After the pause the music goes on where it stopped, until q ends it.
  size_t music_end = b.size();
  while (music_end >= resume + kFrameBytes && static_cast<uint8_t>(b[music_end - kFrameBytes]) == 0xAA)
    music_end -= kFrameBytes;
  ASSERT_GT(music_end, resume + 176400 * kFrameBytes / 2) << "music after the pause";
  EXPECT_LT(cut + (music_end - resume), a.size()) << "q ended it early";
  // The tone goes on after its fade-in.
  const std::vector<uint8_t> after = dsd_channel_bytes(b, kFormatS24_3LE, 0, resume / kFrameBytes + 176400 / 50);
  const analyser_result tone = dsd_tone(std::span(after).first(176400 / 2 * 2), kDopBitRate, 1000);
  EXPECT_GT(tone.snr_db, 40) << tone.snr_db;
}

// The 3-20 kHz energy of a DoP run's left channel in 5.8 ms windows half a
// window apart, from the music's first tenth of a second to its last; for
// each whether it holds an edge of a pause (16 idle bytes in a row); and
// the music's own level, the median.
struct click_windows {
  std::vector<double> levels;
  std::vector<bool> idle;
  double music = 0;
};

click_windows click_windows_of(const playback& run) {
  constexpr size_t kWindow = 32768;
  const std::vector<uint8_t> left = music_bytes(run, kFormatS24_3LE, 0);
  const std::vector<float> bits = analyser_bits_from_bytes(left, static_cast<int64_t>(left.size()) * 8);
  const size_t edge = static_cast<size_t>(kDopBitRate / 10);
  click_windows found;
  if (bits.size() <= 10 * edge) return found;
  found.levels = band_energy_windows(bits, kDopBitRate, kWindow, kWindow / 2, edge, bits.size() - edge);
  for (size_t i = 0; i < found.levels.size(); ++i) {
    const size_t first = (edge + i * kWindow / 2) / 8;
    size_t run_length = 0;
    for (size_t at = first; at < first + kWindow / 8 && run_length < 16; ++at)
      run_length = left[at] == kDsdIdleByte ? run_length + 1 : 0;
    found.idle.push_back(run_length >= 16);
  }
  std::vector<double> sorted = found.levels;
  std::sort(sorted.begin(), sorted.end());
  found.music = sorted[sorted.size() / 2];
  return found;
}

// Pause, resume, a skip and a volume key: where the device's music meets
// the music made again, the fades, the glide to the new level and the
// modulators going on into them, no click: in short windows the energy
// between 3 and 20 kHz stays near the music's own, but where a window holds
// the edge of the pause's idle frames.
TEST_F(BrisaPlays, PauseAndSkipFadeWithoutAClick) {
  dac({"S24_3LE"}, "Some DAC at usb-3", {.paced = true});
  const playback run = play_unbroken(
      {tone_file("a.wav", 4), tone_file("b.wav", 2)},
      {.keys = {{"position 00:01", " "}, {"pause", " ", 0.3}, {"position 00:02", "n"}, {"position 00:01", "-"}}});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  expect_alternating_markers(run.capture, kFormatS24_3LE);
  const click_windows windows = click_windows_of(run);
  ASSERT_FALSE(windows.levels.empty());
  for (size_t i = 0; i < windows.levels.size(); ++i) {
    if (windows.idle[i]) continue;
    EXPECT_LT(windows.levels[i], windows.music + 7)
        << "window " << i << " of " << windows.levels.size() << ", the music at " << windows.music << " dBFS";
  }
  EXPECT_NE(std::find(windows.idle.begin(), windows.idle.end(), true), windows.idle.end()) << "the pause";
}

// At level 7, whose floor shows the smallest step, from a 48 kHz file: the
// modulators land in a pause's idle frames and go on from them, and volume
// keys re-make the queued music from the modulators' state where the
// device's music ends, without a click. The windows holding the pause's
// edges stay under -80 dBFS between 3 and 20 kHz (a plain cut measures about
// -56); the others stay within 20 dB of the music (the fades and glides
// measure about +10, modulators off their path +45 to +60).
TEST_F(BrisaPlays, LevelSevenPausesAndChangesVolumeWithoutAClick) {
  dac({"S24_3LE"}, "Some DAC at usb-3", {.paced = true});
  const playback run =
      play_unbroken({"-L7", tone_file("a.wav", 4, 1000, 0.5, 48000)}, {.keys = {{"position 00:01", " "},
                                                                                {"pause", " ", 0.3},
                                                                                {"position 00:02", "-"},
                                                                                {"volume -1[dB]", "-", 0.25},
                                                                                {"volume -2[dB]", "-", 0.25}}});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  EXPECT_NE(run.result.out.find("volume -3[dB]"), std::string::npos);
  const click_windows windows = click_windows_of(run);
  size_t edges = 0;
  for (size_t i = 0; i < windows.levels.size(); ++i) {
    edges += windows.idle[i] ? 1 : 0;
    EXPECT_LT(windows.levels[i], windows.idle[i] ? -80 : windows.music + 20)
        << "window " << i << " of " << windows.levels.size() << (windows.idle[i] ? ", a pause's edge" : "")
        << ", the music at " << windows.music << " dBFS";
  }
  EXPECT_GE(edges, 2U) << "the pause";
}

// A DSD file modulated again fades out before the pause's idle frames, as
// PCM does: in the last millisecond before them the tone has all but gone.
TEST_F(BrisaPlays, ADsdFileFadesOutBeforeAPause) {
  dac({"S24_3LE"}, "Some DAC at usb-3", {.paced = true});
  const std::string file = env_.file("tone.dff");
  ASSERT_TRUE(write_dff(file, dff_spec{}, interleave_channels(dsd64_tone(1000, 0.5, 4, 2))));
  const playback run = play_unbroken({file}, {.keys = {{"position 00:01", " "}, {"pause", "q", 0.3}}});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  const std::vector<uint8_t> left = music_bytes(run, kFormatS24_3LE, 0);
  // The pause: the longest run of idle bytes.
  size_t pause = 0, longest = 0;
  for (size_t i = 0, length = 0; i < left.size(); ++i) {
    length = left[i] == kDsdIdleByte ? length + 1 : 0;
    if (length > longest) std::tie(longest, pause) = std::pair(length, i + 1 - length);
  }
  constexpr size_t kMillisecond = kDopBitRate / 8 / 1000;
  ASSERT_GT(longest, 100 * kMillisecond) << "the pause";
  ASSERT_GT(pause, 30 * kMillisecond);
  // The tone's level over a millisecond ending at byte `end`: the RMS of the
  // bits' means over 32-byte blocks (the modulator's noise averaged away).
  const auto tone_level = [&](size_t end) {
    double sum = 0;
    size_t blocks = 0;
    for (size_t at = end - kMillisecond; at + 32 <= end; at += 32, ++blocks) {
      int ones = 0;
      for (size_t i = at; i < at + 32; ++i) ones += std::popcount(left[i]);
      const double mean = (2.0 * ones - 256) / 256;
      sum += mean * mean;
    }
    return std::sqrt(sum / static_cast<double>(blocks));
  };
  EXPECT_LT(tone_level(pause), 0.2 * tone_level(pause - 20 * kMillisecond));
}

// Two underruns are ridden over, each bridged by the lead-in's silence; a
// third within ten seconds is a DAC that keeps failing.
TEST_F(BrisaPlays, RepeatedUnderrunsStopWithAReport) {
  // Each time it runs dry after three seconds: two of lead-in or bridge, one of music.
  dac({"DSD_U32_BE"}, "Amanero Combo384 at usb-1", {.underrun_after = 3 * kMusicFramesPerSecond});
  const playback starved = play({tone_file("long.wav", 20)});
  EXPECT_NE(starved.result.err.find(" playback stopped: underrun.\n"), std::string::npos) << starved.result.err;
  size_t recovered = 0;
  for (size_t at = starved.result.err.find(", recovered\n"); at != std::string::npos;
       at = starved.result.err.find(", recovered\n", at + 1)) {
    ++recovered;
  }
  EXPECT_EQ(recovered, 2u) << starved.result.err;
  EXPECT_NE(starved.result.exit_status, 0);
}

TEST_F(BrisaPlays, ADisconnectedDacStopsWithAReport) {
  dac({"DSD_U32_BE"}, "Amanero Combo384 at usb-1", {.paced = true, .disconnect_after = 1000000});
  const playback run = play({tone_file("long.wav", 8)});
  EXPECT_NE(run.result.err.find(" playback stopped: device disconnected.\n"), std::string::npos) << run.result.err;
  EXPECT_NE(run.result.exit_status, 0);
}

TEST_F(BrisaPlays, Dsd64IsRemodulatedNativelyAndAsDop) {
  dac({"DSD_U32_BE", "S24_3LE"});
  const std::string file = env_.file("tone.dff");
  ASSERT_TRUE(write_dff(file, dff_spec{}, interleave_channels(dsd64_tone(1000, 0.5, 0.6))));

  const playback native = play({file});
  ASSERT_EQ(native.result.exit_status, 0) << native.result.err;
  const analyser_result n = dsd_tone(music_bytes(native, kFormatDsdU32_BE, 0), kNativeBitRate, 1000);
  EXPECT_NEAR(n.tone_dbfs, -6.0, 0.5);
  // r = 4: 0.6 s of DSD64 is 0.6 s at the output rate.
  EXPECT_NEAR(static_cast<double>(native.capture.size()) / 8 - kPrerollFrames, 0.6 * kMusicFramesPerSecond, 100);

  const playback dop = play({"--dop", file});
  ASSERT_EQ(dop.result.exit_status, 0) << dop.result.err;
  expect_alternating_markers(dop.capture, kFormatS24_3LE);
  EXPECT_NEAR(dsd_tone(music_bytes(dop, kFormatS24_3LE, 0), kDopBitRate, 1000).tone_dbfs, -6.0, 0.5);

  // DSF is read natively too, its bytes stored earliest bit last.
  const channel_bytes stored = bits_reversed(dsd64_tone(1000, 0.5, 0.6));
  const std::string dsf = env_.file("tone.dsf");
  ASSERT_TRUE(write_dsf(dsf, dsf_spec{}, stored));
  const playback from_dsf = play({dsf});
  ASSERT_EQ(from_dsf.result.exit_status, 0) << from_dsf.result.err;
  EXPECT_EQ(from_dsf.capture, native.capture);

  const std::string dsd256 = env_.file("fast.dff");
  ASSERT_TRUE(write_dff(dsd256, dff_spec{.sample_rate = 11289600}, interleave_channels(dsd64_tone(1000, 0.5, 0.1))));
  const playback refused = play({"--dop", dsd256});
  EXPECT_NE(refused.result.err.find(" illegal input-output format pair: " + dsd256 +
                                    " is DSD at 11289600Hz, the output DoP at 5644800Hz.\n"),
            std::string::npos)
      << refused.result.err;
  EXPECT_EQ(refused.result.exit_status, fatal_exit_status(reported_line(refused.result.err)));
}

TEST_F(BrisaPlays, ACutChannelOfADsdFileIsSilentInNativeDsd) {
  dac({"DSD_U32_BE"});
  const std::string file = env_.file("tone.dff");
  ASSERT_TRUE(write_dff(file, dff_spec{}, interleave_channels(dsd64_tone(1000, 0.5, 0.3))));
  const playback whole = play({file});
  const playback cut = play({"--left-cut", file});
  ASSERT_EQ(cut.result.exit_status, 0) << cut.result.err;
  ASSERT_EQ(cut.capture.size(), whole.capture.size());
  EXPECT_TRUE(all_bytes_are(music_bytes(cut, kFormatDsdU32_BE, 0), 0x96));
  EXPECT_EQ(music_bytes(cut, kFormatDsdU32_BE, 1), music_bytes(whole, kFormatDsdU32_BE, 1));
}

TEST_F(BrisaPlays, FlacThroughFfmpeg) {
  dac({"DSD_U32_BE"});
  const std::string wav = tone_file("source.wav", 0.5, 3000, 0.5, 48000);
  const std::string flac = env_.file("tone.flac");
  const process_result encode =
      run_process({"/usr/bin/ffmpeg", "-loglevel", "error", "-y", "-i", wav, "-c:a", "flac", flac});
  if (encode.exit_status != 0) GTEST_SKIP() << "ffmpeg cannot encode FLAC here: " << encode.err;
  const playback run = play({flac});
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  const analyser_result tone = dsd_tone(music_bytes(run, kFormatDsdU32_BE, 0), kNativeBitRate, 0);
  EXPECT_NEAR(tone.tone_hz, 3000, 5);
  // Every rate's filter path has the 44.1 kHz path's gain of 0.9.
  EXPECT_NEAR(tone.tone_dbfs, -6.0 + 20.0 * std::log10(0.9), 0.3);
}

// Each file's tags show in one line under its header, from FFmpeg's
// metadata (FLAC), an ID3v2 tag (DSF) and LIST/INFO (WAV); a hostile text
// stays on its line, escaped and cut to its bound on a character boundary.
TEST_F(BrisaPlays, TagsShowUnderTheHeaderOnOneLine) {
  dac({"DSD_U32_BE"});
  std::vector<int16_t> samples(2 * 6000, 1000);
  const std::string flac = env_.file("tagged.flac");
  ASSERT_TRUE(write_file(flac, flac_bytes(44100, samples, {"TITLE=A Song", "ARTIST=Some Band", "ALBUM=Best Of"})));
  const std::string dsf = env_.file("tagged.dsf");
  ASSERT_TRUE(write_dsf(dsf, dsf_spec{.metadata = id3v2_tag({{"TIT2", "Dsd Title"}, {"TPE1", "Dsd Artist"}}, 3, 1)},
                        numbered_channels(2, 40000)));
  std::string accents;
  for (int i = 0; i < 300; ++i) accents += "\xc3\xa9";
  const std::string title = "Evil\x1b]0;x\x07\nTitle";
  std::vector<uint8_t> info = {'I', 'N', 'F', 'O'};
  for (const auto& [id, text] : {std::pair<std::string, std::string>{"INAM", title}, {"IART", accents}}) {
    info.insert(info.end(), id.begin(), id.end());
    for (int i = 0; i < 4; ++i) info.push_back(static_cast<uint8_t>(text.size() >> (8 * i)));
    info.insert(info.end(), text.begin(), text.end());
    if (text.size() % 2 != 0) info.push_back(0);
  }
  const std::string wav = env_.file("hostile.wav");
  ASSERT_TRUE(write_file(wav, wav_bytes(wav_spec{.after_data = {{"LIST", info}}},
                                        std::span<const int32_t>(std::vector<int32_t>(2 * 4410, 0)))));

  // One run per file: an unpaced device plays a list faster than headers show.
  std::string out;
  for (const std::string& file : {flac, dsf, wav}) {
    const playback run = play({file});
    ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
    out += run.result.out;
  }
  EXPECT_NE(out.find("\"tagged.flac\" \"" + flac + "\"\nSome Band \u2014 A Song (Best Of)\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("\"tagged.dsf\" \"" + dsf + "\"\nDsd Artist \u2014 Dsd Title\n"), std::string::npos) << out;
  // 256 bytes of two-byte characters: 128 of them.
  std::string bounded;
  for (int i = 0; i < 128; ++i) bounded += "\xc3\xa9";
  EXPECT_NE(out.find("\"\n" + bounded + " \u2014 Evil\\x1b]0;x\\x07\\x0aTitle\n"), std::string::npos) << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_NE(out.find("end of the play list.\n"), std::string::npos) << out;

  // The control channel sends the same tags, one event a tag, escaped.
  std::string events;
  for (const std::string& file : {flac, dsf, wav}) events += play({"--control", file}).result.out;
  EXPECT_NE(events.find("tag title A Song\ntag artist Some Band\ntag album Best Of\n"), std::string::npos) << events;
  EXPECT_NE(events.find("tag title Dsd Title\ntag artist Dsd Artist\n"), std::string::npos) << events;
  EXPECT_NE(events.find("tag title Evil\\x1b]0;x\\x07\\nTitle\ntag artist " + bounded + "\n"), std::string::npos)
      << events;
}

}  // namespace

// --replaygain= plays a file at the gain its tags ask for, measured against
// the same file played without: PCM before the filter, DSD through the
// modulator; a missing track gain falls back to the album's, held by its peak.
TEST_F(BrisaPlays, ReplayGainFromTheTagsSetsTheLevel) {
  dac({"DSD_U32_BE"});
  const auto tagged_wav = [&](const std::string& name, double amplitude, const id3_frames& frames) {
    const std::string path = env_.file(name);
    EXPECT_TRUE(write_file(path, wav_bytes(wav_spec{.after_data = {{"id3 ", id3v2_tag(frames, 3)}}},
                                           std::span<const double>(tone(1000, amplitude, 44100, 0.6)))));
    return path;
  };
  const auto level = [&](const std::string& mode, const std::string& file, std::string* out = nullptr) {
    const playback run = play({"--replaygain=" + mode, file});
    EXPECT_EQ(run.result.exit_status, 0) << run.result.err;
    if (out != nullptr) *out = run.result.out;
    return dsd_tone(music_bytes(run, kFormatDsdU32_BE, 0), kNativeBitRate, 1000).tone_dbfs;
  };

  const std::string quieter = tagged_wav(
      "quieter.wav", 0.5, {{"TXXX", "REPLAYGAIN_TRACK_GAIN=-6.00 dB"}, {"TXXX", "REPLAYGAIN_TRACK_PEAK=0.5"}});
  std::string out;
  EXPECT_NEAR(level("track", quieter, &out) - level("off", quieter), -6.0, 0.1);
  EXPECT_NE(out.find("\"\nreplaygain -6.00 dB (track)\n"), std::string::npos) << out;

  // No track gain: the album gain of +10 dB, held to +6.02 dB by its peak of 0.5.
  const std::string louder = tagged_wav(
      "louder.wav", 0.25, {{"TXXX", "REPLAYGAIN_ALBUM_GAIN=+10.00 dB"}, {"TXXX", "REPLAYGAIN_ALBUM_PEAK=0.5"}});
  EXPECT_NEAR(level("track", louder, &out) - level("off", louder), 6.02, 0.1);
  EXPECT_NE(out.find("\"\nreplaygain +6.02 dB (album)\n"), std::string::npos) << out;

  const channel_bytes stored = bits_reversed(dsd64_tone(1000, 0.5, 0.6));
  const std::string dsf = env_.file("quieter.dsf");
  ASSERT_TRUE(write_dsf(dsf, dsf_spec{.metadata = id3v2_tag({{"TXXX", "REPLAYGAIN_TRACK_GAIN=-6.00 dB"}})}, stored));
  EXPECT_NEAR(level("album", dsf) - level("off", dsf), -6.0, 0.2);
}

// A rate brisa cannot convert is refused before any sound, naming the file.
TEST_F(BrisaPlays, RatesWithoutAConversionAreRefusedByName) {
  dac({"DSD_U32_BE"});
  const playback slow = play({tone_file("slow.wav", 0.5, 1, 0.5, 100)});
  EXPECT_NE(
      slow.result.err.find(env_.file("slow.wav") + ": sample rate 100Hz is not supported (8000 to 16777216Hz).\n"),
      std::string::npos)
      << slow.result.err;
  EXPECT_EQ(slow.result.exit_status, fatal_exit_status(reported_line(slow.result.err)));
  const std::string dff = env_.file("odd.dff");
  ASSERT_TRUE(write_dff(dff, dff_spec{.sample_rate = 3 * 2822400}, interleave_channels(numbered_channels(2, 64))));
  const playback odd = play({dff});
  EXPECT_NE(odd.result.err.find("illegal input-output format pair: " + dff +
                                " is DSD at 8467200Hz, the output native DSD at 11289600Hz.\n"),
            std::string::npos)
      << odd.result.err;
  EXPECT_EQ(odd.result.exit_status, fatal_exit_status(reported_line(odd.result.err)));
  EXPECT_TRUE(odd.capture.empty());
}
