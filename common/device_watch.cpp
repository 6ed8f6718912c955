#include "device_watch.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "util.h"

namespace {

// How soon an interrupt ends a sleep.
constexpr int64_t kSleepStepMicros = 10000;

}  // namespace

int64_t monotonic_micros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000;
}

bool device_stalled(device_watch& watch, snd_pcm_state_t state, snd_pcm_sframes_t held, int64_t frames_out) {
  const int64_t now = monotonic_micros();
  // Stopped states are the writer's to report.
  if (state != SND_PCM_STATE_RUNNING || held <= 0) {
    watch = {};
    return false;
  }
  const int64_t played = frames_out - held;
  if (played != watch.played) {
    watch.played = played;
    watch.moved_at_micros = now;
    return false;
  }
  return now - watch.moved_at_micros >= kStallMicros;
}

bool sleep_unless_interrupted(int64_t micros) {
  for (int64_t left = micros; left > 0; left -= kSleepStepMicros) {
    if (abort_requested.load()) return false;
    usleep(static_cast<useconds_t>(std::min(left, kSleepStepMicros)));
  }
  return !abort_requested.load();
}
