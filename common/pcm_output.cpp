#include "pcm_output.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <utility>

#include "device_wait.h"
#include "device_watch.h"
#include "heard_position.h"
#include "printable.h"
#include "stream_constants.h"
#include "util.h"

namespace {

// "<file>: " before a refusal of the stream's rate when a file sets it.
std::string named_file(const output_stream& stream) {
  return stream.file_name == nullptr ? std::string() : printable(stream.file_name) + ": ";
}

constexpr unsigned kDrainPollMicros = 1000;
// After an interrupt the stream ends in this much of its own silence, so
// the DAC sees a clean end rather than music cut off.
constexpr int32_t kEndSilenceDivisor = 10;  // a tenth of a second
// How long the writer waits for the music's fade-out after an interrupt:
// well within what the device still holds.
constexpr int64_t kEndFadeWaitMicros = 30000;
// Playback rides over an underrun (the process held up, the device
// suspended); a third within this window is a device that keeps failing.
constexpr int32_t kUnderrunsRiddenOver = 2;
constexpr int64_t kUnderrunWindowMicros = 10000000;

// The whole configuration space of the device; 0, or an error after a report.
int any_configuration(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw) {
  const int err = snd_pcm_hw_params_any(pcm, hw);
  if (err < 0) {
    report_warning("Broken configuration for playback: no configurations available: %s\n", snd_strerror(err));
  }
  return err;
}

// What puts the device in the stream's mode: two channels, the format, the
// rate. 0, or an error after a report.
int set_stream_mode(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, output_stream& stream) {
  int err = snd_pcm_hw_params_set_channels(pcm, hw, 2);
  if (err < 0) {
    report_warning("Channels count (%d) not available for playbacks: %s\n", 2, snd_strerror(err));
    return err;
  }
  if ((err = stream.choose_format(pcm, hw, stream)) < 0) return err;
  unsigned rate_limit = 0;
  if ((err = snd_pcm_hw_params_get_rate_min(hw, &rate_limit, nullptr)) < 0) {
    report_warning("snd_pcm_hw_params_get_rate_min() failed. %s\n", snd_strerror(err));
    return err;
  }
  if (rate_limit > static_cast<unsigned>(stream.rate)) {
    report_warning("%sThis hardware supports minimum rate %dHz not %dHz\n", named_file(stream).c_str(),
                   static_cast<int>(rate_limit), stream.rate);
    return -EINVAL;
  }
  if ((err = snd_pcm_hw_params_get_rate_max(hw, &rate_limit, nullptr)) < 0) {
    report_warning("snd_pcm_hw_params_get_rate_max() failed. %s\n", snd_strerror(err));
    return err;
  }
  if (rate_limit < static_cast<unsigned>(stream.rate)) {
    report_warning("%sThis hardware maximum rate %dHz, do not support %dHz\n", named_file(stream).c_str(),
                   static_cast<int>(rate_limit), stream.rate);
    return -EINVAL;
  }
  if ((err = snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(stream.rate), 0)) < 0) {
    report_warning("%sRate %dHz not available for playback: %s\n", named_file(stream).c_str(), stream.rate,
                   snd_strerror(err));
    return err;
  }
  return 0;
}

int configure_hardware(snd_pcm_t* pcm, output_stream& stream, snd_pcm_uframes_t* buffer_frames) {
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  int err = any_configuration(pcm, hw);
  if (err < 0) return err;
  if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
    report_warning("Access type not available for playback: %s\n", snd_strerror(err));
    return err;
  }
  if ((err = set_stream_mode(pcm, hw, stream)) < 0) return err;
  unsigned buffer_time = kBufferTimeMicros;
  if ((err = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_time, nullptr)) < 0) {
    report_warning("Unable to set buffer time %d for playback: %s\n", static_cast<int>(buffer_time), snd_strerror(err));
    return err;
  }
  // Several periods, so that the device wakes the writer well before it runs dry.
  unsigned periods = kBufferPeriods;
  if ((err = snd_pcm_hw_params_set_periods_near(pcm, hw, &periods, nullptr)) < 0) {
    report_warning("Unable to set %u periods for playback: %s\n", periods, snd_strerror(err));
    return err;
  }
  if ((err = snd_pcm_hw_params_get_buffer_size(hw, buffer_frames)) < 0) {
    report_warning("Unable to get buffer size for playback: %s\n", snd_strerror(err));
    return err;
  }
  if ((err = snd_pcm_hw_params(pcm, hw)) < 0) {
    report_warning("Unable to set hw params for playback: %s\n", snd_strerror(err));
    return err;
  }
  stream.frame_bytes = 2 * snd_pcm_format_physical_width(static_cast<snd_pcm_format_t>(stream.format)) / 8;
  return 0;
}

// The write threshold for the buffer the device granted.
snd_pcm_sframes_t write_threshold(snd_pcm_t* pcm) {
  snd_pcm_uframes_t buffer_frames = 0;
  snd_pcm_uframes_t period_frames = 0;
  if (snd_pcm_get_params(pcm, &buffer_frames, &period_frames) < 0) return kMinWriteFrames;
  return write_threshold_frames(buffer_frames);
}

int configure_software(snd_pcm_t* pcm, snd_pcm_uframes_t buffer_frames) {
  snd_pcm_sw_params_t* sw = nullptr;
  snd_pcm_sw_params_alloca(&sw);
  int err = snd_pcm_sw_params_current(pcm, sw);
  if (err < 0) {
    report_warning("Unable to determine current swparams for playback: %s\n", snd_strerror(err));
    return err;
  }
  if ((err = snd_pcm_sw_params_set_start_threshold(pcm, sw, buffer_frames / 2)) < 0) {
    report_warning("Unable to set start threshold mode for playback: %s\n", snd_strerror(err));
    return err;
  }
  // The poll wakes the writer once a period is free.
  snd_pcm_uframes_t granted_buffer = 0, period_frames = 0;
  if (snd_pcm_get_params(pcm, &granted_buffer, &period_frames) < 0 || period_frames == 0) period_frames = buffer_frames;
  if ((err = snd_pcm_sw_params_set_avail_min(pcm, sw, period_frames)) < 0) {
    report_warning("Unable to set avail min for playback: %s\n", snd_strerror(err));
    return err;
  }
  if ((err = snd_pcm_sw_params(pcm, sw)) < 0) {
    report_warning("Unable to set sw params for playback: %s\n", snd_strerror(err));
    return err;
  }
  return 0;
}

}  // namespace

const char* attempt_ordinal(int32_t attempt, char (&text)[16]) {
  static constexpr const char* kFirstThree[] = {"1st ", "2nd ", "3rd "};
  if (attempt >= 0 && attempt < 3) return kFirstThree[attempt];
  snprintf(text, sizeof text, "%dth ", attempt + 1);
  return text;
}

pcm_handle open_playback_device(const char* device_name, int* open_error, open_retry_lines lines) {
  const bool shown = lines == open_retry_lines::shown;
  for (int32_t attempt = 0; attempt < kOpenAttempts; ++attempt) {
    snd_pcm_t* raw = nullptr;
    const int err = snd_pcm_open(&raw, device_name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (err == 0) {
      if (shown && attempt > 0) fputs("\n", stderr);
      return pcm_handle(raw);
    }
    *open_error = err;
    if (shown) {
      char ordinal[16];
      fprintf(stderr, "%ssnd_pcm_open() failed. retrying snd_pcm_open() ...\r", attempt_ordinal(attempt, ordinal));
      fflush(stderr);
    }
    if (!sleep_unless_interrupted(kOpenRetrySeconds * 1000000LL)) break;
  }
  if (shown) fputs("\n", stderr);
  return nullptr;
}

int configure_device_mode(snd_pcm_t* pcm, output_stream& stream) {
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  int err = any_configuration(pcm, hw);
  if (err < 0 || (err = set_stream_mode(pcm, hw, stream)) < 0) return err;
  if ((err = snd_pcm_hw_params(pcm, hw)) < 0) {
    report_warning("Unable to reset hw params for playback: %s\n", snd_strerror(err));
  }
  return err;
}

pcm_handle open_output(output_stream& stream) {
  // A stop asked for while waiting is the listener's, not a failure.
  if (stream.wait_device && device_wait_until_openable(stream.device_name, stream.device_name, stream.channel) == 1)
    device_wait_given_up(stream.channel);
  const int32_t attempts = stream.retry_configuration ? kOpenAttempts : 1;
  for (int32_t attempt = 0; attempt < attempts; ++attempt) {
    int open_error = 0;
    pcm_handle pcm = open_playback_device(stream.device_name, &open_error);
    if (!pcm && abort_requested.load()) fatal_error("exit by interrupt\n");
    if (!pcm)
      fatal_error("snd_pcm_open() failed on %s. %s\n\n", printable(stream.device_name).c_str(),
                  snd_strerror(open_error));
    snd_pcm_uframes_t buffer_frames = 0;
    if (configure_hardware(pcm.get(), stream, &buffer_frames) < 0 || configure_software(pcm.get(), buffer_frames) < 0) {
      if (attempt + 1 < attempts && !sleep_unless_interrupted(kOpenRetrySeconds * 1000000LL)) {
        fatal_error("exit by interrupt\n");
      }
      continue;
    }
    if (const int err = snd_pcm_prepare(pcm.get()); err < 0)
      fatal_error("snd_pcm_prepare() failed. %s\n", snd_strerror(err));
    return pcm;
  }
  fatal_error("output device %s could not be opened and configured.\n", printable(stream.device_name).c_str());
}

namespace {

// The stream's format and nothing else, reported when refused.
int keep_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, output_stream& stream) {
  const int err = snd_pcm_hw_params_set_format(pcm, hw, static_cast<snd_pcm_format_t>(stream.format));
  if (err < 0) {
    report_warning("%s does not take %s now: %s\n", printable(stream.device_name).c_str(),
                   snd_pcm_format_name(static_cast<snd_pcm_format_t>(stream.format)), snd_strerror(err));
  }
  return err;
}

}  // namespace

pcm_handle reopen_output(const output_stream& stream, int* open_error) {
  snd_pcm_t* raw = nullptr;
  if ((*open_error = snd_pcm_open(&raw, stream.device_name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK)) < 0)
    return nullptr;
  pcm_handle pcm(raw);
  output_stream again = stream;
  again.choose_format = keep_format;
  snd_pcm_uframes_t buffer_frames = 0;
  if (configure_hardware(pcm.get(), again, &buffer_frames) < 0 || configure_software(pcm.get(), buffer_frames) < 0)
    return nullptr;
  if (const int err = snd_pcm_prepare(pcm.get()); err < 0) {
    report_warning("snd_pcm_prepare() failed. %s\n", snd_strerror(err));
    return nullptr;
  }
  return pcm;
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
                                snd_pcm_sframes_t room, int32_t until, int32_t* frames_written) {
  const auto held = static_cast<snd_pcm_sframes_t>(silence.size() / static_cast<size_t>(frame_bytes));
  snd_pcm_sframes_t frames = std::min({room, held, snd_pcm_sframes_t{until - *frames_written}});
  size_t offset = 0;
  if (*frames_written % 2 != 0) {  // resume on the second frame of the pattern
    offset = static_cast<size_t>(frame_bytes);
    frames = std::min(frames, held - 1);
  }
  if (frames <= 0) return 0;
  const snd_pcm_sframes_t written =
      snd_pcm_writei(pcm, silence.data() + offset, static_cast<snd_pcm_uframes_t>(frames));
  if (written > 0) *frames_written += static_cast<int32_t>(written);
  return written;
}

int64_t played_units(played_counter& counter, int64_t frames) {
  const int64_t units = frames * kOversampledRate + counter.remainder;
  counter.remainder = units % counter.rate;
  return units / counter.rate;
}

snd_pcm_sframes_t write_from_ring(snd_pcm_t* pcm, ringbuffer* rb, int32_t frame_bytes, snd_pcm_sframes_t room,
                                  int32_t* crossed, output_replay* kept) {
  *crossed = -1;
  const int32_t queued = ringbuffer_used(rb) / frame_bytes;
  const std::span<const uint8_t> area = ringbuffer_read_area(rb);
  // A write ends at the next file's mark: its frames are all one file's.
  const int32_t before_mark = ringbuffer_bytes_before_mark(rb);
  const int32_t readable =
      before_mark > 0 ? std::min(before_mark, static_cast<int32_t>(area.size())) : static_cast<int32_t>(area.size());
  const auto frames = std::min<snd_pcm_sframes_t>({readable / frame_bytes, queued, room});
  if (frames <= 0) return 0;
  const snd_pcm_sframes_t written = snd_pcm_writei(pcm, area.data(), static_cast<snd_pcm_uframes_t>(frames));
  if (written > 0 && kept != nullptr) replay_keep(*kept, area.data(), written);
  if (written > 0) *crossed = ringbuffer_consume(rb, static_cast<int32_t>(written) * frame_bytes);
  return written;
}

void play_out(snd_pcm_t* pcm, int64_t buffer_time_micros) {
  if (snd_pcm_drain(pcm) == 0) return;  // a blocking handle has drained already
  const int64_t limit = 2 * buffer_time_micros + 1000000;
  // An interrupt that comes while it drains ends the wait.
  const bool interrupted = abort_requested.load();
  for (int64_t waited = 0;
       snd_pcm_state(pcm) == SND_PCM_STATE_DRAINING && waited < limit && abort_requested.load() == interrupted;
       waited += kDrainPollMicros) {
    usleep(kDrainPollMicros);
  }
}

namespace {

// A run of the stream's silence: the lead-in, a pause, or the end after an
// interrupt. Both frame counts keep the parity of the whole stream, so the
// silence's DoP markers carry on the alternation of what came before.
struct silence_run {
  int32_t written = 0;
  int32_t until = 0;
  bool done() const { return written >= until; }
};

// The output thread's working state.
struct writer {
  output_job& job;
  pcm_handle pcm;
  std::vector<uint8_t> silence{};
  silence_run lead_in{};
  silence_run ending{};  // set by end_early
  silence_run bridge{};  // after an underrun, before the music goes on
  // When the last underruns ridden over were, oldest first.
  std::array<int64_t, kUnderrunsRiddenOver> underrun_at{};
  int32_t underruns = 0;
  int64_t frames_out = 0;    // every frame handed to the device
  int64_t music_frames = 0;  // of them, frames from the ring buffer
  played_counter played;
  music_file* handing = nullptr;  // whose frames go to the device now
  int64_t handed_units = 0;       // its position after the last of them
  bool handed_music = false;      // any of the ring buffer's music went to the device
  // The jump whose first frames the next mark crossed begins (a stream's
  // first mark may begin one too), or 0.
  int32_t awaited_jump = 0;
  heard_position heard{};
  device_watch watch{};
  snd_pcm_sframes_t min_write;  // frames a write waits for, from the buffer granted
  // With wait_device: the frames last handed over, the frame the device
  // played when last asked, and after a loss the frames it is given again
  // once it is back (the bytes already written of them counted in again_at).
  output_replay replay{};
  int64_t heard_frame = 0;
  std::vector<uint8_t> again{};
  size_t again_at = 0;
  dac_identity identity{};

  // Ends playback for that reason: keeps the first reason, stops the job.
  // Returns false (nothing written), for the steps' convenience.
  bool stop(const char* reason) {
    if (job.stop_reason == nullptr) job.stop_reason = reason;
    job.stop.store(-1);
    return false;
  }

  // The device's answer to a write or avail that failed: wait and retry, or stop.
  bool failed(snd_pcm_sframes_t err, const char* call) {
    if (err == -EAGAIN) return false;
    if (err == -EPIPE || err == -ESTRPIPE) return recover(device_error_reason(err));
    if (job.stream->wait_device && (err == -ENODEV || err == -EIO)) return lost();
    if (const char* reason = device_error_reason(err)) return stop(reason);
    report_warning("%s returned %d\n", call, static_cast<int>(err));
    return stop("device error");
  }

  // One pass: true after writing music or silence, false when nothing was written.
  bool step() {
    snd_pcm_t* device = pcm.get();
    const output_stream& stream = *job.stream;
    const snd_pcm_state_t state = snd_pcm_state(device);
    if (state == SND_PCM_STATE_XRUN || state == SND_PCM_STATE_SUSPENDED) return recover(stopped_state_reason(state));
    if (state == SND_PCM_STATE_DISCONNECTED && stream.wait_device) return lost();
    if (const char* reason = stopped_state_reason(state)) return stop(reason);
    if (state == SND_PCM_STATE_DRAINING) {
      job.stop.store(-1);
      return false;
    }
    snd_pcm_sframes_t avail = 0, delay = 0;
    if (const int err = snd_pcm_avail_delay(device, &avail, &delay); err < 0)
      return failed(err, "snd_pcm_avail_delay()");
    follow_device(delay);
    const snd_pcm_sframes_t room = avail - 1;
    if (room <= min_write) {
      // Full before it reached its start threshold: start it.
      if (state == SND_PCM_STATE_PREPARED)
        start();
      else if (device_stalled(watch, state, delay, frames_out))
        return stop("device stalled");
      return false;
    }
    silence_run* run = !lead_in.done() ? &lead_in : ending_early() ? &ending : !bridge.done() ? &bridge : nullptr;
    if (run != nullptr) {
      // The pattern's second frame first when the run resumes on an odd frame.
      const uint8_t* from = silence.data() + (run->written % 2 != 0 ? stream.frame_bytes : 0);
      const snd_pcm_sframes_t written =
          write_silence(device, silence, stream.frame_bytes, room, run->until, &run->written);
      if (written < 0) return failed(written, "snd_pcm_writei()");
      keep(from, written);
      frames_out += written;
      return written > 0;
    }
    if (again_at < again.size()) return play_again(room);
    // Paused, or resuming after an odd count of silent frames: DoP markers
    // go on alternating across the pause.
    const bool paused = job.control->paused.load();
    silence_run pause{};
    if (paused || (frames_out - music_frames) % 2 != 0) {
      const auto parity = static_cast<int32_t>(frames_out % 2);
      pause = {parity, parity + static_cast<int32_t>(paused ? room : 1)};
      const uint8_t* from = silence.data() + (parity != 0 ? stream.frame_bytes : 0);
      const snd_pcm_sframes_t written =
          write_silence(device, silence, stream.frame_bytes, room, pause.until, &pause.written);
      if (written < 0) return failed(written, "snd_pcm_writei()");
      keep(from, written);
      frames_out += written;
      return written > 0;
    }
    int32_t crossed = -1;
    const snd_pcm_sframes_t written =
        write_from_ring(device, job.rb, stream.frame_bytes, room, &crossed, replay.bytes.empty() ? nullptr : &replay);
    if (written < 0) return failed(written, "snd_pcm_writei()");
    if (written > 0) note_music(written, crossed);
    if (written == 0 && ringbuffer_drained(job.rb)) job.stop.store(-1);  // the whole list is out
    return written > 0;
  }

  // The listener hears these frames once the device has played what it holds.
  void note_music(snd_pcm_sframes_t written, int32_t crossed) {
    handed_run run{frames_out, handing, played_units(played, written), crossed >= 0};
    if (crossed >= 0) {
      run.file = handing = &job.files[crossed];
      run.start_units = handing->played_from;  // set before the mark was
      run.jump = std::exchange(awaited_jump, 0);
      handed_units = run.start_units;
    }
    handed_units += run.units;
    heard_note(heard, *job.playing, run);
    frames_out += written;
    music_frames += written;
    handed_music = true;
  }

  // Moves the play list's file and position to what the device plays now:
  // the frame delay frames before the next one written.
  void follow_device(snd_pcm_sframes_t delay) {
    heard_frame = frames_out - std::max<snd_pcm_sframes_t>(delay, 0);
    heard_advance(heard, *job.playing, heard_frame);
    tell_jump_heard();
  }

  // The main thread computes the next jump from the last one until it is heard.
  void tell_jump_heard() {
    if (heard.jump_heard != 0) job.control->jumps_heard.store(std::exchange(heard.jump_heard, 0));
  }

  // Frames just handed to the device, kept while a lost device may want them again.
  void keep(const uint8_t* frames, snd_pcm_sframes_t count) {
    if (!replay.bytes.empty() && count > 0) replay_keep(replay, frames, count);
  }

  // A skip: everything queued goes. The music made next carries on the
  // DoP markers from the last frame handed over (the player is told how
  // many went), so no silent frame comes between.
  void drop_queued() {
    const int32_t frames = ringbuffer_used(job.rb) / job.stream->frame_bytes;
    ringbuffer_consume(job.rb, frames * job.stream->frame_bytes);
    job.control->frames_dropped.store(frames);
    // The main thread marks the file it reads on with next.
    awaited_jump = job.control->jumps_asked.load();
    // The main thread may go on from where the device's music ends; none
    // yet (a jump in the lead-in) has nothing to fade out.
    job.control->handed_index.store(handing != nullptr && handed_music ? handing->index : -1);
    job.control->handed_units.store(handed_units);
    job.control->drop_queued.store(false);
  }

  // The device ran dry or was suspended: it is prepared again, the lead-in's
  // silence bridges the gap and the music goes on where the ring buffer is.
  // Returns false (nothing written); a device that keeps failing stops the job.
  bool recover(const char* reason) {
    const int64_t now = monotonic_micros();
    if (underruns == kUnderrunsRiddenOver && now - underrun_at[0] < kUnderrunWindowMicros) return stop(reason);
    if (const int err = snd_pcm_prepare(pcm.get()); err < 0) {
      if (job.stream->wait_device && err != -EBUSY) return lost();
      report_warning("snd_pcm_prepare() failed. %s\n", snd_strerror(err));
      return stop(reason);
    }
    if (underruns == kUnderrunsRiddenOver) std::shift_left(underrun_at.begin(), underrun_at.end(), 1);
    underruns = std::min(underruns + 1, kUnderrunsRiddenOver);
    underrun_at[static_cast<size_t>(underruns - 1)] = now;
    // The device played all it was given before it ran dry.
    follow_device(0);
    const int64_t seconds = seconds_heard();
    report_warning("underrun at %02" PRId64 ":%02" PRId64 ", recovered\n", seconds / 60 % 60, seconds % 60);
    const auto parity = static_cast<int32_t>(frames_out % 2);
    bridge = {parity, parity + lead_in_frames(*job.stream)};
    return false;
  }

  // The position heard in the file playing, in whole seconds.
  int64_t seconds_heard() const {
    music_file* heard_file = job.playing->load(std::memory_order_relaxed);
    const int64_t units =
        heard_file == nullptr ? 0 : std::atomic_ref<int64_t>(heard_file->played_count).load(std::memory_order_relaxed);
    return units / kOversampledRate;
  }

  // Keeps what the device is handed from now on, for a loss.
  void keep_for_loss() {
    snd_pcm_uframes_t buffer_frames = 0, period_frames = 0;
    snd_pcm_get_params(pcm.get(), &buffer_frames, &period_frames);
    // What the device holds, and what one more write adds before its delay is asked again.
    replay_reset(replay, job.stream->frame_bytes, 2 * static_cast<int64_t>(buffer_frames) + min_write, frames_out);
    identity = device_wait_identity(job.stream->device_name);
  }

  // Frames the lost device was given but had not played, before the ring buffer's.
  bool play_again(snd_pcm_sframes_t room) {
    const int32_t frame_bytes = job.stream->frame_bytes;
    const auto frames = std::min<snd_pcm_sframes_t>(
        room, static_cast<snd_pcm_sframes_t>((again.size() - again_at) / static_cast<size_t>(frame_bytes)));
    const uint8_t* from = again.data() + again_at;
    const snd_pcm_sframes_t written = snd_pcm_writei(pcm.get(), from, static_cast<snd_pcm_uframes_t>(frames));
    if (written < 0) return failed(written, "snd_pcm_writei()");
    keep(from, written);
    frames_out += written;
    music_frames += written;
    again_at += static_cast<size_t>(written) * static_cast<size_t>(frame_bytes);
    if (again_at >= again.size()) {
      again = {};
      again_at = 0;
    }
    return written > 0;
  }

  // The device is gone (unplugged, switched off): it is closed at once and
  // waited for. Once back it gets the lead-in, then what it had been given
  // from the frame being heard on, then the ring buffer. False (nothing
  // written); an interrupt while waiting stops the job.
  bool lost() {
    const int64_t from = std::max(heard_frame, replay_first_frame(replay));
    const int64_t unheard_lost = from - heard_frame;  // only when more was handed over than kept
    std::vector<uint8_t> frames = replay_copy_from(replay, from);
    frames.insert(frames.end(), again.begin() + static_cast<std::ptrdiff_t>(again_at), again.end());
    again = std::move(frames);
    again_at = 0;
    // The new device's lead-in is the bridge.
    lead_in.written = lead_in.until;
    pcm.reset();
    fprintf(stderr, "\nthe DAC is gone: waiting for it ...\n");
    fflush(stderr);
    job.control->device_waits.fetch_add(1);
    const bool back = wait_for_return();
    job.control->device_waits.fetch_add(1);
    if (!back) return stop(nullptr);
    // The lead-in ends where the frames given again begin on the parity
    // they had, so DoP markers go on alternating across the join.
    const int32_t lead = lead_in_frames(*job.stream);
    const int32_t pad = static_cast<int32_t>((frames_out + lead - from) & 1);
    const auto parity = static_cast<int32_t>(frames_out % 2);
    bridge = {parity, parity + lead + pad};
    // The pad frame keeps the silence's parity as the music expects it.
    music_frames += pad;
    heard_shift(heard, frames_out + lead + pad - from);
    heard_frame = frames_out;
    min_write = write_threshold(pcm.get());
    watch = {};
    keep_for_loss();
    const int64_t seconds = seconds_heard();
    fprintf(stderr, "the DAC is back: playing on from %02" PRId64 ":%02" PRId64, seconds / 60 % 60, seconds % 60);
    if (unheard_lost > 0)
      fprintf(stderr, " (%" PRId64 " ms it had not played are lost)", unheard_lost * 1000 / job.stream->rate);
    fputs("\n", stderr);
    fflush(stderr);
    return false;
  }

  // Polls for the lost device, unhurried and at the normal priority, until it
  // opens and takes the stream again. A device that opens but refuses the
  // stream (another DAC) is reported once and not tried again until it has
  // gone. False on an interrupt.
  bool wait_for_return() {
    const calm_priority calm;
    bool refused = false;
    for (int64_t interval = kWaitFirstPollMicros;;) {
      if (job.control->drop_queued.load()) {
        drop_queued();
        again = {};
        again_at = 0;
      }
      if (!identity.known() || device_wait_card_listed(identity)) {
        int open_error = 0;
        if (refused) {
          snd_pcm_t* raw = nullptr;
          open_error = snd_pcm_open(&raw, job.stream->device_name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
          if (open_error == 0) snd_pcm_close(raw);
        } else if ((pcm = reopen_output(*job.stream, &open_error))) {
          return true;
        } else if (open_error == 0) {
          fprintf(stderr, "the DAC that came back does not take the stream: waiting for it ...\n");
          fflush(stderr);
          refused = true;
        }
        if (refused && open_error != 0) refused = false;
      } else {
        refused = false;
      }
      if (!device_wait_pause(&interval)) return false;
    }
  }

  void start() {
    if (!pcm) return;
    const snd_pcm_state_t state = snd_pcm_state(pcm.get());
    if (state == SND_PCM_STATE_PREPARED) {
      if (const int err = snd_pcm_start(pcm.get()); err < 0)
        fatal_error("snd_pcm_start() error. %s\n", snd_strerror(err));
    } else if (state != SND_PCM_STATE_RUNNING && !job.stop.load()) {
      fatal_error("snd_pcm_state() returned %d. %s\n", static_cast<int>(state), snd_pcm_state_name(state));
    }
  }

  // No more music after an interrupt: what is queued stays unplayed, and
  // the stream's silence follows at once, from the marker the music reached.
  void end_early() {
    const auto parity = static_cast<int32_t>(frames_out % 2);
    const int32_t frames = std::max(job.stream->rate / kEndSilenceDivisor, 1);  // never none: until > 0
    ending = {parity, (parity + frames + 1) & ~1};
  }
  bool ending_early() const { return ending.until > 0; }

  // Played to the end of the list, or after an interrupt to the end of its silence.
  bool stream_ended() const { return ending_early() ? ending.done() : ringbuffer_drained(job.rb); }
};

}  // namespace

void* output_thread(void* argument) {
  raise_output_thread_priority();
  output_job& job = *static_cast<output_job*>(argument);
  output_stream& stream = *job.stream;
  pcm_handle pcm = open_output(stream);
  const snd_pcm_sframes_t min_write = write_threshold(pcm.get());
  writer w{.job = job,
           .pcm = std::move(pcm),
           .played = played_counter{stream.rate},
           .handing = job.playing->load(std::memory_order_relaxed),
           .handed_units = job.playing->load(std::memory_order_relaxed) != nullptr
                               ? job.playing->load(std::memory_order_relaxed)->played_from
                               : 0,
           // A jump to a file of its own stream is heard with the stream's first frames.
           .awaited_jump = job.control->jumps_asked.load(),
           .min_write = min_write};
  w.silence = stream.make_silence(stream);
  if (w.silence.empty()) fatal_error("no silence for format %d.\n", stream.format);
  w.lead_in.until = lead_in_frames(stream);
  if (stream.wait_device) w.keep_for_loss();

  while (!w.lead_in.done() && !job.stop.load() && w.step()) sched_yield();
  // A device lost during the lead-in starts by itself, once its bridge fills it.
  if (w.bridge.done()) w.start();
  // A stopped job ends it at once.
  int64_t interrupted_at = -1;
  while (!job.stop.load()) {
    if (job.control->drop_queued.load()) w.drop_queued();
    if (abort_requested.load() && !w.ending_early()) {
      // The main thread queues the music's fade-out; the stream's silence
      // follows it, or at once when the fade does not come in time.
      if (interrupted_at < 0) interrupted_at = monotonic_micros();
      // Paused, the music has faded out already and the ring buffer is not played: end at once.
      const bool paused = job.control->paused.load();
      const bool faded = job.control->ending_faded.load();
      if (paused || (faded ? ringbuffer_drained(job.rb) : monotonic_micros() - interrupted_at >= kEndFadeWaitMicros)) {
        w.end_early();
      } else if (!faded) {
        usleep(kDrainPollMicros);
        continue;
      }
    }
    if (w.stream_ended()) break;
    if (w.step()) {
      sched_yield();  // a zero sleep would wait out the timer slack after every write
    } else if (ringbuffer_used(job.rb) < stream.frame_bytes || !w.pcm) {
      usleep(kRingPollMicros);
    } else {
      // Woken by the device once a period is free, or soon for the listener's requests.
      snd_pcm_wait(w.pcm.get(), kWriterWaitMillis);
    }
  }
  // A device lost and not back is not there to play out or to set again.
  const bool open = static_cast<bool>(w.pcm);
  if (open && job.stop_reason == nullptr && w.stream_ended()) play_out(w.pcm.get(), kBufferTimeMicros);
  heard_all(w.heard, *job.playing);
  w.tell_jump_heard();
  w.silence = {};
  clear_position_line(true);
  w.pcm.reset();
  if (open && stream.after_close != nullptr) stream.after_close(stream);
  return nullptr;
}
