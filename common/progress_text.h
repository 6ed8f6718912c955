// What the progress display shows beside the file header and the position
// line of util.h: the tags line, the time remaining, and a position line
// that fits the terminal's width.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "track_tags.h"

// "Artist — Title (Album)" with the parts the tags hold, made printable
// (one line whatever the tags hold); empty when there is no title.
std::string tags_line_text(const track_tags& tags);

// The columns of the terminal standard output is; 0 when it is none.
int32_t terminal_columns();

struct position_fields {
  int64_t seconds = 0;
  std::optional<int64_t> remaining_seconds;  // none when the length is not known
  int32_t fill_percent = 0;
  std::optional<int32_t> volume_db;
  const char* status = nullptr;  // may be null
};

// The position line's text between its "\r"s. columns 0 (no terminal):
// every field, blanks after as before. Otherwise it fits in columns - 1,
// the least important fields (buffer, then volume, then status, then the
// time remaining) left out first, padded with blanks to wipe a longer line.
std::string position_line_text(const position_fields& fields, int32_t columns);

// Prints the position line for the terminal's width now.
void print_fitted_position_line(const position_fields& fields);

// Wipes the position line as clear_position_line does, no wider than the terminal.
void clear_fitted_position_line(bool newline);
