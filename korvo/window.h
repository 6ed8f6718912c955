// The Korvo window: menus, the device and command boxes, the player's
// output, drops, and the 100 ms refresh. GTK's main thread only.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>

struct device_entry;

// Builds and shows the window; the refresh timer runs from then on.
void window_build();

// The top-level window, for dialogs to sit on.
GtkWindow* window_main() noexcept;

// The command box's active row, or -1.
int32_t window_command_row() noexcept;

// The device entry of the device box's active row (row 0 when none is
// active), which becomes the chosen device and is stored.
const device_entry& window_take_device() noexcept;

// Stops a running player, writes the configuration and exits with status 0.
[[noreturn]] void window_quit();
