// Waiting on the sound device without hanging: a watch that tells when the
// device has stopped playing what it holds, and sleeps that end at once on
// an interrupt.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>

// A device that holds frames and has played none of them for this long has
// stalled: a DAC that stopped taking data never recovers by itself.
constexpr int64_t kStallMicros = 2000000;

// What the watch saw of the device's position (frames played since it was
// opened) and when that last moved.
struct device_watch {
  int64_t played = -1;
  int64_t moved_at_micros = 0;
};

// True once the device has held frames without playing any for
// kStallMicros. frames_out counts every frame handed to the device, held
// those it has not played yet (its delay); a device that is not running,
// or holds nothing, is never stalled.
bool device_stalled(device_watch& watch, snd_pcm_state_t state, snd_pcm_sframes_t held, int64_t frames_out);

// Sleeps micros in short steps; false (at once) when an interrupt came
// first or comes meanwhile.
bool sleep_unless_interrupted(int64_t micros);

// The monotonic clock in microseconds.
int64_t monotonic_micros();
