// Korvo with the real players of this tree: found by their version
// answer, started on a paced test DAC, shown, stopped, chosen by auto
// detect through lumen --count, and paused, moved on and added to by the
// commands the window's buttons send; their events tell what plays.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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
  now_playing now;
  void refresh() {
    process_poll();
    output_update update = output_refresh();
    if (update.playing) now = *update.playing;
    render_apply(text, update.ops);
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

// The left samples of the 16-bit stereo frames in the DAC's output so far.
std::vector<int16_t> left_samples(const std::string& output) {
  std::ifstream in(output, std::ios::binary);
  const std::string bytes(std::istreambuf_iterator<char>(in), {});
  std::vector<int16_t> samples;
  for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
    int16_t left = 0;
    memcpy(&left, bytes.data() + at, sizeof left);
    samples.push_back(left);
  }
  return samples;
}

// Frames of a constant 16-bit stereo signal in the DAC's output so far.
size_t frames_of(const std::string& output, int16_t value) {
  const std::vector<int16_t> samples = left_samples(output);
  return static_cast<size_t>(std::count(samples.begin(), samples.end(), value));
}

// The output as runs of one sample value: "0 x 300, 1000 x 44100, ...".
struct sample_run {
  int16_t value;
  size_t frames;
};
std::vector<sample_run> runs_of(const std::vector<int16_t>& samples) {
  std::vector<sample_run> runs;
  for (const int16_t sample : samples) {
    if (runs.empty() || runs.back().value != sample) runs.push_back({sample, 0});
    ++runs.back().frames;
  }
  return runs;
}
std::string describe(const std::vector<sample_run>& runs) {
  std::string text;
  for (const sample_run& run : runs) text += std::to_string(run.value) + " x " + std::to_string(run.frames) + ", ";
  return text;
}

// Polls until done() holds; false after patience, which only a broken run waits.
template <typename Done>
bool wait_until(Done done, std::chrono::seconds patience = 20s) {
  for (auto limit = std::chrono::steady_clock::now() + patience; std::chrono::steady_clock::now() < limit;) {
    if (done()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// The same frame again and again, 20 s of it.
std::vector<double> constant(int16_t value) { return std::vector<double>(2 * 44100 * 20, value / 32768.0); }

TEST(RealPlayers, FoundStartedShownStoppedAutoDetectedAndKeyed) {
  for (const char* player : {"brisa", "lumen"}) {
    if (access(built_program(player).c_str(), X_OK) != 0) GTEST_SKIP() << player << " is not built";
  }
  ASSERT_TRUE(output_init());
  alsa_env env;
  env.add_fake_dac("dac", {.formats = {"S16_LE", "S24_LE", "S32_LE"}, .paced = true, .discard = true});
  env.add_fake_dac("keys", {.formats = {"S16_LE"}, .paced = true});
  env.route_hw(1, 0, "dac");
  env.route_hw(2, 0, "keys");
  // The players wait for a card that is not listed (--wait-device).
  env.add_cards({{.number = 1, .longname = "Fake DAC at usb-1"}, {.number = 2, .longname = "Fake DAC at usb-2"}});
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
  process_start_playback("playing", static_cast<int32_t>(command_list().size()),
                         open_argument_string(card.words, song));
  ASSERT_TRUE(view.wait_for("position 00:0")) << view.text;
  EXPECT_TRUE(process_playing()) << view.text;
  EXPECT_EQ(choices.selected_command, 0);
  process_stop_player();
  ASSERT_TRUE(view.wait_for("End of playback")) << view.text;

  // Pause holds the first file back; Next brings the second long before
  // the first's 20 s are over.
  const std::string first = env.file("first.wav");
  const std::string second = env.file("second.wav");
  ASSERT_TRUE(write_wav(first, {}, constant(1000)));
  ASSERT_TRUE(write_wav(second, {}, constant(-2000)));
  const device_part keyed = build_device_part({"Fake DAC at usb-2 USB Audio", "hw:2,0"}, false);
  const std::vector<std::string> both = {first, second};
  process_start_playback("playing", 0, open_argument_string(keyed.words, both));
  ASSERT_TRUE(view.wait_for("position 00:01")) << view.text;
  EXPECT_EQ(view.now.file_number, 1);
  EXPECT_EQ(view.now.file_count, 2);
  EXPECT_EQ(view.now.name, "first.wav");
  EXPECT_EQ(view.now.duration_ms, 20000);
  EXPECT_EQ(view.now.format, "44100:16:2");
  const std::string output = env.dac_output("keys");
  ASSERT_TRUE(process_send_command("pause"));
  // The pause is heard when the DAC, having played what was queued before
  // it, fades out into silence: music once, a fade of a few milliseconds
  // falling all the way, then half a second of silence, and no music in
  // between (the lead-in's silence may come first).
  std::vector<sample_run> runs;
  const auto paused_half_a_second = [&] {
    runs = runs_of(left_samples(output));
    if (!runs.empty() && runs.front().value == 0) runs.erase(runs.begin());
    if (runs.size() < 2 || runs.front().value != 1000 || runs.back().value != 0 || runs.back().frames < 44100 / 2) {
      return false;
    }
    int64_t fade_frames = 0;
    for (size_t i = 1; i + 1 < runs.size(); ++i) {
      if (runs[i].value >= runs[i - 1].value || runs[i].value <= 0) return false;
      fade_frames += runs[i].frames;
    }
    return fade_frames <= 44100 / 100;
  };
  ASSERT_TRUE(wait_until(paused_half_a_second)) << describe(runs);
  view.refresh();
  EXPECT_EQ(view.now.state, player_state::paused);
  ASSERT_TRUE(process_send_command("resume"));
  ASSERT_TRUE(process_send_command("next"));
  ASSERT_TRUE(view.wait_for("playing file 2/2")) << view.text;
  // A file added goes to the end of the list.
  ASSERT_TRUE(process_send_command("append " + first));
  EXPECT_TRUE(wait_until([&] {
    view.refresh();
    return view.now.file_count == 3;
  })) << view.text;
  EXPECT_EQ(view.now.file_number, 2);
  EXPECT_EQ(view.now.state, player_state::playing);
  EXPECT_TRUE(wait_until([&] { return frames_of(output, -2000) > 0; })) << "the second file is not heard";
  EXPECT_LT(frames_of(output, 1000), 44100u * 10) << "the first file played on";
  process_stop_player();
  ASSERT_TRUE(view.wait_for("End of playback")) << view.text;
}

}  // namespace
