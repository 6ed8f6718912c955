#include "process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <regex>
#include <utility>

extern char** environ;

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start) {
  return std::chrono::duration<double>(clock_type::now() - start).count();
}

// The parent's environment with the additions applied (same name replaces).
std::vector<std::string> child_environment(const std::vector<std::string>& additions) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
  for (const std::string& addition : additions) {
    const std::string name = addition.substr(0, addition.find('=') + 1);
    std::erase_if(env, [&](const std::string& e) { return e.compare(0, name.size(), name) == 0; });
    env.push_back(addition);
  }
  return env;
}

std::vector<char*> c_strings(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Appends what is readable on fd to text; false at end of file.
bool drain(int fd, std::string& text) {
  char chunk[65536];
  const ssize_t n = read(fd, chunk, sizeof chunk);
  if (n > 0) text.append(chunk, static_cast<size_t>(n));
  return n > 0 || (n < 0 && errno == EINTR);
}

// Looks for a text in what the child has printed so far; each call reads
// only what arrived since the last one (and the overlap a text split across
// two reads needs).
class text_watch {
 public:
  explicit text_watch(std::string text) : text_(std::move(text)) {}
  // Looks only at what arrives after result's output so far.
  text_watch(std::string text, const process_result& result)
      : text_(std::move(text)), out_from_(result.out.size()), err_from_(result.err.size()) {}
  bool armed() const { return !text_.empty(); }
  bool seen(const process_result& result) { return found_in(result.out, out_from_) || found_in(result.err, err_from_); }

 private:
  bool found_in(const std::string& stream, size_t& from) {
    if (stream.find(text_, from) != std::string::npos) return true;
    from = stream.size() >= text_.size() ? stream.size() - text_.size() + 1 : 0;
    return false;
  }

  std::string text_;
  size_t out_from_ = 0;
  size_t err_from_ = 0;
};

// Whether sig sent to the process is still waiting for delivery: kill()
// leaves it in the shared set until a thread takes it to run the handler.
bool signal_pending(pid_t pid, int sig) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const uint64_t bit = uint64_t{1} << (sig - 1);
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("ShdPnd:") || line.starts_with("SigPnd:")) {
      if (std::stoull(line.substr(7), nullptr, 16) & bit) return true;
    }
  }
  return false;
}

// The summary line every sanitizer ends its report with.
bool sanitizer_reported(const std::string& err) {
  static const std::regex summary("SUMMARY: [A-Za-z]+Sanitizer: ");
  return std::regex_search(err, summary);
}

// A pseudo-terminal pair; the test keeps both ends open, so the terminal
// outlives the child and its settings can be read after it has ended.
struct pseudo_terminal {
  int master = -1;
  int slave = -1;
  pseudo_terminal() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    if (const char* name = ptsname(master)) slave = open(name, O_RDWR | O_NOCTTY);
  }
  ~pseudo_terminal() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
  pseudo_terminal(const pseudo_terminal&) = delete;
  pseudo_terminal& operator=(const pseudo_terminal&) = delete;
};

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc));
}

}  // namespace

process_result run_process(const std::vector<std::string>& argv, const process_options& options) {
  process_result result;
  int out_pipe[2], err_pipe[2], in_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0 || pipe(in_pipe) != 0) return result;

  // Everything the child needs is prepared before fork: the test may be threaded.
  std::vector<std::string> words = argv;
  std::vector<std::string> env = child_environment(options.env);
  std::vector<char*> child_argv = c_strings(words);
  std::vector<char*> child_env = c_strings(env);

  std::optional<pseudo_terminal> terminal;
  termios terminal_before{};
  if (options.terminal) {
    terminal.emplace();
    if (terminal->slave < 0 || tcgetattr(terminal->slave, &terminal_before) != 0) {
      ADD_FAILURE() << "no pseudo-terminal";
      return result;
    }
  }

  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], STDIN_FILENO);
    if (terminal) {
      setsid();
      ioctl(terminal->slave, TIOCSCTTY, 0);
      dup2(terminal->slave, STDIN_FILENO);
      close(terminal->slave);
      close(terminal->master);
    }
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
    if (!options.working_dir.empty() && chdir(options.working_dir.c_str()) != 0) _exit(126);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, SIG_DFL);
    execve(child_argv[0], child_argv.data(), child_env.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  if (!options.input.empty()) {
    [[maybe_unused]] const ssize_t written = write(in_pipe[1], options.input.data(), options.input.size());
  }
  int keys_fd = in_pipe[1];
  if (options.keys.empty()) {
    close(in_pipe[1]);
    keys_fd = -1;
  }
  size_t key_index = 0;
  text_watch key_text(options.keys.empty() ? std::string() : options.keys[0].when, result);
  double key_text_seen_at = -1;

  size_t step_index = 0;
  text_watch step_text(options.steps.empty() ? std::string() : options.steps[0].when, result);
  double step_text_seen_at = -1;

  const auto start = clock_type::now();
  text_watch interrupt_text(options.interrupt_when);
  text_watch pause_text(options.pause_when);
  double paused_at = -1;
  bool resumed = false;
  bool out_open = true, err_open = true;
  int status = 0;
  bool exited = false;
  while (out_open || err_open || !exited) {
    const double elapsed = seconds_since(start);
    if (elapsed > options.timeout_seconds && !result.timed_out) {
      result.timed_out = true;
      kill(pid, SIGKILL);
    }
    // Signals go only to a child not yet reaped: its pid may be reused after.
    if (!exited && !result.timed_out) {
      if (result.interrupts_sent == 0 && interrupt_text.armed() && interrupt_text.seen(result)) {
        termios now{};
        if (terminal && tcgetattr(terminal->slave, &now) == 0) result.terminal_local_modes_at_interrupt = now.c_lflag;
        kill(pid, options.interrupt_signal);
        result.interrupts_sent = 1;
      } else if (result.interrupts_sent == 1 && options.interrupt_twice &&
                 !signal_pending(pid, options.interrupt_signal)) {
        kill(pid, options.interrupt_signal);
        result.interrupts_sent = 2;
      }
      if (keys_fd >= 0 && key_text_seen_at < 0 && key_text.seen(result)) key_text_seen_at = elapsed;
      if (keys_fd >= 0 && key_text_seen_at >= 0 &&
          elapsed >= key_text_seen_at + options.keys[key_index].after_seconds) {
        const std::string& keys = options.keys[key_index].keys;
        [[maybe_unused]] const ssize_t written = write(keys_fd, keys.data(), keys.size());
        if (++key_index == options.keys.size()) {
          close(std::exchange(keys_fd, -1));
        } else {
          key_text = text_watch(options.keys[key_index].when, result);
          key_text_seen_at = -1;
        }
      }
      if (step_index < options.steps.size() && step_text_seen_at < 0 && step_text.seen(result))
        step_text_seen_at = elapsed;
      if (step_index < options.steps.size() && step_text_seen_at >= 0 &&
          elapsed >= step_text_seen_at + options.steps[step_index].after_seconds) {
        options.steps[step_index].act(pid);
        if (++step_index < options.steps.size()) {
          step_text = text_watch(options.steps[step_index].when, result);
          step_text_seen_at = -1;
        }
      }
      if (paused_at < 0 && pause_text.armed() && pause_text.seen(result)) {
        kill(pid, SIGSTOP);
        paused_at = elapsed;
      } else if (paused_at >= 0 && !resumed && elapsed >= paused_at + options.pause_seconds) {
        kill(pid, SIGCONT);
        resumed = true;
      }
    }
    pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0}, {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    poll(fds, 2, 10);
    if (out_open && (fds[0].revents & (POLLIN | POLLHUP))) out_open = drain(out_pipe[0], result.out);
    if (err_open && (fds[1].revents & (POLLIN | POLLHUP))) err_open = drain(err_pipe[0], result.err);
    rusage usage{};
    if (!exited && wait4(pid, &status, WNOHANG, &usage) == pid) {
      exited = true;
      result.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    // A grandchild holding the pipes open must not keep us here past the limit.
    if (exited && result.timed_out) break;
  }
  close(out_pipe[0]);
  close(err_pipe[0]);
  if (keys_fd >= 0) close(keys_fd);
  termios terminal_after{};
  if (terminal && tcgetattr(terminal->slave, &terminal_after) == 0)
    result.terminal_restored = same_settings(terminal_before, terminal_after);
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  if (sanitizer_reported(result.err)) ADD_FAILURE() << argv[0] << " reported a sanitizer finding:\n" << result.err;
  return result;
}

std::string built_program(const std::string& name) {
  // Test binaries live in <build>/tests; without PLAYERS_BIN_DIR look there.
  const char* dir = getenv("PLAYERS_BIN_DIR");
  const std::string base =
      dir != nullptr ? dir : std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path().string();
  for (const char* sub : {"/brisa/", "/lumen/", "/korvo/", "/tools/", "/tests/", "/"}) {
    const std::string path = base + sub + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return base + "/" + name;
}

temp_dir::temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "players-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

temp_dir::~temp_dir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

namespace {

const std::regex& report_head() {
  static const std::regex head("ERROR ([a-z_0-9]+) ([0-9]+) ");
  return head;
}

}  // namespace

int reported_line(const std::string& text, std::string* module) {
  int line = -1;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), report_head()); it != std::sregex_iterator(); ++it) {
    if (module != nullptr) *module = (*it)[1];
    line = std::stoi((*it)[2]);
  }
  return line;
}

int reported_line_of(const std::string& text, const std::string& message) {
  int line = -1;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), report_head()); it != std::sregex_iterator(); ++it) {
    const auto message_at = static_cast<size_t>(it->position() + it->length());
    if (text.compare(message_at, message.size(), message) == 0) line = std::stoi((*it)[2]);
  }
  return line;
}
