// Starting, watching and stopping players: fake players on PATH record
// the words they get and print what real ones print.
#include "process_control.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "arguments.h"
#include "choices.h"
#include "config.h"
#include "discovery.h"
#include "fake_players.h"
#include "output_text.h"

namespace {

using namespace std::chrono_literals;
using words = std::vector<std::string>;

constexpr auto kPatience = 10s;  // only a broken run waits this long

// What the window would show: the text view and the title.
struct view_model {
  std::string text;
  std::string title;
  now_playing now;  // what the label and the progress bar would show

  void refresh() {
    process_poll();
    const output_update update = output_refresh();
    if (update.title) title = *update.title;
    if (update.playing) now = *update.playing;
    render_apply(text, update.ops);
  }
  // Refreshes every 10 ms until `done` holds; false after kPatience.
  bool wait_for(const std::function<bool()>& done) {
    const auto limit = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < limit) {
      refresh();
      if (done()) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  // The next run has started and printed its third position line.
  bool wait_for_run(const fake_players& players, size_t runs) {
    return wait_for([&] { return players.runs().size() == runs && text.find("position 00:03") != std::string::npos; });
  }
  bool wait_for_text(const std::string& part) {
    return wait_for([&] { return text.find(part) != std::string::npos; });
  }
  bool wait_until_idle() {
    return wait_for([] { return !process_playing(); }) && (refresh(), true);
  }
};

class ProcessControlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(output_init());
    // As a desktop may start Korvo: the players must not inherit these.
    signal(SIGPIPE, SIG_IGN);
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    sigprocmask(SIG_BLOCK, &hangup, nullptr);
  }

  void install(const std::vector<std::string>& names) {
    players = std::make_unique<fake_players>(names);
    ASSERT_TRUE(discover_commands());
    players->clear_record();
    choices = korvo_choices{};
    config_clear();
    view.refresh();
    view = view_model{};
  }
  void TearDown() override {
    process_cancel_pending();
    process_stop_player();
    view.wait_until_idle();
    unsetenv("FAKE_PLAYER_MODE");
    unsetenv("FAKE_COUNT_STATUS");
    unsetenv("FAKE_PLAYER_HOLD");
  }
  // The argument string of a drop of these paths onto device entry hw:1,0.
  static std::string drop_on_card(const std::vector<std::string>& paths) {
    std::string uris;
    for (const std::string& path : paths) uris += "file://" + path + "\r\n";
    const device_part part = build_device_part({"Fake DAC at usb-1 USB Audio", "hw:1,0"}, false);
    choices.device_kind = part.kind;
    return drop_argument_string(part.words, uris, nullptr);
  }
  int32_t row_of(const std::string& command) {
    const auto& list = command_list();
    return static_cast<int32_t>(std::find(list.begin(), list.end(), command) - list.begin());
  }
  words last_run() {
    const auto runs = players->runs();
    return runs.empty() ? words{} : runs.back();
  }

  std::unique_ptr<fake_players> players;
  view_model view;
};

TEST_F(ProcessControlTest, DropRunsThePlayerShowsProgressOnOneLineAndStops) {
  install({"lumen", "brisa"});
  // The player winds down until this file exists.
  const std::string release = players->dir() + "/release";
  setenv("FAKE_PLAYER_HOLD", release.c_str(), 1);
  process_start_playback("playing", row_of("lumen"), drop_on_card({"/music/a.wav", "/music/b b.wav"}));
  EXPECT_TRUE(process_playing());
  ASSERT_TRUE(view.wait_for_text("position 00:03"));
  EXPECT_EQ(last_run(), (words{"lumen", "--control", "--wait-device", "-B", "10M", "-D", "hw:1,0", "/music/a.wav",
                               "/music/b b.wav"}));
  EXPECT_EQ(view.text, "playing file 1/2 total 00:05 \"a.wav\" \"/music/a.wav\"\nposition 00:03 buffer 80[%] ");
  EXPECT_EQ(view.title, "playing Korvo");
  EXPECT_EQ(config_get_text(kKeyCommand), "lumen");
  EXPECT_EQ(choices.command_name, "lumen");

  // Stop (the quit command) returns while the player is still held in its
  // wind-down; the window shows the player's last words later.
  process_stop_player();
  EXPECT_EQ(process_poll(), process_state::stopping);
  process_stop_player();  // a second Stop sends nothing more
  std::ofstream{release}.close();
  ASSERT_TRUE(view.wait_until_idle());
  // Quit was enough, no interrupt came; the progress line gave way to the
  // player's last words, and its last events say how it ended.
  EXPECT_EQ(view.text,
            "playing file 1/2 total 00:05 \"a.wav\" \"/music/a.wav\"\n\nexit by quit (0)\n\n\nEnd of playback\n");
  EXPECT_EQ(view.now.state, player_state::stopped);
  EXPECT_EQ(view.now.exit_status, 0);
  EXPECT_EQ(view.title, " Korvo");
}

TEST_F(ProcessControlTest, OverSamplingAndBrisaWords) {
  install({"lumen", "brisa"});
  setenv("FAKE_PLAYER_MODE", "error", 1);
  choices.buffer_mb = 25;
  process_start_playback("playing", row_of("lumen over sampling"), drop_on_card({"/m/x.wav"}));
  ASSERT_TRUE(view.wait_until_idle());
  EXPECT_EQ(last_run(), (words{"lumen over sampling", "-os", "--control", "--wait-device", "-B", "25M", "-D", "hw:1,0",
                               "/m/x.wav"}));
  EXPECT_EQ(config_get_text(kKeyCommand), "lumen over sampling");

  process_start_playback("playing", row_of("brisa"), drop_on_card({"/m/x.wav"}));
  ASSERT_TRUE(view.wait_until_idle());
  EXPECT_EQ(last_run(), (words{"brisa", "--control", "--wait-device", "-D", "hw:1,0", "/m/x.wav"}));
}

TEST_F(ProcessControlTest, ErrorPrintedAtOnceIsShown) {
  install({"brisa"});
  setenv("FAKE_PLAYER_MODE", "error", 1);
  for (int run = 0; run < 5; ++run) {
    process_start_playback("playing", 0, drop_on_card({"/m/x.wav"}));
    ASSERT_TRUE(view.wait_until_idle());
    EXPECT_EQ(view.text, "\nERROR brisa 42 cannot open the device\n\n\nEnd of playback: exit status 42\n")
        << "run " << run;
  }
}

TEST_F(ProcessControlTest, VersionAsksTheChosenPlayerAndLeavesTheRunningOneAlone) {
  install({"lumen", "brisa"});
  process_start_playback("playing", row_of("lumen"), drop_on_card({"/m/x.wav"}));
  ASSERT_TRUE(view.wait_for_text("position 00:03"));
  EXPECT_EQ(process_version_text(row_of("brisa")), "brisa Ver.0.0 test player\n");
  EXPECT_EQ(last_run(), (words{"brisa", "--version"}));
  EXPECT_EQ(process_version_text(static_cast<int32_t>(command_list().size())), "lumen Ver.0.0 test player\n");
  view.refresh();
  EXPECT_EQ(process_poll(), process_state::playing);
  EXPECT_EQ(view.title, "playing Korvo");
  EXPECT_EQ(view.text.find("Ver.0.0"), std::string::npos);
}

TEST_F(ProcessControlTest, CommandsReachThePlayerAndItsEventsTellWhatPlays) {
  install({"lumen"});
  const temp_dir scratch;
  setenv("FAKE_PLAYER_STATE", scratch.file("state").c_str(), 1);
  process_start_playback("playing", 0, drop_on_card({"/m/a.wav", "/m/b.wav"}));
  ASSERT_TRUE(view.wait_for([&] { return view.now.position_ms == 3000; }));
  EXPECT_TRUE(process_takes_commands());
  now_playing expected{.name = "a.wav",
                       .file_number = 1,
                       .file_count = 2,
                       .artist = "Fake Artist",
                       .title = "Tone 1",
                       .position_ms = 3000,
                       .duration_ms = 5000,
                       .state = player_state::playing,
                       .format = "44100:16:2",
                       .error = {},
                       .exit_status = {}};
  EXPECT_EQ(view.now, expected);
  EXPECT_EQ(now_playing_tags(view.now), "Fake Artist \u2014 Tone 1");

  // A path with a newline stays one command; the list grows by it.
  for (const char* command : {"pause", "next", "append /m/new\\nline.wav", "seek 2.500", "frobnicate"}) {
    EXPECT_TRUE(process_send_command(command));
  }
  ASSERT_TRUE(view.wait_for([&] { return !view.now.error.empty(); }));
  expected.name = "b.wav";
  expected.file_number = 2;
  expected.file_count = 3;
  expected.title = "Tone 2";
  expected.position_ms = 2500;
  expected.state = player_state::paused;
  expected.error = "unknown command frobnicate";
  EXPECT_EQ(view.now, expected);
  process_stop_player();
  ASSERT_TRUE(view.wait_until_idle());
  EXPECT_FALSE(process_send_command("resume"));
  // The player got the commands, not keys, and started with the signals of
  // a fresh program although this process ignores SIGPIPE and blocks SIGHUP.
  std::ifstream state(scratch.file("state"));
  std::string pid_line;
  std::getline(state, pid_line);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(state), {}),
            "signals default\ncommand pause\ncommand next\ncommand append /m/new\\nline.wav\ncommand seek "
            "2.500\ncommand frobnicate\ncommand quit\n");
  unsetenv("FAKE_PLAYER_STATE");
}

TEST_F(ProcessControlTest, PlayersWithoutTheChannelGetKeysAndTheirInterrupt) {
  install({"tarvo"});
  const temp_dir scratch;
  setenv("FAKE_PLAYER_STATE", scratch.file("state").c_str(), 1);
  process_start_playback("playing", 0, drop_on_card({"/m/a.wav", "/m/b.wav"}));
  ASSERT_TRUE(view.wait_for_text("position 00:03"));
  EXPECT_EQ(last_run(), (words{"tarvo", "-B", "10M", "-D", "hw:1,0", "/m/a.wav", "/m/b.wav"}));
  EXPECT_FALSE(process_takes_commands());
  EXPECT_FALSE(process_send_command("next"));
  EXPECT_TRUE(process_send_key(' '));
  EXPECT_TRUE(process_send_key('n'));
  ASSERT_TRUE(view.wait_for_text("playing file 2/2"));
  process_stop_player();
  ASSERT_TRUE(view.wait_until_idle());
  EXPECT_NE(view.text.find("exit by interrupt (1)"), std::string::npos) << view.text;
  EXPECT_EQ(view.now, now_playing{});
  EXPECT_FALSE(process_send_key(' '));
  std::ifstream state(scratch.file("state"));
  std::string pid_line;
  std::getline(state, pid_line);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(state), {}), "signals default\nkey space\nkey n\n");
  unsetenv("FAKE_PLAYER_STATE");
}

TEST_F(ProcessControlTest, HowThePlayerEndedIsShown) {
  install({"lumen"});
  setenv("FAKE_PLAYER_MODE", "killed", 1);
  process_start_playback("playing", 0, drop_on_card({"/m/x.wav"}));
  ASSERT_TRUE(view.wait_until_idle());
  EXPECT_EQ(view.text, "\n\nEnd of playback: ended by signal 9\n");
}

TEST_F(ProcessControlTest, StartWhilePlayingStopsTheRunningPlayerFirst) {
  install({"lumen"});
  process_start_playback("playing", 0, drop_on_card({"/m/first.wav"}));
  ASSERT_TRUE(view.wait_for_text("position 00:03"));
  process_start_playback("playing", 0, drop_on_card({"/m/second.wav"}));
  ASSERT_TRUE(view.wait_for_run(*players, 2));
  // The view was cleared for the second run.
  EXPECT_EQ(view.text, "playing file 1/1 total 00:05 \"second.wav\" \"/m/second.wav\"\nposition 00:03 buffer 80[%] ");
  EXPECT_EQ(last_run().back(), "/m/second.wav");
  EXPECT_EQ(players->runs().size(), 2u);
}

TEST_F(ProcessControlTest, StopWhileIdleDoesNothing) {
  install({"lumen"});
  process_stop_player();
  EXPECT_FALSE(process_playing());
  view.refresh();
  EXPECT_EQ(view.text, "");
  EXPECT_TRUE(players->runs().empty());
}

TEST_F(ProcessControlTest, OutputReachesTheViewAsValidUtf8AndLongLinesWhole) {
  install({"lumen"});
  setenv("FAKE_PLAYER_MODE", "bytes", 1);
  process_start_playback("playing", 0, drop_on_card({"/m/x.wav"}));
  ASSERT_TRUE(view.wait_until_idle());
  EXPECT_EQ(view.text, "caf\xef\xbf\xbd au lait\nna\xc3\xafve\n\n\nEnd of playback\n");

  setenv("FAKE_PLAYER_MODE", "long", 1);
  process_start_playback("playing", 0, drop_on_card({"/m/x.wav"}));
  ASSERT_TRUE(view.wait_until_idle());
  EXPECT_EQ(view.text, std::string(5000, 'x') + "\n\n\nEnd of playback\n");
}

TEST_F(ProcessControlTest, TalkativePlayerIsReadWhileItStops) {
  install({"lumen"});
  setenv("FAKE_PLAYER_MODE", "chatty", 1);
  process_start_playback("playing", 0, drop_on_card({"/m/x.wav"}));
  ASSERT_TRUE(view.wait_for_text("cccc\n"));
  process_stop_player();
  ASSERT_TRUE(view.wait_until_idle());
  EXPECT_NE(view.text.find("chatty done\n\n\nEnd of playback\n"), std::string::npos);
}

TEST_F(ProcessControlTest, GrandchildHoldingTheOutputDoesNotHoldTheRun) {
  install({"lumen"});
  setenv("FAKE_PLAYER_MODE", "orphan", 1);
  process_start_playback("playing", 0, drop_on_card({"/m/x.wav"}));
  // The grandchild keeps the pipe open for 5 seconds; the run ends before.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(view.wait_until_idle());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  EXPECT_EQ(view.text, "parent leaves\n\n\nEnd of playback\n");
}

TEST_F(ProcessControlTest, CommandGoneSinceDiscoveryIsReportedAndBackToIdle) {
  install({"lumen"});
  ASSERT_EQ(unlink((players->dir() + "/lumen").c_str()), 0);
  process_start_playback("playing", 0, drop_on_card({"/m/x.wav"}));
  ASSERT_TRUE(view.wait_until_idle());
  EXPECT_EQ(view.text, "cannot start lumen: No such file or directory\n\n\nEnd of playback: exit status 127\n");
}

TEST_F(ProcessControlTest, FailedPipeIsReportedAndBackToIdle) {
  install({"lumen"});
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 3;  // no descriptor beyond standard input, output and error
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  process_start_playback("playing", 0, drop_on_card({"/m/x.wav"}));
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_FALSE(process_playing());
  view.refresh();
  EXPECT_EQ(view.text, "cannot create a pipe: Too many open files\n");
  EXPECT_EQ(view.title, " Korvo");
  EXPECT_TRUE(players->runs().empty());
}

TEST_F(ProcessControlTest, AutoDetectAsksLumenAndStartsTheChosenPlayer) {
  install({"lumen", "tarvo", "ondra"});
  const int32_t auto_row = static_cast<int32_t>(command_list().size());
  const std::string args = drop_on_card({"/m/a.wav", "/m/b.wav"});

  process_start_playback("playing", auto_row, args);
  ASSERT_TRUE(view.wait_for_text("position 00:03"));
  auto runs = players->runs();
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0], (words{"lumen", "--count", "-D", "hw:1,0", "/m/a.wav", "/m/b.wav"}));
  EXPECT_EQ(runs[1],
            (words{"lumen", "--control", "--wait-device", "-B", "10M", "-D", "hw:1,0", "/m/a.wav", "/m/b.wav"}));
  EXPECT_EQ(config_get_text(kKeyCommand), "auto detect");

  setenv("FAKE_COUNT_STATUS", "1", 1);
  process_start_playback("playing", auto_row, args);
  ASSERT_TRUE(view.wait_for_run(*players, 4));
  EXPECT_EQ(last_run().at(0), "tarvo");

  // A default device counts as an ALSA device; a converter card always gets ondra.
  setenv("FAKE_COUNT_STATUS", "0", 1);
  choices.device_kind = kind_unknown;
  process_start_playback("playing", auto_row, "-D default \"/m/a.wav\"");
  ASSERT_TRUE(view.wait_for_run(*players, 6));
  EXPECT_EQ(last_run().at(0), "lumen");
  choices.device_kind = kind_converter_card;
  process_start_playback("playing", auto_row, "-D hw:2,0 \"/m/a.wav\"");
  ASSERT_TRUE(view.wait_for_run(*players, 8));
  EXPECT_EQ(last_run().at(0), "ondra");
}

TEST_F(ProcessControlTest, AutoDetectOfAPlayerThatIsNotInstalledReturnsToIdle) {
  install({"lumen"});
  choices.device_kind = kind_converter_node;
  process_start_playback("playing", static_cast<int32_t>(command_list().size()), "-D /dev/orvda0 \"/m/a.dsf\"");
  EXPECT_FALSE(process_playing());
  view.refresh();
  EXPECT_EQ(view.text, "auto detect chose pelko, which is not installed.\n");
  EXPECT_EQ(players->runs().size(), 1u);  // the probe only
  // The next start is not held up.
  process_start_playback("playing", 0, drop_on_card({"/m/x.wav"}));
  ASSERT_TRUE(view.wait_for_text("position 00:03"));
}

}  // namespace
