// How long a key takes to be heard: runs a player into a paced fake DAC,
// sends keys when texts appear on its output, and finds in the DAC's capture
// the first frame that differs from a reference capture of the same list
// played without keys (or, for a resume, the first music frame after the
// idle run). The DAC's log says when it started; frame k is heard k / rate
// seconds later, so the key's time and the change's time are on one clock.
//
//   key_latency CAPTURE LOG REFERENCE RATE FRAME_BYTES IDLE_BYTES MEASURE
//               WHEN KEYS AFTER [WHEN KEYS AFTER ...] -- COMMAND ...
//
// IDLE_BYTES: the bytes an idle frame holds, as hex ("00", "aafa05");
// MEASURE: "change" (the first key's) or "resume" (the second key's, after
// a pause); keys after the measured one only end the run. Prints the latency in seconds,
// or "underrun" when the DAC ran dry (the clock mapping is then lost).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

double now_seconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct key_step {
  std::string when;
  std::string keys;
  double after = 0;
  double sent_at = 0;
};

bool idle_frame(const std::string& capture, size_t at, size_t frame_bytes, const std::string& idle) {
  for (size_t i = 0; i < frame_bytes; ++i)
    if (idle.find(capture[at + i]) == std::string::npos) return false;
  return true;
}

int fail(const char* text) {
  fprintf(stderr, "key_latency: %s\n", text);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 12) return fail("usage: CAPTURE LOG REFERENCE RATE FRAME_BYTES IDLE MEASURE (WHEN KEYS AFTER)... -- CMD");
  const std::string capture_path = argv[1], log_path = argv[2], reference_path = argv[3];
  const double rate = atof(argv[4]);
  const auto frame_bytes = static_cast<size_t>(atoi(argv[5]));
  std::string idle;
  for (const char* h = argv[6]; h[0] != '\0' && h[1] != '\0'; h += 2) {
    const char pair[3] = {h[0], h[1], '\0'};
    idle.push_back(static_cast<char>(strtol(pair, nullptr, 16)));
  }
  const bool resume = strcmp(argv[7], "resume") == 0;
  std::vector<key_step> steps;
  int arg = 8;
  for (; arg + 2 < argc && strcmp(argv[arg], "--") != 0; arg += 3)
    steps.push_back({argv[arg], argv[arg + 1], atof(argv[arg + 2])});
  if (arg >= argc || strcmp(argv[arg], "--") != 0 || steps.size() < (resume ? 2u : 1u)) return fail("bad steps");
  char** command = argv + arg + 1;

  int in_pipe[2], out_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) return fail("pipe");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(out_pipe[1], 2);
    close(in_pipe[1]);
    close(out_pipe[0]);
    execvp(command[0], command);
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  std::string output;
  size_t step = 0, searched_from = 0;
  const double deadline = now_seconds() + 60;
  for (;;) {
    pollfd fd{out_pipe[0], POLLIN, 0};
    const double wait_until = step < steps.size() && steps[step].sent_at < 0 ? -steps[step].sent_at : 0;
    const int timeout = wait_until > 0 ? std::max(0, static_cast<int>((wait_until - now_seconds()) * 1000)) : 50;
    if (poll(&fd, 1, timeout) > 0) {
      char buffer[4096];
      const ssize_t n = read(out_pipe[0], buffer, sizeof buffer);
      if (n <= 0) break;
      output.append(buffer, static_cast<size_t>(n));
    }
    if (now_seconds() > deadline) {
      kill(pid, SIGKILL);
      break;
    }
    if (step >= steps.size()) continue;
    key_step& s = steps[step];
    if (s.sent_at == 0) {
      const size_t found = output.find(s.when, searched_from);
      if (found == std::string::npos) continue;
      searched_from = found + s.when.size();
      s.sent_at = -(now_seconds() + s.after);  // due then
    }
    if (s.sent_at < 0 && now_seconds() >= -s.sent_at) {
      if (write(in_pipe[1], s.keys.data(), s.keys.size()) < 0) return fail("write");
      s.sent_at = now_seconds();
      ++step;
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(in_pipe[1]);
  if (step < steps.size()) {
    fprintf(stderr, "key_latency: \"%s\" never came\n%s\n", steps[step].when.c_str(), output.c_str());
    return 2;
  }

  const std::string log = read_all(log_path);
  if (log.find("underrun") != std::string::npos) {
    printf("underrun\n");
    return 0;
  }
  const size_t start = log.rfind("start queued=");
  const size_t at = start == std::string::npos ? start : log.find(" at=", start);
  if (at == std::string::npos) return fail("no start in the DAC's log");
  const double started = atof(log.c_str() + at + 4);
  const std::string capture = read_all(capture_path), reference = read_all(reference_path);
  size_t frame = 0;
  const size_t frames = std::min(capture.size(), reference.size()) / frame_bytes;
  while (frame < frames &&
         capture.compare(frame * frame_bytes, frame_bytes, reference, frame * frame_bytes, frame_bytes) == 0)
    ++frame;
  const double key = (resume ? steps[1] : steps[0]).sent_at;
  if (resume) {
    const size_t all = capture.size() / frame_bytes;
    while (frame < all && !idle_frame(capture, frame * frame_bytes, frame_bytes, idle)) ++frame;
    // The pause's idle run: a fade's last samples may round to silence for a few frames.
    for (size_t run = 0; frame < all && run < static_cast<size_t>(rate / 100); ++frame) {
      run = idle_frame(capture, frame * frame_bytes, frame_bytes, idle) ? run + 1 : 0;
    }
    while (frame < all && idle_frame(capture, frame * frame_bytes, frame_bytes, idle)) ++frame;
  }
  printf("%.3f\n", static_cast<double>(frame) / rate - (key - started));
  return 0;
}
