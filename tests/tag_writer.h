// Tags for test files: ID3v2 tags as DSF, DSDIFF and WAV carry them, and a
// FLAC file with Vorbis comments (verbatim frames, 16-bit stereo).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

// A frame: its id ("TIT2", or "TXXX" with the description before a '='
// in the text: "REPLAYGAIN_TRACK_GAIN=-6.00 dB") and its text.
using id3_frames = std::vector<std::pair<std::string, std::string>>;

// An ID3v2 tag of version 3 or 4 whose texts are in encoding 3 (UTF-8) or
// 1 (UTF-16 with a byte-order mark; the texts must be ASCII).
std::vector<uint8_t> id3v2_tag(const id3_frames& frames, uint8_t version = 4, uint8_t encoding = 3);

// A FLAC file of the samples (interleaved stereo, 16-bit values) with the
// comments ("TITLE=..."), in frames of 4096 samples.
std::vector<uint8_t> flac_bytes(uint32_t sample_rate, std::span<const int16_t> samples,
                                const std::vector<std::string>& comments);
