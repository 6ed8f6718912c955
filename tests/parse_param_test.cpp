#include "parse_param.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "alsathread.h"
#include "brisa_options.h"
#include "lumen_options.h"

namespace {

// The exact status (the report's line) is checked by the process tests.
bool ended_by_fatal_error(int status) { return WIFEXITED(status) && WEXITSTATUS(status) != 0; }

class ParseParams : public testing::Test {
 protected:
  void SetUp() override { params = play_params{}; }

  // Parses the words as brisa or lumen would into params; returns
  // first_file_index.
  int32_t brisa(std::vector<std::string> words) { return parse("brisa", brisa_options(), words); }
  int32_t lumen(std::vector<std::string> words) { return parse("lumen", lumen_options(), words); }

  play_params params;

 private:
  int32_t parse(const char* program, const option_table& table, std::vector<std::string>& words) {
    words.insert(words.begin(), program);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    params = parse_params(static_cast<int>(words.size()), argv.data(), table);
    return params.first_file_index;
  }
};

TEST_F(ParseParams, NoArgumentsPointsPastTheEnd) {
  EXPECT_EQ(brisa({}), 2);
  EXPECT_EQ(lumen({}), 2);
}

TEST_F(ParseParams, CountsOptionWordsAndTheirValues) {
  EXPECT_EQ(brisa({"-D", "hw:1,0", "--dop", "song.wav"}), 4);
  EXPECT_STREQ(params.device_name, "hw:1,0");
  EXPECT_NE(params.dop, 0);

  EXPECT_EQ(lumen({"-os", "-B", "2M", "--silent", "--left-cut", "a.wav", "b.wav"}), 6);
  EXPECT_NE(params.oversample, 0);
  EXPECT_EQ(params.buffer_size, 2097152);
  EXPECT_NE(params.silent, 0);
  EXPECT_NE(params.left_cut, 0);
  EXPECT_EQ(params.right_cut, 0);
}

TEST_F(ParseParams, OptionNamesMatchExactly) {
  EXPECT_EQ(brisa({"-Dhw:1,0", "x.wav"}), 1);
  EXPECT_STREQ(params.device_name, "");
  EXPECT_EQ(brisa({"--foo", "--silent", "x.wav"}), 2);  // --silent still applies, but counts from --foo on
  EXPECT_NE(params.silent, 0);
}

TEST_F(ParseParams, AnOptionNeedingAValueAsTheLastWordIsAFileOperand) {
  EXPECT_EQ(brisa({"-D"}), 1);
  EXPECT_STREQ(params.device_name, "");
  // Every short option is passed over as the last word, -L included (a quirk
  // users may know); -os of lumen is the exception.
  EXPECT_EQ(brisa({"-L2"}), 1);
  EXPECT_EQ(params.modulator_level, 1);
  EXPECT_EQ(lumen({"-os"}), 2);
  EXPECT_EQ(brisa({"-L7", "x.wav"}), 2);
  EXPECT_EQ(params.modulator_level, 7);
}

TEST_F(ParseParams, AFileBeforeAnOptionMisplacesTheCount) {
  EXPECT_EQ(brisa({"a.wav", "-D", "hw:0,0", "b.wav"}), 3);
  EXPECT_STREQ(params.device_name, "hw:0,0");
}

TEST_F(ParseParams, DeviceNamesAreCutTo1023Characters) {
  const std::string long_name(2000, 'x');
  brisa({"-D", long_name, "a.wav"});
  EXPECT_EQ(std::string(params.device_name), long_name.substr(0, 1023));
}

TEST_F(ParseParams, BufferSizesInBytesKilobytesAndMegabytes) {
  lumen({"-B", "1M", "x"});
  EXPECT_EQ(params.buffer_size, 1048576);
  lumen({"-B", "512k", "x"});
  EXPECT_EQ(params.buffer_size, 524288);
  lumen({"-B", "2000000", "x"});
  EXPECT_EQ(params.buffer_size, 2000000);
  // Decimal sizes, fractions of a byte dropped.
  lumen({"-B", "1.5M", "x"});
  EXPECT_EQ(params.buffer_size, 1572864);
  lumen({"-B", "2.25m", "x"});
  EXPECT_EQ(params.buffer_size, 2359296);
  lumen({"-B", "0.001K", "x"});
  EXPECT_EQ(params.buffer_size, 1);
  lumen({"-B", "256M", "x"});
  EXPECT_EQ(params.buffer_size, 256 * 1048576);
}

TEST_F(ParseParams, BufferSizesAboveTheMaximumAreCutWithAWarning) {
  for (const char* size : {"2047M", "2048M", "256.001M", "3000000000", "99999999999999999999"}) {
    testing::internal::CaptureStderr();
    lumen({"-B", size, "x"});
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(params.buffer_size, 268435456) << size;
    EXPECT_NE(err.find(std::string(" buffer size ") + size + " is too large. reduced to 268435456[Bytes].\n"),
              std::string::npos)
        << err;
  }
}

TEST_F(ParseParams, BufferSizesThatAreNoNumberAreFatal) {
  for (const char* size : {"M", "", ".", ".M", "100x", "1.5.2M", "1MB", "1e6", "0x10", "-3000M", "-5", "1 M"}) {
    EXPECT_EXIT(lumen({"-B", size, "x"}), ended_by_fatal_error,
                std::string("ERROR parse_param [0-9]+ illegal buffer size ") + size + " passed.")
        << size;
  }
}

TEST_F(ParseParams, VolumeIsKeptOnlyWithinRange) {
  brisa({"--volume=-6", "x"});
  EXPECT_EQ(params.volume_db, -6);
  SetUp();
  brisa({"--volume=-60", "x"});
  EXPECT_EQ(params.volume_db, 0);
  brisa({"--volume=3", "x"});
  EXPECT_EQ(params.volume_db, 0);
  brisa({"--volume=-6", "--volume=3", "x"});
  EXPECT_EQ(params.volume_db, -6);
}

TEST_F(ParseParams, ModeTable) {
  brisa({"--mode=2", "x"});
  EXPECT_EQ(params.mode_code, 10);
  EXPECT_STREQ(params.mode_name, "Bi-Naural");
  lumen({"--mode=1", "x"});
  EXPECT_EQ(params.mode_code, 8);
  EXPECT_STREQ(params.mode_name, "DoP");
  EXPECT_EXIT(brisa({"--mode=3", "x"}), ended_by_fatal_error, "ERROR parse_param [0-9]+ illegal mode name 3 passed.\n");
}

TEST_F(ParseParams, SkipTakesItsValueEvenWhenItIsNoNumber) {
  EXPECT_EQ(brisa({"--skip", "abc", "file"}), 3);
  EXPECT_EQ(params.skip_value, 0);
  EXPECT_EQ(lumen({"--skip", "12", "file"}), 3);
  EXPECT_EQ(params.skip_value, 12);
  EXPECT_EQ(lumen({"--skip"}), 1);  // no value: not recognised
}

TEST_F(ParseParams, ClockIsStoredOrFatal) {
  brisa({"--clock=22579200", "x"});
  EXPECT_EQ(params.clock_hz, 22579200);
  EXPECT_EXIT(brisa({"--clock=fast", "x"}), ended_by_fatal_error,
              "ERROR parse_param [0-9]+ \nclock value not found.\n");
}

TEST_F(ParseParams, OptionsOfThePlayerOnly) {
  EXPECT_EQ(lumen({"--dop", "--volume=-6", "-L2", "x"}), 1);  // brisa's options are files to lumen
  EXPECT_EQ(params.dop, 0);
  EXPECT_EQ(params.volume_db, 0);
  EXPECT_EQ(params.modulator_level, 1);
  EXPECT_EQ(brisa({"-os", "x"}), 1);
}

TEST(TextEqual, ComparesAtMost1024Characters) {
  EXPECT_TRUE(text_equal("silent", "silent"));
  EXPECT_FALSE(text_equal("silent", "silentx"));
  const std::string a(1023, 'a');
  EXPECT_TRUE(text_equal(a.c_str(), a.c_str()));
  const std::string b(1024, 'a'), c(1030, 'a');
  EXPECT_FALSE(text_equal(b.c_str(), c.c_str()));  // equal over 1024 characters, no end: different
}

}  // namespace
