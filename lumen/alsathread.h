// lumen's ALSA side: the device when none is given, the one stream the
// first file of the list calls for (PCM at its rate, or delta-sigma as
// native DSD or DoP), and the output thread that plays the ring buffer.
#pragma once

#include <cstdint>

#include "sample_format.h"

enum class stream_kind : int32_t { pcm = 0, delta_sigma = 1 };

struct lumen_output {
  int32_t output_format = kFormatS32_LE;  // settled by probe_output
  int32_t rate = 0;                       // frames per second of the stream
  stream_kind kind = stream_kind::pcm;
  int32_t sample_bytes = 0;  // physical width of output_format / 8
  int32_t frame_bytes = 0;   // 2 x sample_bytes
};
extern lumen_output output;

// Writes "hw:N,0" with the highest card number into device_name and returns
// true; false (device_name untouched) when there is no card.
bool find_last_card();

// Opens and configures the device once for the stream the first file calls
// for, closes it and announces the stream on standard error. Every failure
// (a DSD rate above what DoP carries included) is fatal.
bool probe_output();

// The output thread: a second of silence, then the ring buffer until it is
// drained or output_stop is set; the tail plays out on a normal end.
void* output_thread(void*);
