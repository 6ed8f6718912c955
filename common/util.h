// Terminal, progress display and process utilities shared by the players:
// the fatal_error convention, key-by-key input, the keyboard poll, the two
// progress lines (in the format the player asks for) and the priority raise.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The one process-wide flag: 0, or all-ones (-1) once an interrupt, q, the
// Ctrl-C byte or a fatal report has asked the program to stop; it never
// goes back. A lock-free atomic, so the interrupt handler may store to it.
extern std::atomic<int32_t> abort_requested;

// The module name of a source file: its file name without directory and
// extension ("common/parse_param.cpp" -> "parse_param").
constexpr std::string_view module_stem(std::string_view path) noexcept {
  const auto slash = path.find_last_of('/');
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  const auto dot = path.find_first_of('.');
  return dot == std::string_view::npos ? path : path.substr(0, dot);
}

// The exit status of a fatal report on this line: the line's low eight bits,
// which the shell sees, except that a multiple of 256 gives 255: a failure
// never exits 0.
constexpr int fatal_exit_status(int line) noexcept { return (line & 0xFF) != 0 ? line & 0xFF : 0xFF; }

// Prints "\nERROR <module> <line> " and the message to standard error, sets
// abort_requested, restores the terminal and exits with
// fatal_exit_status(line). Safe on any thread and inside a signal handler
// (see enter_signal_context).
[[noreturn]] void fatal_error_at(std::string_view module, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Where a fatal report also goes as control events (error, stopped, exit
// status): a descriptor, or -1 for none.
void set_fatal_event_sink(int fd) noexcept;

// The same report head and message without stopping the program.
void report_warning_at(std::string_view module, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

#define fatal_error(...) ::fatal_error_at(::module_stem(__FILE__), __LINE__, __VA_ARGS__)
#define report_warning(...) ::report_warning_at(::module_stem(__FILE__), __LINE__, __VA_ARGS__)

// Why a file will not be played, kept with where that was found, so that a
// caller may end the program with it (fatal_refusal, the same report as
// fatal_error there) or go on (a check that must not exit).
struct refusal {
  std::string_view module;
  int line = 0;  // 0: no refusal
  std::string message;
  explicit operator bool() const noexcept { return line != 0; }
};

refusal refusal_at(std::string_view module, int line, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The text printf would print for format and args.
std::string formatted_text(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
[[noreturn]] void fatal_refusal(const refusal& why);

#define refuse(...) ::refusal_at(::module_stem(__FILE__), __LINE__, __VA_ARGS__)

// A signal handler calls this before it may report a fatal error: from then
// on reports avoid stdio and the process ends with _exit.
void enter_signal_context() noexcept;

// Installs a player's interrupt handler for SIGINT, SIGTERM, SIGHUP and
// SIGQUIT: each of them stops playback as an interrupt does.
void install_interrupt_handler(void (*handler)(int));

// For the players' interrupt handlers. The first interrupt sets abort_requested
// and returns false; a repeated one prints the call stack to standard error
// (signal-safe: no allocation, no stdio) and returns true, and the handler
// then stops with its fatal report.
bool repeated_interrupt() noexcept;

// Leaves key mode, then ends the process with exit(status) on the main
// thread, or flushes standard output and calls _exit(status) elsewhere
// (exit on another thread would run destructors under the main thread's feet).
[[noreturn]] void exit_program(int status);

// Clears ICANON and ECHO on standard input (everything else stays, signal
// keys included). Does nothing the second time, or when stdin is no terminal.
void enter_key_mode();
// Restores the settings saved by enter_key_mode; nothing if it was not entered.
void leave_key_mode() noexcept;

// Reads one pending byte from standard input (a terminal or a pipe) without
// blocking, or returns -1, for good once the input is closed or absent.
// The Ctrl-C byte (3) stops playback as a first interrupt does; every byte
// is also returned, for the players' keys.
int poll_keyboard();

// How the file header writes a total time under an hour: "01:05" or "1:05".
// From an hour on both read "1:02:05".
enum class minutes_format { two_digits, plain };

// "\r", 72 blanks, "\nplaying file n/count total <time> ..." (the file header).
void print_file_header(minutes_format minutes_as, int32_t file_number, int32_t file_count, int64_t total_seconds,
                       const char* path);

// A time as the position line writes it: "04:05", from an hour on "1:02:05".
std::string clock_text(int64_t seconds);

// "\rposition <time> buffer <fill>[%] ..." ending in "\r", with
// "volume <dB>[dB]" for a player that has a volume; status (such as
// "filling buffer") may be null.
void print_position_line(int64_t seconds, int32_t fill_percent, std::optional<int32_t> volume_db, const char* status);

// "\r" and 72 blanks: wipes the position line.
void clear_position_line(bool newline);

// nice(-10) when running as root; fatal when that fails.
void raise_priority();

// The calling thread (the output thread, which keeps a device holding tens
// of milliseconds fed) takes a real-time FIFO priority where the system
// grants one (root, or an RLIMIT_RTPRIO allowance such as an audio
// group's), so that other work cannot starve it into an underrun.
// Elsewhere it stays as it is.
void raise_output_thread_priority();
