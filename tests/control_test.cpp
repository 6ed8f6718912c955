// The players' control channel end to end: commands written to a player's
// standard input, events read from its standard output, through the real
// binaries and the fake DAC.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "alsa_env.h"
#include "control_channel.h"
#include "cover_picture.h"
#include "process.h"
#include "wav_writer.h"

namespace {

using bytes = std::vector<uint8_t>;

// Stereo 16-bit samples that differ from frame to frame, so that a capture
// shows where each file begins.
std::vector<int32_t> ramp(size_t frames, int32_t step) {
  std::vector<int32_t> samples;
  for (size_t i = 0; i < frames; ++i) {
    const auto value = static_cast<int32_t>((static_cast<int64_t>(i) * step) % 60000) - 30000;
    samples.push_back(value);
    samples.push_back(-value);
  }
  return samples;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every line is an event of the channel's.
void expect_events_only(const std::string& out) {
  namespace e = control_event_name;
  for (const std::string& line : lines_of(out)) {
    const std::string_view name = control_split_event(line).name;
    EXPECT_TRUE(name == e::kState || name == e::kFile || name == e::kList || name == e::kPosition || name == e::kTag ||
                name == e::kFormat || name == e::kVolume || name == e::kError || name == e::kExit)
        << "not an event: " << line;
  }
}

class ControlChannel : public testing::Test {
 protected:
  std::string wav(const std::string& name, const std::vector<int32_t>& samples) {
    const std::string path = env_.file(name);
    EXPECT_TRUE(write_file(path, wav_bytes(wav_spec{}, samples)));
    return path;
  }

  process_result run(const std::vector<std::string>& words, process_options options = {}) {
    return env_.run(words, options);
  }

  alsa_env env_;
};

TEST_F(ControlChannel, EventsFollowPlaybackAndCommandsAct) {
  env_.add_fake_dac("dac", {.formats = {"S16_LE"}, .paced = true});
  const std::string a = wav("a.wav", ramp(44100 * 3, 7));
  const std::string b = wav("b.wav", ramp(44100 * 3, 11));
  const std::string c = wav("c.wav", ramp(44100 * 3, 13));
  const process_result result = run({built_program("lumen"), "--control", "-D", "dac", a, b, c},
                                    {.keys = {{"position 1.", "frobnicate now\nvolume -3\npause\n"},
                                              {"state paused", "resume\n"},
                                              {"state playing", "next\n"},
                                              {"file 1 ", "quit\n"}}});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  expect_events_only(result.out);
  const std::string& out = result.out;
  EXPECT_EQ(out.find("state playing\nlist 3\nformat 44100:16:2\nfile 0 " + a + "\nposition 0.000 3.000\n"), 0u) << out;
  // The unknown command and lumen's missing volume are errors; playback goes on.
  const size_t unknown = out.find("error unknown command frobnicate\n");
  EXPECT_NE(unknown, std::string::npos) << out;
  EXPECT_NE(out.find("error this player has no volume\n", unknown), std::string::npos) << out;
  const size_t paused = out.find("state paused\n", unknown);
  const size_t resumed = out.find("state playing\n", paused);
  const size_t next = out.find("file 1 " + b + "\n", resumed);
  ASSERT_NE(next, std::string::npos) << out;
  EXPECT_EQ(out.find("file 2 "), std::string::npos) << "quit stops before the last file";
  EXPECT_EQ(out.substr(out.size() - std::string("state stopped quit\nexit 0\n").size()),
            "state stopped quit\nexit 0\n");
  // The human texts go to standard error, as the terminal shows them.
  EXPECT_NE(result.err.find("playing file 1/3 "), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("\rposition 00:01"), std::string::npos) << result.err;
}

// Quit while paused: the music has faded out already, and the player ends
// at once though its buffer is never played.
TEST_F(ControlChannel, QuitWhilePausedEndsAtOnce) {
  env_.add_fake_dac("dac", {.formats = {"S16_LE"}, .paced = true});
  const std::string a = wav("a.wav", ramp(44100 * 10, 7));
  const process_result result = run({built_program("lumen"), "--control", "-D", "dac", a},
                                    {.keys = {{"position 1.", "pause\n"}, {"state paused", "quit\n"}}});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_NE(result.out.find("state paused\nstate stopped quit\nexit 0\n"), std::string::npos) << result.out;
  // As a service manager stops it.
  const process_result stopped =
      run({built_program("lumen"), "--control", "-D", "dac", a},
          {.interrupt_when = "state paused", .interrupt_signal = SIGTERM, .keys = {{"position 1.", "pause\n"}}});
  // The pause's fade not yet heard when quit comes.
  const process_result at_once =
      run({built_program("lumen"), "--control", "-D", "dac", a}, {.keys = {{"position 1.", "pause\nquit\n"}}});
  EXPECT_EQ(at_once.exit_status, 0) << at_once.err;
  EXPECT_NE(at_once.out.find("exit 0\n"), std::string::npos) << at_once.out;
  EXPECT_EQ(stopped.exit_status, 0) << stopped.err;
  EXPECT_NE(stopped.out.find("exit 0\n"), std::string::npos) << stopped.out;
}

// The list's end has been read and the buffer is playing out when the
// files come: the one that plays joins the stream, the one that cannot is
// refused, and a name's control characters come out escaped on one line.
TEST_F(ControlChannel, AnAppendedFileJoinsWithoutAGapAndBadOnesAreRefused) {
  env_.add_fake_dac("dac", {.formats = {"S16_LE"}, .paced = true});
  const std::vector<int32_t> first = ramp(44100 * 3 / 2, 7), second = ramp(44100, 11);
  const std::string a = wav("a.wav", first);
  const std::string hostile = wav("b\\x\nname\t.wav", second);
  const std::string append = "append " + control_escape(hostile) + "\n";
  const process_result result =
      run({built_program("lumen"), "--control", "-D", "dac", a},
          {.keys = {{"position 0.5", "append " + env_.file("missing.wav") + "\n" + append}, {"file 1 ", ""}}});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  expect_events_only(result.out);
  EXPECT_NE(result.out.find("error file " + env_.file("missing.wav") + " open error\n"), std::string::npos)
      << result.out;
  const size_t listed = result.out.find("list 2\n");
  EXPECT_NE(result.out.find("\nfile 1 " + control_escape(hostile) + "\nposition 0.0", listed), std::string::npos)
      << result.out;

  // After the second of lead-in, both files back to back.
  const std::string captured = read_captured(env_.dac_output("dac"));
  bytes expected(44100 * 4, 0);
  for (const auto* samples : {&first, &second}) {
    const bytes pcm = encode_samples(sample_encoding::s16, *samples);
    expected.insert(expected.end(), pcm.begin(), pcm.end());
  }
  ASSERT_EQ(captured.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), captured.begin(),
                         [](uint8_t x, char y) { return x == static_cast<uint8_t>(y); }));
}

// A folder comes as the command line lists one: its music in byte order,
// its picture skipped with the notice; a folder without music is an error.
TEST_F(ControlChannel, AnAppendedFolderAddsItsMusic) {
  env_.add_fake_dac("dac", {.formats = {"S16_LE"}, .paced = true});
  const std::string a = wav("a.wav", ramp(44100 * 3 / 2, 7));
  const std::string album = env_.file("album"), covers = env_.file("covers");
  ASSERT_EQ(mkdir(album.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(covers.c_str(), 0700), 0);
  wav("album/c.wav", ramp(44100, 13));
  wav("album/b.wav", ramp(44100, 11));
  ASSERT_TRUE(write_file(album + "/cover.jpg", kCoverJpeg));
  ASSERT_TRUE(write_file(covers + "/cover.jpg", kCoverJpeg));
  const process_result result =
      run({built_program("lumen"), "--control", "-D", "dac", a},
          {.keys = {{"position 0.5", "append " + covers + "\nappend " + album + "\n"}, {"file 2 ", ""}}});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  expect_events_only(result.out);
  const size_t refused = result.out.find("error nothing to play in " + covers + "\n");
  EXPECT_NE(refused, std::string::npos) << result.out;
  EXPECT_NE(result.out.find("list 3\n", refused), std::string::npos) << result.out;
  const size_t b = result.out.find("file 1 " + album + "/b.wav\n");
  EXPECT_NE(b, std::string::npos) << result.out;
  EXPECT_NE(result.out.find("file 2 " + album + "/c.wav\n", b), std::string::npos) << result.out;
  EXPECT_TRUE(result.out.ends_with("state stopped end\nexit 0\n")) << result.out;
  for (const std::string& folder : {covers, album})
    EXPECT_NE(result.err.find("skipped 1 file that is not music in " + folder + "\n"), std::string::npos) << result.err;
}

// A foreign program drives the channel: brisa's volume through a script.
TEST_F(ControlChannel, AScriptSetsBrisasVolumeAndQuits) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no python3";
  env_.add_fake_dac("dac", {.formats = {"DSD_U32_BE"}, .paced = true});
  env_.route_hw_to("dac");
  env_.add_cards({{.number = 1, .longname = "Amanero Combo384 at usb-1"}});
  const std::string a = env_.file("a.wav");
  ASSERT_TRUE(write_wav(a, wav_spec{}, tone(1000, 0.5, 44100, 4)));
  constexpr const char* kScript = R"py(
import subprocess, sys
player = subprocess.Popen(sys.argv[1:], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
seen = []
for line in player.stdout:
    seen.append(line.rstrip("\n"))
    if line.startswith("position 0.5"):
        player.stdin.write("volume 9\nvolume -6\n")
        player.stdin.flush()
    if line == "volume -6\n":
        player.stdin.write("quit\n")
        player.stdin.flush()
player.wait()
for wanted in ("format dsd256", "volume 0", "error volume 9 is out of range (-48 to 0 dB)", "volume -6", "exit 0"):
    if wanted not in seen:
        sys.exit("missing: " + wanted + " in " + repr(seen))
print("driven", player.returncode)
)py";
  const process_result result = run({"/usr/bin/python3", "-c", kScript, built_program("brisa"), "--control", a});
  EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("driven 0"), std::string::npos) << result.out << result.err;
}

}  // namespace
