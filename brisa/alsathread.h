// brisa's ALSA side: finding the converter among the sound cards (listed by
// card_list, searched here by long name), the stream it is sent (native DSD
// or DoP at 352,800 frames per second, with the fallback from one format to
// the next and two seconds of DSD silence before the music), and the return
// of the device to a PCM mode afterwards (opened and set through
// pcm_output, in a PCM format of brisa's choosing).
#pragma once

#include <cstdint>

#include "parse_param.h"
#include "pcm_output.h"

// The device found and the format to try first on it.
struct dac_choice {
  char device_name[kDeviceNameBytes] = {};  // "hw:N,0"; empty when none was found
  int32_t format = 0;
  bool dop = false;   // --dop: DoP in packed 24-bit samples, whatever the DAC
  bool wait = false;  // --wait-device: a DAC not there yet, or lost, is waited for
};

// The named device (-D), or the first of the known DACs among the cards,
// else the last card; a name ALSA does not define is reported and the
// cards are searched. A known DAC's long name settles the format unless DoP
// was asked for.
dac_choice choose_dac(const char* named, bool dop);

// choose_dac for --wait-device: waits for the named device to open, or for
// one of the known DACs to be listed (then named by its card id, which
// stays its own when it comes back under another number). An interrupt
// or quit while waiting ends the program with status 0; the wait reads and
// tells the control channel, when there is one.
dac_choice wait_for_dac(const char* named, bool dop, control_session* channel);

// The stream for the chosen DAC.
output_stream dsd_output_stream(const dac_choice& dac);

// Opens and configures the device once, settling the format through the
// fallback chain, closes it, and (when asked to) announces the stream. A
// device that cannot be opened and configured is fatal.
void probe_output(output_stream& stream, bool announce);
