#include "tag_writer.h"

#include <algorithm>

namespace {

void put_be(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put_le(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void put_syncsafe(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (7 * i) & 0x7F));
}

void put_text(std::vector<uint8_t>& out, const std::string& text, uint8_t encoding, bool terminated) {
  if (encoding == 1) {
    out.insert(out.end(), {0xFF, 0xFE});
    for (const char c : text) out.insert(out.end(), {static_cast<uint8_t>(c), 0});
    if (terminated) out.insert(out.end(), {0, 0});
  } else {
    out.insert(out.end(), text.begin(), text.end());
    if (terminated) out.push_back(0);
  }
}

uint8_t crc8(std::span<const uint8_t> bytes) {
  uint8_t crc = 0;
  for (const uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

uint16_t crc16(std::span<const uint8_t> bytes) {
  uint16_t crc = 0;
  for (const uint8_t b : bytes) {
    crc = static_cast<uint16_t>(crc ^ (b << 8));
    for (int i = 0; i < 8; ++i) crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x8005 : crc << 1);
  }
  return crc;
}

}  // namespace

std::vector<uint8_t> id3v2_tag(const id3_frames& frames, uint8_t version, uint8_t encoding) {
  std::vector<uint8_t> body;
  for (const auto& [id, text] : frames) {
    std::vector<uint8_t> frame{encoding};
    if (id == "TXXX") {
      const size_t equals = text.find('=');
      put_text(frame, text.substr(0, equals), encoding, true);
      put_text(frame, equals == std::string::npos ? "" : text.substr(equals + 1), encoding, false);
    } else {
      put_text(frame, text, encoding, false);
    }
    body.insert(body.end(), id.begin(), id.end());
    if (version == 4) {
      put_syncsafe(body, static_cast<uint32_t>(frame.size()));
    } else {
      put_be(body, frame.size(), 4);
    }
    body.insert(body.end(), {0, 0});
    body.insert(body.end(), frame.begin(), frame.end());
  }
  std::vector<uint8_t> tag{'I', 'D', '3', version, 0, 0};
  put_syncsafe(tag, static_cast<uint32_t>(body.size()));
  tag.insert(tag.end(), body.begin(), body.end());
  return tag;
}

std::vector<uint8_t> flac_bytes(uint32_t sample_rate, std::span<const int16_t> samples,
                                const std::vector<std::string>& comments) {
  constexpr uint32_t kBlock = 4096;
  const uint64_t frames = samples.size() / 2;
  std::vector<uint8_t> out{'f', 'L', 'a', 'C'};
  // STREAMINFO, then VORBIS_COMMENT as the last metadata block.
  out.push_back(0);
  put_be(out, 34, 3);
  put_be(out, kBlock, 2);
  put_be(out, kBlock, 2);
  put_be(out, 0, 3);
  put_be(out, 0, 3);
  // rate (20 bits), channels - 1 (3), bits - 1 (5), total samples (36).
  put_be(out, uint64_t{sample_rate} << 44 | uint64_t{1} << 41 | uint64_t{15} << 36 | frames, 8);
  out.insert(out.end(), 16, 0);  // no MD5
  std::vector<uint8_t> vorbis;
  const std::string vendor = "test";
  put_le(vorbis, vendor.size(), 4);
  vorbis.insert(vorbis.end(), vendor.begin(), vendor.end());
  put_le(vorbis, comments.size(), 4);
  for (const std::string& c : comments) {
    put_le(vorbis, c.size(), 4);
    vorbis.insert(vorbis.end(), c.begin(), c.end());
  }
  out.push_back(0x80 | 4);
  put_be(out, vorbis.size(), 3);
  out.insert(out.end(), vorbis.begin(), vorbis.end());

  // Frames of kBlock samples (the last one shorter), each channel verbatim.
  for (uint64_t first = 0, number = 0; first < frames; first += kBlock, ++number) {
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(kBlock, frames - first));
    std::vector<uint8_t> frame{0xFF, 0xF8};
    // Block size from the header's end (16 bits), rate from STREAMINFO.
    frame.push_back(0x70);
    frame.push_back(0x18);  // left/right independent, 16 bits
    // The frame number, UTF-8 coded (below 2048 here).
    if (number < 0x80) {
      frame.push_back(static_cast<uint8_t>(number));
    } else {
      frame.push_back(static_cast<uint8_t>(0xC0 | number >> 6));
      frame.push_back(static_cast<uint8_t>(0x80 | (number & 0x3F)));
    }
    put_be(frame, count - 1, 2);
    frame.push_back(crc8(frame));
    for (int channel = 0; channel < 2; ++channel) {
      frame.push_back(0x02);  // verbatim
      for (uint32_t i = 0; i < count; ++i) {
        put_be(frame, static_cast<uint16_t>(samples[2 * (first + i) + static_cast<uint64_t>(channel)]), 2);
      }
    }
    put_be(frame, crc16(frame), 2);
    out.insert(out.end(), frame.begin(), frame.end());
  }
  return out;
}
