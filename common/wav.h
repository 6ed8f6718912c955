// RIFF/WAVE and RF64 reader: delivers the first two channels of every frame
// in the file's own sample encoding.
#pragma once

#include "music_file.h"

int wav_open(music_file* file);
int wav_read(music_file* file, uint8_t* dest, int max_bytes);
// On a file just opened: delivery goes on from two-channel frame `frame`;
// false when the data ends before it.
bool wav_seek(music_file* file, int64_t frame);

// Completes the record of an opened WAV file for the players' dispatch:
// input_format, bytes_per_sample and sample_format from the container width
// (8 U8, 16 S16_LE, 24 S24_3LE or S24_LE in 4-byte containers, 32 S32_LE or
// FLOAT_LE). False for any other width.
bool describe_wav_stream(music_file* file);
