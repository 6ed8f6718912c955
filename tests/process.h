// Runs a program as a child process for process-level tests: arguments,
// environment additions, optional standard input, captured output, exit
// status, and a time limit after which the child is killed.
#pragma once

#include <string>
#include <vector>

struct process_result {
  int exit_status = -1;  // exit code, or -1 when the child did not exit normally
  int term_signal = 0;   // signal that ended the child, 0 if none
  bool timed_out = false;
  std::string out;
  std::string err;
};

struct process_options {
  std::vector<std::string> env;  // "NAME=value" added to (or replacing in) the environment
  std::string input;             // written to the child's standard input, which is then closed
  std::string working_dir;       // empty: the test's own
  double timeout_seconds = 30;
  // Sent SIGINT after this many seconds (0: never), then again after the
  // second delay (0: never).
  double interrupt_after = 0;
  double second_interrupt_after = 0;
  // Stopped (SIGSTOP) after this many seconds for pause_seconds, then
  // continued (0: never): a player that stalls, as on a busy machine.
  double pause_after = 0;
  double pause_seconds = 0;
};

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
