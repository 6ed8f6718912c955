// A stand-in for the players Korvo starts, installed under their names
// (lumen, brisa, ...) as links in a test's PATH directory. It appends the
// words it was started with to $FAKE_PLAYER_RECORD (one line per run, the
// words separated by tabs, the first word as Korvo passed it), answers
// --version and --count, and otherwise behaves as $FAKE_PLAYER_MODE says,
// or a file named "mode-<mode>" among its words (the window test drops one):
//   progress  the first file's header and three position lines ending in
//             "\r", as the players print them, then waits for SIGINT (at
//             most $FAKE_PLAYER_SECONDS, default 20) and takes
//             $FAKE_PLAYER_WIND_DOWN_MS (default 300) to end, or, when
//             $FAKE_PLAYER_HOLD names a file, winds down until that file
//             exists (at most $FAKE_PLAYER_SECONDS)
//   error     an error on standard error, exit status 42 at once
//   killed    ends by SIGKILL at once
//   bytes     Latin-1 and split UTF-8 output, then exit
//   long      one 5000-character line, then exit
//   chatty    output without pause; after SIGINT 256 KiB more, then exit
//   orphan    leaves a child holding the output open for 5 s, then exits
// While it waits it reads keys from standard input as the players do:
// "n" and "p" print the next or previous file's header, "q" ends as an
// interrupt does. With --control it speaks the players' control channel
// instead: the events on standard output (state, list, format, file, two
// tags, position; exit last), the header and position lines on standard
// error, and the commands pause, resume, next, previous, seek, append and
// quit on standard input. $FAKE_PLAYER_STATE, when set, gets lines
// "pid <pid>", "signals default|inherited" (whether Korvo left any signal
// ignored or blocked), "key <k>" for each key ("space" for a blank) and
// "command <line>" for each command.
#include <poll.h>
#include <signal.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "control_channel.h"

namespace {

std::atomic<int> interrupts{0};

void on_interrupt(int) { interrupts.fetch_add(1); }

std::string env_or(const char* name, const char* fallback) {
  const char* value = getenv(name);
  return value != nullptr ? value : fallback;
}

void append_line(const char* file_variable, const std::string& line) {
  const char* path = getenv(file_variable);
  if (path == nullptr) return;
  if (FILE* file = fopen(path, "a")) {
    fputs((line + "\n").c_str(), file);
    fclose(file);
  }
}

void record_words(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) line += std::string(i > 0 ? "\t" : "") + argv[i];
  append_line("FAKE_PLAYER_RECORD", line);
}

// Whether the signals a player relies on are as a fresh program has them.
bool signals_at_default() {
  sigset_t blocked;
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  for (const int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction action {};
    sigaction(sig, nullptr, &action);
    if (action.sa_handler != SIG_DFL || sigismember(&blocked, sig)) return false;
  }
  return true;
}

void pause_ms(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

struct play_list {
  std::vector<std::string> files;
  size_t current = 0;
  bool control = false;  // events on stdout, the human lines on stderr
  bool quit = false;     // asked by the quit command
  std::string command;   // a command line read so far
};

// The human lines: standard error under --control, else standard output.
FILE* human(const play_list& list) { return list.control ? stderr : stdout; }

void send_event(const play_list& list, const std::string& line) {
  if (list.control) fputs(line.c_str(), stdout);
}

void print_header(const play_list& list) {
  const std::string& path = list.files[list.current];
  const size_t slash = path.rfind('/');
  fprintf(human(list), "playing file %zu/%zu total 00:05 \"%s\" \"%s\"\n", list.current + 1, list.files.size(),
          path.substr(slash == std::string::npos ? 0 : slash + 1).c_str(), path.c_str());
  send_event(list, control_event("file", std::to_string(list.current), path));
  send_event(list, control_event("tag", "artist", "Fake Artist"));
  send_event(list, control_event("tag", "title", "Tone " + std::to_string(list.current + 1)));
}

void take_command(play_list& list, const std::string& line) {
  append_line("FAKE_PLAYER_STATE", "command " + line);
  std::string why;
  const std::optional<control_command> command = control_parse_command(line, &why);
  if (!command) {
    send_event(list, control_event("error", why));
    return;
  }
  switch (command->verb) {
    case control_verb::pause: send_event(list, "state paused\n"); break;
    case control_verb::resume: send_event(list, "state playing\n"); break;
    case control_verb::next:
      if (list.current + 1 < list.files.size()) ++list.current;
      print_header(list);
      break;
    case control_verb::previous:
      if (list.current > 0) --list.current;
      print_header(list);
      break;
    case control_verb::seek: send_event(list, "position " + control_seconds_text(command->millis) + " 5.000\n"); break;
    case control_verb::append:
      list.files.push_back(command->path);
      send_event(list, "list " + std::to_string(list.files.size()) + "\n");
      break;
    case control_verb::quit: list.quit = true; break;
    default: break;
  }
}

// Takes a key from standard input when one is there; false at its end.
bool take_key(play_list& list, bool& input_open) {
  pollfd ready{STDIN_FILENO, POLLIN, 0};
  if (!input_open || poll(&ready, 1, 10) <= 0) return false;
  char key = 0;
  if (read(STDIN_FILENO, &key, 1) != 1) {
    input_open = false;
    return false;
  }
  if (list.control) {
    if (key != '\n') {
      list.command += key;
    } else {
      const std::string line = std::move(list.command);
      list.command.clear();
      take_command(list, line);
    }
    return true;
  }
  append_line("FAKE_PLAYER_STATE", std::string("key ") + (key == ' ' ? "space" : std::string(1, key)));
  if (key == 'n' && list.current + 1 < list.files.size()) {
    ++list.current;
    print_header(list);
  } else if (key == 'p') {
    if (list.current > 0) --list.current;
    print_header(list);
  } else if (key == 'q') {
    interrupts.fetch_add(1);
  }
  return true;
}

int play(play_list& list) {
  send_event(list, "state playing\n");
  send_event(list, "list " + std::to_string(list.files.size()) + "\n");
  send_event(list, "format 44100:16:2\n");
  print_header(list);
  for (int second = 1; second <= 3; ++second) {
    fprintf(human(list), "\rposition 00:0%d buffer 80[%%] \r", second);
    send_event(list, "position " + std::to_string(second) + ".000 5.000\n");
    pause_ms(20);
  }
  const int seconds = atoi(env_or("FAKE_PLAYER_SECONDS", "20").c_str());
  bool input_open = true;
  for (int i = 0; i < seconds * 100 && interrupts.load() == 0 && !list.quit; ++i) {
    if (!take_key(list, input_open)) pause_ms(10);
  }
  // A real player needs a moment to wind down; a second interrupt would
  // show as a count of 2.
  if (const char* hold = getenv("FAKE_PLAYER_HOLD")) {
    for (int i = 0; i < seconds * 100 && access(hold, F_OK) != 0; ++i) pause_ms(10);
  } else {
    pause_ms(atoi(env_or("FAKE_PLAYER_WIND_DOWN_MS", "300").c_str()));
  }
  fprintf(human(list), "\nexit by %s (%d)\n", list.quit ? "quit" : "interrupt", interrupts.load());
  send_event(list, list.quit ? "state stopped quit\n" : "state stopped interrupt\n");
  send_event(list, "exit 0\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  const char* slash = path != nullptr ? strrchr(path, '/') : nullptr;
  const std::string name = slash != nullptr ? slash + 1 : (path != nullptr ? path : "player");
  record_words(argc, argv);
  append_line("FAKE_PLAYER_STATE", "pid " + std::to_string(getpid()));
  append_line("FAKE_PLAYER_STATE", signals_at_default() ? "signals default" : "signals inherited");
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
  if (argc > 1 && strcmp(argv[1], "--version") == 0) {
    printf("%s Ver.0.0 test player\n", name.c_str());
    return 0;
  }
  if (argc > 1 && strcmp(argv[1], "--count") == 0) {
    printf("%d\n", argc - 2);
    return atoi(env_or("FAKE_COUNT_STATUS", "0").c_str());
  }
  signal(SIGINT, on_interrupt);
  play_list list;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '/') list.files.emplace_back(argv[i]);
    if (strcmp(argv[i], "--control") == 0) list.control = true;
  }
  FILE* out = human(list);
  std::string mode = env_or("FAKE_PLAYER_MODE", "progress");
  for (int i = 1; i < argc; ++i) {
    if (const char* named = strstr(argv[i], "/mode-")) mode = named + strlen("/mode-");
  }
  if (mode == "error") {
    fprintf(stderr, "\nERROR %s 42 cannot open the device\n", name.c_str());
    return 42;
  }
  if (mode == "killed") raise(SIGKILL);
  if (mode == "bytes") {
    fputs("caf\xe9 au lait\n", out);  // Latin-1
    fputs("na\xc3", out);             // U+00EF cut in two
    pause_ms(300);
    fputs("\xafve\n", out);
    return 0;
  }
  if (mode == "long") {
    fprintf(out, "%s\n", std::string(5000, 'x').c_str());
    return 0;
  }
  if (mode == "chatty") {
    const std::string line(100, 'c');
    while (interrupts.load() == 0) fprintf(out, "%s\n", line.c_str());
    for (int i = 0; i < 2621; ++i) fprintf(out, "%s\n", line.c_str());
    fputs("chatty done\n", out);
    return 0;
  }
  if (mode == "orphan") {
    if (fork() == 0) {
      sleep(5);
      _exit(0);
    }
    fputs("parent leaves\n", out);
    return 0;
  }
  if (list.files.empty()) list.files.emplace_back("/music/tone.wav");
  return play(list);
}
