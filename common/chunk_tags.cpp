#include "chunk_tags.h"

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <limits>
#include <string_view>
#include <vector>

#include "id3v2.h"
#include "tag_text.h"

namespace {

// A file of more chunks than this is hostile; its tags are not looked for further.
constexpr int kMaxChunks = 4096;
// A text chunk (LIST/INFO, DIIN) larger than this is passed over.
constexpr uint64_t kMaxTextChunkBytes = 64 * 1024;
constexpr uint64_t kMaxOffset = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

// Puts the stream back where it was when the walk began.
class position_keeper {
 public:
  explicit position_keeper(FILE* fp) : fp_(fp), at_(ftello(fp)) {}
  ~position_keeper() {
    clearerr(fp_);
    if (at_ >= 0) fseeko(fp_, at_, SEEK_SET);
  }
  position_keeper(const position_keeper&) = delete;
  position_keeper& operator=(const position_keeper&) = delete;

 private:
  FILE* fp_;
  off_t at_;
};

bool seek_to(FILE* fp, uint64_t offset) {
  return offset <= kMaxOffset && fseeko(fp, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool read_exactly(FILE* fp, std::span<uint8_t> bytes) {
  return fread(bytes.data(), 1, bytes.size(), fp) == bytes.size();
}

uint64_t little_endian(std::span<const uint8_t> b) {
  uint64_t value = 0;
  for (size_t i = b.size(); i-- > 0;) value = value << 8 | b[i];
  return value;
}

uint64_t big_endian(std::span<const uint8_t> b) {
  uint64_t value = 0;
  for (const uint8_t byte : b) value = value << 8 | byte;
  return value;
}

std::string_view id_of(const std::array<uint8_t, 12>& header) {
  return {reinterpret_cast<const char*>(header.data()), 4};
}

// The body of a small chunk at offset, or nothing when it is too large or cut short.
std::vector<uint8_t> small_body(FILE* fp, uint64_t offset, uint64_t size) {
  if (size > kMaxTextChunkBytes || !seek_to(fp, offset)) return {};
  std::vector<uint8_t> body(static_cast<size_t>(size));
  if (!read_exactly(fp, body)) return {};
  return body;
}

// LIST/INFO sub-chunks: id, little-endian size, text.
void read_info(std::span<const uint8_t> list, track_tags* tags) {
  constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kKeys{{
      {"INAM", "title"},
      {"IART", "artist"},
      {"IPRD", "album"},
      {"ITRK", "track"},
      {"ICRD", "date"},
  }};
  if (list.size() < 4 || std::string_view(reinterpret_cast<const char*>(list.data()), 4) != "INFO") return;
  list = list.subspan(4);
  while (list.size() >= 8) {
    const std::string_view id(reinterpret_cast<const char*>(list.data()), 4);
    const uint64_t size = little_endian(list.subspan(4, 4));
    list = list.subspan(8);
    if (size > list.size()) return;
    const std::span<const uint8_t> text = list.first(static_cast<size_t>(size));
    for (const auto& [info_id, key] : kKeys) {
      if (id == info_id) tags_set(*tags, key, tag_plain_text(text));
    }
    list = list.subspan(std::min<size_t>(list.size(), static_cast<size_t>(size + (size & 1u))));
  }
}

// DIIN sub-chunks: id, big-endian 64-bit size; DITI and DIAR hold a
// big-endian 32-bit count and that many bytes of text.
void read_diin(std::span<const uint8_t> diin, track_tags* tags) {
  while (diin.size() >= 12) {
    const std::string_view id(reinterpret_cast<const char*>(diin.data()), 4);
    const uint64_t size = big_endian(diin.subspan(4, 8));
    diin = diin.subspan(12);
    if (size > diin.size()) return;
    const std::span<const uint8_t> body = diin.first(static_cast<size_t>(size));
    if ((id == "DITI" || id == "DIAR") && body.size() >= 4) {
      const uint64_t count = std::min<uint64_t>(big_endian(body.first(4)), body.size() - 4);
      tags_set(*tags, id == "DITI" ? "title" : "artist", tag_plain_text(body.subspan(4, static_cast<size_t>(count))));
    }
    diin = diin.subspan(std::min<size_t>(diin.size(), static_cast<size_t>(size + (size & 1u))));
  }
}

}  // namespace

void wav_read_tags(FILE* fp, bool rf64, uint64_t data_bytes, track_tags* tags) {
  const position_keeper keep(fp);
  uint64_t at = 12;  // after "RIFF", its size and "WAVE"
  for (int chunk = 0; chunk < kMaxChunks; ++chunk) {
    std::array<uint8_t, 12> header{};
    if (!seek_to(fp, at) || !read_exactly(fp, std::span(header).first(8))) return;
    const std::string_view id = id_of(header);
    uint64_t size = little_endian(std::span(header).subspan(4, 4));
    if (rf64 && id == "data") size = data_bytes;
    const uint64_t body = at + 8;
    if (id == "LIST") {
      read_info(small_body(fp, body, size), tags);
    } else if (id == "id3 " || id == "ID3 ") {
      id3v2_read_at(fp, body, size, tags);
    }
    if (size > kMaxOffset - body) return;
    at = body + size + (size & 1u);
  }
}

void dff_read_tags(FILE* fp, uint64_t form_size, track_tags* tags) {
  const position_keeper keep(fp);
  if (form_size > kMaxOffset - 12) return;
  const uint64_t end = 12 + form_size;
  uint64_t at = 16;  // after "FRM8", its size and "DSD "
  for (int chunk = 0; chunk < kMaxChunks && at + 12 <= end; ++chunk) {
    std::array<uint8_t, 12> header{};
    if (!seek_to(fp, at) || !read_exactly(fp, header)) return;
    const std::string_view id = id_of(header);
    const uint64_t size = big_endian(std::span(header).subspan(4, 8));
    const uint64_t body = at + 12;
    if (size > end - body) return;
    if (id == "DIIN") {
      read_diin(small_body(fp, body, size), tags);
    } else if (id == "ID3 ") {
      id3v2_read_at(fp, body, size, tags);
    }
    at = body + size + (size & 1u);
  }
}

void dsf_read_tags(FILE* fp, track_tags* tags) {
  const position_keeper keep(fp);
  constexpr uint64_t kMetadataPointerAt = 20;
  std::array<uint8_t, 8> pointer{};
  if (!seek_to(fp, kMetadataPointerAt) || !read_exactly(fp, pointer)) return;
  const uint64_t offset = little_endian(pointer);
  if (offset == 0) return;
  id3v2_read_at(fp, offset, std::numeric_limits<uint64_t>::max(), tags);
}
