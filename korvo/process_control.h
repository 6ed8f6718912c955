// The player as a child process: start it with its words, read what it
// prints on a reader thread into the output text, pass it keys through a
// pipe on its standard input, stop it with SIGINT, and choose the player by
// itself ("auto detect").
//
//   idle --start--> playing --stop: one SIGINT--> stopping
//     ^                 |                            |
//     +-- child ended: "End of playback" ------------+
//
// Nothing here waits for a player to end: the reader thread waits for the
// child, and the window's timer calls process_poll, which reaps the reader
// and starts a run that was asked for while another was ending. A player
// still running 10 s after its interrupt is killed. The child dies with
// Korvo. Everything except the reader thread runs on the window's thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum class process_state { idle, playing, stopping };

// Starts the chosen player with an argument string (see arguments.h).
// `title` goes into the window title. `active_row` is the command box's
// active row (-1: none; the list's size: "auto detect"); it is stored as the
// chosen command. A running player is stopped first, and the new one starts
// from process_poll once it has ended.
void process_start_playback(std::string_view title, int32_t active_row, std::string_view arguments);

// Interrupts the running player once and returns at once. Nothing happens
// when no player runs or it is already stopping.
void process_stop_player();

// Drops a start that waits for the running player to end.
void process_cancel_pending() noexcept;

// Reaps a reader that has finished and starts a waiting run; the state
// after that. Called by the window's timer.
process_state process_poll();

// True from a start until the child has ended and no start waits.
bool process_playing() noexcept;

// Sends a key (" ", "n", "p", ...) to the running player's standard input;
// false when no player runs or the pipe does not take it.
bool process_send_key(char key);

// What the command at `row` of the command list answers to --version (the
// first command for "auto detect"); the running player is left alone. A
// command that does not answer within 3 s is killed.
std::string process_version_text(int32_t row);
