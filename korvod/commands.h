// The MPD commands korvod answers: each one acts on the daemon's record
// and writes its response's fields; the server adds OK or the ACK.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "daemon_state.h"
#include "mpd_line.h"

// What a command needs of the client that sent it.
struct command_session {
  bool authenticated = false;
  bool close_asked = false;
};

struct command_failure {
  mpd_error code = mpd_error::unknown;
  std::string message;
};

// Runs the request, appending its fields to `out`; the failure when it fails.
std::optional<command_failure> command_run(daemon_state& d, command_session& session, const mpd_request& request,
                                           std::string& out);

// Whether a client that has not given the password may run the command.
bool command_allowed_before_password(std::string_view name);

// The subsystem names of idle, and their bits; 0 for an unknown name.
uint32_t command_idle_bit(std::string_view name);
// "changed: NAME\n" for each bit set, in MPD's order.
std::string command_idle_changes(uint32_t bits);
