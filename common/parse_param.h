// The command line: one record and one parser, driven by the option table a
// player hands it (its options, usage lines and version line). The parser
// only counts the option words it recognises; the words after that count
// are the file operands.
#pragma once

#include <cstdint>
#include <span>

#include "util.h"

constexpr int32_t kDeviceNameBytes = 1024;
constexpr int32_t kDefaultClockHz = 45158400;

// What the options asked for; fields no option of the table sets keep their
// defaults. Flags are 0 or all-ones (-1); any non-zero value is true.
struct play_params {
  int32_t first_file_index = 1;
  char device_name[kDeviceNameBytes] = {};  // empty: not given
  int32_t buffer_size = 0;                  // bytes; 0: not given
  int32_t silent = 0;
  int32_t short_filter = 0;
  int32_t left_cut = 0;
  int32_t right_cut = 0;
  int32_t mode_code = 0;
  const char* mode_name = nullptr;
  int32_t skip_value = 0;
  int32_t volume_db = 0;        // -48..0, the volume in effect after --volume=
  int32_t dop = 0;              // --dop: DoP whatever the DAC
  int32_t modulator_level = 1;  // -L1, -L2, -L7
  int32_t clock_hz = kDefaultClockHz;
  int32_t oversample = 0;
  int32_t count_only = 0;   // --count: probe the files, print how many play, exit
  int32_t replaygain = 0;   // --replaygain=: 0 off, 1 track, 2 album
  int32_t wait_device = 0;  // --wait-device: wait for a DAC that is not there, or is lost
  int32_t control = 0;      // --control: commands on standard input, events on standard output
};

struct option_table;

// What an option's action is handed: the record being filled, the option's
// value (the word after it, or the text after its '='; null for an option
// without one), and the table and program name, for the usage.
struct option_use {
  play_params& params;
  const char* value;
  const option_table& table;
  const char* program_name;
};
using option_action = void (*)(const option_use& use);

// How an option is written and how many words it takes.
enum class option_shape : uint8_t {
  alone,        // the word alone ("--silent", "-os")
  before_more,  // the word alone, recognised only when a word follows it ("-L1")
  with_value,   // the word and the one after it, its value ("-D hw:1,0")
  joined,       // a name ending in '=' and the value in the same word ("--volume=-6")
};

struct option_row {
  const char* name;  // without the leading "-" or "--"
  option_shape shape;
  option_action act;
};

// A player's command line.
struct option_table {
  std::span<const option_row> short_options;  // after "-"
  std::span<const option_row> long_options;   // after "--"
  const char* usage;                          // the parameter lines of the usage
  const char* keys;                           // key lines beside the transport keys; "" for none
  // The version line: "<program> Ver.<version> <banner>".
  const char* program;
  const char* version;
  const char* banner;
};

// Parses argv through the table. May print the usage and exit 1, print the
// version line and exit 0, or stop through fatal_error. Without any word
// after the program name, first_file_index points past the end, so that
// the caller's check prints the usage.
play_params parse_params(int argc, char** argv, const option_table& table);

void print_usage(const option_table& table, const char* program_name);

// The actions options of the same meaning share.
void option_usage(const option_use& use);        // prints the usage, exits 1
void option_version(const option_use& use);      // prints the version line, exits 0
void option_device(const option_use& use);       // -D
void option_buffer_size(const option_use& use);  // -B: a number, K or M after it
void option_skip(const option_use& use);         // --skip: no number is 0
void option_mode(const option_use& use);         // --mode=: a row of the mode table
void option_silent(const option_use& use);
void option_control(const option_use& use);  // --control
void option_short_filter(const option_use& use);
void option_left_cut(const option_use& use);
void option_right_cut(const option_use& use);
void option_wait_device(const option_use& use);

// A decimal int32 at the start of text, as scanf's %d reads it (leading
// blanks and a sign allowed, anything after the digits ignored).
bool option_int32(const char* text, int32_t* value);

// A value the option cannot take: the usage, then a fatal report.
[[noreturn]] void option_refused(const option_use& use, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Equal when both texts end within 1024 characters and match up to there.
bool text_equal(const char* a, const char* b);

// The mode table row for a --mode= name, or null.
struct mode_row {
  const char* name;
  int32_t channels;
  int32_t code;
  const char* label;
};
const mode_row* find_mode(const char* name);
