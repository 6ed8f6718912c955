#include "util.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "key_decoder.h"
#include "printable.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// What the two players hand the progress lines: brisa writes the minutes
// with two digits and shows its volume (here -6 dB), lumen does neither.
struct progress_style {
  minutes_format minutes;
  std::optional<int32_t> volume_db;
};
const progress_style kBrisa{minutes_format::two_digits, -6};
const progress_style kLumen{minutes_format::plain, std::nullopt};

std::string header_text(const progress_style& player, int64_t seconds, const char* path) {
  CaptureStdout();
  print_file_header(player.minutes, 2, 5, seconds, path);
  return GetCapturedStdout();
}

std::string position_text(const progress_style& player, int64_t seconds, const char* status) {
  CaptureStdout();
  print_position_line(seconds, 42, player.volume_db, status);
  return GetCapturedStdout();
}

const std::string kWipe = "\r" + std::string(72, ' ');

TEST(ModuleStem, IsTheFileNameWithoutDirectoryAndExtension) {
  static_assert(module_stem("common/parse_param.cpp") == "parse_param");
  static_assert(module_stem("/abs/path/brisa/playmain.cpp") == "playmain");
  static_assert(module_stem("util.cpp") == "util");
  static_assert(module_stem("ringbuffer") == "ringbuffer");
}

TEST(FileHeader, TimeFormatsDifferBetweenThePlayers) {
  EXPECT_EQ(header_text(kBrisa, 3725, "a.wav"), kWipe + "\nplaying file 2/5 total 1:02:05 \"a.wav\"\n");
  EXPECT_EQ(header_text(kLumen, 3725, "a.wav"), kWipe + "\nplaying file 2/5 total 1:02:05 \"a.wav\"\n");
  EXPECT_EQ(header_text(kBrisa, 65, "a.wav"), kWipe + "\nplaying file 2/5 total 01:05 \"a.wav\"\n");
  EXPECT_EQ(header_text(kLumen, 65, "a.wav"), kWipe + "\nplaying file 2/5 total 1:05 \"a.wav\"\n");
}

TEST(FileHeader, NamesTheFileThenTheWholePath) {
  EXPECT_EQ(header_text(kLumen, 0, "music/b.flac"),
            kWipe + "\nplaying file 2/5 total 0:00 \"b.flac\" \"music/b.flac\"\n");
  const std::string long_path = "/srv/music/some artist/some album/01 track.wav";
  EXPECT_EQ(header_text(kBrisa, 0, long_path.c_str()),
            kWipe + "\nplaying file 2/5 total 00:00 \"01 track.wav\" \n\"" + long_path + "\"\n");
}

TEST(PositionLine, ShowsHoursOnlyFromOneHourOn) {
  EXPECT_EQ(position_text(kBrisa, 3725, nullptr), "\rposition 1:02:05 buffer 42[%] volume -6[dB]   \r");
  EXPECT_EQ(position_text(kBrisa, 65, "filling buffer"),
            "\rposition 01:05 buffer 42[%] volume -6[dB]   filling buffer   \r");
  EXPECT_EQ(position_text(kLumen, 65, nullptr), "\rposition 01:05 buffer 42[%]   \r");
  EXPECT_EQ(position_text(kLumen, 3725, "DoP"), "\rposition 1:02:05 buffer 42[%]   DoP   \r");
}

// Runs body with standard input replaced by a pipe holding `typed`.
template <typename Body>
void with_stdin(const std::string& typed, Body body) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
  const int saved = dup(STDIN_FILENO);
  dup2(fds[0], STDIN_FILENO);
  body();
  dup2(saved, STDIN_FILENO);
  for (int fd : {saved, fds[0], fds[1]}) close(fd);
}

TEST(PollKeyboard, ReturnsOneByteAPollAndStopsOnCtrlC) {
  abort_requested.store(0);
  with_stdin("+6\x03", [] {
    EXPECT_EQ(poll_keyboard(), '+');
    EXPECT_EQ(poll_keyboard(), '6');  // not swallowed by a read-ahead buffer
    EXPECT_EQ(abort_requested.load(), 0);
    EXPECT_EQ(poll_keyboard(), 3);
    EXPECT_EQ(abort_requested.load(), -1);
    EXPECT_EQ(poll_keyboard(), -1);  // nothing more typed: no wait
  });
  abort_requested.store(0);
}

// A child process whose standard input is a pseudo-terminal; returns the
// local-mode flags the terminal has after the child has ended.
template <typename Body>
tcflag_t terminal_flags_after(Body child_body, int* exit_status) {
  int master = -1, slave = -1;
  EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(slave, STDIN_FILENO);
    child_body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  *exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  struct termios settings {};
  tcgetattr(slave, &settings);
  close(master);
  close(slave);
  return settings.c_lflag;
}

TEST(KeyMode, ClearsOnlyICanonAndEchoAndIsRestoredByAFatalError) {
  int status = 0;
  const tcflag_t after = terminal_flags_after(
      [] {
        struct termios before {};
        tcgetattr(STDIN_FILENO, &before);
        enter_key_mode();
        enter_key_mode();  // the second call must not save the changed settings
        struct termios changed {};
        tcgetattr(STDIN_FILENO, &changed);
        if ((changed.c_lflag & (ICANON | ECHO)) != 0) _exit(10);
        if ((changed.c_lflag | ICANON | ECHO) != before.c_lflag) _exit(11);
        fatal_error("stop here\n");
      },
      &status);
  EXPECT_NE(after & ICANON, 0u);
  EXPECT_NE(after & ECHO, 0u);
  EXPECT_NE(status, 10);
  EXPECT_NE(status, 11);
}

TEST(KeyMode, LeaveWithoutEnterChangesNothing) {
  int status = 0;
  const tcflag_t after = terminal_flags_after(
      [] {
        struct termios raw {};
        tcgetattr(STDIN_FILENO, &raw);
        raw.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        leave_key_mode();
      },
      &status);
  EXPECT_EQ(after & ECHO, 0u);
  EXPECT_EQ(status, 0);
}

TEST(KeyMode, NoTerminalIsNotAnError) {
  with_stdin("", [] {
    enter_key_mode();
    leave_key_mode();
  });
}

TEST(FatalErrorDeathTest, ExitsWithTheReportLineAsStatus) {
  // 857 & 0xFF == 89: the shell sees the low eight bits of the line.
  EXPECT_EXIT(
      {
#line 857
        fatal_error("bad %s\n", "thing");
      },
      testing::ExitedWithCode(89), "\nERROR util_test 857 bad thing\n");
  EXPECT_EXIT(
      {
#line 60
        fatal_error("x");
      },
      testing::ExitedWithCode(60), "ERROR util_test 60 x");
  // A multiple of 256 would look like success.
  EXPECT_EXIT(
      {
#line 512
        fatal_error("x");
      },
      testing::ExitedWithCode(255), "ERROR util_test 512 x");
}

TEST(FatalErrorDeathTest, SetsTheStopFlagAndFlushesOutput) {
  EXPECT_EXIT(
      {
        printf("queued text");
        atexit([] { fprintf(stderr, "flag %d", abort_requested.load()); });
#line 300
        fatal_error("x\n");
      },
      testing::ExitedWithCode(300 & 0xFF), "flag -1");
}

TEST(FatalErrorDeathTest, FromAnotherThreadEndsTheProcessWithoutExitHandlers) {
  EXPECT_EXIT(
      {
        atexit([] { fprintf(stderr, "exit handler ran"); });
#line 400
        std::thread([] { fatal_error("from the output thread\n"); }).join();
      },
      testing::ExitedWithCode(400 & 0xFF), "^\nERROR util_test 400 from the output thread\n$");
}

TEST(FatalErrorDeathTest, InsideASignalHandlerUsesNoStdio) {
  EXPECT_EXIT(
      {
        signal(SIGUSR1, [](int) {
          enter_signal_context();
#line 500
          fatal_error("Interrupt stack. Abort\n");
        });
        raise(SIGUSR1);
      },
      testing::ExitedWithCode(500 & 0xFF), "ERROR util_test 500 Interrupt stack. Abort");
}

void test_interrupt_handler(int) {
#line 600
  if (repeated_interrupt()) fatal_error("Interrupt stack. Abort\n");
}

TEST(InterruptDeathTest, TheFirstSetsTheFlagTheSecondPrintsTheStackAndStops) {
  EXPECT_EXIT(
      {
        install_interrupt_handler(test_interrupt_handler);
        raise(SIGINT);
        if (abort_requested.load() != -1) _exit(1);
        raise(SIGINT);
      },
      testing::ExitedWithCode(600 & 0xFF), "util_test.*\n\nERROR util_test 600 Interrupt stack. Abort\n$");
}

TEST(Warning, PrintsTheHeadAndGoesOn) {
  testing::internal::CaptureStderr();
#line 1234
  report_warning("cannot stat %s\n", "x.wav");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "\nERROR util_test 1234 cannot stat x.wav\n");
}

// Names reach the terminal as valid UTF-8 with no controls in them.
TEST(Printable, EscapesControlsAndInvalidUtf8KeepsValidUtf8) {
  EXPECT_EQ(printable("a\x1b[31m\x7f\tb"), "a\\x1b[31m\\x7f\\x09b");
  // C1 controls, as their two bytes.
  EXPECT_EQ(printable("\xc2\x9b\xc2\x80"), "\\xc2\\x9b\\xc2\\x80");
  // Well-formed sequences of two, three and four bytes, the last code point.
  for (const char* kept : {"\xc2\xa0\xc3\xa9", "\xe2\x82\xac \xed\x9f\xbf", "\xf0\x9f\x8e\xb5 \xf4\x8f\xbf\xbf"}) {
    EXPECT_EQ(printable(kept), kept);
  }
  // Stray continuation bytes, bytes never in UTF-8, a sequence cut short
  // (also at the end), overlong forms, a surrogate, past U+10FFFF: each
  // byte that begins no sequence is escaped, and what follows is read anew.
  EXPECT_EQ(printable("\x80"
                      "a\xbf"),
            "\\x80a\\xbf");
  EXPECT_EQ(printable("\xc0\xaf\xc1\xff\xfe"), "\\xc0\\xaf\\xc1\\xff\\xfe");
  EXPECT_EQ(printable("\xe2\x82"
                      "a\xe2\x82"),
            "\\xe2\\x82a\\xe2\\x82");
  EXPECT_EQ(printable("\xe0\x80\xaf\xf0\x80\x80\xaf"), "\\xe0\\x80\\xaf\\xf0\\x80\\x80\\xaf");
  EXPECT_EQ(printable("\xed\xa0\x80"), "\\xed\\xa0\\x80");
  EXPECT_EQ(printable("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");
  EXPECT_EQ(printable("\xc3\xc3\xa9"), "\\xc3\xc3\xa9");
}

}  // namespace

namespace {

// The bytes a decoder reads, one per call, then none.
std::string key_bytes;
int next_key_byte() {
  if (key_bytes.empty()) return -1;
  const int byte = static_cast<unsigned char>(key_bytes.front());
  key_bytes.erase(0, 1);
  return byte;
}

// Every key out of bytes at time now, polled until none comes.
std::vector<int> decoded_keys(key_decoder& decoder, const std::string& bytes, int64_t now) {
  key_bytes = bytes;
  std::vector<int> keys;
  for (int i = 0; i < 32; ++i) {
    const int key = key_decoder_next(decoder, next_key_byte, now);
    if (key >= 0) keys.push_back(key);
  }
  return keys;
}

}  // namespace

// Arrow keys in both of a terminal's modes are one key each, other
// sequences are passed over, ESC with a key gives both, and a lone ESC comes
// out once nothing has followed it for a moment.
TEST(KeyDecoder, ArrowSequencesAndALoneEscape) {
  key_decoder decoder;
  EXPECT_EQ(decoded_keys(decoder, "n\x1b[Cp\x1bOD\x1b[1;5A\x1b[15~.\x1bn", 0),
            (std::vector<int>{'n', kKeyRight, 'p', kKeyLeft, kKeyUp, '.', 27, 'n'}));
  EXPECT_TRUE(decoded_keys(decoder, "\x1b", 1000).empty());
  EXPECT_TRUE(decoded_keys(decoder, "", 1000 + kLoneEscapeMicros - 1).empty());
  EXPECT_EQ(decoded_keys(decoder, "", 1000 + kLoneEscapeMicros), std::vector<int>{27});
  EXPECT_EQ(decoded_keys(decoder, "\x1b[D", 500000), std::vector<int>{kKeyLeft});
}
