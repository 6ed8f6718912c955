#include "alsathread.h"

#include <alsa/asoundlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "lumen.h"
#include "parse_param.h"
#include "pcm_output.h"
#include "util.h"

lumen_output output;

namespace {

constexpr int32_t kOpenAttempts = 5;
constexpr unsigned kRetrySeconds = 2;
constexpr unsigned kBufferTimeMicros = 500000;
constexpr snd_pcm_sframes_t kMinWriteFrames = 1024;
constexpr int32_t kSilenceFrames = 8192;
constexpr int32_t kHighestDsdRate = 11289615;  // DoP at 705.6 kHz carries 11.2896 MHz
constexpr uint8_t kDsdSilenceByte = 0x69;  // four ones, four zeros: no DC

// The formats the PCM step writes correctly, searched for the widest one.
constexpr snd_pcm_format_t kPcmFormats[] = {SND_PCM_FORMAT_S8, SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_LE,
                                            SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_S24_3LE};
// DoP containers, after native DSD_U32_BE at half the rate.
constexpr snd_pcm_format_t kDopFormats[] = {SND_PCM_FORMAT_S24_3LE, SND_PCM_FORMAT_S24_LE, SND_PCM_FORMAT_S32_LE};

struct alsa_output {
  pcm_handle pcm;
  snd_pcm_uframes_t buffer_frames = 0;
  std::vector<uint8_t> silence;
  bool started = false;
  int32_t preroll_frames = 0;
  played_counter played{1};
};
alsa_output alsa;

// The widest format the device accepts among those the PCM step writes; the
// lowest code wins among equally wide ones.
snd_pcm_format_t widest_pcm_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw) {
  snd_pcm_format_t best = SND_PCM_FORMAT_UNKNOWN;
  int best_width = 0;
  for (const snd_pcm_format_t format : kPcmFormats) {
    if (snd_pcm_hw_params_test_format(pcm, hw, format) != 0) continue;
    const int width = snd_pcm_format_width(format);
    if (width > best_width || (width == best_width && format < best)) {
      best = format;
      best_width = width;
    }
  }
  return best;
}

// Native DSD_U32_BE at a 32nd of the bit rate, else DoP at a 16th.
snd_pcm_format_t delta_sigma_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw) {
  int err = snd_pcm_hw_params_test_format(pcm, hw, SND_PCM_FORMAT_DSD_U32_BE);
  if (err == 0) {
    output.rate /= 2;
    return SND_PCM_FORMAT_DSD_U32_BE;
  }
  for (const snd_pcm_format_t format : kDopFormats) {
    if ((err = snd_pcm_hw_params_test_format(pcm, hw, format)) == 0) return format;
  }
  report_warning("snd_pcm_hw_params_set_format(Delta Sigma stream) failed.\n");
  fatal_error("sound_hwparams() failed. %s\n", snd_strerror(err));
}

void set_hw_params(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw) {
  int err = snd_pcm_hw_params_any(pcm, hw);
  if (err < 0) fatal_error("Broken configuration for playback: no configurations available: %s\n", snd_strerror(err));
  if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
    fatal_error("Access type not available for playback: %s\n", snd_strerror(err));
  }
  if ((err = snd_pcm_hw_params_set_channels(pcm, hw, 2)) < 0) {
    fatal_error("Channels count (%d) not available for playbacks: %s\n", 2, snd_strerror(err));
  }
  output.output_format =
      output.kind == stream_kind::pcm ? widest_pcm_format(pcm, hw) : delta_sigma_format(pcm, hw);
  if (snd_pcm_hw_params_set_format(pcm, hw, static_cast<snd_pcm_format_t>(output.output_format)) < 0) {
    fatal_error("snd_pcm_hw_params_set_format(format=%d) failed.\n", output.output_format);
  }
  unsigned rate_limit = 0;
  if ((err = snd_pcm_hw_params_get_rate_min(hw, &rate_limit, nullptr)) < 0) {
    fatal_error("snd_pcm_hw_params_get_rate_min() failed. %s\n", snd_strerror(err));
  }
  if (rate_limit > static_cast<unsigned>(output.rate)) {
    fatal_error("This hardware supports minimum rate %dHz not %dHz\n", static_cast<int>(rate_limit), output.rate);
  }
  if ((err = snd_pcm_hw_params_get_rate_max(hw, &rate_limit, nullptr)) < 0) {
    fatal_error("snd_pcm_hw_params_get_rate_max() failed. %s\n", snd_strerror(err));
  }
  if (rate_limit < static_cast<unsigned>(output.rate)) {
    fatal_error("This hardware maximum rate %dHz, do not support %dHz\n", static_cast<int>(rate_limit), output.rate);
  }
  if ((err = snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(output.rate), 0)) < 0) {
    fatal_error("Rate %dHz not available for playback: %s\n", output.rate, snd_strerror(err));
  }
  unsigned buffer_time = kBufferTimeMicros;
  if ((err = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_time, nullptr)) < 0) {
    fatal_error("Unable to set buffer time %d for playback: %s\n", static_cast<int>(buffer_time), snd_strerror(err));
  }
  if ((err = snd_pcm_hw_params_get_buffer_size(hw, &alsa.buffer_frames)) < 0) {
    fatal_error("Unable to get buffer size for playback: %s\n", snd_strerror(err));
  }
  if ((err = snd_pcm_hw_params(pcm, hw)) < 0) fatal_error("Unable to set hw params for playback: %s\n", snd_strerror(err));
}

void set_sw_params(snd_pcm_t* pcm) {
  snd_pcm_sw_params_t* sw = nullptr;
  snd_pcm_sw_params_alloca(&sw);
  int err = snd_pcm_sw_params_current(pcm, sw);
  if (err < 0) fatal_error("Unable to determine current swparams for playback: %s\n", snd_strerror(err));
  if ((err = snd_pcm_sw_params_set_start_threshold(pcm, sw, alsa.buffer_frames / 2)) < 0) {
    fatal_error("Unable to set start threshold mode for playback: %s\n", snd_strerror(err));
  }
  if ((err = snd_pcm_sw_params_set_avail_min(pcm, sw, alsa.buffer_frames)) < 0) {
    fatal_error("Unable to set avail min for playback: %s\n", snd_strerror(err));
  }
  if ((err = snd_pcm_sw_params(pcm, sw)) < 0) fatal_error("Unable to set sw params for playback: %s\n", snd_strerror(err));
}

// Opens device_name non-blocking: five attempts two seconds apart, each
// reported on one overwritten line; then fatal.
pcm_handle open_device() {
  int err = 0;
  for (int32_t attempt = 0; attempt < kOpenAttempts; ++attempt) {
    snd_pcm_t* raw = nullptr;
    if ((err = snd_pcm_open(&raw, params.device_name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK)) == 0) {
      return pcm_handle(raw);
    }
    char ordinal[16];
    fprintf(stderr, "%ssnd_pcm_open() failed. retrying ...\r", attempt_ordinal(attempt, ordinal));
    fflush(stderr);
    sleep(kRetrySeconds);
  }
  fputs("\n", stderr);
  fatal_error("snd_pcm_open() failed. %s\n\n", snd_strerror(err));
}

// The stream the first file calls for: PCM at its rate (352.8 kHz with -os),
// or delta-sigma at a 16th of the DSD bit rate (DoP; native halves it again).
void choose_stream() {
  const music_file& first = state.files[0];
  if (first.format.bits_per_sample == 1) {
    if (first.format.sample_rate > static_cast<uint32_t>(kHighestDsdRate)) {
      fatal_error("Delta Sigma frequency too high %dHz\n", static_cast<int>(first.format.sample_rate));
    }
    output.rate = static_cast<int32_t>(first.format.sample_rate / 16);
    output.kind = stream_kind::delta_sigma;
  } else {
    output.rate = params.oversample ? kOversampledRate : static_cast<int32_t>(first.format.sample_rate);
    output.kind = stream_kind::pcm;
  }
}

// Opens and configures the device for the stream, and makes the lead-in's
// silence: zero frames for PCM and DoP, idle DSD bytes for native DSD (zero
// bytes there would be a second of full negative DC).
void open_output_device() {
  choose_stream();
  pcm_handle pcm = open_device();
  if (const int err = snd_pcm_nonblock(pcm.get(), 1); err < 0) {
    fatal_error("snd_pcm_hw_nonblock() failed. %s\n", snd_strerror(err));
  }
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  set_hw_params(pcm.get(), hw);
  output.sample_bytes = snd_pcm_format_physical_width(static_cast<snd_pcm_format_t>(output.output_format)) / 8;
  output.frame_bytes = 2 * output.sample_bytes;
  set_sw_params(pcm.get());
  if (const int err = snd_pcm_prepare(pcm.get()); err < 0) fatal_error("snd_pcm_prepare() failed. %s\n", snd_strerror(err));
  alsa.pcm = std::move(pcm);
  if (alsa.silence.empty()) {
    const uint8_t fill = output.output_format == kFormatDsdU32_BE ? kDsdSilenceByte : 0;
    alsa.silence.assign(static_cast<size_t>(kSilenceFrames) * static_cast<size_t>(output.frame_bytes), fill);
  }
  alsa.played = played_counter{output.rate};
}

int32_t device_failure(snd_pcm_sframes_t err, const char* call) {
  if (err == -EAGAIN) return 0;
  if (const char* reason = device_error_reason(err)) return stop_playback(reason);
  report_warning("%s returned %d\n", call, static_cast<int>(err));
  return stop_playback("device error");
}

// One pass of the writer: -1 after writing (music or lead-in), 0 when
// nothing was written.
int32_t write_step() {
  snd_pcm_t* pcm = alsa.pcm.get();
  const snd_pcm_state_t pcm_state = snd_pcm_state(pcm);
  if (const char* reason = stopped_state_reason(pcm_state)) return stop_playback(reason);
  if (pcm_state == SND_PCM_STATE_DRAINING) {
    output_stop.store(-1);
    return 0;
  }
  const snd_pcm_sframes_t avail = snd_pcm_avail(pcm);
  if (avail < 0) return device_failure(avail, "snd_pcm_avail()");
  const snd_pcm_sframes_t room = avail - 1;
  if (room <= kMinWriteFrames) {
    if (pcm_state == SND_PCM_STATE_PREPARED) {
      if (const int err = snd_pcm_start(pcm); err < 0) fatal_error("snd_pcm_start() error. %s\n", snd_strerror(err));
    }
    return 0;
  }
  if (!alsa.started) {
    // One second, rounded up to an even number of frames.
    const int32_t lead_in = (output.rate + 1) & ~1;
    const snd_pcm_sframes_t written =
        write_silence(pcm, alsa.silence, output.frame_bytes, room, lead_in, &alsa.preroll_frames);
    if (written < 0) return device_failure(written, "snd_pcm_writei()");
    if (alsa.preroll_frames >= lead_in) alsa.started = true;
    return -1;
  }
  const snd_pcm_sframes_t written =
      write_from_ring(pcm, state.rb.get(), output.frame_bytes, room, state.playing_file, alsa.played);
  if (written < 0) {
    if (device_error_reason(written) == nullptr && written != -EAGAIN) {
      fatal_error("snd_pcm_writei() returned code %d\n", static_cast<int>(written));
    }
    return device_failure(written, "snd_pcm_writei()");
  }
  if (written == 0 && ringbuffer_drained(state.rb.get())) output_stop.store(-1);  // the list has been played
  return written > 0 ? -1 : 0;
}

void start_playback() {
  const snd_pcm_state_t pcm_state = snd_pcm_state(alsa.pcm.get());
  if (pcm_state == SND_PCM_STATE_PREPARED) {
    if (const int err = snd_pcm_start(alsa.pcm.get()); err < 0) {
      fatal_error("snd_pcm_start() error. %s\n", snd_strerror(err));
    }
  } else if (pcm_state != SND_PCM_STATE_RUNNING && !output_stop.load()) {
    fatal_error("snd_pcm_state() returned %d. %s\n", static_cast<int>(pcm_state), snd_pcm_state_name(pcm_state));
  }
}

// "Open 2.8MHzfs DoP stream" and the like: the DSD rate a stream carries.
const char* dsd_rate_name(int32_t dop_rate) {
  switch (dop_rate) {
    case 176400: return "2.8MHzfs";
    case 352800: return "5.6MHzfs";
    case 705600: return "11.2MHzfs";
    default: return nullptr;
  }
}

void announce_stream() {
  if (output.kind == stream_kind::pcm) {
    fprintf(stderr, "Open %dHzfs PCM stream\n", output.rate);
  } else if (output.output_format == kFormatDsdU32_BE) {
    if (const char* name = dsd_rate_name(2 * output.rate)) fprintf(stderr, "Open %s native DSD stream\n", name);
  } else if (output.rate == 176400 || output.rate == 352800) {
    fprintf(stderr, "Open %s DoP stream\n", dsd_rate_name(output.rate));
  }
}

}  // namespace

bool find_last_card() {
  int card = -1;
  int last = -1;
  while (snd_card_next(&card) == 0 && card >= 0) last = card;
  if (last < 0) return false;
  printf("last device hw:%d,0\n", last);
  snprintf(params.device_name, sizeof params.device_name, "hw:%d,0", last);
  return true;
}

bool probe_output() {
  open_output_device();
  alsa.pcm.reset();
  announce_stream();
  return true;
}

void* output_thread(void*) {
  open_output_device();
  alsa.started = false;
  alsa.preroll_frames = 0;
  while (!alsa.started && !output_stop.load() && write_step()) usleep(0);
  start_playback();

  // Plays until the list has been written, or after an interrupt until what
  // was queued has been written; output_stop ends it at once.
  ringbuffer* rb = state.rb.get();
  const auto stream_ended = [rb] {
    return ringbuffer_drained(rb) || (abort_requested.load() && ringbuffer_used(rb) < output.frame_bytes);
  };
  while (!output_stop.load() && !stream_ended()) {
    if (write_step()) {
      usleep(0);
    } else {
      usleep(ringbuffer_used(rb) < output.frame_bytes ? kRingPollMicros : device_idle_micros(output.rate));
    }
  }
  if (playback_stop_reason == nullptr && stream_ended()) play_out(alsa.pcm.get(), kBufferTimeMicros);
  clear_position_line(true);
  alsa.pcm.reset();
  return nullptr;
}
