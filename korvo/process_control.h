// The player as a child process: start it with its words, read what it
// prints on a reader thread into the output text and its control channel's
// events into what is playing, pass it commands (or, to the players without
// the channel, keys) through a pipe on its standard input, stop it with
// "quit" or SIGINT, and choose the player by itself ("auto detect").
//
//   idle --start--> playing --stop: quit or one SIGINT--> stopping
//     ^                 |                            |
//     +-- child ended: "End of playback" ------------+
//
// Nothing here waits for a player to end: the reader thread waits for the
// child, and the window's timer calls process_poll, which reaps the reader
// and starts a run that was asked for while another was ending. A player
// still running 5 s after "quit" (or after its exit event) is interrupted,
// and killed 10 s after the stop. The child dies with
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

// Asks the running player to quit (a player without the control channel:
// interrupts it once) and returns at once. Nothing happens
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
// false when no player runs or the pipe does not take it. For the players
// that are not driven through their control channel.
bool process_send_key(char key);

// True while the running player was started with --control (brisa, lumen):
// it takes command lines and sends events (see control_channel.h).
bool process_takes_commands() noexcept;

// Sends a command line ("pause", "seek 83.500", "append /m/a.wav"; without
// its newline) to a player that takes commands. What the pipe does not take
// at once follows from process_poll. False when no such player runs or its
// pipe is broken.
bool process_send_command(std::string_view line);

// What the command at `row` of the command list answers to --version (the
// first command for "auto detect"); the running player is left alone. A
// command that does not answer within 3 s is killed.
std::string process_version_text(int32_t row);
