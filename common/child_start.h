// What a front-end's child does between fork and exec, before it becomes a
// player. Async-signal-safe calls only.
#pragma once

#include <sys/types.h>

// Every signal at its default (the parent's choices, such as SIGPIPE
// ignored, would be inherited otherwise), none blocked, and SIGTERM when the
// parent ends, however it ends: a player that catches it still closes its
// device. A parent already gone ends the child at once.
void child_start_reset_signals(pid_t parent) noexcept;

// Writes text as it is, for the child's last words before _exit.
void child_start_write(int fd, const char* text) noexcept;
