#include "process_control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "choices.h"
#include "config.h"
#include "discovery.h"
#include "i18n.h"
#include "output_text.h"
#include "utf8_text.h"

namespace {

using namespace std::chrono_literals;

constexpr size_t kReadBufferSize = 10240;
constexpr int kPollMilliseconds = 100;
constexpr auto kStopPollInterval = 100ms;
constexpr auto kProbePollInterval = 1ms;
// A player that is still running this long after an interrupt gets another
// one (the players take a second interrupt as "stop at once"); one that
// ignores interrupts is killed after kKillAfter.
constexpr auto kInterruptRepeat = 1s;
constexpr auto kKillAfter = 10s;
constexpr int kExecFailedStatus = 127;

// Shared with the reader thread. The window's thread sets `playing` and
// clears `stop_request`; the reader thread clears `child_pid`, `playing`
// and `reader_alive` when its child has ended.
std::atomic<pid_t> child_pid{-1};
std::atomic<bool> playing{false};
std::atomic<bool> stop_request{false};
std::atomic<bool> reader_alive{false};
std::atomic<int64_t> last_interrupt_ns{0};  // steady clock, when SIGINT was last sent

std::thread reader;  // the window's thread only

int64_t now_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void interrupt_child(pid_t pid) {
  last_interrupt_ns.store(now_ns(), std::memory_order_release);
  if (kill(pid, SIGINT) != 0) perror("");
}

std::string formatted(const char* format, const char* argument) {
  char text[1024];
  snprintf(text, sizeof text, format, argument);
  return text;
}

// Back to idle without a child having run.
void finish_without_child(const std::string& message) {
  output_append(message);
  output_set_pending_title("");
  playing.store(false, std::memory_order_release);
}

// Makes `fd` the descriptor `target`, open across exec. Only
// async-signal-safe calls: this runs between fork and exec.
bool redirect(int fd, int target) noexcept {
  if (fd == target) return fcntl(fd, F_SETFD, 0) == 0;
  return dup2(fd, target) == target;
}

void write_text(int fd, const char* text) noexcept {
  ssize_t ignored = write(fd, text, strlen(text));
  (void)ignored;
}

struct spawned_child {
  pid_t pid;
  int read_fd;
};

// Forks and executes the command with its standard output and error on a
// new pipe. Everything the child needs is built here, before fork: the
// program is multi-threaded, and allocating in the child could deadlock.
// A failure is reported in the text view and gives none.
std::optional<spawned_child> spawn_child(const child_command& command) {
  std::vector<std::string> words = command.words;
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::string exec_failed = formatted(_("cannot start %s: "), command.program.c_str());

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    finish_without_child(formatted(_("cannot create a pipe: %s\n"), strerror(errno)));
    return std::nullopt;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    const int error = errno;
    close(fds[0]);
    close(fds[1]);
    finish_without_child(formatted(_("cannot start a process: %s\n"), strerror(error)));
    return std::nullopt;
  }
  if (pid == 0) {
    if (!redirect(fds[1], STDOUT_FILENO) || !redirect(fds[1], STDERR_FILENO)) {
      write_text(STDERR_FILENO, "dup() failed.\n");
      _exit(1);
    }
    execvp(command.program.c_str(), argv.data());
    const int error = errno;
    write_text(STDOUT_FILENO, exec_failed.c_str());
    write_text(STDOUT_FILENO, strerrordesc_np(error));
    write_text(STDOUT_FILENO, "\n");
    _exit(kExecFailedStatus);
  }
  close(fds[1]);
  return spawned_child{pid, fds[0]};
}

// True once the child has ended; it stays a zombie (so its pid cannot be
// reused) until reaped.
bool child_ended(pid_t pid) noexcept {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid;
}

enum class pipe_read { data, nothing, closed };

// Reads what is there (waiting up to kPollMilliseconds) and shows it.
pipe_read read_some(int fd, std::string& utf8_tail) {
  pollfd ready{fd, POLLIN, 0};
  if (poll(&ready, 1, kPollMilliseconds) <= 0) return pipe_read::nothing;
  char buffer[kReadBufferSize];
  const ssize_t count = read(fd, buffer, sizeof buffer - 1);
  if (count < 0 && errno == EINTR) return pipe_read::nothing;
  if (count <= 0) return pipe_read::closed;
  output_append(utf8_sanitise(utf8_tail, std::string_view(buffer, static_cast<size_t>(count))));
  return pipe_read::data;
}

void reader_main(pid_t pid, int fd) {
  std::string utf8_tail;
  bool pipe_open = true;
  std::optional<int64_t> stop_since;
  while (!child_ended(pid)) {
    if (stop_request.load(std::memory_order_acquire)) {
      const int64_t now = now_ns();
      if (!stop_since) stop_since = now;
      if (now - *stop_since >= std::chrono::nanoseconds(kKillAfter).count()) {
        kill(pid, SIGKILL);
      } else if (now - last_interrupt_ns.load(std::memory_order_acquire) >=
                 std::chrono::nanoseconds(kInterruptRepeat).count()) {
        interrupt_child(pid);
      }
    }
    // The pipe is read while stopping too, or a talkative player could
    // block on a full pipe and never see its interrupt through.
    if (pipe_open) {
      pipe_open = read_some(fd, utf8_tail) != pipe_read::closed;
    } else {
      std::this_thread::sleep_for(kStopPollInterval);
    }
  }
  // What the child printed just before it ended (an error, most often) is
  // still in the pipe. A grandchild may hold the pipe open: stop when
  // nothing more comes for a moment.
  while (pipe_open && read_some(fd, utf8_tail) == pipe_read::data) {
  }
  output_append(utf8_flush(utf8_tail));
  close(fd);
  child_pid.store(-1, std::memory_order_release);
  waitpid(pid, nullptr, 0);
  output_append(_("\n\nEnd of playback\n"));
  output_set_pending_title("");
  playing.store(false, std::memory_order_release);
  reader_alive.store(false, std::memory_order_release);
}

void start_command(int32_t index, std::string_view arguments) {
  if (reader.joinable()) reader.join();
  const child_command command = player_command(command_list(), index, choices.buffer_mb, arguments);
  const std::optional<spawned_child> child = spawn_child(command);
  if (!child) return;
  child_pid.store(child->pid, std::memory_order_release);
  stop_request.store(false, std::memory_order_release);
  reader_alive.store(true, std::memory_order_release);
  reader = std::thread(reader_main, child->pid, child->read_fd);
}

// Runs lumen --count on the files and waits for its status (what it
// prints is read and dropped, so it never blocks on a full pipe).
std::optional<int> run_count_probe(std::string_view arguments) {
  const std::optional<spawned_child> probe = spawn_child(count_probe_command(arguments));
  if (!probe) return std::nullopt;
  fcntl(probe->read_fd, F_SETFL, O_NONBLOCK);
  int status = 0;
  char discard[kReadBufferSize];
  while (waitpid(probe->pid, &status, WNOHANG) == 0) {
    while (read(probe->read_fd, discard, sizeof discard) > 0) {
    }
    std::this_thread::sleep_for(kProbePollInterval);
  }
  close(probe->read_fd);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}

void auto_detect(std::string_view arguments) {
  const std::optional<int> status = run_count_probe(arguments);
  if (!status) return;
  const std::string_view name = auto_detect_choice(choices.device_kind, *status);
  const std::vector<std::string>& commands = command_list();
  for (size_t i = 0; i < commands.size(); ++i) {
    if (commands[i] == name) {
      choices.selected_command = static_cast<int32_t>(i);
      start_command(choices.selected_command, arguments);
      return;
    }
  }
  finish_without_child(formatted(_("auto detect chose %s, which is not installed.\n"), std::string(name).c_str()));
}

}  // namespace

void process_start_playback(std::string_view title, int32_t active_row, std::string_view arguments) {
  output_set_pending_title(title);
  const std::vector<std::string>& commands = command_list();
  if (active_row >= 0) {
    if (static_cast<size_t>(active_row) < commands.size()) {
      config_set_text(kKeyCommand, commands[static_cast<size_t>(active_row)]);
      choices.command_name = commands[static_cast<size_t>(active_row)];
    } else {
      config_set_text(kKeyCommand, kAutoDetect);
    }
    choices.selected_command = active_row;
  }
  while (playing.load(std::memory_order_acquire)) {
    process_stop_player();
    std::this_thread::sleep_for(kStopPollInterval);
  }
  output_clear();
  playing.store(true, std::memory_order_release);
  if (choices.selected_command >= 0 && static_cast<size_t>(choices.selected_command) < commands.size()) {
    start_command(choices.selected_command, arguments);
  } else {
    auto_detect(arguments);
  }
}

void process_stop_player() {
  const pid_t pid = child_pid.load(std::memory_order_acquire);
  if (pid > 0) interrupt_child(pid);
  if (!reader.joinable()) return;
  if (reader_alive.load(std::memory_order_acquire)) stop_request.store(true, std::memory_order_release);
  reader.join();
}

bool process_playing() noexcept { return playing.load(std::memory_order_acquire); }
