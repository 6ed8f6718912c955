// Player output as valid UTF-8 for the text view, which refuses anything
// else: invalid bytes (a Latin-1 file name, say) become U+FFFD, and a
// character cut in two by a pipe read waits for its remaining bytes.
#pragma once

#include <string>
#include <string_view>

// The replacement character U+FFFD in UTF-8.
inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Valid UTF-8 for `tail` followed by `bytes`. An incomplete but so far
// valid sequence at the very end is kept in `tail` for the next call.
std::string utf8_sanitise(std::string& tail, std::string_view bytes);

// What is left in `tail` when no more bytes will come, as replacement
// characters; empties `tail`.
std::string utf8_flush(std::string& tail);
