// Command discovery with fake players on PATH; device discovery against
// the fake-cards shim and a scratch directory of device nodes.
#include "discovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <fstream>

#include "alsa_env.h"
#include "choices.h"
#include "fake_players.h"

namespace {

using words = std::vector<std::string>;

TEST(DiscoverCommands, CandidatesThatAnswerInCandidateOrder) {
  const fake_players players({"brisa", "rundo", "aplay", "lumen"});
  choices.selected_command = 3;
  ASSERT_TRUE(discover_commands());
  EXPECT_EQ(command_list(), (words{"lumen", "lumen over sampling", "aplay", "brisa", "rundo"}));
  EXPECT_EQ(choices.selected_command, 0);
  // Each candidate was asked for its version, in order.
  words asked;
  for (const auto& run : players.runs()) asked.push_back(run.at(0) + " " + run.at(1));
  EXPECT_EQ(asked, (words{"lumen --version", "aplay --version", "brisa --version", "rundo --version"}));
}

TEST(DiscoverCommands, NothingInstalled) {
  const fake_players players({});
  ASSERT_TRUE(discover_commands());
  EXPECT_TRUE(command_list().empty());
}

// The device list of list_devices run with these cards and node directory.
struct listed {
  words lines;
  std::string err;
};

listed list_devices(const std::vector<fake_card_spec>& cards, const std::string& node_dir) {
  alsa_env env;
  env.add_cards(cards);
  const process_result result = run_process({LIST_DEVICES_PROGRAM, node_dir}, {.env = env.environment()});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  listed out{{}, result.err};
  std::string line;
  for (const char c : result.out) {
    if (c == '\n') {
      out.lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  return out;
}

TEST(DiscoverDevices, NoCardsAndNoNodesGiveTheTwoDefaults) {
  temp_dir nodes;
  const listed result = list_devices({}, nodes.path());
  EXPECT_EQ(result.lines, (words{"alsa default |default", "command default |command default"}));
  EXPECT_EQ(result.err, "no soundcards found...\n");
}

TEST(DiscoverDevices, PlaybackDevicesOfEveryCard) {
  temp_dir nodes;
  const listed result =
      list_devices({{.number = 0, .longname = "Capture Only Card at pci-1", .playback = {}, .capture = {0}},
                    {.number = 1, .longname = "Twin DAC at usb-1", .playback = {0, 1}},
                    {.number = 2,
                     .longname = "Orvalis Quellform at usb-2",
                     .playback = {0},
                     .capture = {1},
                     .pcm_name = "Quellform Out"}},
                   nodes.path());
  EXPECT_EQ(result.lines,
            (words{"alsa default |default", "command default |command default", "Twin DAC at usb-1 USB Audio|hw:1,0",
                   "Twin DAC at usb-1 USB Audio|hw:1,1", "Orvalis Quellform at usb-2 Quellform Out|hw:2,0"}));
  EXPECT_EQ(result.err, "");
}

// A card whose step to its next device fails keeps the devices found so far;
// the failure is reported once and the next card is listed.
TEST(DiscoverDevices, AFailedStepToTheNextDeviceEndsThatCardsList) {
  temp_dir nodes;
  const listed result =
      list_devices({{.number = 1, .longname = "Twin DAC at usb-1", .playback = {0, 1}, .next_device_fails_after = 0},
                    {.number = 2, .longname = "Other DAC at usb-2"}},
                   nodes.path());
  EXPECT_EQ(result.lines, (words{"alsa default |default", "command default |command default",
                                 "Twin DAC at usb-1 USB Audio|hw:1,0", "Other DAC at usb-2 USB Audio|hw:2,0"}));
  EXPECT_EQ(result.err, "snd_ctl_pcm_next_device");
}

TEST(DiscoverDevices, ConverterNodesAreCharacterDevicesNamedOrvda) {
  temp_dir nodes;
  for (const char* name : {"orvda0", "orvda1", "orvdb0"}) {
    if (mknod(nodes.file(name).c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
      GTEST_SKIP() << "mknod needs root here: " << strerror(errno);
    }
  }
  std::ofstream(nodes.file("orvda7")) << "a regular file";
  ASSERT_EQ(symlink(nodes.file("orvda0").c_str(), nodes.file("orvda9").c_str()), 0);
  ASSERT_EQ(mkdir(nodes.file("orvda5").c_str(), 0755), 0);
  listed result = list_devices({{.number = 1, .longname = "Fake DAC at usb-1"}}, nodes.path());
  ASSERT_EQ(result.lines.size(), 5u);
  // Directory order is the file system's.
  std::sort(result.lines.begin() + 3, result.lines.end());
  EXPECT_EQ(result.lines,
            (words{"alsa default |default", "command default |command default", "Fake DAC at usb-1 USB Audio|hw:1,0",
                   "orvda0 orvda0|orvda0", "orvda1 orvda1|orvda1"}));
}

TEST(DiscoverDevices, UnreadableNodeDirectoryIsReported) {
  const listed result = list_devices({{.number = 1, .longname = "Fake DAC at usb-1"}}, "/nonexistent/dev");
  EXPECT_EQ(result.lines.size(), 3u);
  EXPECT_EQ(result.err, "diropen(/nonexistent/dev) failed.\n");
}

}  // namespace
