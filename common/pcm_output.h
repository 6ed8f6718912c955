// What both players' output threads do alike with an ALSA PCM handle: the
// handle's owner, the silence lead-in, handing ring-buffer frames to the
// device, and letting the device play out at the end. Errors are returned,
// not reported: each player reports them under its own module name.
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "music_file.h"
#include "ringbuffer.h"

struct pcm_closer {
  void operator()(snd_pcm_t* pcm) const noexcept { snd_pcm_close(pcm); }
};
using pcm_handle = std::unique_ptr<snd_pcm_t, pcm_closer>;

// "1st ", "2nd ", "3rd ", "4th ", ... for open attempt 0, 1, 2, ...
const char* attempt_ordinal(int32_t attempt, char (&text)[16]);

// Why the device stopped taking frames mid-stream ("underrun", "device
// disconnected", ...), or null: the output thread sets it, main reports it
// after the join unless the user interrupted.
extern const char* playback_stop_reason;
// Ends playback for that reason: keeps the first reason, sets output_stop.
// Returns 0 (nothing written), for the writers' convenience.
int32_t stop_playback(const char* reason);

// Why a device in this state takes no more frames ("underrun", ...), or null
// when it still plays.
const char* stopped_state_reason(snd_pcm_state_t state);
// Why a write or avail that returned err stopped the device, or null when
// err is no device condition (the caller reports it as an error).
const char* device_error_reason(snd_pcm_sframes_t err);

// Writes the next run of a silence lead-in of lead_in frames (even): up to
// room frames, at most the buffer holds, continuing the pattern where the
// previous run stopped, so DoP markers keep alternating. silence holds whole
// pattern periods of two frames. Returns frames written, or a negative ALSA
// error; *frames_written reaches lead_in exactly.
snd_pcm_sframes_t write_silence(snd_pcm_t* pcm, std::span<const uint8_t> silence, int32_t frame_bytes,
                                snd_pcm_sframes_t room, int32_t lead_in, int32_t* frames_written);

// Progress of the file being heard, in 1/352800 s, whatever the stream rate.
struct played_counter {
  int32_t rate;            // frames per second of the stream
  int64_t remainder = 0;   // of frames x 352800 / rate, carried to the next write
};

// Hands up to room frames from the ring buffer to the device (one contiguous
// run, no copy), consumes them, moves `playing` along the play list when a
// file mark is crossed and advances its played_count. Returns frames
// written (0 when nothing is queued), or a negative ALSA error.
snd_pcm_sframes_t write_from_ring(snd_pcm_t* pcm, ringbuffer* rb, int32_t frame_bytes, snd_pcm_sframes_t room,
                                  std::atomic<music_file*>& playing, played_counter& counter);

// How long a writer sleeps when the device has no room for a write: the
// time the device takes to play half of the 1024 frames a write waits for.
// Its buffer holds half a second, so this never starves it.
constexpr unsigned device_idle_micros(int32_t rate) noexcept {
  return rate > 0 ? static_cast<unsigned>(512000000LL / rate) : 1000;
}

// Lets the device play what it holds before it is closed, waiting at most
// twice the buffer time and a second.
void play_out(snd_pcm_t* pcm, int64_t buffer_time_micros);
