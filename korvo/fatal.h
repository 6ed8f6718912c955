// Errors that end Korvo: always on standard error and, once the window's
// side has a display, in a dialog too.
#pragma once

// How the window's side shows such an error (nullptr: not at all).
void fatal_set_reporter(void (*report)(const char* message)) noexcept;

// Reports `message` and exits with status 1.
[[noreturn]] void fatal_exit(const char* message);
