// The player's command line: device words, argument strings of Open and of
// drops (URI decoding included), word splitting, the child's words, and
// the choices behind the boxes and the settings entry.
#include "arguments.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "choices.h"
#include "discovery.h"
#include "process.h"
#include "uri.h"

namespace {

using words = std::vector<std::string>;

TEST(DevicePart, DefaultsConverterNodesAndCards) {
  const device_part alsa_default = build_device_part({"alsa default ", "default"}, false);
  EXPECT_EQ(alsa_default.words, "-D default ");
  EXPECT_EQ(alsa_default.kind, kind_unknown);
  EXPECT_EQ(build_device_part({"command default ", "command default"}, false).words, "");
  EXPECT_EQ(build_device_part({"command default ", "command default"}, true).words, "");

  const device_part card = build_device_part({"Fake DAC at usb-1 USB Audio", "hw:1,0"}, false);
  EXPECT_EQ(card.words, "-D hw:1,0 ");
  EXPECT_EQ(card.kind, kind_alsa);
  const device_part node = build_device_part({"orvda0 orvda0", "orvda0"}, false);
  EXPECT_EQ(node.words, "-D /dev/orvda0 ");
  EXPECT_EQ(node.kind, kind_converter_node);
  const device_part quellform = build_device_part({"Orvalis Quellform at usb-2 USB Audio", "hw:2,0"}, false);
  EXPECT_EQ(quellform.words, "-D hw:2,0 ");
  EXPECT_EQ(quellform.kind, kind_converter_card);

  const device_part converted = build_device_part({"Fake DAC at usb-1 USB Audio", "hw:1,0"}, true);
  EXPECT_EQ(converted.words, "-D plughw:1,0 ");
  EXPECT_EQ(converted.kind, kind_alsa);
}

TEST(SplitWords, BlanksTabsAndQuotes) {
  EXPECT_EQ(split_words("-D  hw:1,0\t\"/m/a b.wav\" \"/m/c.wav\" "), (words{"-D", "hw:1,0", "/m/a b.wav", "/m/c.wav"}));
  EXPECT_EQ(split_words(""), words{});
  EXPECT_EQ(split_words("   "), words{});
  EXPECT_EQ(split_words("\"\""), words{""});
  EXPECT_EQ(split_words("\"unclosed quote runs on"), words{"unclosed quote runs on"});
  EXPECT_EQ(split_words("plain\"quote"), words{"plain\"quote"});
  EXPECT_EQ(split_words(kVersionArguments), words{"--version"});
}

TEST(SplitWords, EscapedQuotesAndBackslashesInsideQuotes) {
  EXPECT_EQ(split_words(R"("/m/say \"hi\".wav")"), words{R"(/m/say "hi".wav)"});
  EXPECT_EQ(split_words(R"("/m/back\\" next)"), (words{R"(/m/back\)", "next"}));
  EXPECT_EQ(split_words(R"("a\b")"), words{R"(a\b)"});
  for (const std::string name : {R"(/m/"q".wav)", R"(/m/end\)", R"(/m/a\"b\\c)", "/m/\t tab.wav"}) {
    EXPECT_EQ(split_words(quoted_word(name)), words{name}) << name;
  }
}

TEST(ArgumentString, OpenQuotesTheChosenFile) {
  EXPECT_EQ(open_argument_string("-D hw:1,0 ", "/music/a b.wav"), "-D hw:1,0 \"/music/a b.wav\"");
  EXPECT_EQ(split_words(open_argument_string("", R"(/music/"live".flac)")), words{R"(/music/"live".flac)"});
  const std::vector<std::string> names = {"/music/a.wav", "/music/live"};
  EXPECT_EQ(open_argument_string("-D hw:1,0 ", names), "-D hw:1,0 \"/music/a.wav\" \"/music/live\"");
}

TEST(ArgumentString, DropTakesFileAndCdUris) {
  EXPECT_TRUE(drop_is_accepted("file:///m/a.wav\r\n"));
  EXPECT_TRUE(drop_is_accepted("cdda://sr0/Track%201.wav"));
  for (const char* refused : {"http://host/a.wav", "/m/a.wav", "", "FILE:///m/a.wav", " file:///m/a.wav"}) {
    EXPECT_FALSE(drop_is_accepted(refused)) << refused;
  }
  const std::string two = drop_argument_string("-D hw:1,0 ", "file:///m/a%20b.wav\r\nfile:///m/c.wav\r\n", nullptr);
  EXPECT_EQ(two, "-D hw:1,0 \"/m/a b.wav\" \"/m/c.wav\" ");
  EXPECT_EQ(split_words(two), (words{"-D", "hw:1,0", "/m/a b.wav", "/m/c.wav"}));
  // Other schemes, comments and a missing final line end are passed over or fine.
  EXPECT_EQ(drop_argument_string("", "file:///a.wav\r\n# comment\r\nhttp://x/y\r\nfile:///b.wav", nullptr),
            "\"/a.wav\" \"/b.wav\" ");
  // Lines ended by "\n" alone.
  EXPECT_EQ(drop_argument_string("", "file:///a.wav\nfile:///b.wav\n", nullptr), "\"/a.wav\" \"/b.wav\" ");
  // A quote in a name reaches the player as a quote.
  EXPECT_EQ(split_words(drop_argument_string("", "file:///m/%22q%22.wav\r\n", nullptr)), words{"/m/\"q\".wav"});
}

TEST(UriDecode, PercentEscapes) {
  EXPECT_EQ(uri_percent_decode("/m/a%20b.wav"), "/m/a b.wav");
  EXPECT_EQ(uri_percent_decode("%c3%A9t%C3%a9"), "\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(uri_percent_decode("100%"), "100%");
  EXPECT_EQ(uri_percent_decode("%4"), "%4");
  EXPECT_EQ(uri_percent_decode("%zz%41"), "%zzA");
  EXPECT_EQ(uri_percent_decode("%2541"), "%41");
  EXPECT_EQ(uri_to_path("file:///m/a.wav\r\nfile:///m/b.wav", nullptr), "/m/a.wav");
  EXPECT_FALSE(uri_to_path("smb://x/y", nullptr));
}

TEST(UriDecode, CdTracksResolveThroughGvfs) {
  temp_dir home;
  ASSERT_EQ(mkdir(home.file(".gvfs").c_str(), 0755), 0);
  for (const char* entry : {"cdda mount on sr0", "cdda mount on sr1", "cdda older sr0", "dav on sr0"}) {
    ASSERT_EQ(mkdir((home.file(".gvfs/") + entry).c_str(), 0755), 0);
  }
  // The last matching entry in name order.
  EXPECT_EQ(uri_to_path("cdda://sr0/Track%201.wav", home.path().c_str()),
            home.path() + "/.gvfs/cdda older sr0/Track 1.wav");
  EXPECT_EQ(uri_to_path("cdda://sr1/Track%202.wav\r\n", home.path().c_str()),
            home.path() + "/.gvfs/cdda mount on sr1/Track 2.wav");
  EXPECT_FALSE(uri_to_path("cdda://sr9/Track%201.wav", home.path().c_str()));
  EXPECT_FALSE(uri_to_path("cdda://sr0/Track%201.wav", nullptr));
  temp_dir empty_home;
  EXPECT_FALSE(uri_to_path("cdda://sr0/Track%201.wav", empty_home.path().c_str()));
  // An unresolved CD contributes nothing to the drop.
  EXPECT_EQ(drop_argument_string("", "cdda://sr9/1.wav\r\nfile:///a.wav\r\n", home.path().c_str()), "\"/a.wav\" ");
}

TEST(PlayerCommand, BufferWordsAndOverSampling) {
  const std::vector<std::string> commands = {"lumen", "lumen over sampling", "aplay", "brisa", "tarvo"};
  const std::string args = "-D hw:1,0 \"/music/a.wav\" \"/music/b.wav\" ";
  const child_command lumen = player_command(commands, 0, 10, args);
  EXPECT_EQ(lumen.program, "lumen");
  EXPECT_EQ(lumen.words, (words{"lumen", "--control", "--wait-device", "-B", "10M", "-D", "hw:1,0", "/music/a.wav",
                                "/music/b.wav"}));
  const child_command over = player_command(commands, 1, 25, "\"x.wav\"");
  EXPECT_EQ(over.program, "lumen");
  EXPECT_EQ(over.words, (words{"lumen over sampling", "-os", "--control", "--wait-device", "-B", "25M", "x.wav"}));
  EXPECT_EQ(player_command(commands, 2, 10, "\"x.wav\"").words, (words{"aplay", "x.wav"}));
  EXPECT_EQ(player_command(commands, 3, 10, kVersionArguments).words,
            (words{"brisa", "--control", "--wait-device", "--version"}));
  EXPECT_EQ(player_command(commands, 4, 10, "").words, (words{"tarvo", "-B", "10M"}));
  EXPECT_EQ(count_probe_command(args).words,
            (words{"lumen", "--count", "-D", "hw:1,0", "/music/a.wav", "/music/b.wav"}));
}

TEST(PlayerCommand, BrisaAloneGetsItsChosenOptionsBeforeTheDevice) {
  const std::vector<std::string> commands = {"lumen", "lumen over sampling", "brisa"};
  const std::string args = "-D hw:1,0 \"/music/a.wav\"";
  const brisa_choices chosen{.modulator_level = 7, .dop = true, .volume_db = -48};
  EXPECT_EQ(
      player_command(commands, 2, 10, args, chosen).words,
      (words{"brisa", "--control", "--wait-device", "-L7", "--dop", "--volume=-48", "-D", "hw:1,0", "/music/a.wav"}));
  EXPECT_EQ(player_command(commands, 0, 10, args, chosen).words,
            (words{"lumen", "--control", "--wait-device", "-B", "10M", "-D", "hw:1,0", "/music/a.wav"}));
  EXPECT_EQ(
      player_command(commands, 1, 10, args, chosen).words,
      (words{"lumen over sampling", "-os", "--control", "--wait-device", "-B", "10M", "-D", "hw:1,0", "/music/a.wav"}));
  // brisa's own defaults (level 1, native DSD, 0 dB) add no words.
  EXPECT_EQ(player_command(commands, 2, 10, args, {}).words,
            (words{"brisa", "--control", "--wait-device", "-D", "hw:1,0", "/music/a.wav"}));
  EXPECT_EQ(player_command(commands, 2, 10, args, {.modulator_level = 2, .dop = false, .volume_db = -1}).words,
            (words{"brisa", "--control", "--wait-device", "-L2", "--volume=-1", "-D", "hw:1,0", "/music/a.wav"}));
}

TEST(AutoDetect, DeviceKindAndStatusChooseThePlayer) {
  EXPECT_EQ(auto_detect_choice(kind_converter_node, 0), "pelko");
  EXPECT_EQ(auto_detect_choice(kind_converter_node, 1), "mirel");
  EXPECT_EQ(auto_detect_choice(kind_alsa, 0), "lumen");
  EXPECT_EQ(auto_detect_choice(kind_alsa, 3), "tarvo");
  EXPECT_EQ(auto_detect_choice(kind_converter_card, 0), "ondra");
  EXPECT_EQ(auto_detect_choice(kind_converter_card, 1), "ondra");
  EXPECT_EQ(auto_detect_choice(kind_unknown, 0), "lumen");
  EXPECT_EQ(auto_detect_choice(kind_unknown, 1), "tarvo");
}

TEST(Choices, BoxRows) {
  const std::vector<device_entry> devices = {{"alsa default ", "default"},
                                             {"command default ", "command default"},
                                             {"Twin USB Audio", "hw:1,0"},
                                             {"Twin USB Audio", "hw:1,1"}};
  EXPECT_EQ(choices_device_row(devices, "command default "), 1);
  EXPECT_EQ(choices_device_row(devices, "Twin USB Audio"), 3);  // the last row of that label
  EXPECT_EQ(choices_device_row(devices, "Unplugged DAC USB Audio"), 0);
  EXPECT_EQ(choices_device_row(devices, "default"), 0);
  EXPECT_EQ(choices_device_row({}, "default"), -1);

  const std::vector<std::string> commands = {"lumen", "lumen over sampling", "brisa"};
  EXPECT_EQ(choices_command_row(commands, "brisa"), 2);
  EXPECT_EQ(choices_command_row(commands, "auto detect"), 3);
  EXPECT_EQ(choices_command_row(commands, "tarvo"), 0);
  EXPECT_EQ(choices_command_row(commands, ""), 0);
}

TEST(Choices, SettingsBufferEntry) {
  EXPECT_EQ(choices_buffer_from_entry("0"), 10);
  EXPECT_EQ(choices_buffer_from_entry("250"), 100);
  EXPECT_EQ(choices_buffer_from_entry("abc"), 10);
  EXPECT_EQ(choices_buffer_from_entry("55"), 55);
  EXPECT_EQ(choices_buffer_from_entry(""), 10);
  EXPECT_EQ(choices_buffer_from_entry("-5"), 10);
  EXPECT_EQ(choices_buffer_from_entry("1"), 1);
  EXPECT_EQ(choices_buffer_from_entry("100"), 100);
  EXPECT_EQ(choices_buffer_from_entry("99999999999999999999"), 100);
}

}  // namespace
