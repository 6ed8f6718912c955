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

// What the players send on their control channel, a few bytes at a time.
TEST(NowPlaying, EventsOfTheControlChannel) {
  now_playing_reader reader;
  const std::string events =
      "state waiting\nstate playing\nlist 3\nformat 44100:24:2\nfile 1 /m/b \\\\x\\n.wav\n"
      "tag artist Miles\ntag title Blue in Green\ntag album Kind\nposition 7.250 245.000\n"
      "position 3723.000 3723.000\n";
  bool changed = false;
  for (size_t at = 0; at < events.size(); at += 7) changed = now_playing_feed(reader, events.substr(at, 7)) || changed;
  EXPECT_TRUE(changed);
  now_playing expected{.name = "b \\x\n.wav",
                       .file_number = 2,
                       .file_count = 3,
                       .artist = "Miles",
                       .title = "Blue in Green",
                       .position_ms = 3723000,
                       .duration_ms = 3723000,
                       .state = player_state::playing,
                       .format = "44100:24:2",
                       .error = {},
                       .exit_status = {}};
  EXPECT_EQ(reader.now, expected);
  EXPECT_EQ(now_playing_tags(reader.now), "Miles \u2014 Blue in Green");
  EXPECT_FALSE(now_playing_feed(reader, "position 3723.000 3723.000\n"));
  // A new file forgets the tags and the position; a Latin-1 name is shown
  // with a replacement character; an overlong line, unknown events and
  // malformed ones change nothing.
  EXPECT_TRUE(now_playing_feed(reader, "file 2 /m/caf\xe9.dsf\nposition 1.000 3600.000\n"));
  EXPECT_EQ(reader.now.name, "caf\xef\xbf\xbd.dsf");
  EXPECT_EQ(now_playing_tags(reader.now), "");
  const now_playing before = reader.now;
  EXPECT_FALSE(now_playing_feed(reader, "file " + std::string(30000, '1') +
                                            " /m/x.wav\nfile x /m/y.wav\n"
                                            "position soon\nvolume -6\nhello\nlist -1\n"));
  EXPECT_EQ(reader.now, before);
  EXPECT_TRUE(now_playing_feed(reader, "error cannot add /m/z.txt\nstate stopped error\nexit 3\n"));
  EXPECT_EQ(reader.now.error, "cannot add /m/z.txt");
  EXPECT_EQ(reader.now.state, player_state::stopped);
  EXPECT_EQ(reader.now.exit_status, 3);
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
