// Runs a program as a child process for process-level tests: arguments,
// environment additions, optional standard input, captured output, exit
// status, signals sent when the child prints a given text, and a time limit
// after which the child is killed.
#pragma once

#include <csignal>
#include <functional>
#include <string>
#include <vector>

struct process_result {
  int exit_status = -1;  // exit code, or -1 when the child did not exit normally
  int term_signal = 0;   // signal that ended the child, 0 if none
  bool timed_out = false;
  int interrupts_sent = 0;
  // With process_options::terminal: the terminal's local modes when the
  // first interrupt went out, and whether every setting was back to what
  // it was before the child started once it had ended.
  unsigned terminal_local_modes_at_interrupt = 0;
  bool terminal_restored = false;
  // User and system time the child used, in seconds.
  double cpu_seconds = 0;
  std::string out;
  std::string err;
};

// Keys for the child's standard input: sent once `when` has appeared after
// the previous step's keys went out, and after_seconds later.
struct key_step {
  std::string when;
  std::string keys;
  double after_seconds = 0;
};

// Something the test does (a file made or removed, a signal sent to the
// child's pid) once `when` has appeared after the previous step acted, and
// after_seconds later.
struct text_step {
  std::string when;
  std::function<void(int pid)> act;
  double after_seconds = 0;
};

struct process_options {
  std::vector<std::string> env;  // "NAME=value" added to (or replacing in) the environment
  std::string input;             // written to the child's standard input, which is then closed
  std::string working_dir;       // empty: the test's own
  // A safety net, not a schedule: a child still running then is killed and
  // the run counts as timed out.
  double timeout_seconds = 30;
  // The signals below wait for a text on the child's standard output or
  // standard error, so that they land in the state that prints it however
  // busy the machine is.
  // The interrupt signal once this text has appeared (empty: never), and
  // with interrupt_twice a second one as soon as the first has been delivered.
  std::string interrupt_when;
  bool interrupt_twice = false;
  int interrupt_signal = SIGINT;
  // SIGSTOP once this text has appeared (empty: never), SIGCONT
  // pause_seconds later: a player that stalls, as on a busy machine.
  std::string pause_when;
  double pause_seconds = 0;
  // With keys, standard input stays open until the last step is sent.
  std::vector<key_step> keys;
  // Done in order, each after the one before.
  std::vector<text_step> steps;
  // Standard input is a pseudo-terminal instead, the child's controlling
  // terminal in a session of its own; input and keys are not sent then.
  bool terminal = false;
};

// A sanitizer's report on the child's standard error fails the running test,
// whatever the child's exit status.
process_result run_process(const std::vector<std::string>& argv, const process_options& options = {});

// Path of a program built in this tree (brisa, lumen, ...).
std::string built_program(const std::string& name);

// A fresh temporary directory, removed with everything in it on destruction.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The source line of the last "ERROR <module> <line> " report in text (the
// fatal one, when the process ended through a report), or -1; module
// receives the module name.
int reported_line(const std::string& text, std::string* module = nullptr);
// The source line of the last report whose message starts with message, or
// -1: the fatal one when another thread may still report while the process
// ends.
int reported_line_of(const std::string& text, const std::string& message);
