// The Korvo window: menus, the toolbar, the device and command boxes, what
// is playing (file, "n of m", a progress bar), the player's output in an
// expander, drops, and the 100 ms refresh. GTK's main thread only.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct device_entry;

// Builds and shows the window; the refresh timer runs from then on, and
// SIGTERM and SIGHUP quit as File/Quit does.
void window_build();

// The top-level window, for dialogs to sit on.
GtkWindow* window_main() noexcept;

// The command box's active row, or -1.
int32_t window_command_row() noexcept;

// The device entry of the device box's active row (row 0 when none is
// active), which becomes the chosen device and is stored.
const device_entry& window_take_device() noexcept;

// Plays an argument string with the chosen command; Play plays it again
// once playback has ended.
void window_play(std::string_view arguments);

// Adds files or folders to the list of the running player; with no player
// that takes commands running, plays them as Open does.
void window_add(const std::vector<std::string>& paths);

// Stops a running player without waiting for it; once it has ended, writes
// the configuration and exits with status 0.
void window_quit();
