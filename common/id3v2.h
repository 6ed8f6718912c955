// ID3v2 tags (versions 2.3 and 2.4), as DSF, DSDIFF and WAV files carry
// them: title, artist, album, track, date and the ReplayGain values of
// TXXX frames, their texts in any of the four encodings made UTF-8.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "track_tags.h"

// The most of a tag that is read: frames past it (pictures, mostly) are
// passed over.
constexpr uint32_t kId3MaxReadBytes = 1u << 20;

// Fills tags from a tag that begins at bytes[0] ("ID3" and its header).
// Bytes past the span are never read; a damaged tag yields what its intact
// frames before the damage hold. False when bytes hold no ID3v2.3/2.4 tag.
bool id3v2_parse(std::span<const uint8_t> bytes, track_tags* tags);

// Reads the tag that begins at offset in fp, of at most limit bytes (what
// its chunk holds), into tags; the stream's position is kept.
void id3v2_read_at(FILE* fp, uint64_t offset, uint64_t limit, track_tags* tags);
