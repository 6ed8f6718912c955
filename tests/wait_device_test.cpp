// --wait-device end to end: DACs that are not plugged in at the start, or
// are pulled out while playing and plugged in again, through the real
// players, the fake DAC's presence file and the fake cards that come and go
// with it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <regex>
#include <string>
#include <vector>

#include "alsa_env.h"
#include "dsd_capture.h"
#include "process.h"
#include "sample_format.h"
#include "wav_writer.h"

namespace {

constexpr size_t kDopFrameBytes = 6;
constexpr size_t kBrisaLeadIn = 705600;  // two seconds at 352.8 kHz
constexpr double kDopBitRate = 5644800;
constexpr size_t kDeviceBufferFrames = 176400;  // half a second

void plug_in(const std::string& presence) { std::ofstream(presence) << "plugged in\n"; }
void pull_out(const std::string& presence) { unlink(presence.c_str()); }

class WaitDevice : public testing::Test {
 protected:
  // A DAC on card 1, plugged in while presence() exists (not yet).
  void dac(std::vector<std::string> formats, const std::string& card_name, fake_dac_options options = {}) {
    options.formats = std::move(formats);
    options.presence = presence();
    env_.add_fake_dac("dac", options);
    env_.route_hw_to("dac");
    env_.add_cards({{.number = 1, .longname = card_name, .presence = presence()}});
  }
  std::string presence() const { return env_.file("dac.present"); }

  process_result run(const std::string& program, std::vector<std::string> words, process_options options) {
    words.insert(words.begin(), built_program(program));
    return env_.run(words, options);
  }

  alsa_env env_;
};

// Every frame's DoP marker differs from the one before, and none is broken.
testing::AssertionResult markers_alternate(const std::string& stream) {
  const std::vector<uint8_t> markers = dop_markers(stream, kFormatS24_3LE);
  for (size_t i = 0; i < markers.size(); ++i) {
    if ((markers[i] != 0x05 && markers[i] != 0xFA) || (i > 0 && markers[i] == markers[i - 1]))
      return testing::AssertionFailure() << "marker " << int(markers[i]) << " at frame " << i;
  }
  return testing::AssertionSuccess();
}

// A DAC plugged in after the start is waited for, and the file plays whole.
TEST_F(WaitDevice, LumenWaitsForTheLastCardAndPlaysTheWholeFile) {
  dac({"S16_LE"}, "XMOS Audio 2.0 at usb-1");
  std::vector<int32_t> samples;
  for (int32_t i = 0; i < 2 * 44100; ++i) samples.push_back((i * 7919 % 60000) - 30000);
  const std::string file = env_.file("a.wav");
  ASSERT_TRUE(write_file(file, wav_bytes(wav_spec{}, samples)));
  const process_result played =
      run("lumen", {"--wait-device", file},
          {.steps = {{"waiting for the DAC on the last sound card ...\n", [&](int) { plug_in(presence()); }, 2}}});
  ASSERT_EQ(played.exit_status, 0) << played.err;
  EXPECT_NE(played.out.find("last device hw:1,0\n"), std::string::npos) << played.out;
  const std::string capture = read_captured(env_.dac_output("dac"));
  ASSERT_EQ(capture.size(), (44100 + samples.size() / 2) * 4);
  EXPECT_EQ(capture.find_first_not_of('\0'), 44100u * 4) << "a second of lead-in, then the music";
  for (size_t i = 0; i < samples.size(); ++i) {
    const auto sample = static_cast<int16_t>(static_cast<uint8_t>(capture[44100 * 4 + 2 * i]) |
                                             static_cast<uint8_t>(capture[44100 * 4 + 2 * i + 1]) << 8);
    ASSERT_EQ(sample, samples[i]) << "sample " << i;
  }
}

// Waiting costs next to nothing, and q or an interrupt ends it at once and
// cleanly.
TEST_F(WaitDevice, AWaitIsCheapAndEndsAtOnceOnAnInterruptOrQ) {
  dac({"S16_LE"}, "XMOS Audio 2.0 at usb-1");
  const std::string file = env_.file("a.wav");
  ASSERT_TRUE(write_file(file, wav_bytes(wav_spec{}, std::vector<int32_t>(2000, 0))));
  const process_result interrupted = run(
      "lumen", {"--wait-device", "-D", "dac", file},
      {.timeout_seconds = 20, .steps = {{"waiting for the DAC dac ...\n", [](int pid) { kill(pid, SIGINT); }, 10}}});
  EXPECT_EQ(interrupted.exit_status, 0) << interrupted.err;
  EXPECT_EQ(interrupted.err.find("ERROR"), std::string::npos) << interrupted.err;
  // Each poll opens the PCM, loading the test device's plugin again (a few
  // ms): a busy wait would take seconds.
  EXPECT_LT(interrupted.cpu_seconds, 0.3);
  std::cout << "CPU for about 10 s of waiting: " << interrupted.cpu_seconds << " s\n";

  const process_result quit =
      run("brisa", {"--wait-device", file}, {.timeout_seconds = 10, .keys = {{"waiting for the DAC ", "q"}}});
  EXPECT_EQ(quit.exit_status, 0) << quit.err;
  EXPECT_NE(quit.err.find("waiting for the DAC Amanero, DIYINHK, SMSL M100, XMOS Audio or XMOS usb audio ...\n"),
            std::string::npos)
      << quit.err;
  EXPECT_EQ(read_captured(env_.dac_output("dac")), "") << "nothing played";
}

// With --control the channel is read while the DAC is awaited: status tells
// the wait, quit ends it at once, and what else comes acts once it plays.
TEST_F(WaitDevice, TheControlChannelIsReadAndToldWhileTheDacIsAwaited) {
  dac({"S16_LE"}, "XMOS Audio 2.0 at usb-1", {.paced = true});
  const std::string file = env_.file("a.wav");
  ASSERT_TRUE(write_file(file, wav_bytes(wav_spec{}, std::vector<int32_t>(2 * 44100 * 2, 0))));
  const process_result quit = run("brisa", {"--control", "--wait-device", file},
                                  {.timeout_seconds = 10, .keys = {{"state waiting\n", "status\nquit\n"}}});
  EXPECT_EQ(quit.exit_status, 0) << quit.err;
  EXPECT_EQ(quit.out, "state waiting\nstate waiting\nstate stopped quit\nexit 0\n");
  EXPECT_NE(quit.err.find("waiting for the DAC Amanero, "), std::string::npos) << quit.err;

  const process_result held = run("lumen", {"--control", "--wait-device", "-D", "dac", file},
                                  {.keys = {{"state waiting\n", "pause\nstatus\n"}, {"state paused\n", "quit\n"}},
                                   .steps = {{"state waiting\nstate waiting\n", [&](int) { plug_in(presence()); }}}});
  EXPECT_EQ(held.exit_status, 0) << held.err;
  EXPECT_EQ(held.out.find("state waiting\nstate waiting\nstate paused\nlist 1\n"), 0u) << held.out;
  EXPECT_TRUE(held.out.ends_with("state stopped quit\nexit 0\n")) << held.out;
  EXPECT_NE(held.err.find("waiting for the DAC dac ...\n"), std::string::npos) << held.err;
}

// Pulled out at 3 s of a 10 s tone and plugged in 2 s later: the DAC gets
// the lead-in again and then the frames from the one it was playing when it
// went; between both streams every frame of the music is there once.
TEST_F(WaitDevice, ADacPulledOutMidSongPlaysOnFromWhereItWasHeard) {
  dac({"S24_3LE"}, "Amanero Combo384 at usb-1", {.paced = true, .keep_streams = true});
  plug_in(presence());
  const std::string file = env_.file("tone.wav");
  // A tone repeats: a little noise makes every stretch of the stream its own.
  std::vector<double> samples = tone(1000, 0.5, 44100, 10);
  uint32_t seed = 1;
  for (double& sample : samples) sample += ((seed = seed * 1664525 + 1013904223) >> 8) * 0x1p-24 * 4e-4 - 2e-4;
  ASSERT_TRUE(write_wav(file, wav_spec{}, samples));
  const process_result played =
      run("brisa", {"--control", "--wait-device", "--dop", file},
          {.timeout_seconds = 60,
           .steps = {{"position 00:03", [&](int) { pull_out(presence()); }},
                     {"the DAC is gone: waiting for it ...\n", [&](int) { plug_in(presence()); }, 2}}});
  ASSERT_EQ(played.exit_status, 0) << played.err;
  EXPECT_TRUE(std::regex_search(played.err, std::regex("the DAC is back: playing on from 00:0[2-4]\n"))) << played.err;
  const size_t waiting = played.out.find("\nstate waiting\n");
  EXPECT_NE(played.out.find("\nstate playing\n", waiting), std::string::npos) << played.out;
  EXPECT_LT(played.out.find("state playing\n"), waiting) << played.out;

  // What the first stream had played and been given when it went.
  const std::string log = read_captured(env_.dac_log("dac"));
  unsigned long long heard = 0, given = 0;
  const size_t unplugged = log.find("unplugged ");
  ASSERT_NE(unplugged, std::string::npos) << log;
  ASSERT_EQ(sscanf(log.c_str() + unplugged, "unplugged played=%llu written=%llu", &heard, &given), 2);
  const std::string capture = read_captured(env_.dac_output("dac"));
  ASSERT_GT(capture.size(), given * kDopFrameBytes);
  const std::string first = capture.substr(0, given * kDopFrameBytes);
  const std::string second = capture.substr(given * kDopFrameBytes);
  EXPECT_TRUE(markers_alternate(first));
  EXPECT_TRUE(markers_alternate(second));

  // Where the second stream's music begins in the first: its lead-in, one
  // frame more when that keeps the markers' order.
  const size_t probe_frames = 4096;
  ASSERT_GT(second.size(), (kBrisaLeadIn + 2 + probe_frames) * kDopFrameBytes);
  const size_t found = first.find(second.substr((kBrisaLeadIn + 1) * kDopFrameBytes, probe_frames * kDopFrameBytes));
  ASSERT_NE(found, std::string::npos) << "the frames given again are the first stream's";
  ASSERT_EQ(found % kDopFrameBytes, 0u);
  size_t resume = found / kDopFrameBytes - 1, lead_in = kBrisaLeadIn;
  if (second.compare(lead_in * kDopFrameBytes, kDopFrameBytes, first, resume * kDopFrameBytes, kDopFrameBytes) != 0) {
    ++resume;
    ++lead_in;
  }
  const double joined_ms = (static_cast<double>(resume) - static_cast<double>(heard)) * 1000 / 352800;
  std::cout << "resume at frame " << resume << " of the first stream, which had played " << heard << " and been given "
            << given << ": " << (joined_ms < 0 ? -joined_ms : joined_ms) << " ms "
            << (joined_ms < 0 ? "heard twice" : "missing") << " at the join\n";
  EXPECT_LE(resume, heard + kDeviceBufferFrames);
  EXPECT_GE(resume + kDeviceBufferFrames, heard);

  // The music of both, joined, is the whole tone and its filter tail, once.
  const std::string joined = first.substr(0, resume * kDopFrameBytes) + second.substr(lead_in * kDopFrameBytes);
  const size_t music_frames = joined.size() / kDopFrameBytes - kBrisaLeadIn;
  EXPECT_GE(music_frames, 10 * 352800 + 2 * 0.0063 * 352800);
  EXPECT_LE(music_frames, 10 * 352800 + 2 * 0.0065 * 352800);
  const size_t window = 262144;  // frames around the join
  const std::string around = joined.substr((resume - window / 2) * kDopFrameBytes, window * kDopFrameBytes);
  const analyser_result left = dsd_tone(dsd_channel_bytes(around, kFormatS24_3LE, 0), kDopBitRate, 1000);
  EXPECT_NEAR(left.tone_dbfs, -6.9, 0.3);
  EXPECT_GT(left.snr_db, 50);
}

}  // namespace
