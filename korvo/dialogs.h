// The dialogs of the window: open files, playback settings, version, the
// confirmation of a message and the error that ends Korvo. Each is modal
// above the main window, laid out with GNOME's 12/18 px spacing.
#pragma once

// Asks for files or folders and plays them on the chosen device. The
// dialog starts in the folder last used (the music folder at first).
void dialog_open_files();

// Asks for files or folders and adds them to the running player's list
// (with none running, plays them as Open does).
void dialog_add_files();

// Lets the user change "convert format when necessary", the buffer size,
// and brisa's modulator level, DoP and volume.
void dialog_settings();

// Shows Korvo's version and the chosen player's answer to --version; a
// running player goes on playing.
void dialog_version();

// Shows a message until the user confirms it.
void dialog_confirm(const char* message);

// Says that the settings could not be written to `path` (`why`) and waits
// until the dialog is closed. Needs GTK initialised with a display.
void dialog_save_failed(const char* path, const char* why);

// Shows an error that ends Korvo and waits until it is closed. Needs GTK
// initialised with a display.
void dialog_fatal(const char* message);
