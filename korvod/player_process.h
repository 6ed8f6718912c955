// One player (brisa or lumen) as a child process on its control channel:
// started as Korvo starts it (fork and exec, no shell, ending with korvod),
// command lines written to its standard input, event lines read from its
// standard output, its human texts passed on to korvod's standard error.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "unique_fd.h"

struct player_process {
  pid_t pid = -1;
  unique_fd commands;            // its standard input, non-blocking
  unique_fd events;              // its standard output
  unique_fd texts;               // its standard error
  std::string commands_pending;  // not yet taken by the pipe
  std::string events_pending;    // a line not yet whole
  std::string texts_pending;
};

// Starts the program (found through PATH) with its words; false with the
// reason in *why.
bool player_process_start(player_process& process, const std::vector<std::string>& words, std::string* why);

bool player_process_running(const player_process& process);

// Queues a command line (newline added) and writes what the pipe takes.
void player_process_send(player_process& process, std::string_view line);
// Writes what is queued; true while some is left (wait for POLLOUT).
bool player_process_flush(player_process& process);

// Reads what the events pipe holds and appends the whole lines to `lines`;
// false at its end (the player has gone).
bool player_process_read_events(player_process& process, std::vector<std::string>& lines);
// Reads the human texts and passes their lines on to standard error;
// false at their end.
bool player_process_read_texts(player_process& process);

// Whether the child has ended (not yet reaped).
bool player_process_ended(const player_process& process);

// Waits for the child once its pipes have ended and gives its wait status;
// the record is empty afterwards.
int player_process_reap(player_process& process);

// Asks the child to end at once (SIGTERM, as when korvod itself ends).
void player_process_terminate(player_process& process);
