// brisa's ALSA side: finding the converter among the sound cards, choosing
// native DSD or DoP, and the output thread.
#pragma once

#include <cstdint>

// ALSA sample format codes used by the output.
enum : int32_t {
  kFormatS24_LE = 6,
  kFormatS32_LE = 10,
  kFormatS24_3LE = 32,
  kFormatDsdU32_LE = 50,
  kFormatDsdU32_BE = 52,
};

struct brisa_output {
  int32_t output_format = kFormatDsdU32_BE;
  int32_t swap_words = 0;  // native words stored big-endian (DSD_U32_BE)
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
