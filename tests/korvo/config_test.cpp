// The configuration file: what is read, what is applied, what is written.
#include "config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string_view>
#include <vector>

#include "choices.h"
#include "discovery.h"
#include "process.h"

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_clear();
    release_devices();
  }
  void write(const std::string& text) { std::ofstream(path) << text; }
  std::string read() {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  temp_dir home;
  std::string path = home.file(".Korvo");
};

TEST_F(ConfigTest, PathComesFromHome) {
  const char* old = getenv("HOME");
  const std::string saved = old != nullptr ? old : "";
  setenv("HOME", "/home/user", 1);
  EXPECT_EQ(config_path(), "/home/user/.Korvo");
  setenv("HOME", "/home/user/", 1);
  EXPECT_EQ(config_path(), "/home/user/.Korvo");
  setenv("HOME", ("/" + std::string(1000, 'h')).c_str(), 1);
  EXPECT_EQ(config_path(), "/" + std::string(899, 'h') + "/.Korvo");
  unsetenv("HOME");
  EXPECT_EQ(config_path(), "");
  setenv("HOME", saved.c_str(), 1);
}

TEST_F(ConfigTest, FreshInstallationWritesOnlyTheHeader) {
  ASSERT_TRUE(config_write(path));
  EXPECT_EQ(read(), "Korvo config file version 1.0\n");
}

TEST_F(ConfigTest, WrittenFileReadsBackToTheSameValues) {
  config_set_text(kKeyDevice, "alsa default ");
  config_set_text(kKeyCommand, "lumen over sampling");
  config_set_number(kKeyBitperfect, 0);
  config_set_number(kKeyBufferSize, 55);
  ASSERT_TRUE(config_write(path));
  EXPECT_EQ(read(),
            "Korvo config file version 1.0\ndevice-select:\talsa default \ncommand-select:\tlumen over sampling\n"
            "bitperfect-flag:\t0\nlumen-buffsize:\t55\n");
  config_clear();
  ASSERT_TRUE(config_read(path));
  EXPECT_EQ(config_get_text(kKeyDevice), "alsa default ");
  EXPECT_EQ(config_get_text(kKeyCommand), "lumen over sampling");
  EXPECT_EQ(config_get_number(kKeyBitperfect), 0);
  EXPECT_EQ(config_get_number(kKeyBufferSize), 55);
}

TEST_F(ConfigTest, KeysOfTheOtherKindOrUnknownAreLeftAlone) {
  config_set_number(kKeyDevice, 3);
  config_set_text(kKeyBufferSize, "12");
  config_set_text("no-such-key", "x");
  EXPECT_FALSE(config_get_text(kKeyDevice));
  EXPECT_FALSE(config_get_number(kKeyDevice));
  EXPECT_FALSE(config_get_number(kKeyBufferSize));
  EXPECT_FALSE(config_get_text("no-such-key"));
  config_set_text(kKeyDevice, "first");
  config_set_text(kKeyDevice, "second");
  EXPECT_EQ(config_get_text(kKeyDevice), "second");
}

TEST_F(ConfigTest, ValuesAfterTheColonSkipBlanksAndTabs) {
  write("Korvo config file version 1.0\ncommand-select:   \t  lumen\nlumen-buffsize:\t  42\n");
  ASSERT_TRUE(config_read(path));
  EXPECT_EQ(config_get_text(kKeyCommand), "lumen");
  EXPECT_EQ(config_get_number(kKeyBufferSize), 42);
}

TEST_F(ConfigTest, NumbersThatDoNotParseLeaveTheEntryUnset) {
  write("Korvo config file version 1.0\nbitperfect-flag:\nlumen-buffsize:\tmany\nunknown-key:\t1\n");
  ASSERT_TRUE(config_read(path));
  EXPECT_FALSE(config_get_number(kKeyBitperfect));
  EXPECT_FALSE(config_get_number(kKeyBufferSize));
  ASSERT_TRUE(config_write(path));
  EXPECT_EQ(read(), "Korvo config file version 1.0\n");
}

TEST_F(ConfigTest, MissingFileIsSilentAndWrongOrEmptyHeaderIsReported) {
  testing::internal::CaptureStderr();
  EXPECT_FALSE(config_read(home.file("none")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  for (const char* text : {"", "Korvo config file version 2.0\ncommand-select:\tlumen\n"}) {
    write(text);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(config_read(path));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Config file " + path + " header unmatched.\nIgnored.\n");
    EXPECT_FALSE(config_get_text(kKeyCommand));
  }
}

TEST_F(ConfigTest, KeyWithoutColonStopsReadingAndNothingIsApplied) {
  discover_devices("/nonexistent");  // the two defaults
  write("Korvo config file version 1.0\ndevice-select=alsa default \ncommand-select:\tbrisa\n");
  testing::internal::CaptureStderr();
  korvo_choices target;
  if (config_read(path)) config_apply(target);
  EXPECT_EQ(testing::internal::GetCapturedStderr().find("Config file line 2 could not understand.\n"), 0u);
  EXPECT_EQ(target.device_label, "default");
  EXPECT_FALSE(config_get_text(kKeyCommand));

  // What came before the bad line is still set and would be written back.
  write("Korvo config file version 1.0\nlumen-buffsize:\t20\ncommand-select lumen\n");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(config_read(path));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Config file line 3 could not understand.\n");
  EXPECT_EQ(config_get_number(kKeyBufferSize), 20);
}

TEST_F(ConfigTest, FileKorvoCannotTakeIsMovedAsideAndDefaultsAreUsed) {
  const std::string backup = path + ".bak";
  const std::string too_long = "Korvo config file version 1.0\ndevice-select:\t" + std::string(1100, 'd') + "\n";
  using namespace std::string_literals;
  const std::string binary = "Korvo config file version 1.0\ncommand-select:\tlu\0men\n"s;
  for (const std::string& text : {too_long, binary}) {
    write(text);
    std::ofstream(backup) << "an older backup\n";
    testing::internal::CaptureStderr();
    EXPECT_FALSE(config_read(path));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("moved to " + backup), std::string::npos) << said;
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_FALSE(config_get_text(kKeyDevice));
    EXPECT_FALSE(config_get_text(kKeyCommand));
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    std::ifstream kept(backup);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), text);
  }
  // 1022 characters still fit.
  write("Korvo config file version 1.0\ndevice-select:" + std::string(1022 - 14, 'd') + "\n");
  EXPECT_TRUE(config_read(path));
  EXPECT_EQ(config_get_text(kKeyDevice), std::string(1022 - 14, 'd'));
}

TEST_F(ConfigTest, FifoIsLeftAloneAtOnce) {
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  alarm(120);  // only a guard: a blocking open never returns
  testing::internal::CaptureStderr();
  EXPECT_FALSE(config_read(path));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("not a regular file"), std::string::npos);
  // Nobody reads it: the save neither waits nor writes into it.
  config_set_text(kKeyCommand, "lumen");
  testing::internal::CaptureStderr();
  EXPECT_FALSE(config_write(path));
  testing::internal::GetCapturedStderr();
  alarm(0);
  struct stat status {};
  ASSERT_EQ(lstat(path.c_str(), &status), 0);
  EXPECT_TRUE(S_ISFIFO(status.st_mode));
}

TEST_F(ConfigTest, DirectoryIsNotReadAndItsSaveReportsFailure) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(config_read(path));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Config file " + path + " is not a regular file: left alone, using the default settings.\n");
  config_set_text(kKeyCommand, "brisa");
  std::string why;
  testing::internal::CaptureStderr();
  EXPECT_FALSE(config_write(path, &why));
  EXPECT_EQ(why, strerror(EISDIR));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Config file " + path + " cannot be written: " + why + ". The settings are not saved.\n");
  EXPECT_NE(access((path + ".bak").c_str(), F_OK), 0);
  EXPECT_EQ(rmdir(path.c_str()), 0);
}

TEST_F(ConfigTest, ApplyTakesOnlyKnownDevicesAndFindsTheCommand) {
  discover_devices("/nonexistent");
  add_device("Fake DAC at usb-1", "USB Audio", "hw:1,0");
  config_set_text(kKeyDevice, "Fake DAC at usb-1 USB Audio");
  config_set_text(kKeyCommand, "auto detect");
  config_set_number(kKeyBitperfect, 0);
  config_set_number(kKeyBufferSize, 250);  // as the Settings entry would take it
  korvo_choices target;
  target.selected_command = 3;
  config_apply(target);
  EXPECT_EQ(target.device_label, "Fake DAC at usb-1 USB Audio");
  EXPECT_EQ(target.command_name, "auto detect");
  EXPECT_TRUE(target.convert_format);
  EXPECT_EQ(target.buffer_mb, 100);

  config_set_text(kKeyDevice, "Gone DAC USB Audio");
  config_set_number(kKeyBitperfect, 1);
  korvo_choices other;
  other.convert_format = true;
  config_apply(other);
  EXPECT_EQ(other.device_label, "default");
  EXPECT_FALSE(other.convert_format);
  for (const auto& [stored, applied] : {std::pair{-5, 10}, {0, 10}, {1, 1}, {100, 100}}) {
    config_set_number(kKeyBufferSize, stored);
    config_apply(other);
    EXPECT_EQ(other.buffer_mb, applied) << stored;
  }
}

TEST_F(ConfigTest, BrisaSettingsFollowTheOthersAndAreAppliedInRange) {
  // A Korvo that knows only the first four keys passes the others over: no
  // key may begin with another.
  const std::vector<std::string_view> keys = {kKeyDevice,     kKeyCommand,  kKeyBitperfect, kKeyBufferSize,
                                              kKeyBrisaLevel, kKeyBrisaDop, kKeyBrisaVolume};
  for (const std::string_view key : keys) {
    for (const std::string_view other : keys) EXPECT_TRUE(key == other || !other.starts_with(key)) << key;
  }
  config_set_number(kKeyBrisaVolume, -6);
  config_set_number(kKeyBrisaLevel, 7);
  config_set_number(kKeyBrisaDop, 1);
  config_set_text(kKeyCommand, "brisa");
  ASSERT_TRUE(config_write(path));
  EXPECT_EQ(read(),
            "Korvo config file version 1.0\ncommand-select:\tbrisa\nbrisa-level:\t7\nbrisa-dop-flag:\t1\n"
            "brisa-volume:\t-6\n");
  config_clear();
  ASSERT_TRUE(config_read(path));
  korvo_choices target;
  config_apply(target);
  EXPECT_EQ(target.brisa.modulator_level, 7);
  EXPECT_TRUE(target.brisa.dop);
  EXPECT_EQ(target.brisa.volume_db, -6);

  // Values brisa has no use for become its nearest setting.
  write("Korvo config file version 1.0\nbrisa-level:\t3\nbrisa-dop-flag:\t0\nbrisa-volume:\t5\n");
  ASSERT_TRUE(config_read(path));
  config_apply(target);
  EXPECT_EQ(target.brisa.modulator_level, 1);
  EXPECT_FALSE(target.brisa.dop);
  EXPECT_EQ(target.brisa.volume_db, 0);
  config_set_number(kKeyBrisaVolume, -60);
  config_apply(target);
  EXPECT_EQ(target.brisa.volume_db, -48);

  // A file of today's four keys leaves brisa at its defaults.
  config_clear();
  write("Korvo config file version 1.0\ncommand-select:\tbrisa\nlumen-buffsize:\t20\n");
  ASSERT_TRUE(config_read(path));
  korvo_choices fresh;
  config_apply(fresh);
  EXPECT_EQ(fresh.brisa.modulator_level, 1);
  EXPECT_FALSE(fresh.brisa.dop);
  EXPECT_EQ(fresh.brisa.volume_db, 0);
}

TEST_F(ConfigTest, FileNotTakenIsKeptBesideTheNewOne) {
  const std::string user_file = "Korvo config file 0.9\nmy own notes\n";
  for (const std::string& text : {user_file, std::string("Korvo config file version 1.0\ncommand-select lumen\n")}) {
    write(text);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(config_read(path));
    config_set_text(kKeyCommand, "brisa");
    ASSERT_TRUE(config_write(path));
    EXPECT_NE(testing::internal::GetCapturedStderr().find("was kept as " + path + ".bak"), std::string::npos);
    std::ifstream backup(path + ".bak");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(backup), {}), text);
    EXPECT_EQ(read(), "Korvo config file version 1.0\ncommand-select:\tbrisa\n");
  }
  // A file that was taken, or none at all, is simply replaced.
  unlink((path + ".bak").c_str());
  EXPECT_TRUE(config_read(path));
  ASSERT_TRUE(config_write(path));
  EXPECT_NE(access((path + ".bak").c_str(), F_OK), 0);
}

}  // namespace
