// The players' command lines, run as real processes: usage texts, version
// lines, fatal reports and their exit statuses.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "cover_picture.h"
#include "process.h"
#include "util.h"
#include "wav_writer.h"

namespace {

const std::string kUsageParams =
    "params:\t\t-D device_name\tdefine device name(Cf. -D hw:1,0)\n"
    "params:\t\t-B buffer_size\tdefine data buffer length(Cf. -B 1M)\n";

std::string brisa_usage(const std::string& program) {
  return "usage:\t" + program + " [params...] sound_file...\n\n" + kUsageParams +
         "params:\t\t-L1\tuse delta sigma modulator level1\n"
         "params:\t\t-L2\tuse delta sigma modulator level2\n"
         "params:\t\t--version\tprint out program version\n"
         "params:\t\t--dop\tPlayback 5.6MHzfs DoP data\n"
         "params:\t\t--silent\tsuppress time count messages(for AJAX system)\n"
         "params:\t\t--control\tcommands on standard input, events on standard output (for programs)\n"
         "params:\t\t--short-filter\tpower less machine mode\n"
         "params:\t\t--volume=#\tset volume magnify[dB](Cf. --volume=-6)\n"
         "params:\t\t--left-cut\tkeep left channel silent\n"
         "params:\t\t--right-cut\tkeep right channel silent\n"
         "params:\t\t--replaygain=mode\tgain from the tags: track, album or off\n"
         "params:\t\t--wait-device\twait for a DAC that is not there or is lost\n";
}

std::string lumen_usage(const std::string& program) {
  return "usage:\t" + program + " [params...] sound_file...\n\n" + kUsageParams +
         "params:\t\t-os\tplayback over sampled souund\n"
         "params:\t\t--short-filter\tpower less machine mode. available with -os option\n"
         "params:\t\t--version\tprint out program version\n"
         "params:\t\t--silent\tsuppress time count messages(for AJAX system)\n"
         "params:\t\t--control\tcommands on standard input, events on standard output (for programs)\n"
         "params:\t\t--left-cut\tkeep left channel silent\n"
         "params:\t\t--right-cut\tkeep right channel silent\n"
         "params:\t\t--wait-device\twait for a DAC that is not there or is lost\n";
}

// The parameter lines stay as they were; the keys follow on lines of their own.
testing::AssertionResult is_usage(const std::string& out, const std::string& params) {
  if (!out.starts_with(params)) return testing::AssertionFailure() << "parameter lines changed:\n" << out;
  const std::string keys = out.substr(params.size());
  if (!keys.starts_with("keys:\t\tspace\tpause and resume\nkeys:\t\tn\tnext file\n")) {
    return testing::AssertionFailure() << "no key lines after the parameters:\n" << keys;
  }
  return testing::AssertionSuccess();
}

class PlayerCommandLine : public testing::Test {
 protected:
  // Runs a built player with words after its name, in a scratch HOME so no
  // user ALSA configuration applies.
  process_result run(const std::string& player, std::vector<std::string> words) {
    words.insert(words.begin(), built_program(player));
    process_options options;
    options.env = {"HOME=" + home_.path()};
    options.working_dir = home_.path();
    options.timeout_seconds = 20;
    process_result result = run_process(words, options);
    EXPECT_FALSE(result.timed_out) << result.out << result.err;
    return result;
  }

  // Expects the process to have ended through a fatal report of `module`
  // with `message`, its status the report's line in eight bits.
  static void expect_fatal(const process_result& result, const std::string& module, const std::string& message) {
    std::string reported_module;
    const int line = reported_line(result.err, &reported_module);
    ASSERT_GT(line, 0) << result.err;
    EXPECT_EQ(reported_module, module);
    EXPECT_EQ(result.exit_status, fatal_exit_status(line));
    const std::string head = "\nERROR " + module + " " + std::to_string(line) + " ";
    EXPECT_NE(result.err.find(head + message), std::string::npos) << result.err;
  }

  std::string file(const std::string& name, const std::string& content) {
    std::ofstream(home_.file(name)) << content;
    return home_.file(name);
  }

  temp_dir home_;
};

TEST_F(PlayerCommandLine, WithoutArgumentsTheUsageAndTheCountAreReported) {
  for (const char* player : {"brisa", "lumen"}) {
    const process_result result = run(player, {});
    const std::string program = built_program(player);
    EXPECT_TRUE(is_usage(result.out, player == std::string("brisa") ? brisa_usage(program) : lumen_usage(program)));
    expect_fatal(result, player == std::string("brisa") ? "playmain" : "lumen", "argc is 1 skip is 2\n");
  }
}

TEST_F(PlayerCommandLine, HelpPrintsTheUsageAndExitsWithOne) {
  const std::string brisa = built_program("brisa");
  for (const char* word : {"--help", "-?"}) {
    const process_result result = run("brisa", {"-D", "hw:9,0", word, "--version"});
    EXPECT_TRUE(is_usage(result.out, brisa_usage(brisa)));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 1);
  }
  const process_result lumen = run("lumen", {"-?"});  // also as the last word
  EXPECT_TRUE(is_usage(lumen.out, lumen_usage(built_program("lumen"))));
  EXPECT_EQ(lumen.exit_status, 1);
}

TEST_F(PlayerCommandLine, VersionLinesNameTheFfmpegLibraryWhereItIsUsed) {
  const process_result brisa = run("brisa", {"--version", "--help"});
  EXPECT_EQ(brisa.out.rfind("brisa Ver.1.1 ", 0), 0u) << brisa.out;
  EXPECT_NE(brisa.out.find("FFmpeg"), std::string::npos);
  EXPECT_EQ(brisa.exit_status, 0);

  const process_result lumen = run("lumen", {"--version"});
  EXPECT_EQ(lumen.out.rfind("lumen Ver.1.4 ", 0), 0u) << lumen.out;
  EXPECT_NE(lumen.out.find("FFmpeg"), std::string::npos);
  EXPECT_EQ(lumen.exit_status, 0);

  const process_result dsf = run("lumen-dsf", {"--version"});
  EXPECT_EQ(dsf.out.rfind("lumen Ver.1.4 ", 0), 0u) << dsf.out;
  EXPECT_EQ(dsf.out.find("FFmpeg"), std::string::npos);
  EXPECT_EQ(dsf.exit_status, 0);
}

TEST_F(PlayerCommandLine, AnIllegalBufferSizeIsFatalAfterTheUsage) {
  const process_result result = run("lumen", {"-B", "M", "x"});
  EXPECT_TRUE(is_usage(result.out, lumen_usage(built_program("lumen"))));
  expect_fatal(result, "parse_param", "illegal buffer size M passed.\n");
}

TEST_F(PlayerCommandLine, AnIllegalModeIsFatalWithoutTheUsage) {
  const process_result result = run("brisa", {"--mode=3", "x"});
  EXPECT_EQ(result.out, "");
  expect_fatal(result, "parse_param", "illegal mode name 3 passed.\n");
}

TEST_F(PlayerCommandLine, OptionWordsPastTheEndAreReported) {
  const process_result result = run("brisa", {"-L1"});
  // -L1 as the last word is a file operand; brisa then looks for its DAC.
  EXPECT_EQ(result.err.find("argc is"), std::string::npos);
  const process_result skip = run("lumen", {"--silent"});
  EXPECT_EQ(skip.err.find("argc is"), std::string::npos);
}

TEST_F(PlayerCommandLine, MissingFilesAreWarningsAndAnEmptyListIsFatal) {
  const process_result result = run("lumen", {"-D", "null", "missing.wav"});
  EXPECT_NE(result.err.find("No such file or directory\n\nERROR dir2files "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(" cannot stat missing.wav\n"), std::string::npos);
  expect_fatal(result, "lumen", "no files found.\n");
}

TEST_F(PlayerCommandLine, WithoutADeviceOrCardThePlayersStop) {
  if (access("/dev/snd", F_OK) == 0) GTEST_SKIP() << "this machine has sound cards";
  const process_result brisa = run("brisa", {"song.wav"});
  EXPECT_NE(brisa.err.find("ERROR alsathread "), std::string::npos);
  EXPECT_NE(brisa.err.find(" no soundcards found...\n"), std::string::npos);
  expect_fatal(brisa, "playmain", "DeltaSigma direct output device is not found.\n");
  const process_result lumen = run("lumen", {"song.wav"});
  expect_fatal(lumen, "lumen", "Output device is not defined.\n");
}

TEST_F(PlayerCommandLine, AFileOfNoKnownFormatStopsTheProbe) {
  const std::string text = file("notes.wav", "this is not a sound file\n");
  const process_result result = run("lumen-dsf", {"-D", "null", text});
  expect_fatal(result, "player", "file format of " + text + " unknown.\n");
}

TEST_F(PlayerCommandLine, WhatAFolderHoldsBesideItsMusicIsSkippedWithOneNoticeAFolder) {
  ASSERT_EQ(mkdir(home_.file("album").c_str(), 0700), 0);
  ASSERT_TRUE(write_wav(home_.file("album/a.wav"), wav_spec{}, tone(440, 0.5, 44100, 0.2)));
  ASSERT_TRUE(write_file(home_.file("album/cover.jpg"), kCoverJpeg));
  file("album/notes.txt", "1. a\n");
  for (const char* player : {"brisa", "lumen", "lumen-dsf"}) {
    const process_result played = run(player, {"-D", "null", "--silent", "album"});
    EXPECT_EQ(played.exit_status, 0) << player << played.err;
    EXPECT_NE(played.out.find("skipped 2 files that are not music in album\n"), std::string::npos) << played.out;
    EXPECT_NE(played.out.find("playing file 1/1 "), std::string::npos) << played.out;
  }
  // Named on the command line, a picture is still refused by name.
  expect_fatal(run("lumen", {"-D", "null", "album/cover.jpg", "album"}), "player",
               "file format of album/cover.jpg unknown.\n");

  // A damaged WAVE is music: it still stops the player.
  ASSERT_EQ(mkdir(home_.file("damaged").c_str(), 0700), 0);
  file("damaged/cut.wav", std::string("RIFF\x24\0\0\0WAVEfmt ", 16));
  file("damaged/notes.txt", "1. a\n");
  const process_result damaged = run("lumen-dsf", {"-D", "null", "damaged"});
  EXPECT_NE(damaged.out.find("skipped 1 file that is not music in damaged\n"), std::string::npos) << damaged.out;
  expect_fatal(damaged, "player", "file format of damaged/cut.wav unknown.\n");

  // A folder without music ends as an empty list.
  ASSERT_EQ(mkdir(home_.file("pictures").c_str(), 0700), 0);
  ASSERT_TRUE(write_file(home_.file("pictures/cover.jpg"), kCoverJpeg));
  const process_result pictures = run("brisa", {"-D", "null", "pictures/"});
  EXPECT_NE(pictures.out.find("skipped 1 file that is not music in pictures/\n"), std::string::npos) << pictures.out;
  expect_fatal(pictures, "playmain", "no files found.\n");
}

}  // namespace
