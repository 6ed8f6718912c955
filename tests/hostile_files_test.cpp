// The players against the hostile-file battery: every file ends the player
// promptly, either played or refused with one fatal report whose line is
// the exit status, and never through a signal or a sanitizer's report.
#include "hostile_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <iterator>
#include <string>
#include <vector>

#include "alsa_env.h"
#include "process.h"
#include "util.h"
#include "wav_writer.h"

namespace {

// A file that is played goes out in well under this; one that hangs is cut off.
constexpr double kSecondsPerFile = 10;

// Each file goes through one player, in turn, so the battery stays short
// under the sanitizers; the readers are shared, the steps are not.
constexpr const char* kPlayers[] = {"brisa", "lumen", "lumen-dsf"};

class HostileFiles : public testing::TestWithParam<std::string> {
 protected:
  HostileFiles() {
    env_.add_fake_dac("dac",
                      {.formats = {"DSD_U32_BE", "S32_LE", "S24_3LE", "S16_LE"}, .rate_min = 1, .discard = true});
  }

  // Runs the program on one file; a failure names the file.
  void expect_clean_end(const std::string& program, const std::string& path) {
    const std::vector<std::string> words{built_program(program), "-D", "dac", path};
    const process_result run =
        run_process(words, {.env = env_.environment(), .working_dir = env_.home(), .timeout_seconds = kSecondsPerFile});
    const std::string context = program + " " + path + "\n" + run.err;
    EXPECT_FALSE(run.timed_out) << "hangs: " << context;
    EXPECT_EQ(run.term_signal, 0) << context;
    if (run.timed_out || run.exit_status == 0) return;
    const int line = reported_line(run.err);
    EXPECT_GE(line, 0) << "no report: " << context;
    EXPECT_EQ(run.exit_status, fatal_exit_status(line)) << context;
  }

  alsa_env env_;
};

TEST_P(HostileFiles, EndPromptlyWithAReportOrPlayed) {
  const std::vector<hostile_file> files = hostile_files(GetParam());
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string path = env_.file(files[i].name);
    ASSERT_TRUE(write_file(path, files[i].bytes));
    expect_clean_end(kPlayers[i % std::size(kPlayers)], path);
  }
}

INSTANTIATE_TEST_SUITE_P(Battery, HostileFiles, testing::Values("wav", "dff", "wsd", "dsf"),
                         [](const auto& param_info) { return param_info.param; });

// What no reader gets: a FIFO and a device given by name, an empty file.
TEST_F(HostileFiles, SpecialFilesAreRefusedWithAReport) {
  const std::string fifo = env_.file("fifo.wav");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string empty = env_.file("empty.wav");
  ASSERT_TRUE(write_file(empty, std::vector<uint8_t>{}));
  for (const char* program : {"brisa", "lumen", "lumen-dsf"}) {
    for (const std::string& path : {fifo, std::string("/dev/null"), empty}) expect_clean_end(program, path);
  }
}

}  // namespace
