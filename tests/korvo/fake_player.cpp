// A stand-in for the players Korvo starts, installed under their names
// (lumen, brisa, ...) as links in a test's PATH directory. It appends the
// words it was started with to $FAKE_PLAYER_RECORD (one line per run, the
// words separated by tabs, the first word as Korvo passed it), answers
// --version and --count, and otherwise behaves as $FAKE_PLAYER_MODE says:
//   progress  a file line, five progress lines ending in "\r", then waits
//             for SIGINT (at most $FAKE_PLAYER_SECONDS, default 20)
//   error     an error on standard error, exit status 42 at once
//   bytes     Latin-1 and split UTF-8 output, then exit
//   long      one 5000-character line, then exit
//   chatty    output without pause; after SIGINT 256 KiB more, then exit
//   orphan    leaves a child holding the output open for 5 s, then exits
#include <signal.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::atomic<int> interrupts{0};

void on_interrupt(int) { interrupts.fetch_add(1); }

std::string env_or(const char* name, const char* fallback) {
  const char* value = getenv(name);
  return value != nullptr ? value : fallback;
}

void record_words(int argc, char** argv) {
  const char* record = getenv("FAKE_PLAYER_RECORD");
  if (record == nullptr) return;
  std::string line;
  for (int i = 0; i < argc; ++i) line += std::string(i > 0 ? "\t" : "") + argv[i];
  line += "\n";
  if (FILE* file = fopen(record, "a")) {
    fputs(line.c_str(), file);
    fclose(file);
  }
}

void pause_ms(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

int wait_for_interrupt() {
  const int seconds = atoi(env_or("FAKE_PLAYER_SECONDS", "20").c_str());
  for (int i = 0; i < seconds * 100 && interrupts.load() == 0; ++i) pause_ms(10);
  // A real player needs a moment to wind down; a second interrupt would
  // show as a count of 2.
  pause_ms(300);
  printf("\nexit by interrupt (%d)\n", interrupts.load());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = reinterpret_cast<const char*>(getauxval(AT_EXECFN));
  const char* slash = path != nullptr ? strrchr(path, '/') : nullptr;
  const std::string name = slash != nullptr ? slash + 1 : (path != nullptr ? path : "player");
  record_words(argc, argv);
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc > 1 && strcmp(argv[1], "--version") == 0) {
    printf("%s Ver.0.0 test player\n", name.c_str());
    return 0;
  }
  if (argc > 1 && strcmp(argv[1], "--count") == 0) {
    printf("%d\n", argc - 2);
    return atoi(env_or("FAKE_COUNT_STATUS", "0").c_str());
  }
  signal(SIGINT, on_interrupt);
  const std::string mode = env_or("FAKE_PLAYER_MODE", "progress");
  if (mode == "error") {
    fprintf(stderr, "\nERROR %s 42 cannot open the device\n", name.c_str());
    return 42;
  }
  if (mode == "bytes") {
    fputs("caf\xe9 au lait\n", stdout);  // Latin-1
    fputs("na\xc3", stdout);             // U+00EF cut in two
    pause_ms(300);
    fputs("\xafve\n", stdout);
    return 0;
  }
  if (mode == "long") {
    printf("%s\n", std::string(5000, 'x').c_str());
    return 0;
  }
  if (mode == "chatty") {
    const std::string line(100, 'c');
    while (interrupts.load() == 0) printf("%s\n", line.c_str());
    for (int i = 0; i < 2621; ++i) printf("%s\n", line.c_str());
    printf("chatty done\n");
    return 0;
  }
  if (mode == "orphan") {
    if (fork() == 0) {
      sleep(5);
      _exit(0);
    }
    printf("parent leaves\n");
    return 0;
  }
  // progress
  printf("%s: playing %d files\n", name.c_str(), argc - 1);
  for (int second = 1; second <= 5; ++second) {
    printf("\r  0:0%d \r", second);
    pause_ms(20);
  }
  return wait_for_interrupt();
}
