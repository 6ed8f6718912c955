// What the text view shows of a player's output: "\r" lines overwrite
// each other, "\n" lines stay, and only valid UTF-8 reaches the view; what
// the label reads from it.
#include "text_render.h"

#include <gtest/gtest.h>

#include "now_playing.h"
#include "utf8_text.h"

namespace {

// Renders chunks one refresh at a time into a view text.
std::string rendered(const std::vector<std::string>& chunks) {
  std::string view;
  bool overwrite = false;
  for (const std::string& chunk : chunks) render_apply(view, render_output(chunk, overwrite));
  return view;
}

TEST(Render, ProgressLineStaysOnOneLine) {
  EXPECT_EQ(rendered({"playing a.wav\n\r 0:01 \r\r 0:02 \r\r 0:03 \r"}), "playing a.wav\n 0:03 ");
  // The same, a refresh after every few bytes.
  EXPECT_EQ(rendered({"playing a.wav\n\r 0:", "01 \r\r 0:0", "2 \r", "\r 0:03 \r"}), "playing a.wav\n 0:03 ");
  // A following "\n" line replaces the progress line and stays below the header.
  EXPECT_EQ(rendered({"head\n\r 0:01 \r\r 0:02 \r", "\nexit by interrupt\n"}), "head\n\nexit by interrupt\n");
  EXPECT_EQ(rendered({"\r 0:05 \r", "done\n", "next\n"}), "done\nnext\n");
}

TEST(Render, PlainLinesAndLeftovers) {
  EXPECT_EQ(rendered({"one\ntwo\n", "thr", "ee\n"}), "one\ntwo\nthree\n");
  EXPECT_EQ(rendered({""}), "");
  const std::string long_line(5000, 'x');
  EXPECT_EQ(rendered({long_line + "\n" + long_line + "\r"}), long_line + "\n" + long_line);
}

TEST(Render, BurstOfPositionLinesIsOneChange) {
  std::string burst = "head\n";
  for (int i = 0; i < 10000; ++i) burst += "\rposition 00:01 buffer 80[%] \r";
  bool overwrite = true;
  const std::vector<render_op> ops = render_output(burst, overwrite);
  ASSERT_EQ(ops.size(), 2u);
  EXPECT_EQ(ops[0].kind, render_op::delete_last_line);
  EXPECT_EQ(ops[1].text, "head\nposition 00:01 buffer 80[%] ");
  EXPECT_TRUE(overwrite);
}

// What the players print (see common/util.cpp), a few bytes at a time.
TEST(NowPlaying, HeaderAndPositionOfBothPlayers) {
  now_playing_reader reader;
  const std::string lumen =
      "\r          \nplaying file 2/3 total 4:05 \"b \"x\".wav\" \"/m/b \"x\".wav\"\n"
      "\rposition 00:07 buffer 80[%]   \r\rposition 01:02:03 buffer 79[%]   \r";
  bool changed = false;
  for (size_t at = 0; at < lumen.size(); at += 7) changed = now_playing_feed(reader, lumen.substr(at, 7)) || changed;
  EXPECT_TRUE(changed);
  EXPECT_EQ(reader.now, (now_playing{"b \"x\".wav", 2, 3, 245, 3723}));
  EXPECT_FALSE(now_playing_feed(reader, "\rposition 01:02:03 buffer 79[%]   \r"));
  // brisa, an hour long, and a path long enough for a line of its own.
  EXPECT_TRUE(now_playing_feed(
      reader, "playing file 1/1 total 1:00:00 \"c.dsf\" \n\"/a/long/enough/path/to/be/put/on/its/own/line/c.dsf\"\n"));
  EXPECT_EQ(reader.now, (now_playing{"c.dsf", 1, 1, 3600, 0}));
  // Other lines, and a header cut short, change nothing.
  EXPECT_FALSE(now_playing_feed(reader, "playing file 2/ total\nposition x\nERROR lumen 3 no\n"));
  EXPECT_EQ(format_duration(245), "4:05");
  EXPECT_EQ(format_duration(3723), "1:02:03");
}

TEST(Render, ClearAndTitle) {
  std::string view = "old\n";
  render_apply(view, {{render_op::clear_view, {}}, {render_op::append, "new"}});
  EXPECT_EQ(view, "new");
  EXPECT_EQ(render_window_title("playing"), "playing Korvo");
  EXPECT_EQ(render_window_title(""), " Korvo");
  EXPECT_EQ(render_window_title("/usr/bin/lumen"), "lumen Korvo");
}

TEST(Utf8, ValidTextPassesAndInvalidBytesAreReplaced) {
  std::string tail;
  EXPECT_EQ(utf8_sanitise(tail, "plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5\n"),
            "plain \xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5\n");
  EXPECT_EQ(utf8_sanitise(tail, "caf\xe9 au lait"), "caf\xef\xbf\xbd au lait");
  EXPECT_EQ(tail, "");
  // Overlong forms, surrogates, values above U+10FFFF, stray continuation bytes.
  EXPECT_EQ(
      utf8_sanitise(tail, "\xc0\xaf|\xed\xa0\x80|\xf4\x90\x80\x80|\x80|\xff"),
      "\xef\xbf\xbd\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd|"
      "\xef\xbf\xbd|\xef\xbf\xbd");
  // A sequence cut short by another character.
  EXPECT_EQ(utf8_sanitise(tail, "\xe2\x82z"), "\xef\xbf\xbdz");
  EXPECT_EQ(tail, "");
}

TEST(Utf8, CharacterSplitBetweenReadsIsHeldBack) {
  std::string tail;
  EXPECT_EQ(utf8_sanitise(tail, "na\xc3"), "na");
  EXPECT_EQ(tail, "\xc3");
  EXPECT_EQ(utf8_sanitise(tail, "\xafve"), "\xc3\xafve");
  EXPECT_EQ(utf8_sanitise(tail, "\xf0\x9f"), "");
  EXPECT_EQ(utf8_sanitise(tail, "\x8e"), "");
  EXPECT_EQ(utf8_sanitise(tail, "\xb5!"), "\xf0\x9f\x8e\xb5!");
  // A tail left when the output ends shows as one replacement.
  EXPECT_EQ(utf8_sanitise(tail, "end\xe2\x82"), "end");
  EXPECT_EQ(utf8_flush(tail), "\xef\xbf\xbd");
  EXPECT_EQ(tail, "");
  EXPECT_EQ(utf8_flush(tail), "");
}

}  // namespace
