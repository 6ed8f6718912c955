// The tags of the chunked containers the native readers open: WAV's
// LIST/INFO and "id3 " chunks, DSDIFF's DIIN and "ID3 " chunks, DSF's
// metadata chunk. Each walk keeps the stream's position; a damaged tag
// chunk is passed over and yields nothing.
#pragma once

#include <cstdint>
#include <cstdio>

#include "track_tags.h"

// RIFF/RF64: the chunks from the first after "WAVE"; for RF64 the data
// chunk's size is data_bytes (its size word is a placeholder).
void wav_read_tags(FILE* fp, bool rf64, uint64_t data_bytes, track_tags* tags);

// DSDIFF: the chunks of the "FRM8" form of form_size bytes.
void dff_read_tags(FILE* fp, uint64_t form_size, track_tags* tags);

// DSF: the ID3v2 tag the "DSD " chunk's metadata pointer leads to.
void dsf_read_tags(FILE* fp, track_tags* tags);
