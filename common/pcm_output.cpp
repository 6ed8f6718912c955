#include "pcm_output.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "util.h"

namespace {

constexpr int64_t kPlayedUnitsPerSecond = 352800;
constexpr unsigned kDrainPollMicros = 1000;

}  // namespace

const char* playback_stop_reason = nullptr;

int32_t stop_playback(const char* reason) {
  if (playback_stop_reason == nullptr) playback_stop_reason = reason;
  output_stop.store(-1);
  return 0;
}

const char* attempt_ordinal(int32_t attempt, char (&text)[16]) {
  static constexpr const char* kFirstThree[] = {"1st ", "2nd ", "3rd "};
  if (attempt >= 0 && attempt < 3) return kFirstThree[attempt];
  snprintf(text, sizeof text, "%dth ", attempt + 1);
  return text;
}

const char* stopped_state_reason(snd_pcm_state_t state) {
  switch (state) {
    case SND_PCM_STATE_XRUN: return "underrun";
    case SND_PCM_STATE_SUSPENDED: return "device suspended";
    case SND_PCM_STATE_DISCONNECTED: return "device disconnected";
    default: return nullptr;
  }
}

const char* device_error_reason(snd_pcm_sframes_t err) {
  switch (err) {
    case -EPIPE: return "underrun";
    case -ESTRPIPE: return "device suspended";
    case -ENODEV: return "device disconnected";
    default: return nullptr;
  }
}

snd_pcm_sframes_t write_silence(snd_pcm_t* pcm, std::span<const uint8_t> silence, int32_t frame_bytes,
                                snd_pcm_sframes_t room, int32_t lead_in, int32_t* frames_written) {
  const auto held = static_cast<snd_pcm_sframes_t>(silence.size() / static_cast<size_t>(frame_bytes));
  snd_pcm_sframes_t frames = std::min({room, held, snd_pcm_sframes_t{lead_in - *frames_written}});
  if (*frames_written % 2 == 0) frames &= ~snd_pcm_sframes_t{1};
  size_t offset = 0;
  if (*frames_written % 2 != 0) {  // resume on the second frame of the pattern
    offset = static_cast<size_t>(frame_bytes);
    frames = std::min(frames, held - 1);
  }
  if (frames <= 0) return 0;
  const snd_pcm_sframes_t written = snd_pcm_writei(pcm, silence.data() + offset, static_cast<snd_pcm_uframes_t>(frames));
  if (written > 0) *frames_written += static_cast<int32_t>(written);
  return written;
}

snd_pcm_sframes_t write_from_ring(snd_pcm_t* pcm, ringbuffer* rb, int32_t frame_bytes, snd_pcm_sframes_t room,
                                  std::atomic<music_file*>& playing, played_counter& counter) {
  const int32_t queued = ringbuffer_used(rb) / frame_bytes;
  const auto frames = std::min<snd_pcm_sframes_t>({ringbuffer_readable_span(rb) / frame_bytes, queued, room});
  if (frames <= 0) return 0;
  const snd_pcm_sframes_t written = snd_pcm_writei(pcm, rb->data + rb->read_pos.load(std::memory_order_relaxed),
                                                   static_cast<snd_pcm_uframes_t>(frames));
  if (written <= 0) return written;

  const int32_t crossed = ringbuffer_consume(rb, static_cast<int32_t>(written) * frame_bytes);
  music_file* file = playing.load(std::memory_order_relaxed);
  if (crossed >= 0 && file->index >= 0 && crossed > file->index) {
    file = ringbuffer_follow_mark(file, crossed);
    playing.store(file, std::memory_order_release);
  }
  // frames x 352800 / rate, without losing the remainder from write to write.
  const int64_t units = written * kPlayedUnitsPerSecond + counter.remainder;
  counter.remainder = units % counter.rate;
  std::atomic_ref<int64_t>(file->played_count).fetch_add(units / counter.rate, std::memory_order_relaxed);
  return written;
}

void play_out(snd_pcm_t* pcm, int64_t buffer_time_micros) {
  if (snd_pcm_drain(pcm) == 0) return;  // a blocking handle has drained already
  const int64_t limit = 2 * buffer_time_micros + 1000000;
  for (int64_t waited = 0; snd_pcm_state(pcm) == SND_PCM_STATE_DRAINING && waited < limit;
       waited += kDrainPollMicros) {
    usleep(kDrainPollMicros);
  }
}
