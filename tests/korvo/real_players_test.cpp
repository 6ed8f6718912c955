// Korvo with the real players of this tree: found by their version
// answer, started on a paced test DAC, shown, stopped, and chosen by
// auto detect through lumen --count.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "alsa_env.h"
#include "arguments.h"
#include "choices.h"
#include "config.h"
#include "discovery.h"
#include "fake_players.h"
#include "output_text.h"
#include "process_control.h"
#include "wav_writer.h"

namespace {

using namespace std::chrono_literals;

struct view_model {
  std::string text;
  void refresh() {
    process_poll();
    render_apply(text, output_refresh().ops);
  }
  bool wait_for(const std::string& part, std::chrono::seconds patience = 10s) {
    for (auto limit = std::chrono::steady_clock::now() + patience; std::chrono::steady_clock::now() < limit;) {
      refresh();
      if (text.find(part) != std::string::npos) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
};

TEST(RealPlayers, FoundStartedShownStoppedAndAutoDetected) {
  for (const char* player : {"brisa", "lumen"}) {
    if (access(built_program(player).c_str(), X_OK) != 0) GTEST_SKIP() << player << " is not built";
  }
  ASSERT_TRUE(output_init());
  alsa_env env;
  env.add_fake_dac("dac", {.formats = {"S16_LE", "S24_LE", "S32_LE"}, .paced = true, .discard = true});
  env.route_hw_to("dac");
  for (const std::string& word : env.environment()) {
    const size_t equals = word.find('=');
    setenv(word.substr(0, equals).c_str(), word.substr(equals + 1).c_str(), 1);
  }
  const fake_players players({});
  for (const char* player : {"brisa", "lumen"}) {
    ASSERT_EQ(symlink(built_program(player).c_str(), (players.dir() + "/" + player).c_str()), 0);
  }
  ASSERT_TRUE(discover_commands());
  ASSERT_EQ(command_list(), (std::vector<std::string>{"lumen", "lumen over sampling", "brisa"}));
  const std::string song = env.file("song.wav");
  ASSERT_TRUE(write_wav(song, {}, tone(1000, 0.5, 44100, 20)));
  const device_part card = build_device_part({"Fake DAC at usb-1 USB Audio", "hw:1,0"}, false);
  choices.device_kind = card.kind;
  view_model view;

  EXPECT_EQ(process_version_text(2).rfind("brisa Ver.1.1 ", 0), 0u);

  // A player's error reaches the view.
  process_start_playback("playing", 0, open_argument_string(card.words, env.file("missing.wav")));
  ASSERT_TRUE(view.wait_for("End of playback")) << view.text;
  EXPECT_NE(view.text.find("ERROR lumen "), std::string::npos) << view.text;

  // Playing: the position line keeps to one line of the view until Stop,
  // which one interrupt brings about.
  process_start_playback("playing", 0, open_argument_string(card.words, song));
  ASSERT_TRUE(view.wait_for("position 00:01")) << view.text;
  EXPECT_TRUE(process_playing()) << view.text;
  const auto lines = std::count(view.text.begin(), view.text.end(), '\n');
  EXPECT_LT(lines, 12) << view.text;
  process_stop_player();
  ASSERT_TRUE(view.wait_for("\nEnd of playback\n")) << view.text;
  EXPECT_FALSE(process_playing());
  EXPECT_NE(view.text.find("playing file 1/1"), std::string::npos) << view.text;

  // Auto detect: one PCM file makes one bit-perfect stream, so lumen plays it.
  process_start_playback("playing", static_cast<int32_t>(command_list().size()), open_argument_string(card.words, song));
  ASSERT_TRUE(view.wait_for("position 00:0")) << view.text;
  EXPECT_TRUE(process_playing()) << view.text;
  EXPECT_EQ(choices.selected_command, 0);
  process_stop_player();
  ASSERT_TRUE(view.wait_for("End of playback")) << view.text;
}

}  // namespace
