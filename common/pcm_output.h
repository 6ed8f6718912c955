// The output side both players share: opening the device with retries, its
// hardware and software parameters from a small description of the stream
// (or only its mode, for a device that must leave one),
// the silence lead-in, the writer that hands ring-buffer frames to the
// device, the output thread's loop, the play-out at the end and the reason
// playback stopped. What differs between the players (how the format is
// chosen, what silence sounds like, what follows the close) comes in with
// the description.
#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "music_file.h"
#include "output_replay.h"
#include "ringbuffer.h"

struct pcm_closer {
  void operator()(snd_pcm_t* pcm) const noexcept { snd_pcm_close(pcm); }
};
using pcm_handle = std::unique_ptr<snd_pcm_t, pcm_closer>;

struct output_stream;
struct control_session;

// Sets the stream's format on the device's configuration space (and may
// change the rate with it); 0, or a negative ALSA error after a report.
using format_chooser = int (*)(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, output_stream& stream);

// What the output side needs to know of a stream, and what the device made
// of it once opened.
struct output_stream {
  const char* device_name = nullptr;
  // The file whose rate the stream takes, named in the device's refusals of
  // that rate; null when the rate is the player's own (brisa).
  const char* file_name = nullptr;
  int32_t rate = 0;             // frames per second
  int32_t format = 0;           // an snd_pcm_format_t; choose_format may change it
  int32_t frame_bytes = 0;      // two channels of the format's physical width, once opened
  int32_t lead_in_seconds = 0;  // silence before the music
  format_chooser choose_format = nullptr;
  // The lead-in's silence in the opened format: whole periods of two frames,
  // so DoP markers alternate across the repeats. Empty when there is none.
  std::vector<uint8_t> (*make_silence)(const output_stream& stream) = nullptr;
  // brisa retries a device that refuses the stream (a DAC still switching
  // modes); lumen gives up at once.
  bool retry_configuration = false;
  // Run after the device is closed (brisa returns the DAC to a PCM mode).
  void (*after_close)(const output_stream& stream) = nullptr;
  // A device that is not there is waited for, at the start and when it is
  // lost while playing; else the start tries it a few times and a lost
  // device stops playback.
  bool wait_device = false;
  // The control channel (--control) a wait on the main thread reads and
  // tells; null without one.
  control_session* channel = nullptr;
};

constexpr int32_t kOpenAttempts = 5;
constexpr unsigned kOpenRetrySeconds = 2;
// A short device buffer in several periods, so that what the listener asks
// (pause, a jump, the volume, quit) is heard within a tenth of a second; the
// ring buffer behind it holds the reserve against the process being held up.
// The writer sleeps in the device's poll and wakes when a period is free.
constexpr unsigned kBufferTimeMicros = 80000;
constexpr unsigned kBufferPeriods = 4;
// The longest the writer waits on the device before it looks at the
// listener's requests again.
constexpr int kWriterWaitMillis = 5;

// "1st ", "2nd ", "3rd ", "4th ", ... for open attempt 0, 1, 2, ...
const char* attempt_ordinal(int32_t attempt, char (&text)[16]);

// Whether each failed open is reported on the terminal.
enum class open_retry_lines : uint8_t { shown, quiet };

// Opens device_name non-blocking for playback: up to kOpenAttempts attempts
// kOpenRetrySeconds apart, an interrupt ending them; each failure reported
// (when shown) on one line that the next overwrites. Null when the device
// could not be opened; *open_error then holds the last error.
pcm_handle open_playback_device(const char* device_name, int* open_error,
                                open_retry_lines lines = open_retry_lines::shown);

// The lead-in in frames at the stream's rate: an even count, so the music
// starts on the first DoP marker.
constexpr int32_t lead_in_frames(const output_stream& stream) noexcept {
  return (stream.lead_in_seconds * stream.rate + 1) & ~1;
}

// Opens the device and configures it for the stream: two interleaved
// channels, the format, the rate, kBufferTimeMicros of buffer in
// kBufferPeriods periods, started at half full, the poll waking the writer
// once a period is free; then prepared. Sets stream.frame_bytes. A configuration that fails
// is reported and, with retry_configuration, tried again on a fresh open.
// Null when it never succeeded. With wait_device a device that is missing
// is waited for first (an interrupt then ends the program with status 0).
pcm_handle open_output(output_stream& stream);

// Opens the device again for a stream settled before, in exactly its format
// and rate (no fallback): a DAC that comes back must take the stream as it
// was. Null when it does not open (*open_error set) or refuses the stream
// (after a report; *open_error 0).
pcm_handle reopen_output(const output_stream& stream, int* open_error);

// Sets on an opened device only what selects its mode, as open_output does
// for the stream: two channels, the format the stream's chooser settles (it
// may set the rate too), the stream's rate; then applies them. No access,
// buffer or software parameters. For a device that must be taken out of the
// mode a stream left it in (brisa's DAC back to PCM). 0, or an ALSA error
// after a report.
int configure_device_mode(snd_pcm_t* pcm, output_stream& stream);

// Why a device in this state takes no more frames ("underrun", ...), or null
// when it still plays.
const char* stopped_state_reason(snd_pcm_state_t state);
// Why a write or avail that returned err stopped the device, or null when
// err is no device condition.
const char* device_error_reason(snd_pcm_sframes_t err);

// Writes the next part of a run of silence that ends at frame `until`: up
// to room frames, at most the buffer holds, continuing the pattern at the
// parity of *frames_written, so DoP markers keep alternating. silence holds
// whole pattern periods of two frames. Returns frames written, or a
// negative ALSA error; *frames_written reaches until exactly.
snd_pcm_sframes_t write_silence(snd_pcm_t* pcm, std::span<const uint8_t> silence, int32_t frame_bytes,
                                snd_pcm_sframes_t room, int32_t until, int32_t* frames_written);

// frames x 352800 / rate, in 1/352800 s, whatever the stream rate, without
// losing the remainder from one run of frames to the next.
struct played_counter {
  int32_t rate;           // frames per second of the stream
  int64_t remainder = 0;  // of frames x 352800 / rate, carried to the next run
};
int64_t played_units(played_counter& counter, int64_t frames);

// Hands up to room frames from the ring buffer to the device (one contiguous
// run, no copy) and consumes them. Returns frames written (0 when nothing is
// queued), or a negative ALSA error; *crossed is then the index of the last
// file whose first frame went out with them, or -1. With kept, the frames
// written are kept there too, before the producer may reuse their room.
snd_pcm_sframes_t write_from_ring(snd_pcm_t* pcm, ringbuffer* rb, int32_t frame_bytes, snd_pcm_sframes_t room,
                                  int32_t* crossed, output_replay* kept = nullptr);

// Frames a write waits for: 1024, or a quarter of a smaller buffer (a low
// rate, or a device that grants a short buffer), so that a full
// buffer always leaves room for one.
constexpr snd_pcm_sframes_t kMinWriteFrames = 1024;
constexpr snd_pcm_sframes_t write_threshold_frames(snd_pcm_uframes_t buffer_frames) noexcept {
  const auto quarter = static_cast<snd_pcm_sframes_t>(buffer_frames / 4);
  return quarter < kMinWriteFrames ? (quarter > 1 ? quarter : 1) : kMinWriteFrames;
}

// How long a writer sleeps when the device has no room for a write: the
// time the device takes to play half of the frames a write waits for, so
// this never starves it.
constexpr unsigned device_idle_micros(int32_t rate, snd_pcm_sframes_t min_write) noexcept {
  return rate > 0 && min_write > 0 ? static_cast<unsigned>(min_write * 500000LL / rate) : 1000;
}
static_assert(device_idle_micros(44100, write_threshold_frames(22050)) == 11609);
static_assert(write_threshold_frames(1000) == 250 && write_threshold_frames(0) == 1);

// Lets the device play what it holds before it is closed, waiting at most
// twice the buffer time and a second.
void play_out(snd_pcm_t* pcm, int64_t buffer_time_micros);

// What the listener asks of the output while it plays: set by the main
// thread's keys, obeyed by the output thread.
struct playback_control {
  // The device gets the stream's silence instead of music.
  std::atomic<bool> paused{false};
  // Set by the main thread, which then writes nothing until the output
  // thread has dropped everything queued and cleared it.
  std::atomic<bool> drop_queued{false};
  // Jumps (skips and seeks) asked for, counted by the main thread before it
  // asks for the drop; the count of the last one heard, set by the output
  // thread once the device plays the jump's first frame.
  std::atomic<int32_t> jumps_asked{0};
  std::atomic<int32_t> jumps_heard{0};
  // Counted up by the output thread when it begins to wait for a lost
  // device and again when the wait is over: odd while it waits.
  std::atomic<int32_t> device_waits{0};
  // Where the music handed to the device ended when the queue was dropped:
  // the file (-1: none yet) and the position in it in 1/352800 s. Set by
  // the output thread before it clears drop_queued.
  std::atomic<int32_t> handed_index{-1};
  std::atomic<int64_t> handed_units{0};
  // The frames the drop took out of the ring buffer: the player's frame
  // count (DoP markers) goes on from the last frame handed over.
  std::atomic<int32_t> frames_dropped{0};
  // After an interrupt: set by the main thread once the music's fade-out is
  // queued and the ring buffer finished; the output thread plays it before
  // the stream's closing silence.
  std::atomic<bool> ending_faded{false};
};

// The output thread's record: what it plays, and why it stopped.
struct output_job {
  output_stream* stream;
  ringbuffer* rb;
  music_file* files;                  // the play list, by index
  std::atomic<music_file*>* playing;  // the file heard now
  playback_control* control;
  // Why the device stopped taking frames mid-stream ("underrun", "device
  // disconnected", ...), or null; read by main after the join.
  const char* stop_reason = nullptr;
  // Set (0 to -1, once) by the output thread when it stops taking frames:
  // the stream is out, or the device stopped. The main thread reads it.
  std::atomic<int32_t> stop{0};
};

// The output thread (its argument is an output_job): opens the device, plays
// the lead-in, then the ring buffer until it is drained or the job is
// stopped, pausing and dropping as the control asks; after an interrupt, a
// short silence instead of what was queued. An underrun is ridden over (the
// device prepared again, the lead-in's silence bridging the gap) unless it
// is the third within 10 s. The tail plays out on a normal end. An output
// that cannot be opened again is fatal. With the stream's wait_device a
// device that is lost is closed and waited for; once back it gets the
// lead-in again and then the frames from the one being heard when it went.
void* output_thread(void* job);
