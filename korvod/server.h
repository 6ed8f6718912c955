// The server: MPD clients on a TCP socket, the player's pipes and the
// library scan, in one poll() loop on one thread.
#pragma once

#include <string>

#include "daemon_state.h"

// The most clients at once; one more is told so and closed.
constexpr size_t kMostClients = 32;

// Listens on the options' address and port; -1 with the reason in *why.
int server_listen(const korvod_options& options, std::string* why);

// Runs until SIGTERM, SIGINT or SIGHUP (blocked by the caller and read here
// through `signal_fd`); the return is korvod's exit status.
int server_run(daemon_state& d, int listen_fd, int signal_fd);
