// A player's command line: the device words, the argument string of the
// chosen files, and the word vector the child executes.
//
// The argument string is one text of words separated by blanks; a word that
// begins with a double quote runs to the next unescaped double quote, and
// inside it a backslash keeps a following double quote or backslash as a
// plain character (that is how quoted file names carry those two).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "choices.h"

struct device_entry;

// "\"--version\"": the argument string of Help/Version.
inline constexpr std::string_view kVersionArguments = "\"--version\"";

struct device_part {
  std::string words;  // "-D <device> " or empty
  int32_t kind;       // a device_kind
};

// The -D words for a device entry: "-D default " for the ALSA default,
// nothing for "command default", "-D plug<device> " when converting,
// "-D /dev/<node> " for a converter node, else "-D <device> ".
device_part build_device_part(const device_entry& entry, bool convert_format);

// `text` between double quotes, with its double quotes and backslashes escaped.
std::string quoted_word(std::string_view text);

// Argument string of File/Open: the device words and the chosen files or
// folders, separated by blanks.
std::string open_argument_string(std::string_view device_words, std::span<const std::string> names);
std::string open_argument_string(std::string_view device_words, std::string_view file_name);

// Whether a drop is taken at all: its text begins with "file://" or "cdda://".
bool drop_is_accepted(std::string_view text) noexcept;

// Argument string of a drop: the device words, then every file:// or
// cdda:// URI of the text/uri-list as a quoted path followed by a blank.
std::string drop_argument_string(std::string_view device_words, std::string_view uri_list, const char* home);

// The paths of a drop's file:// and cdda:// URIs, in their order.
std::vector<std::string> drop_paths(std::string_view uri_list, const char* home);

// The words of an argument string (see above).
std::vector<std::string> split_words(std::string_view arguments);

struct child_command {
  std::string program;             // what execvp looks up on PATH
  std::vector<std::string> words;  // argv, the first word included
  bool control = false;            // started with --control: events on stdout, commands on stdin
};

// brisa's option words for these choices, those of its own defaults left
// out: "-L2" or "-L7", "--dop", "--volume=<dB>".
std::vector<std::string> brisa_option_words(const brisa_choices& brisa);

// The player's command line for the command at `index` of the list:
// "lumen over sampling" runs lumen with -os; brisa and lumen get
// "--control --wait-device" (Korvo drives them through their control
// channel, and a DAC switched off is waited for); every program but aplay
// and brisa gets "-B <buffer_mb>M", brisa its option words; then the
// argument words.
child_command player_command(const std::vector<std::string>& commands, int32_t index, int32_t buffer_mb,
                             std::string_view arguments, const brisa_choices& brisa = {});

// The auto detect probe: lumen --count and the argument words.
child_command count_probe_command(std::string_view arguments);

// The player auto detect chooses from the device kind and the probe's exit
// status (0: the files make one bit-perfect stream). Kind 0, a default
// device, counts as an ALSA device.
std::string_view auto_detect_choice(int32_t kind, int exit_status) noexcept;

// auto_detect_choice among the installed commands: when that player is not
// installed, lumen (which plays a list of mixed rates and kinds itself) on
// any ALSA device; the first choice when neither is.
std::string_view auto_detect_installed(int32_t kind, int exit_status, const std::vector<std::string>& commands);
