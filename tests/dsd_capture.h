// Reading back what a player sent a (fake) DAC as a delta-sigma stream:
// the DSD bytes of one channel out of native or DoP frames, the DoP
// markers, and the tone a one-bit decode of it carries.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "analyser.h"
#include "sample_format.h"

// Bytes of one frame of a delta-sigma stream in format.
inline size_t dsd_capture_frame_bytes(int32_t format) { return format == kFormatS24_3LE ? 6 : 8; }

// The DSD bytes of channel 0 (left) or 1 (right), oldest first, from the
// frames after the first skip_frames.
inline std::vector<uint8_t> dsd_channel_bytes(const std::string& capture, int32_t format, int channel,
                                              size_t skip_frames = 0) {
  const size_t frame = dsd_capture_frame_bytes(format);
  std::vector<uint8_t> out;
  for (size_t at = skip_frames * frame; at + frame <= capture.size(); at += frame) {
    const auto* f = reinterpret_cast<const uint8_t*>(capture.data() + at);
    switch (format) {
      case kFormatDsdU32_BE:
        for (int i = 0; i < 4; ++i) out.push_back(f[4 * channel + i]);
        break;
      case kFormatDsdU32_LE:
        for (int i = 3; i >= 0; --i) out.push_back(f[4 * channel + i]);
        break;
      case kFormatS24_3LE:  // [w lo, w hi, M] per channel
        out.push_back(f[3 * channel + 1]);
        out.push_back(f[3 * channel]);
        break;
      case kFormatS24_LE:  // [w lo, w hi, M, 0]
        out.push_back(f[4 * channel + 1]);
        out.push_back(f[4 * channel]);
        break;
      default:  // S32_LE: [0, w lo, w hi, M]
        out.push_back(f[4 * channel + 2]);
        out.push_back(f[4 * channel + 1]);
        break;
    }
  }
  return out;
}

// The marker byte of every DoP frame, both channels' checked equal (a
// frame whose channels disagree gives 0).
inline std::vector<uint8_t> dop_markers(const std::string& capture, int32_t format) {
  const size_t frame = dsd_capture_frame_bytes(format);
  const size_t marker_at = format == kFormatS24_LE ? 2 : frame / 2 - 1;
  std::vector<uint8_t> markers;
  for (size_t at = 0; at + frame <= capture.size(); at += frame) {
    const auto left = static_cast<uint8_t>(capture[at + marker_at]);
    const auto right = static_cast<uint8_t>(capture[at + frame / 2 + marker_at]);
    markers.push_back(left == right ? left : 0);
  }
  return markers;
}

// The tone in one channel's DSD bytes at bit_rate, over the largest power
// of two of bits available.
inline analyser_result dsd_tone(std::span<const uint8_t> bytes, double bit_rate, double tone_hz) {
  const std::vector<float> bits = analyser_bits_from_bytes(bytes, static_cast<int64_t>(bytes.size()) * 8);
  return analyser_run(bits, bit_rate, {.tone_hz = tone_hz});
}
