#include "player_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "child_start.h"

namespace {

constexpr int kExecFailedStatus = 127;
// Longer event lines than this are cut: a tag is bounded, a path is at
// most a few KiB.
constexpr size_t kLongestEvent = 64 * 1024;
constexpr size_t kReadBytes = 8192;

bool move_to(int fd, int target) noexcept {
  if (fd == target) return fcntl(fd, F_SETFD, 0) == 0;
  return dup2(fd, target) == target;
}

// Reads what is there; false at the end of the pipe.
bool read_into(int fd, std::string& pending) {
  char buffer[kReadBytes];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      pending.append(buffer, static_cast<size_t>(got));
      if (static_cast<size_t>(got) < sizeof buffer) return true;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return got < 0 && errno == EAGAIN;
  }
}

}  // namespace

bool player_process_start(player_process& process, const std::vector<std::string>& words, std::string* why) {
  if (words.empty()) return false;
  std::vector<std::string> copies = words;
  std::vector<char*> argv;
  for (std::string& word : copies) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::string exec_failed = "cannot start " + words.front() + ": ";
  const pid_t parent = getpid();

  int input[2];
  int output[2];
  int errors[2];
  if (pipe2(input, O_CLOEXEC) != 0) {
    *why = std::string("cannot create a pipe: ") + strerror(errno);
    return false;
  }
  if (pipe2(output, O_CLOEXEC) != 0) {
    *why = std::string("cannot create a pipe: ") + strerror(errno);
    close(input[0]);
    close(input[1]);
    return false;
  }
  if (pipe2(errors, O_CLOEXEC) != 0) {
    *why = std::string("cannot create a pipe: ") + strerror(errno);
    for (int fd : {input[0], input[1], output[0], output[1]}) close(fd);
    return false;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    *why = std::string("cannot start a process: ") + strerror(errno);
    for (int fd : {input[0], input[1], output[0], output[1], errors[0], errors[1]}) close(fd);
    return false;
  }
  if (pid == 0) {
    child_start_reset_signals(parent);
    if (!move_to(input[0], STDIN_FILENO) || !move_to(output[1], STDOUT_FILENO) || !move_to(errors[1], STDERR_FILENO)) {
      _exit(1);
    }
    execvp(argv[0], argv.data());
    const int exec_error = errno;
    child_start_write(STDERR_FILENO, exec_failed.c_str());
    child_start_write(STDERR_FILENO, strerrordesc_np(exec_error));
    child_start_write(STDERR_FILENO, "\n");
    _exit(kExecFailedStatus);
  }
  close(input[0]);
  close(output[1]);
  close(errors[1]);
  process.pid = pid;
  process.commands.reset(input[1]);
  process.events.reset(output[0]);
  process.texts.reset(errors[0]);
  for (int fd : {input[1], output[0], errors[0]}) fcntl(fd, F_SETFL, O_NONBLOCK);
  process.commands_pending.clear();
  process.events_pending.clear();
  process.texts_pending.clear();
  return true;
}

bool player_process_running(const player_process& process) { return process.pid > 0; }

void player_process_send(player_process& process, std::string_view line) {
  if (!process.commands) return;
  process.commands_pending.append(line);
  process.commands_pending += '\n';
  player_process_flush(process);
}

bool player_process_flush(player_process& process) {
  while (process.commands && !process.commands_pending.empty()) {
    const ssize_t written =
        write(process.commands.get(), process.commands_pending.data(), process.commands_pending.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == EAGAIN) return true;
    if (written <= 0) {
      // The player has gone; its events' end says so.
      process.commands_pending.clear();
      process.commands.reset();
      return false;
    }
    process.commands_pending.erase(0, static_cast<size_t>(written));
  }
  return false;
}

bool player_process_read_events(player_process& process, std::vector<std::string>& lines) {
  if (!process.events) return false;
  const bool open = read_into(process.events.get(), process.events_pending);
  size_t start = 0;
  for (size_t newline; (newline = process.events_pending.find('\n', start)) != std::string::npos; start = newline + 1) {
    lines.push_back(process.events_pending.substr(start, newline - start));
  }
  process.events_pending.erase(0, start);
  if (process.events_pending.size() > kLongestEvent) process.events_pending.clear();
  if (!open) process.events.reset();
  return open;
}

bool player_process_read_texts(player_process& process) {
  if (!process.texts) return false;
  const bool open = read_into(process.texts.get(), process.texts_pending);
  size_t start = 0;
  for (size_t newline; (newline = process.texts_pending.find('\n', start)) != std::string::npos; start = newline + 1) {
    // A position line is rewritten in place with carriage returns: only
    // what stands after the last one is a line of its own.
    std::string_view line(process.texts_pending.data() + start, newline - start);
    if (const size_t back = line.rfind('\r'); back != std::string_view::npos) line.remove_prefix(back + 1);
    const bool blank = line.find_first_not_of(' ') == std::string_view::npos;
    if (!blank && line.rfind("position ", 0) != 0) {
      fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    }
  }
  process.texts_pending.erase(0, start);
  if (process.texts_pending.size() > kLongestEvent) process.texts_pending.clear();
  if (!open) process.texts.reset();
  return open;
}

bool player_process_ended(const player_process& process) {
  if (process.pid <= 0) return true;
  siginfo_t info{};
  // WNOWAIT: the child stays to be reaped.
  return waitid(P_PID, static_cast<id_t>(process.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

int player_process_reap(player_process& process) {
  int status = 0;
  if (process.pid > 0) {
    while (waitpid(process.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  process.pid = -1;
  process.commands.reset();
  process.events.reset();
  process.texts.reset();
  process.commands_pending.clear();
  return status;
}

void player_process_terminate(player_process& process) {
  if (process.pid > 0) kill(process.pid, SIGTERM);
}
