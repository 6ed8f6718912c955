// The test sound devices themselves, driven through the real ALSA library
// by the pcm_probe client: what a fake DAC accepts, what it records, how it
// paces, fails and disconnects; the hw/plughw routes and capture files of
// the scratch .asoundrc; and the cards the shim presents.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "alsa_env.h"
#include "process.h"

namespace {

// The value of the first "key=value" line of a probe's output, or "".
std::string value(const std::string& out, const std::string& key) {
  const std::string text = "\n" + out;
  size_t at = text.find("\n" + key + "=");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  return text.substr(at, text.find('\n', at) - at);
}

class AlsaDevices : public testing::Test {
 protected:
  process_result probe(std::vector<std::string> words, double timeout = 20) {
    words.insert(words.begin(), pcm_probe_program());
    process_options options;
    options.env = env.environment();
    options.timeout_seconds = timeout;
    return run_process(words, options);
  }

  // Plays `frames` frames of the probe pattern and expects success.
  void play_ok(const std::vector<std::string>& words) {
    std::vector<std::string> all = {"play"};
    all.insert(all.end(), words.begin(), words.end());
    const process_result result = probe(all);
    ASSERT_EQ(result.exit_status, 0) << result.out << result.err;
  }

  alsa_env env;
};

TEST_F(AlsaDevices, FakeDacTakesOnlyItsFormatsRatesAndChannels) {
  env.add_fake_dac("dac", {.formats = {"DSD_U32_BE", "S32_LE"}, .rate_min = 44100, .rate_max = 768000});
  env.add_fake_dac("high", {.formats = {"DSD_U32_LE"}, .rate_min = 705600, .rate_max = 768000});
  env.add_fake_dac("picky", {.formats = {"S24_3LE"}, .refuse_rate = 352800});

  // 0.5 s buffers of the widest streams the players open fit the limits.
  process_result result = probe({"play", "dac", "DSD_U32_BE", "352800", "2", "1000"});
  EXPECT_EQ(result.exit_status, 0) << result.out;
  EXPECT_EQ(value(result.out, "buffer_frames"), "176400");
  result = probe({"play", "dac", "S32_LE", "705600", "2", "1000"});
  EXPECT_EQ(result.exit_status, 0) << result.out;
  EXPECT_EQ(value(result.out, "buffer_frames"), "352800");

  result = probe({"play", "dac", "S24_3LE", "352800", "2", "1000"});
  EXPECT_EQ(result.exit_status, 3);
  EXPECT_NE(value(result.out, "format_refused"), "");
  result = probe({"play", "dac", "DSD_U32_BE", "22050", "2", "1000"});
  EXPECT_NE(value(result.out, "rate_refused"), "") << result.out;
  result = probe({"play", "dac", "DSD_U32_BE", "352800", "1", "1000"});
  EXPECT_NE(value(result.out, "channels_refused"), "") << result.out;
  result = probe({"play", "high", "DSD_U32_LE", "352800", "2", "1000"});
  EXPECT_NE(value(result.out, "rate_refused"), "") << result.out;

  // The refused rate passes the range checks and fails at hw_params.
  result = probe({"play", "picky", "S24_3LE", "352800", "2", "1000"});
  EXPECT_EQ(result.exit_status, 3);
  EXPECT_NE(value(result.out, "hw_params_refused"), "") << result.out;
  EXPECT_NE(read_captured(env.dac_log("picky")).find("refused rate=352800"), std::string::npos);
  play_ok({"picky", "S24_3LE", "176400", "2", "1000"});
}

TEST_F(AlsaDevices, FramesLandInTheOutputFileByteForByte) {
  env.add_fake_dac("dac", {.formats = {"DSD_U32_BE"}});
  play_ok({"dac", "DSD_U32_BE", "352800", "2", "100000", "--chunk=3000"});
  EXPECT_TRUE(read_captured(env.dac_output("dac")) == probe_pattern(800000));
  const std::string log = read_captured(env.dac_log("dac"));
  EXPECT_NE(log.find("hw_params format=DSD_U32_BE rate=352800 channels=2"), std::string::npos) << log;
  // Nothing is consumed before the start: the start threshold was reached.
  const size_t start = log.find("start queued=");
  ASSERT_NE(start, std::string::npos) << log;
  EXPECT_GE(std::stoul(log.substr(start + 13)), 176400u / 2) << log;

  // An open that writes nothing (a probe, a return to PCM mode) keeps the
  // last stream; the next stream replaces it.
  ASSERT_EQ(probe({"open", "dac"}).exit_status, 0);
  EXPECT_EQ(read_captured(env.dac_output("dac")).size(), 800000u);
  play_ok({"dac", "DSD_U32_BE", "352800", "2", "500"});
  EXPECT_TRUE(read_captured(env.dac_output("dac")) == probe_pattern(4000));
}

TEST_F(AlsaDevices, PlugConvertsIntoTheFakeDac) {
  env.add_fake_dac("dac", {.formats = {"S32_LE"}});
  env.route_hw_to("dac");
  play_ok({"plughw:1,0", "S16_LE", "44100", "2", "1000"});
  const std::string in = probe_pattern(4000);
  const std::string out = read_captured(env.dac_output("dac"));
  ASSERT_EQ(out.size(), 8000u);
  for (size_t sample = 0; sample < 2000; ++sample) {
    // A 16-bit sample lands in the top half of the 32-bit one.
    EXPECT_EQ(out.substr(sample * 4, 4), std::string(2, '\0') + in.substr(sample * 2, 2)) << sample;
    if (HasFailure()) break;
  }
}

TEST_F(AlsaDevices, PacedDacUnderrunsOnlyWhenStarved) {
  env.add_fake_dac("paced", {.formats = {"S16_LE"}, .rate_min = 48000, .rate_max = 48000, .paced = true});
  env.add_fake_dac("instant", {.formats = {"S16_LE"}, .rate_min = 48000, .rate_max = 48000});

  // 0.75 s into a 0.5 s buffer: the last quarter second waits for room.
  const auto begin = std::chrono::steady_clock::now();
  process_result result = probe({"play", "paced", "S16_LE", "48000", "2", "36000", "--chunk=1024"});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_EQ(result.exit_status, 0) << result.out;
  EXPECT_EQ(value(result.out, "state"), "RUNNING");
  EXPECT_GE(seconds, 0.2);
  EXPECT_EQ(read_captured(env.dac_log("paced")).find("underrun"), std::string::npos);

  // A writer that stalls longer than the buffer lasts: XRUN, as hardware.
  result = probe({"play", "paced", "S16_LE", "48000", "2", "36000", "--stall-after=24000", "--stall-ms=800"});
  EXPECT_EQ(result.exit_status, 4) << result.out;
  EXPECT_TRUE(value(result.out, "stopped_state") == "XRUN" || value(result.out, "avail_error").find("-32") == 0)
      << result.out;
  EXPECT_EQ(value(result.out, "written"), "24000");
  EXPECT_NE(read_captured(env.dac_log("paced")).find("underrun written=24000"), std::string::npos);

  // The instant device never starves.
  result = probe({"play", "instant", "S16_LE", "48000", "2", "36000", "--stall-after=24000", "--stall-ms=800"});
  EXPECT_EQ(result.exit_status, 0) << result.out;

  // Drain plays out what is held and leaves the stream stopped.
  result = probe({"play", "paced", "S16_LE", "48000", "2", "12000", "--drain"});
  EXPECT_EQ(result.exit_status, 0) << result.out;
  EXPECT_EQ(value(result.out, "state"), "SETUP");
  EXPECT_NE(read_captured(env.dac_log("paced")).find("drain played=12000"), std::string::npos);
}

TEST_F(AlsaDevices, BusyOpensAreCountedAcrossProcesses) {
  env.add_fake_dac("dac", {.formats = {"DSD_U32_BE"}, .busy_opens = 2});
  for (int attempt = 1; attempt <= 2; ++attempt) {
    const process_result result = probe({"open", "dac"});
    EXPECT_EQ(result.exit_status, 2) << attempt;
    EXPECT_EQ(value(result.out, "open_error").substr(0, 3), "-16") << result.out;
  }
  EXPECT_EQ(probe({"open", "dac"}).exit_status, 0);
  play_ok({"dac", "DSD_U32_BE", "352800", "2", "100"});
  EXPECT_EQ(env.dac_opens("dac"), 4);
}

TEST_F(AlsaDevices, DisconnectAfterFramesStopsTheStream) {
  env.add_fake_dac("dac", {.formats = {"DSD_U32_BE"}, .disconnect_after = 50000});
  const process_result result = probe({"play", "dac", "DSD_U32_BE", "352800", "2", "100000", "--chunk=3000"});
  EXPECT_EQ(result.exit_status, 4) << result.out;
  EXPECT_TRUE(value(result.out, "stopped_state") == "DISCONNECTED" || value(result.out, "write_error").find("-19") == 0)
      << result.out;
  EXPECT_EQ(value(result.out, "written"), "50000");
  EXPECT_TRUE(read_captured(env.dac_output("dac")) == probe_pattern(400000));
  EXPECT_NE(read_captured(env.dac_log("dac")).find("disconnected written=50000"), std::string::npos);
}

TEST_F(AlsaDevices, HwNamesOpenTheRoutedDevices) {
  env.add_fake_dac("amanero", {.formats = {"DSD_U32_BE"}});
  env.add_fake_dac("xmos", {.formats = {"DSD_U32_LE"}});
  env.add_cards({{.number = 1, .longname = "Amanero Combo384 at usb-1", .id = "Combo384"},
                 {.number = 2, .longname = "XMOS Audio 2.0 at usb-2", .playback = {0, 1}}});
  env.route_hw(1, 0, "amanero");
  env.route_hw(2, 1, "xmos");

  play_ok({"hw:1,0", "DSD_U32_BE", "352800", "2", "100"});
  play_ok({"hw:CARD=Combo384,DEV=0", "DSD_U32_BE", "352800", "2", "200"});
  EXPECT_EQ(read_captured(env.dac_output("amanero")).size(), 1600u);
  play_ok({"hw:2,1", "DSD_U32_LE", "352800", "2", "100"});
  EXPECT_EQ(read_captured(env.dac_output("xmos")).size(), 800u);
  EXPECT_EQ(probe({"open", "hw:2,0"}).exit_status, 2);

  // One route for everything.
  alsa_env all;
  all.add_fake_dac("dac", {.formats = {"S24_3LE"}});
  all.route_hw_to("dac");
  process_options options;
  options.env = all.environment();
  EXPECT_EQ(run_process({pcm_probe_program(), "open", "hw:3,0"}, options).exit_status, 0);
  EXPECT_EQ(all.dac_opens("dac"), 1);
}

TEST_F(AlsaDevices, SpecificRoutesLeaveTheRestToTheDefault) {
  env.add_fake_dac("dac", {.formats = {"DSD_U32_BE"}});
  env.add_fake_dac("other", {.formats = {"DSD_U32_LE"}});
  env.add_cards({{.number = 1, .longname = "Amanero Combo384 at usb-1"},
                 {.number = 2, .longname = "DIYINHK DXIO at usb-2", .playback = {0, 1}}});
  env.route_hw_to("dac");
  env.route_hw(2, 1, "other");
  // Cards without an id go by the shim's default one.
  play_ok({"hw:CARD=Amanero,DEV=0", "DSD_U32_BE", "352800", "2", "100"});
  play_ok({"hw:2,0", "DSD_U32_BE", "352800", "2", "100"});
  play_ok({"hw:CARD=DIYINHK,DEV=1", "DSD_U32_LE", "352800", "2", "100"});
  EXPECT_EQ(env.dac_opens("dac"), 2);
  EXPECT_EQ(env.dac_opens("other"), 1);
}

TEST_F(AlsaDevices, ConfigurationMistakesFailTheOpenClearly) {
  env.add_config("pcm.typo {\n  type fakedac\n  formats \"S16_LE\"\n  rate_mni 8000\n}");
  env.add_config("pcm.noformat {\n  type fakedac\n}");
  env.add_config("pcm.badformat {\n  type fakedac\n  formats [ \"S16_LE\" \"S17_LE\" ]\n}");
  env.add_config("pcm.badmode {\n  type fakedac\n  formats \"S16_LE\"\n  mode \"slow\"\n}");
  const std::vector<std::pair<std::string, std::string>> cases = {{"typo", "fakedac: unknown field rate_mni"},
                                                                  {"noformat", "fakedac: no formats given"},
                                                                  {"badformat", "fakedac: unknown format S17_LE"},
                                                                  {"badmode", "fakedac: mode is"}};
  for (const auto& [device, message] : cases) {
    const process_result result = probe({"open", device});
    EXPECT_EQ(result.exit_status, 2) << device;
    EXPECT_NE(result.err.find(message), std::string::npos) << device << ": " << result.err;
  }
}

TEST_F(AlsaDevices, CaptureFilesAreNamedByRateAndFormat) {
  env.add_capture("cap");
  env.add_null("nothing");
  play_ok({"cap", "S24_3LE", "352800", "2", "1000"});
  play_ok({"cap", "DSD_U32_BE", "352800", "2", "500"});
  EXPECT_TRUE(read_captured(env.capture_file("cap", 352800, "S24_3LE")) == probe_pattern(6000));
  EXPECT_TRUE(read_captured(env.capture_file("cap", 352800, "DSD_U32_BE")) == probe_pattern(4000));
  play_ok({"nothing", "DSD_U32_LE", "705600", "2", "1000"});
}

TEST_F(AlsaDevices, ShimPresentsTheFakeCards) {
  env.add_cards({{.number = 1, .longname = "Amanero Combo384 USB at usb-1", .playback = {0, 1}},
                 {.number = 3,
                  .longname = "XMOS Audio 2.0 at usb-2",
                  .playback = {},
                  .capture = {0},
                  .id = "XMOS",
                  .name = "XMOS Audio",
                  .pcm_name = "Digital"}});
  const process_result result = probe({"cards"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out,
            "card=1\tinfo_card=1\tid=Amanero\tdriver=USB-Audio\tindex=1\tname=Amanero Combo384 USB\t"
            "info_name=Amanero Combo384 USB\tlongname=Amanero Combo384 USB at usb-1\t"
            "info_longname=Amanero Combo384 USB at usb-1\n"
            "pcm=1,0\tstream=PLAYBACK\tcard=1\tdevice=0\tid=USB Audio\tname=USB Audio\n"
            "pcm=1,0\tstream=CAPTURE\terror=-2\n"
            "pcm=1,1\tstream=PLAYBACK\tcard=1\tdevice=1\tid=USB Audio\tname=USB Audio\n"
            "pcm=1,1\tstream=CAPTURE\terror=-2\n"
            "card=3\tinfo_card=3\tid=XMOS\tdriver=USB-Audio\tindex=3\tname=XMOS Audio\t"
            "info_name=XMOS Audio\tlongname=XMOS Audio 2.0 at usb-2\tinfo_longname=XMOS Audio 2.0 at usb-2\n"
            "pcm=3,0\tstream=PLAYBACK\terror=-2\n"
            "pcm=3,0\tstream=CAPTURE\tcard=3\tdevice=0\tid=Digital\tname=Digital\n"
            "cards=2\n");

  // Preloaded into a shell and timeout, which never load libasound.
  process_options options;
  options.env = env.environment();
  const process_result shell =
      run_process({"/bin/sh", "-c", "echo shell; exec timeout 10 \"$0\" cards", pcm_probe_program()}, options);
  EXPECT_EQ(shell.exit_status, 0) << shell.err;
  EXPECT_EQ(shell.out.substr(0, 6), "shell\n");
  EXPECT_NE(shell.out.find("cards=2\n"), std::string::npos) << shell.out;
}

TEST_F(AlsaDevices, LibasoundsOwnCardWalksSurviveTheFakeHandles) {
  env.add_cards({{.number = 1, .longname = "Amanero Combo384 at usb-1"}});
  const process_result result = probe({"hints"});
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.term_signal, 0);
  EXPECT_NE(result.out.find("hint=hw:CARD=Amanero,DEV=0\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("mixer=1\tresult=0\telements=0\n"), std::string::npos) << result.out;
}

TEST_F(AlsaDevices, MalformedCardEntriesAreSkipped) {
  env.add_cards({});
  process_options options;
  options.env = env.environment();
  // A later word replaces the earlier one of the same name.
  options.env.push_back("FAKE_ALSA_CARDS=x|Bad;;40|Out of range;5|Five Card|pcm=a,1:Main,|capture=");
  const process_result result = run_process({pcm_probe_program(), "cards"}, options);
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out,
            "card=5\tinfo_card=5\tid=Five\tdriver=USB-Audio\tindex=5\tname=Five Card\tinfo_name=Five Card\t"
            "longname=Five Card\tinfo_longname=Five Card\n"
            "pcm=5,1\tstream=PLAYBACK\tcard=5\tdevice=1\tid=Main\tname=Main\n"
            "pcm=5,1\tstream=CAPTURE\terror=-2\n"
            "cards=1\n");
}

TEST_F(AlsaDevices, NoCardsMeansNone) {
  env.add_cards({});
  const process_result result = probe({"cards"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, "cards=0\n");
  // The real hw plugin meets the shim's answers and fails cleanly.
  env.add_cards({{.number = 1, .longname = "Amanero"}});
  const process_result open = probe({"open", "hw:1,0"});
  EXPECT_EQ(open.exit_status, 2);
  EXPECT_EQ(open.term_signal, 0);
}

}  // namespace
