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
#include "child_start.h"
#include "choices.h"
#include "config.h"
#include "control_channel.h"
#include "discovery.h"
#include "i18n.h"
#include "output_text.h"
#include "utf8_text.h"

namespace {

using namespace std::chrono_literals;

constexpr size_t kReadBufferSize = 10240;
constexpr int kPollMilliseconds = 100;
constexpr auto kProbePollInterval = 1ms;
// The players stop promptly on one interrupt (a second one is their "stuck,
// show where" path, so none is sent); one that ignores it is killed. A
// player asked to quit through its control channel is interrupted when it
// has not ended after a while, as is one that said its exit and lingers.
constexpr auto kInterruptAfter = 5s;
constexpr auto kKillAfter = 10s;
constexpr auto kVersionPatience = 3s;
constexpr int kExecFailedStatus = 127;

// Shared with the reader thread. The window's thread sets `playing` and
// `stop_since_ns`; the reader thread clears `child_pid` and then `playing`
// when its child has ended.
std::atomic<pid_t> child_pid{-1};
std::atomic<bool> playing{false};
std::atomic<int64_t> stop_since_ns{0};  // steady clock when the stop was asked; 0: not stopping
std::atomic<bool> interrupted{false};   // SIGINT has been sent to the running child

// The window's thread only.
struct pending_start {
  std::string title;
  std::string arguments;
};
std::thread reader;
int key_fd = -1;              // write end of the running child's standard input
bool takes_commands = false;  // the running child was started with --control
std::string outgoing;         // command lines not yet taken by the pipe
std::optional<pending_start> pending;

int64_t now_ns() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string formatted(const char* format, const char* argument) {
  char text[1024];
  snprintf(text, sizeof text, format, argument);
  return text;
}

std::string pipe_failure() { return formatted(_("cannot create a pipe: %s\n"), strerror(errno)); }

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

struct spawned_child {
  pid_t pid;
  int read_fd;        // the text it prints
  int event_fd = -1;  // its standard output alone, for a command with --control
};

// Forks and executes the command with its standard output and error on a
// new pipe (a command with --control: its standard output on a pipe of its
// own, for the events), and `input_fd` as its standard input (-1: Korvo's own).
// Everything the child needs is built here, before fork: the program is
// multi-threaded, and allocating in the child could deadlock. A failure
// gives none and its message in `error`.
std::optional<spawned_child> spawn_child(const child_command& command, int input_fd, std::string& error) {
  std::vector<std::string> words = command.words;
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::string exec_failed = formatted(_("cannot start %s: "), command.program.c_str());
  const pid_t parent = getpid();

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error = pipe_failure();
    return std::nullopt;
  }
  int events[2] = {-1, -1};
  if (command.control && pipe2(events, O_CLOEXEC) != 0) {
    error = pipe_failure();
    close(fds[0]);
    close(fds[1]);
    return std::nullopt;
  }
  const int output_fd = command.control ? events[1] : fds[1];
  const pid_t pid = fork();
  if (pid < 0) {
    const int fork_error = errno;
    for (const int fd : {fds[0], fds[1], events[0], events[1]}) {
      if (fd >= 0) close(fd);
    }
    error = formatted(_("cannot start a process: %s\n"), strerror(fork_error));
    return std::nullopt;
  }
  if (pid == 0) {
    child_start_reset_signals(parent);
    if (!redirect(fds[1], STDERR_FILENO) || !redirect(output_fd, STDOUT_FILENO) ||
        (input_fd >= 0 && !redirect(input_fd, STDIN_FILENO))) {
      child_start_write(STDERR_FILENO, "dup() failed.\n");
      _exit(1);
    }
    execvp(command.program.c_str(), argv.data());
    const int exec_error = errno;
    child_start_write(STDERR_FILENO, exec_failed.c_str());
    child_start_write(STDERR_FILENO, strerrordesc_np(exec_error));
    child_start_write(STDERR_FILENO, "\n");
    _exit(kExecFailedStatus);
  }
  close(fds[1]);
  if (events[1] >= 0) close(events[1]);
  return spawned_child{pid, fds[0], events[0]};
}

// True once the child has ended; it stays a zombie (so its pid cannot be
// reused) until reaped.
bool child_ended(pid_t pid) noexcept {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == pid;
}

// The child's pipes as the reader thread reads them; a closed one is -1.
struct child_pipes {
  int text_fd = -1;
  int event_fd = -1;
  std::string utf8_tail;
  bool exit_said = false;  // the exit event has come
};

bool pipes_open(const child_pipes& pipes) noexcept { return pipes.text_fd >= 0 || pipes.event_fd >= 0; }

void close_pipe(int& fd) noexcept {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Reads what is there on the open pipes (waiting up to kPollMilliseconds):
// the text goes to the view, the events to what is playing. False when
// nothing came.
bool read_some(child_pipes& pipes) {
  pollfd ready[2] = {{pipes.text_fd, POLLIN, 0}, {pipes.event_fd, POLLIN, 0}};
  if (poll(ready, 2, kPollMilliseconds) <= 0) return false;
  bool data = false;
  char buffer[kReadBufferSize];
  for (pollfd& one : ready) {
    if (one.fd < 0 || one.revents == 0) continue;
    const ssize_t count = read(one.fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    const bool events = one.fd == pipes.event_fd;
    if (count <= 0) {
      close_pipe(events ? pipes.event_fd : pipes.text_fd);
      continue;
    }
    data = true;
    const std::string_view bytes(buffer, static_cast<size_t>(count));
    if (events) {
      if (output_append_events(bytes)) pipes.exit_said = true;
    } else {
      output_append(utf8_sanitise(pipes.utf8_tail, bytes));
    }
  }
  return data;
}

// The last line of a run: how the player ended.
std::string end_message(int status) {
  char text[256];
  if (WIFSIGNALED(status)) {
    snprintf(text, sizeof text, _("\n\nEnd of playback: ended by signal %d\n"), WTERMSIG(status));
  } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    snprintf(text, sizeof text, _("\n\nEnd of playback: exit status %d\n"), WEXITSTATUS(status));
  } else {
    snprintf(text, sizeof text, "%s", _("\n\nEnd of playback\n"));
  }
  return text;
}

// Interrupts a child that has not ended kInterruptAfter after the stop
// was asked (or its exit said), and kills it after kKillAfter.
void escalate(pid_t pid, int64_t since, bool& killed) {
  if (since == 0) return;
  const int64_t waited = now_ns() - since;
  if (waited >= std::chrono::nanoseconds(kInterruptAfter).count() && !interrupted.exchange(true)) kill(pid, SIGINT);
  if (!killed && waited >= std::chrono::nanoseconds(kKillAfter).count()) {
    kill(pid, SIGKILL);
    killed = true;
  }
}

void reader_main(pid_t pid, int text_fd, int event_fd) {
  child_pipes pipes{text_fd, event_fd, {}, false};
  bool killed = false;
  int64_t exit_said_ns = 0;
  while (!child_ended(pid)) {
    if (pipes.exit_said && exit_said_ns == 0) exit_said_ns = now_ns();
    const int64_t stop_since = stop_since_ns.load(std::memory_order_acquire);
    escalate(pid, stop_since != 0 ? stop_since : exit_said_ns, killed);
    // The pipes are read while stopping too, or a talkative player could
    // block on a full pipe and never see its interrupt through.
    if (pipes_open(pipes)) {
      read_some(pipes);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(kPollMilliseconds));
    }
  }
  // What the child printed just before it ended (an error, most often) is
  // still in the pipes. A grandchild may hold them open: stop when nothing
  // more comes for a moment.
  while (pipes_open(pipes) && read_some(pipes)) {
  }
  output_append(utf8_flush(pipes.utf8_tail));
  close_pipe(pipes.text_fd);
  close_pipe(pipes.event_fd);
  child_pid.store(-1, std::memory_order_release);
  int status = 0;
  waitpid(pid, &status, 0);
  output_append(end_message(status));
  output_set_pending_title("");
  playing.store(false, std::memory_order_release);
}

void start_command(int32_t index, std::string_view arguments) {
  const child_command command = player_command(command_list(), index, choices.buffer_mb, arguments, choices.brisa);
  int keys[2];
  if (pipe2(keys, O_CLOEXEC) != 0) {
    finish_without_child(pipe_failure());
    return;
  }
  std::string error;
  const std::optional<spawned_child> child = spawn_child(command, keys[0], error);
  close(keys[0]);
  if (!child) {
    close(keys[1]);
    finish_without_child(error);
    return;
  }
  fcntl(keys[1], F_SETFL, O_NONBLOCK);  // a player that reads no keys never holds the window
  key_fd = keys[1];
  takes_commands = command.control;
  outgoing.clear();
  child_pid.store(child->pid, std::memory_order_release);
  stop_since_ns.store(0, std::memory_order_release);
  interrupted.store(false, std::memory_order_release);
  reader = std::thread(reader_main, child->pid, child->read_fd, child->event_fd);
}

// Runs a command to its end and gives its exit status (0 when it did not
// exit by itself); what it prints is collected into `text` when given, so
// it never blocks on a full pipe. Past `patience` it is killed. When it
// cannot be started, none, and the reason in `error`.
std::optional<int> run_to_end(const child_command& command, std::string* text,
                              std::optional<std::chrono::milliseconds> patience, std::string& error) {
  const std::optional<spawned_child> probe = spawn_child(command, -1, error);
  if (!probe) return std::nullopt;
  fcntl(probe->read_fd, F_SETFL, O_NONBLOCK);
  const auto limit = std::chrono::steady_clock::now() + patience.value_or(0ms);
  // Everything printed so far, and once the command has ended what was left.
  const auto collect = [&] {
    char buffer[kReadBufferSize];
    ssize_t count = 0;
    while ((count = read(probe->read_fd, buffer, sizeof buffer)) > 0) {
      if (text != nullptr) text->append(buffer, static_cast<size_t>(count));
    }
  };
  int status = 0;
  while (waitpid(probe->pid, &status, WNOHANG) == 0) {
    collect();
    if (patience && std::chrono::steady_clock::now() >= limit) kill(probe->pid, SIGKILL);
    std::this_thread::sleep_for(kProbePollInterval);
  }
  collect();
  close(probe->read_fd);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 0;
}

void auto_detect(std::string_view arguments) {
  std::string error;
  const std::optional<int> status = run_to_end(count_probe_command(arguments), nullptr, std::nullopt, error);
  if (!status) {
    finish_without_child(error);
    return;
  }
  const std::vector<std::string>& commands = command_list();
  const std::string_view name = auto_detect_installed(choices.device_kind, *status, commands);
  for (size_t i = 0; i < commands.size(); ++i) {
    if (commands[i] == name) {
      choices.selected_command = static_cast<int32_t>(i);
      start_command(choices.selected_command, arguments);
      return;
    }
  }
  finish_without_child(formatted(_("auto detect chose %s, which is not installed.\n"), std::string(name).c_str()));
}

void launch(const pending_start& start) {
  output_clear();
  output_set_pending_title(start.title);
  playing.store(true, std::memory_order_release);
  const std::vector<std::string>& commands = command_list();
  if (choices.selected_command >= 0 && static_cast<size_t>(choices.selected_command) < commands.size()) {
    start_command(choices.selected_command, start.arguments);
  } else {
    auto_detect(start.arguments);
  }
}

// Joins the reader of a child that has ended.
void reap_reader() {
  if (playing.load(std::memory_order_acquire) || !reader.joinable()) return;
  reader.join();
  close(key_fd);
  key_fd = -1;
  takes_commands = false;
  outgoing.clear();
}

// Writes to the child's standard input; a player that has just ended
// leaves a pipe without a reader: that write fails with EPIPE, and the
// SIGPIPE it raises is taken here, not by Korvo.
ssize_t write_to_child(std::string_view bytes) noexcept {
  sigset_t pipe_signal;
  sigset_t saved;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &saved);
  const ssize_t written = write(key_fd, bytes.data(), bytes.size());
  if (written < 0 && errno == EPIPE) {
    const timespec no_wait{};
    sigtimedwait(&pipe_signal, nullptr, &no_wait);
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  return written;
}

// Passes on what the pipe takes of the queued command lines; false when
// the pipe is broken.
bool flush_commands() noexcept {
  while (!outgoing.empty()) {
    const ssize_t written = write_to_child(outgoing);
    if (written < 0) return errno == EAGAIN || errno == EINTR;
    outgoing.erase(0, static_cast<size_t>(written));
  }
  return true;
}

}  // namespace

void process_start_playback(std::string_view title, int32_t active_row, std::string_view arguments) {
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
  pending = pending_start{std::string(title), std::string(arguments)};
  process_stop_player();
  process_poll();
}

void process_stop_player() {
  const pid_t pid = child_pid.load(std::memory_order_acquire);
  if (pid <= 0 || stop_since_ns.load(std::memory_order_acquire) != 0) return;
  stop_since_ns.store(now_ns(), std::memory_order_release);
  // A player on its control channel is asked to quit; the reader thread
  // interrupts it when it does not end.
  if (process_send_command(control_command_name::kQuit)) return;
  if (interrupted.exchange(true)) return;
  if (kill(pid, SIGINT) != 0) perror("");
}

void process_cancel_pending() noexcept { pending.reset(); }

process_state process_poll() {
  reap_reader();
  if (key_fd >= 0) flush_commands();
  if (pending && !playing.load(std::memory_order_acquire)) {
    const pending_start start = std::move(*pending);
    pending.reset();
    launch(start);
  }
  if (!playing.load(std::memory_order_acquire)) return process_state::idle;
  return stop_since_ns.load(std::memory_order_acquire) != 0 ? process_state::stopping : process_state::playing;
}

bool process_playing() noexcept { return playing.load(std::memory_order_acquire) || pending.has_value(); }

bool process_send_key(char key) {
  if (key_fd < 0 || child_pid.load(std::memory_order_acquire) <= 0) return false;
  return write_to_child(std::string_view(&key, 1)) == 1;
}

bool process_takes_commands() noexcept {
  return takes_commands && key_fd >= 0 && child_pid.load(std::memory_order_acquire) > 0;
}

bool process_send_command(std::string_view line) {
  if (!process_takes_commands()) return false;
  outgoing.append(line);
  outgoing.push_back('\n');
  return flush_commands();
}

std::string process_version_text(int32_t row) {
  const std::vector<std::string>& commands = command_list();
  if (commands.empty()) return {};
  const size_t index = row >= 0 && static_cast<size_t>(row) < commands.size() ? static_cast<size_t>(row) : 0;
  child_command command = player_command(commands, static_cast<int32_t>(index), choices.buffer_mb, "");
  command.words = {command.words.front(), "--version"};
  command.control = false;
  std::string text;
  std::string error;
  if (!run_to_end(command, &text, std::chrono::duration_cast<std::chrono::milliseconds>(kVersionPatience), error)) {
    return error;
  }
  std::string tail;
  return utf8_sanitise(tail, text) + utf8_flush(tail);
}
