#include "tag_text.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

bool same_key(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

void set_text(std::string& field, std::string_view value) {
  if (field.empty()) field = tag_bounded_text(value);
}

void set_number(std::optional<double>& field, std::string_view value) {
  if (!field) field = tag_number(value);
}

}  // namespace

std::string tag_bounded_text(std::string_view text, size_t max_bytes) {
  text = text.substr(0, text.find('\0'));
  if (text.size() <= max_bytes) return std::string(text);
  size_t cut = max_bytes;
  // Back over continuation bytes to the start of the character cut in two.
  while (cut > 0 && (static_cast<uint8_t>(text[cut]) & 0xC0u) == 0x80u) --cut;
  return std::string(text.substr(0, cut));
}

std::string tag_latin1_to_utf8(std::span<const uint8_t> bytes) {
  std::string out;
  for (const uint8_t byte : bytes) {
    if (byte == 0) break;
    const size_t need = byte < 0x80 ? 1 : 2;
    if (out.size() + need > static_cast<size_t>(kTagTextBytes)) break;
    if (byte < 0x80) {
      out += static_cast<char>(byte);
    } else {
      out += static_cast<char>(0xC0 | byte >> 6);
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

std::optional<double> tag_number(std::string_view text) {
  // strtod needs a terminated text; a number is short.
  char buffer[64];
  const size_t n = std::min(text.size(), sizeof buffer - 1);
  std::copy_n(text.begin(), n, buffer);
  buffer[n] = '\0';
  char* end = nullptr;
  const double value = std::strtod(buffer, &end);
  if (end == buffer || !std::isfinite(value)) return std::nullopt;
  return value;
}

void tags_set(track_tags& tags, std::string_view key, std::string_view value) {
  value = value.substr(0, value.find('\0'));
  if (value.empty()) return;
  if (same_key(key, "title")) {
    set_text(tags.title, value);
  } else if (same_key(key, "artist")) {
    set_text(tags.artist, value);
  } else if (same_key(key, "album")) {
    set_text(tags.album, value);
  } else if (same_key(key, "track") || same_key(key, "tracknumber")) {
    set_text(tags.track, value);
  } else if (same_key(key, "date") || same_key(key, "year")) {
    set_text(tags.date, value);
  } else if (same_key(key, "replaygain_track_gain")) {
    set_number(tags.track_gain_db, value);
  } else if (same_key(key, "replaygain_track_peak")) {
    set_number(tags.track_peak, value);
  } else if (same_key(key, "replaygain_album_gain")) {
    set_number(tags.album_gain_db, value);
  } else if (same_key(key, "replaygain_album_peak")) {
    set_number(tags.album_peak, value);
  }
}

bool tags_empty(const track_tags& tags) {
  return tags.title.empty() && tags.artist.empty() && tags.album.empty() && tags.track.empty() && tags.date.empty() &&
         !tags.track_gain_db && !tags.track_peak && !tags.album_gain_db && !tags.album_peak;
}

namespace {

// True when bytes are well-formed UTF-8 (no overlongs, no surrogates).
bool well_formed_utf8(std::span<const uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const uint8_t b = bytes[i];
    size_t more = 0;
    uint32_t lowest = 0;
    uint32_t code = 0;
    if (b < 0x80) {
      ++i;
      continue;
    }
    if ((b & 0xE0u) == 0xC0u) {
      more = 1, lowest = 0x80, code = b & 0x1Fu;
    } else if ((b & 0xF0u) == 0xE0u) {
      more = 2, lowest = 0x800, code = b & 0x0Fu;
    } else if ((b & 0xF8u) == 0xF0u) {
      more = 3, lowest = 0x10000, code = b & 0x07u;
    } else {
      return false;
    }
    if (i + more >= bytes.size()) return false;
    for (size_t k = 1; k <= more; ++k) {
      if ((bytes[i + k] & 0xC0u) != 0x80u) return false;
      code = code << 6 | (bytes[i + k] & 0x3Fu);
    }
    if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return false;
    i += more + 1;
  }
  return true;
}

}  // namespace

std::string tag_plain_text(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return {};
  const auto* nul = static_cast<const uint8_t*>(memchr(bytes.data(), 0, bytes.size()));
  if (nul != nullptr) bytes = bytes.first(static_cast<size_t>(nul - bytes.data()));
  if (!well_formed_utf8(bytes)) return tag_latin1_to_utf8(bytes);
  return tag_bounded_text(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}
