#include "util.h"

#include <execinfo.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "control_channel.h"
#include "printable.h"

std::atomic<int32_t> abort_requested{0};

namespace {

static_assert(std::atomic<int32_t>::is_always_lock_free, "the stop flag is set from a signal handler");

// Standard input's line settings as found, and whether we changed them.
struct termios saved_termios;
std::atomic<bool> key_mode_entered{false};
std::atomic<bool> signal_context{false};
// A position line is on the terminal's last line, ended by "\r" only: a
// report printed now must wipe it first, or it would write over its start.
std::atomic<bool> position_line_shown{false};

// The control channel's events, for a fatal report: -1 without one.
std::atomic<int> fatal_events_fd{-1};

constexpr size_t kReportBytes = 4096;
constexpr int kBacktraceDepth = 1024;
constexpr int kLineBlanks = 72;

bool on_main_thread() noexcept { return gettid() == getpid(); }

// write(2) the whole text; async-signal-safe, unlike stdio.
void write_all(int fd, const char* text, size_t n) noexcept {
  while (n > 0) {
    const ssize_t written = write(fd, text, n);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += written;
    n -= static_cast<size_t>(written);
  }
}

// Formats head and message into one buffer and writes it in one go, so that
// a report from the output thread does not interleave with the main thread's.
void write_report(std::string_view module, int line, const char* format, va_list args) noexcept {
  if (!signal_context.load(std::memory_order_relaxed)) {
    if (position_line_shown.exchange(false)) printf("\r%*s\r", kLineBlanks, "");
    fflush(stdout);
    fflush(stderr);
  }
  char text[kReportBytes];
  int used = snprintf(text, sizeof text, "\nERROR %.*s %d ", static_cast<int>(module.size()), module.data(), line);
  if (used < 0) used = 0;
  if (static_cast<size_t>(used) < sizeof text) {
    const int message = vsnprintf(text + used, sizeof text - static_cast<size_t>(used), format, args);
    if (message > 0) used += message;
  }
  write_all(STDERR_FILENO, text, std::min(static_cast<size_t>(used), sizeof text - 1));
}

// The report as control events: the message on one line, then the stop
// and the exit status. Allocates nothing.
void write_fatal_events(int fd, int status, const char* format, va_list args) noexcept {
  char message[kReportBytes];
  const int length = vsnprintf(message, sizeof message, format, args);
  std::string_view text(message, std::clamp<size_t>(static_cast<size_t>(std::max(length, 0)), 0, sizeof message - 1));
  while (!text.empty() && text.front() == '\n') text.remove_prefix(1);
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  char events[2 * kReportBytes];
  size_t used =
      static_cast<size_t>(snprintf(events, sizeof events, "%.*s ", static_cast<int>(control_event_name::kError.size()),
                                   control_event_name::kError.data()));
  used += control_escape_into(text, events + used, kReportBytes);
  const int tail = snprintf(events + used, sizeof events - used, "\n%s %s %s\n%s %d\n",
                            control_event_name::kState.data(), control_state_name::kStopped.data(),
                            control_state_name::kError.data(), control_event_name::kExit.data(), status);
  if (tail > 0) used += std::min(static_cast<size_t>(tail), sizeof events - used - 1);
  write_all(fd, events, used);
}

}  // namespace

void set_fatal_event_sink(int fd) noexcept { fatal_events_fd.store(fd); }

void fatal_error_at(std::string_view module, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list for_events;
  va_copy(for_events, args);
  write_report(module, line, format, args);
  va_end(args);
  if (const int fd = fatal_events_fd.exchange(-1); fd >= 0) {
    write_fatal_events(fd, fatal_exit_status(line), format, for_events);
  }
  va_end(for_events);
  abort_requested.store(-1);
  exit_program(fatal_exit_status(line));
}

void report_warning_at(std::string_view module, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_report(module, line, format, args);
  va_end(args);
}

std::string formatted_text(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text(static_cast<size_t>(std::max(length, 0)), '\0');
  vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

refusal refusal_at(std::string_view module, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = formatted_text(format, args);
  va_end(args);
  return {module, line, std::move(message)};
}

void fatal_refusal(const refusal& why) { fatal_error_at(why.module, why.line, "%s", why.message.c_str()); }

void enter_signal_context() noexcept { signal_context.store(true); }

void install_interrupt_handler(void (*handler)(int)) {
  // backtrace loads its unwinder on first use, which allocates: do that now,
  // not inside the handler.
  void* warm_up[1];
  backtrace(warm_up, 1);
  // A terminal closing, a kill or Ctrl-\ ends playback as Ctrl-C does: the
  // stream ends in its silence and the terminal gets its settings back.
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) signal(sig, handler);
}

bool repeated_interrupt() noexcept {
  if (!abort_requested.exchange(-1)) return false;
  enter_signal_context();
  void* addresses[kBacktraceDepth];
  const int depth = backtrace(addresses, kBacktraceDepth);
  backtrace_symbols_fd(addresses, depth, STDERR_FILENO);
  return true;
}

void exit_program(int status) {
  leave_key_mode();
  if (!signal_context.load() && on_main_thread()) exit(status);
  if (!signal_context.load()) fflush(stdout);
  _exit(status);
}

void enter_key_mode() {
  if (key_mode_entered.load()) return;
  struct termios settings;
  if (tcgetattr(STDIN_FILENO, &settings) != 0) return;
  saved_termios = settings;
  // Keys act at once and are not printed over the position line.
  settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  // TCSAFLUSH is what the System V TCSETAF ioctl does: drain, drop pending input, set.
  if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &settings) != 0) return;
  key_mode_entered.store(true);
}

void leave_key_mode() noexcept {
  if (!key_mode_entered.exchange(false)) return;
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_termios);
}

int poll_keyboard() {
  // A closed or absent input stays so: no more polling.
  static bool input_ended = false;
  if (input_ended) return -1;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(STDIN_FILENO, &readable);
  struct timeval no_wait = {0, 0};
  const int ready = select(STDIN_FILENO + 1, &readable, nullptr, nullptr, &no_wait);
  if (ready < 0 && errno == EBADF) input_ended = true;
  if (ready <= 0) return -1;
  // read(2), not getc: stdio would read ahead and keep typed keys from later polls.
  unsigned char byte = 0;
  const ssize_t got = read(STDIN_FILENO, &byte, 1);
  if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) input_ended = true;
  if (got != 1) return -1;
  if (byte == 3) abort_requested.store(-1);  // as a first interrupt: a prompt, clean stop
  return byte;
}

void clear_position_line(bool newline) {
  position_line_shown.store(false);
  printf("\r%*s%s", kLineBlanks, "", newline ? "\n" : "");
  fflush(stdout);
}

void print_file_header(minutes_format minutes_as, int32_t file_number, int32_t file_count, int64_t total_seconds,
                       const char* path) {
  position_line_shown.store(false);
  printf("\r%*s\nplaying file %d/%d ", kLineBlanks, "", file_number, file_count);
  const int64_t hours = total_seconds / 3600;
  const int64_t minutes = total_seconds / 60 % 60;
  const int64_t seconds = total_seconds % 60;
  if (minutes_as == minutes_format::two_digits) {
    printf("total ");
    if (total_seconds >= 3600) printf("%" PRId64 ":", hours);
    printf("%02" PRId64 ":%02" PRId64 " ", minutes, seconds);
  } else if (total_seconds >= 3600) {
    printf("total %" PRId64 ":%02" PRId64 ":%02" PRId64 " ", hours, minutes, seconds);
  } else {
    printf("total %" PRId64 ":%02" PRId64 " ", total_seconds / 60, seconds);
  }
  const std::string shown = printable(path);
  if (const char* slash = strrchr(shown.c_str(), '/')) printf("\"%s\" ", slash + 1);
  if (strlen(path) > 40) printf("\n");
  printf("\"%s\"\n", shown.c_str());
  fflush(stdout);
}

std::string clock_text(int64_t seconds) {
  char text[32];
  if (seconds >= 3600) {
    snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64 ":%02" PRId64, seconds / 3600, seconds / 60 % 60,
             seconds % 60);
  } else {
    snprintf(text, sizeof text, "%02" PRId64 ":%02" PRId64, seconds / 60, seconds % 60);
  }
  return text;
}

void print_position_line(int64_t seconds, int32_t fill_percent, std::optional<int32_t> volume_db, const char* status) {
  printf("\rposition ");
  if (seconds >= 3600) printf("%" PRId64 ":", seconds / 3600);
  printf("%02" PRId64 ":%02" PRId64 " buffer %d[%%] ", seconds / 60 % 60, seconds % 60, fill_percent);
  if (volume_db) printf("volume %d[dB] ", *volume_db);
  printf("  ");
  if (status != nullptr) printf("%s   ", status);
  printf("\r");
  position_line_shown.store(true);
  fflush(stdout);
}

void raise_output_thread_priority() {
  constexpr rlim_t kOutputPriority = 40;
  rlim_t priority = kOutputPriority;
  if (geteuid() != 0) {
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) != 0 || limit.rlim_cur == 0) return;
    priority = std::min(priority, limit.rlim_cur);
  }
  sched_param param{};
  param.sched_priority = static_cast<int>(priority);
  pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);  // refused: it stays as it is
}

void raise_priority() {
  if (geteuid() != 0) return;
  errno = 0;
  if (nice(-10) < 0 && errno != 0) {
    perror("nice()");
    fatal_error("nice() failed.\n");
  }
}
