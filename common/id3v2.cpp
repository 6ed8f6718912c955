#include "id3v2.h"

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "tag_text.h"

namespace {

constexpr size_t kHeaderBytes = 10;
constexpr uint8_t kFlagUnsync = 0x80;
constexpr uint8_t kFlagExtended = 0x40;

// A 28-bit size written 7 bits a byte; none when a byte has its top bit set.
std::optional<uint32_t> syncsafe(std::span<const uint8_t> b) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    if (b[i] & 0x80u) return std::nullopt;
    value = value << 7 | b[i];
  }
  return value;
}

uint32_t be32(std::span<const uint8_t> b) {
  return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 |
         b[3];
}

// Undoes unsynchronisation: every 0xFF 0x00 pair was 0xFF.
std::vector<uint8_t> resynchronised(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    out.push_back(bytes[i]);
    if (bytes[i] == 0xFF && i + 1 < bytes.size() && bytes[i + 1] == 0x00) ++i;
  }
  return out;
}

void append_utf8(std::string& out, uint32_t code) {
  char encoded[4];
  size_t n = 0;
  if (code < 0x80) {
    encoded[n++] = static_cast<char>(code);
  } else if (code < 0x800) {
    encoded[n++] = static_cast<char>(0xC0 | code >> 6);
    encoded[n++] = static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    encoded[n++] = static_cast<char>(0xE0 | code >> 12);
    encoded[n++] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
    encoded[n++] = static_cast<char>(0x80 | (code & 0x3F));
  } else {
    encoded[n++] = static_cast<char>(0xF0 | code >> 18);
    encoded[n++] = static_cast<char>(0x80 | (code >> 12 & 0x3F));
    encoded[n++] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
    encoded[n++] = static_cast<char>(0x80 | (code & 0x3F));
  }
  if (out.size() + n <= static_cast<size_t>(kTagTextBytes)) out.append(encoded, n);
}

// UTF-16 up to its first NUL unit; big_endian unless a byte-order mark
// says otherwise. A lone surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::span<const uint8_t> bytes, bool big_endian) {
  std::string out;
  size_t i = 0;
  const auto unit_at = [&](size_t at) {
    return big_endian ? static_cast<uint32_t>(bytes[at] << 8 | bytes[at + 1])
                      : static_cast<uint32_t>(bytes[at + 1] << 8 | bytes[at]);
  };
  if (bytes.size() >= 2 && ((bytes[0] == 0xFE && bytes[1] == 0xFF) || (bytes[0] == 0xFF && bytes[1] == 0xFE))) {
    big_endian = bytes[0] == 0xFE;
    i = 2;
  }
  constexpr uint32_t kReplacement = 0xFFFD;
  for (; i + 1 < bytes.size() && out.size() < static_cast<size_t>(kTagTextBytes); i += 2) {
    uint32_t unit = unit_at(i);
    if (unit == 0) break;
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
      const uint32_t low = unit_at(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      } else {
        unit = kReplacement;
      }
    } else if (unit >= 0xD800 && unit < 0xE000) {
      unit = kReplacement;
    }
    append_utf8(out, unit);
  }
  return out;
}

// The text of one string in encoding (0 Latin-1, 1 UTF-16 with BOM, 2
// UTF-16BE, 3 UTF-8), bounded.
std::string decode_text(uint8_t encoding, std::span<const uint8_t> bytes) {
  switch (encoding) {
    case 0: return tag_latin1_to_utf8(bytes);
    case 1: return utf16_to_utf8(bytes, true);
    case 2: return utf16_to_utf8(bytes, true);
    case 3: return tag_bounded_text(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    default: return {};
  }
}

// Where the string that starts at bytes[0] ends, its terminator included
// (one NUL byte, or a NUL unit of two for UTF-16).
size_t string_length(uint8_t encoding, std::span<const uint8_t> bytes) {
  if (bytes.empty()) return 0;
  if (encoding == 1 || encoding == 2) {
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
      if (bytes[i] == 0 && bytes[i + 1] == 0) return i + 2;
    return bytes.size();
  }
  const auto* nul = static_cast<const uint8_t*>(std::memchr(bytes.data(), 0, bytes.size()));
  return nul == nullptr ? bytes.size() : static_cast<size_t>(nul - bytes.data()) + 1;
}

constexpr std::array<std::pair<std::string_view, std::string_view>, 6> kTextFrames{{
    {"TIT2", "title"},
    {"TPE1", "artist"},
    {"TALB", "album"},
    {"TRCK", "track"},
    {"TDRC", "date"},
    {"TYER", "year"},
}};

void read_frame(std::string_view id, std::span<const uint8_t> body, track_tags* tags) {
  if (body.empty()) return;
  const uint8_t encoding = body[0];
  const std::span<const uint8_t> text = body.subspan(1);
  if (id == "TXXX") {
    const size_t key_length = string_length(encoding, text);
    const std::string key = decode_text(encoding, text.first(key_length));
    tags_set(*tags, key, decode_text(encoding, text.subspan(key_length)));
    return;
  }
  for (const auto& [frame, key] : kTextFrames) {
    if (id == frame) tags_set(*tags, key, decode_text(encoding, text));
  }
}

// The frames of a tag's body (after the header and extended header).
void read_frames(std::span<const uint8_t> frames, uint8_t version, bool whole_tag_unsynced, track_tags* tags) {
  while (frames.size() >= kHeaderBytes) {
    if (frames[0] == 0) return;  // padding
    const std::string_view id(reinterpret_cast<const char*>(frames.data()), 4);
    uint32_t size = 0;
    if (version == 4) {
      const std::optional<uint32_t> safe = syncsafe(frames.subspan(4, 4));
      if (!safe) return;
      size = *safe;
    } else {
      size = be32(frames.subspan(4, 4));
    }
    const uint8_t format = frames[9];
    frames = frames.subspan(kHeaderBytes);
    if (size > frames.size()) return;  // cut short: what came before stays
    std::span<const uint8_t> body = frames.first(size);
    frames = frames.subspan(size);

    std::vector<uint8_t> resynced;
    if (version == 4) {
      if (format & 0x0Cu) continue;                                                      // compressed or encrypted
      if ((format & 0x40u) != 0) body = body.subspan(std::min<size_t>(1, body.size()));  // group id
      if ((format & 0x01u) != 0) body = body.subspan(std::min<size_t>(4, body.size()));  // data length
      if ((format & 0x02u) != 0 || whole_tag_unsynced) {
        resynced = resynchronised(body);
        body = resynced;
      }
    } else if (format & 0xC0u) {
      continue;  // compressed or encrypted
    } else if ((format & 0x20u) != 0) {
      body = body.subspan(std::min<size_t>(1, body.size()));  // group id
    }
    read_frame(id, body, tags);
  }
}

}  // namespace

bool id3v2_parse(std::span<const uint8_t> bytes, track_tags* tags) {
  if (bytes.size() < kHeaderBytes || memcmp(bytes.data(), "ID3", 3) != 0) return false;
  const uint8_t version = bytes[3];
  const uint8_t flags = bytes[5];
  const std::optional<uint32_t> size = syncsafe(bytes.subspan(6, 4));
  if ((version != 3 && version != 4) || !size) return false;
  std::span<const uint8_t> body = bytes.subspan(kHeaderBytes);
  body = body.first(std::min<size_t>(body.size(), *size));

  // Version 2.3 unsynchronises the whole tag, extended header included.
  std::vector<uint8_t> resynced;
  if (version == 3 && (flags & kFlagUnsync) != 0) {
    resynced = resynchronised(body);
    body = resynced;
  }
  if ((flags & kFlagExtended) != 0) {
    if (body.size() < 4) return true;
    uint64_t skip = 0;
    if (version == 4) {
      const std::optional<uint32_t> extended = syncsafe(body.first(4));
      if (!extended) return true;
      skip = *extended;  // includes its own size word
    } else {
      skip = uint64_t{be32(body.first(4))} + 4;
    }
    if (skip > body.size()) return true;
    body = body.subspan(static_cast<size_t>(skip));
  }
  read_frames(body, version, version == 4 && (flags & kFlagUnsync) != 0, tags);
  return true;
}

void id3v2_read_at(FILE* fp, uint64_t offset, uint64_t limit, track_tags* tags) {
  const off_t was = ftello(fp);
  if (was < 0 || offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return;
  std::array<uint8_t, kHeaderBytes> header{};
  if (limit >= kHeaderBytes && fseeko(fp, static_cast<off_t>(offset), SEEK_SET) == 0 &&
      fread(header.data(), 1, header.size(), fp) == header.size() && memcmp(header.data(), "ID3", 3) == 0) {
    const std::optional<uint32_t> size = syncsafe(std::span(header).subspan(6, 4));
    if (size) {
      // Read what the tag says it holds, but no more than its chunk, and
      // no more than the cap.
      const uint64_t want = std::min<uint64_t>({*size, limit - kHeaderBytes, kId3MaxReadBytes});
      std::vector<uint8_t> bytes(kHeaderBytes + static_cast<size_t>(want));
      std::copy(header.begin(), header.end(), bytes.begin());
      const size_t got = fread(bytes.data() + kHeaderBytes, 1, static_cast<size_t>(want), fp);
      bytes.resize(kHeaderBytes + got);
      id3v2_parse(bytes, tags);
    }
  }
  clearerr(fp);
  fseeko(fp, was, SEEK_SET);
}
