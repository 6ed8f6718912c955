// The dialogs of the window: open a file, playback settings, version and
// the confirmation of a message. Each sits at the mouse position and holds
// a modal grab until it is closed.
#pragma once

// Asks for one file and plays it on the chosen device.
void dialog_open_file();

// Lets the user change "convert format when necessary" and the buffer size.
void dialog_settings();

// Shows Korvo's version and runs the chosen player with --version.
void dialog_version();

// Shows a message until the user confirms it.
void dialog_confirm(const char* message);
