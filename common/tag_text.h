// Filling a file's tags from what its container says: one place that
// bounds every text and knows which keys mean what, for all readers.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "track_tags.h"

// The text cut to at most max_bytes on a UTF-8 character boundary, and at
// its first NUL: a tag's text ends there.
std::string tag_bounded_text(std::string_view text, size_t max_bytes = kTagTextBytes);

// ISO 8859-1 bytes as UTF-8, bounded as tag_bounded_text.
std::string tag_latin1_to_utf8(std::span<const uint8_t> bytes);

// The number at the start of a ReplayGain value ("-6.00 dB", "+1.2",
// "0.988"), or none when it holds no finite number.
std::optional<double> tag_number(std::string_view text);

// Stores value under key (case-insensitive: title, artist, album, track or
// tracknumber, date or year, replaygain_track_gain and the like). Other
// keys are ignored, and so is an empty value; a key already filled keeps
// its first value.
void tags_set(track_tags& tags, std::string_view key, std::string_view value);

// True when the file says nothing: no text and no ReplayGain value.
bool tags_empty(const track_tags& tags);

// Bytes of a container's plain text field, whose encoding no field names:
// kept as UTF-8 when they are well-formed UTF-8, else read as ISO 8859-1.
std::string tag_plain_text(std::span<const uint8_t> bytes);
