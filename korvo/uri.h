// Dropped URIs as file paths: "file://" paths and audio CD tracks that the
// desktop mounted under ~/.gvfs, percent-decoded.
#pragma once

#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view kFileScheme = "file://";
inline constexpr std::string_view kCddaScheme = "cdda://";

// The value of a hexadecimal digit, or -1.
constexpr int hex_digit_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes "%XX" stand for (either case); a "%" without two hex digits
// stays as it is.
std::string uri_percent_decode(std::string_view encoded);

// The directory of ~/.gvfs (home/.gvfs/<entry>) holding the CD whose URI
// host is `host`: the last entry in name order that begins with "cdda" and
// contains the host. Ends with "/". None when home is null, the directory
// cannot be listed or nothing matches.
std::optional<std::string> uri_cdda_directory(std::string_view host, const char* home);

// The decoded path of one URI ("file://..." or "cdda://host/..."), up to
// the end of the text or the first "\r" or "\n"; none for other schemes and
// unresolved CD hosts.
std::optional<std::string> uri_to_path(std::string_view uri, const char* home);
