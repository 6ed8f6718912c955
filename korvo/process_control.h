// The player as a child process: start it with its words, read what it
// prints on a reader thread into the output text, stop it with SIGINT, and
// choose the player by itself ("auto detect").
//
//   idle --start playback--> playing (child running, reader reading)
//        <--child ends by itself or after SIGINT: "End of playback"--
//
// Everything here except the reader thread runs on the window's thread.
#pragma once

#include <cstdint>
#include <string_view>

// Starts the chosen player with an argument string (see arguments.h).
// `title` goes into the window title. `active_row` is the command box's
// active row (-1: none; the list's size: "auto detect"); it is stored as the
// chosen command. A running player is stopped first.
void process_start_playback(std::string_view title, int32_t active_row, std::string_view arguments);

// Interrupts the running player and waits until its reader thread has
// finished. Nothing happens when no player runs.
void process_stop_player();

// True from a start until the reader thread has seen the child end.
bool process_playing() noexcept;
