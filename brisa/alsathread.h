// brisa's ALSA side: finding the converter among the sound cards, choosing
// native DSD or DoP, the output thread that plays the ring buffer, and the
// return of the device to a PCM mode afterwards.
#pragma once

#include <cstdint>

#include "sample_format.h"

struct brisa_output {
  int32_t output_format = kFormatDsdU32_BE;  // settled by probe_output
  int32_t swap_words = 0;  // native words stored big-endian: set exactly when DSD_U32_BE is open
  int32_t dop_requested = 0;
};
extern brisa_output output;

// --dop: DoP in packed 24-bit samples.
void select_dop();

// -1 when the card's long name is one of the known DACs (which, unless DoP
// was requested, sets the output format), else 0.
int32_t identify_dac(const char* long_name);
// -1 when a card's long name contains text: device_name becomes "hw:N,0".
int32_t find_card_by_name(const char* text);
// The known DACs in order, else the last card. -1 when a device was chosen.
int32_t select_dac_auto();
// identify_dac for a name of the form "hw:N,0", else 0.
int32_t select_dac_named(const char* name);

// Opens and configures the device once, settling output_format through the
// fallback chain, closes it, and announces the stream. A device that cannot
// be opened and configured is fatal.
int32_t probe_output();

// Bytes of one output frame of the settled format.
int32_t output_frame_bytes();

// The output thread: two seconds of DSD silence, then the ring buffer until
// it is drained or output_stop is set; the tail plays out on a normal end.
void* output_thread(void*);
