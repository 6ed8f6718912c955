// lumen's ALSA side: the device when none is given (the last card that
// card_list lists), and the one stream the first file of the list calls
// for: PCM at its rate (or oversampled) in the widest format the device
// takes, or delta-sigma as native DSD or DoP.
#pragma once

#include <cstdint>

#include "music_file.h"
#include "parse_param.h"
#include "pcm_output.h"

// "hw:N,D" of the last card that plays, on its first playback device;
// false (device_name untouched) when no card plays.
bool find_last_card(char (&device_name)[kDeviceNameBytes]);

// find_last_card for --wait-device: waits until a card plays, then names
// it by its id ("hw:CARD=<id>,DEV=<n>"), which stays its own when it comes
// back under another number. An interrupt or quit while waiting ends the
// program with status 0; the wait reads and tells the control channel, when
// there is one.
void wait_for_last_card(char (&device_name)[kDeviceNameBytes], control_session* channel);

// The stream the first file calls for: PCM at its rate (352.8 kHz when
// oversampled), or delta-sigma at a 16th of the DSD bit rate (DoP; native
// DSD halves it again). A DSD rate above what DoP carries is fatal.
output_stream lumen_output_stream(const music_file& first, const char* device_name, bool oversample);

// Opens and configures the device once for the stream, closes it and
// announces the stream on standard error. Every failure is fatal.
void probe_output(output_stream& stream);
