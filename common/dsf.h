// One-bit (DSD) file readers: DSDIFF, WSD and DSF. Each delivers a
// two-channel stream of DSD bytes, left and right alternating, the earliest
// one-bit sample in bit 7; files with more channels give the two that their
// channel layout names as left and right.
#pragma once

#include "music_file.h"
#include "stream_constants.h"

// Open functions. Each returns 0 when the stream (positioned at the start of
// the file) holds a file of its kind: file_channels, channel_map (DSDIFF,
// WSD), the sample rate in format, and remaining_bytes = total_bytes = the
// DSD bits per channel are set, and the stream is at the first sound byte.
// Otherwise -1, silently (kFileRefused with the reason for a file of its
// kind that cannot be played); the caller rewinds before trying another reader.
// The caller then completes the record with describe_dsd_stream and turns
// the bit counts into its own byte counts. dsf_open also gives the record
// its block-pair buffer (dsf_blocks), which close_music_file or the record's
// end frees: every DSF file reads from its own blocks, so open files may be
// read in any order.
int dff_open(music_file* file);
int wsd_open(music_file* file);
int dsf_open(music_file* file);

// Read functions. Each fills dest with up to max_bytes rounded down to a
// multiple of 8 and returns the count: always a multiple of 8, the last group
// of a file completed with kDsdPaddingByte. 0 when max_bytes is below 8; -1 when
// the sound data is exhausted (call again until then). The record's byte
// counts are not touched.
int dff_read(music_file* file, uint8_t* dest, int max_bytes);
int wsd_read(music_file* file, uint8_t* dest, int max_bytes);
int dsf_read(music_file* file, uint8_t* dest, int max_bytes);

// Seek functions, on a file just opened: delivery goes on from byte `frame`
// of each channel (eight one-bit samples a byte). False when the sound data
// ends before it. The record's byte counts are not touched.
bool dff_seek(music_file* file, int64_t frame);
bool wsd_seek(music_file* file, int64_t frame);
bool dsf_seek(music_file* file, int64_t frame);

// Makes format describe the delivered two-channel DSD byte stream of an
// opened DSD file: 2 channels, block_align 2, bits_per_sample 1, extra_size
// 22, channel_mask 1, the first subformat word 0, bytes_per_second and
// bytes_per_sample 1. input_format and the byte counts are the caller's.
void describe_dsd_stream(music_file* file);
