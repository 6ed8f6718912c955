// The control channel's lines as a front-end sees them: commands parsed or
// refused with a reason, and escaping that keeps any name on one line and
// gives it back whole.
#include "control_channel.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ControlChannelLines, EveryByteSurvivesTheEscapeOnOneLine) {
  std::string all;
  for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
  all += "\\x4g\\";  // text that looks like a cut escape
  const std::string escaped = control_escape(all);
  EXPECT_EQ(escaped.find('\n'), std::string::npos);
  EXPECT_EQ(escaped.find('\r'), std::string::npos);
  EXPECT_EQ(control_unescape(escaped), all);
  char small[8];
  EXPECT_EQ(control_escape_into("a\nbc\x01", small, sizeof small), 5u) << "no half escape";
  EXPECT_STREQ(small, "a\\nbc");
  EXPECT_EQ(control_event(control_event_name::kFile, "3", "x\ny"), "file 3 x\\ny\n");
}

TEST(ControlChannelLines, CommandsAndTheirArguments) {
  std::string why;
  const auto seek = [&](const char* line) { return control_parse_command(line, &why); };
  EXPECT_EQ(seek("seek 83.5")->millis, 83500);
  EXPECT_FALSE(seek("seek 83.5")->relative);
  EXPECT_EQ(seek("seek -10")->millis, -10000);
  EXPECT_TRUE(seek("seek +0.25")->relative);
  for (const char* bad :
       {"seek", "seek ten", "seek 1.2.3", "volume", "volume -6dB", "append", "pause now", "", "jump"}) {
    EXPECT_FALSE(control_parse_command(bad, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
  const auto append = control_parse_command("append /m/a b\\nc.wav\r", &why);
  ASSERT_TRUE(append);
  EXPECT_EQ(append->path, "/m/a b\nc.wav");
  EXPECT_EQ(control_parse_command("volume -48", &why)->volume_db, -48);
  EXPECT_EQ(control_parse_command("quit", &why)->verb, control_verb::quit);
  EXPECT_EQ(control_format_name(control_stream_kind::dop, 352800 * 16, 24, 2), "dop128");
  EXPECT_EQ(control_format_name(control_stream_kind::pcm, 44100, 24, 2), "44100:24:2");
}

}  // namespace
