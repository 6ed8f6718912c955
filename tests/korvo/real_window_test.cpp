// Korvo's window under Xvfb with the real brisa and lumen on a paced test
// DAC (korvo_real_window_test.sh drives it): what plays is shown from the
// player's events, the DAC is waited for, and a Ctrl-drop adds to the list.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "alsa_env.h"
#include "process.h"
#include "tag_writer.h"
#include "wav_writer.h"

namespace {

constexpr int kSkipped = 77;

TEST(RealWindow, PlaysADropWaitsForTheDacAndAddsACtrlDrop) {
  for (const char* player : {"brisa", "lumen"}) {
    if (access(built_program(player).c_str(), X_OK) != 0) GTEST_SKIP() << player << " is not built";
  }
  alsa_env env;
  const std::string plugged = env.file("plugged");
  env.add_fake_dac("dac", {.formats = {"S16_LE"}, .paced = true, .discard = true});
  env.route_hw(1, 0, "dac");
  env.add_cards({{.number = 1, .longname = "Fake DAC at usb-1", .presence = plugged}});
  const std::string bin = env.file("bin");
  const std::string music = env.file("music");
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(music.c_str(), 0755), 0);
  for (const char* player : {"brisa", "lumen"}) {
    ASSERT_EQ(symlink(built_program(player).c_str(), (bin + "/" + player).c_str()), 0);
  }
  const id3_frames tags = {{"TPE1", "Test Artist"}, {"TIT2", "Test Tone"}};
  const std::vector<double> tone20 = tone(1000, 0.5, 44100, 20);
  ASSERT_TRUE(
      write_file(music + "/tone.wav", wav_bytes(wav_spec{.after_data = {{"id3 ", id3v2_tag(tags, 3)}}}, tone20)));
  ASSERT_TRUE(write_wav(music + "/second.wav", {}, tone20));
  std::ofstream{plugged}.close();
  std::ofstream(env.home() + "/.Korvo")
      << "Korvo config file version 1.0\ndevice-select:\tFake DAC at usb-1 USB Audio\n"
         "command-select:\tlumen\n";

  process_options options{.env = env.environment(), .timeout_seconds = 150};
  const process_result run = run_process(
      {KORVO_REAL_WINDOW_SCRIPT, KORVO_PROGRAM, KORVO_DRAG_SOURCE, bin, music, plugged, KORVO_SCREENSHOTS}, options);
  if (run.exit_status == kSkipped) GTEST_SKIP() << run.out;
  EXPECT_EQ(run.exit_status, 0) << run.out << run.err;
}

}  // namespace
