// The configuration file ~/.Korvo: the remembered choices, read once at
// start-up and written back at quit.
//
//   Korvo config file version 1.0
//   device-select:\talsa default
//   command-select:\tlumen
//   bitperfect-flag:\t1
//   lumen-buffsize:\t10
//   brisa-level:\t7
//   brisa-dop-flag:\t0
//   brisa-volume:\t-6
//
// Keys come after the four first ones, and none begins with another: a
// Korvo that knows only those passes the new lines over.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct korvo_choices;

inline constexpr std::string_view kConfigHeader = "Korvo config file version 1.0";
inline constexpr const char* kKeyDevice = "device-select";
inline constexpr const char* kKeyCommand = "command-select";
inline constexpr const char* kKeyBitperfect = "bitperfect-flag";
inline constexpr const char* kKeyBufferSize = "lumen-buffsize";
inline constexpr const char* kKeyBrisaLevel = "brisa-level";
inline constexpr const char* kKeyBrisaDop = "brisa-dop-flag";
inline constexpr const char* kKeyBrisaVolume = "brisa-volume";

// The file's path: $HOME (at most 900 characters), a "/" unless it ends
// with one, ".Korvo". Empty when HOME is unset: then nothing is read or written.
std::string config_path();

// Loads the table from the file. True when the header matched and every
// known key had its colon; false for a missing file, an empty file or a
// wrong header (reported), or a key without a colon (reported; what was
// read before it keeps its value). Opening never waits and only a regular
// file is read: anything else (a FIFO, a device, a directory) is reported
// and left alone. A file Korvo cannot take at all (a line of more than 1022
// characters, bytes that are not text, a read error, over 64 KiB) is
// renamed to "<path>.bak" at once, replacing an older one, with one line on
// standard error; nothing of it is used. A file that is there but not taken
// otherwise (not readable, wrong header, a key without its colon) is kept:
// the next config_write first renames it to "<path>.bak".
bool config_read(const std::string& path);

// Writes the header and every entry that has a value over the file's
// contents. False when that failed: one line on standard error says so,
// and `why` (when given) gets the reason, translated. A path that is not a
// regular file is not written to, and a file that was not taken is never
// replaced unless it could be kept as "<path>.bak".
bool config_write(const std::string& path, std::string* why = nullptr);

// Store a value and mark it set; a key not in the table or of the other
// kind is left alone.
void config_set_number(std::string_view key, int32_t value);
void config_set_text(std::string_view key, std::string_view value);

// The stored value, when the key exists with this kind and has been set.
std::optional<int32_t> config_get_number(std::string_view key);
std::optional<std::string> config_get_text(std::string_view key);

// Forgets every value (as at program start).
void config_clear() noexcept;

// Applies what was read to the choices (after a successful config_read):
// the device label only when some discovered entry has exactly that label,
// the command name and its position in the command list, the convert flag
// (on when bitperfect-flag is 0), the buffer size, brought into range as
// the Settings entry does, and brisa's modulator level (1 unless 1, 2 or
// 7), DoP (on unless 0) and volume (brought into -48..0 dB).
void config_apply(korvo_choices& target);
