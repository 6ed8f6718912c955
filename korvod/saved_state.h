// What survives a restart, in the state folder: the library's cache, and
// the queue with the song and the place playback stood at (it comes back
// paused there), the volume and the play options.
#pragma once

#include <string>
#include <string_view>

#include "daemon_state.h"

std::string saved_state_text(const daemon_state& d);
// Restores what the text holds; songs no longer in the library are
// dropped. Playing or paused comes back paused, the player not started.
void saved_state_apply(daemon_state& d, std::string_view text);

// Writes the file whole or not at all (a temporary file renamed over it).
bool saved_state_write_file(const std::string& path, const std::string& text);
std::string saved_state_read_file(const std::string& path);

// Creates the folder and its parents; false when it cannot.
bool saved_state_make_dir(const std::string& path);

// The state folder's files.
std::string saved_state_queue_path(const daemon_state& d);
std::string saved_state_library_path(const daemon_state& d);

// Saves the queue and the position when they changed.
void saved_state_save(daemon_state& d);
void saved_state_save_library(const daemon_state& d);
