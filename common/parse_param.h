// Command-line parameters of both players: one record, one parser, two
// option tables. The parser only counts the option words it recognises; the
// words after that count are the file operands.
#pragma once

#include <cstdint>

#include "util.h"

constexpr int32_t kDeviceNameBytes = 1024;
constexpr int32_t kDefaultClockHz = 45158400;

// Flags are 0 or all-ones (-1); any non-zero value is true.
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
  // brisa only
  int32_t volume_db = 0;  // -48..0, as last accepted by set_volume
  int32_t clock_hz = kDefaultClockHz;
  // lumen only
  int32_t oversample = 0;
  int32_t count_only = 0;  // --count: probe the files, print how many play, exit
};

// The process's parameters, filled by the parser before anything else runs.
extern play_params params;

// brisa's options that act on other modules at parse time.
struct brisa_option_actions {
  int32_t (*select_modulator_level)(int32_t level);  // -L1, -L2, -L7
  void (*select_dop)();                              // --dop
  int32_t (*set_volume)(int32_t db);                 // --volume=N; returns the volume in effect
};

// Parse argv into params. May print the usage and exit 1, print the version
// line and exit 0, or stop through fatal_error. banner is the text after the
// version numbers.
void parse_brisa_params(int argc, char** argv, const brisa_option_actions& actions, const char* banner);
void parse_lumen_params(int argc, char** argv, const char* banner);

void print_usage(player_kind player, const char* program_name);

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
