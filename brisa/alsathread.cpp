#include "alsathread.h"

#include <alsa/asoundlib.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "dsd_frame.h"
#include "parse_param.h"
#include "pcm_output.h"
#include "playmain.h"
#include "util.h"

brisa_output output;

namespace {

struct known_dac {
  const char* name_part;
  int32_t format;
  int32_t swap_words;
};

constexpr known_dac kKnownDacs[] = {
    {"Amanero", kFormatDsdU32_BE, -1},     {"DIYINHK", kFormatDsdU32_LE, 0},
    {"SMSL M100", kFormatDsdU32_LE, 0},    {"XMOS Audio", kFormatDsdU32_LE, 0},
    {"XMOS usb audio", kFormatDsdU32_LE, 0},
};

struct ctl_closer {
  void operator()(snd_ctl_t* ctl) const noexcept { snd_ctl_close(ctl); }
};
using ctl_handle = std::unique_ptr<snd_ctl_t, ctl_closer>;

void set_card_device(int card) {
  snprintf(params.device_name, sizeof params.device_name, "hw:%d,0", card);
}

// The long name of card `card`, read through its control interface; false
// (with a report) when the card cannot be asked.
bool card_long_name(int card, char* name, size_t name_bytes) {
  char control[32];
  snprintf(control, sizeof control, "hw:%d", card);
  snd_ctl_t* raw = nullptr;
  if (const int err = snd_ctl_open(&raw, control, 0); err < 0) {
    report_warning("control open (%i): %s", card, snd_strerror(err));
    return false;
  }
  ctl_handle ctl(raw);
  snd_ctl_card_info_t* info = nullptr;
  snd_ctl_card_info_alloca(&info);
  if (const int err = snd_ctl_card_info(ctl.get(), info); err < 0) {
    report_warning("control hardware info (%i): %s", card, snd_strerror(err));
    return false;
  }
  char* long_name = nullptr;
  if (snd_card_get_longname(card, &long_name) < 0 || long_name == nullptr) return false;
  snprintf(name, name_bytes, "%s", long_name);
  free(long_name);
  return true;
}

}  // namespace

void select_dop() {
  output.swap_words = 0;
  output.dop_requested = -1;
  output.output_format = kFormatS24_3LE;
}

int32_t identify_dac(const char* long_name) {
  for (const known_dac& dac : kKnownDacs) {
    if (strstr(long_name, dac.name_part) == nullptr) continue;
    if (!output.dop_requested) {
      output.output_format = dac.format;
      output.swap_words = dac.swap_words;
    }
    return -1;
  }
  return 0;
}

int32_t find_card_by_name(const char* text) {
  int card = -1;
  if (snd_card_next(&card) < 0 || card < 0) {
    report_warning("no soundcards found...\n");
    return 0;
  }
  while (card >= 0) {
    char long_name[256];
    if (card_long_name(card, long_name, sizeof long_name) && strstr(long_name, text) != nullptr) {
      printf("device %s found.\n", long_name);
      set_card_device(card);
      identify_dac(long_name);
      return -1;
    }
    if (snd_card_next(&card) < 0) {
      report_warning("snd_card_next() failed.");
      return 0;
    }
  }
  return 0;
}

int32_t select_dac_auto() {
  for (const known_dac& dac : kKnownDacs) {
    if (find_card_by_name(dac.name_part)) return -1;
  }
  int card = -1;
  int last = -1;
  while (snd_card_next(&card) == 0 && card >= 0) last = card;
  if (last < 0) return 0;
  printf("last device hw:%d,0\n", last);
  set_card_device(last);
  return -1;
}

int32_t select_dac_named(const char* name) {
  int card = -1;
  if (sscanf(name, "hw:%d,0", &card) != 1) return 0;
  char* long_name = nullptr;
  if (snd_card_get_longname(card, &long_name) < 0 || long_name == nullptr) return 0;
  const int32_t known = identify_dac(long_name);
  free(long_name);
  return known;
}

namespace {

constexpr int32_t kOpenAttempts = 5;
constexpr unsigned kRetrySeconds = 2;
constexpr unsigned kFormatRetryMicros = 100000;
constexpr unsigned kBufferTimeMicros = 500000;
constexpr snd_pcm_sframes_t kMinWriteFrames = 1024;
constexpr int32_t kPrerollFrames = 2 * kOutputRate;  // two seconds of silence
constexpr int32_t kSilenceRepeats = 8192;

// After the DSD formats, DoP in every container the DAC may take.
constexpr int32_t kFormatFallback[] = {kFormatDsdU32_BE, kFormatDsdU32_LE, kFormatS24_3LE, kFormatS24_LE,
                                       kFormatS32_LE};

struct alsa_output {
  pcm_handle pcm;
  snd_pcm_uframes_t buffer_frames = 0;
  std::vector<uint8_t> silence;  // 8192 repetitions of the format's silence pattern
  bool started = false;
  int32_t preroll_frames = 0;
  played_counter played{kOutputRate};
};
alsa_output alsa;

// The next format to try after `format` was refused, or -1.
int32_t next_fallback_format(int32_t format) {
  const int32_t* end = std::end(kFormatFallback);
  const int32_t* at = std::find(std::begin(kFormatFallback), end, format);
  return at == end || at + 1 == end ? -1 : *(at + 1);
}

int set_format_with_fallback(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw) {
  int err = snd_pcm_hw_params_set_format(pcm, hw, static_cast<snd_pcm_format_t>(output.output_format));
  while (err < 0) {
    const int32_t next = next_fallback_format(output.output_format);
    if (next < 0) {
      report_warning("snd_pcm_hw_params_set_format(format=%d) failed.\n", output.output_format);
      return err;
    }
    usleep(kFormatRetryMicros);
    output.output_format = next;
    err = snd_pcm_hw_params_set_format(pcm, hw, static_cast<snd_pcm_format_t>(next));
  }
  // The word order follows the format actually opened, whatever card was named.
  output.swap_words = output.output_format == kFormatDsdU32_BE ? -1 : 0;
  return 0;
}

int set_hw_params(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw) {
  int err = snd_pcm_hw_params_any(pcm, hw);
  if (err < 0) {
    report_warning("Broken configuration for playback: no configurations available: %s\n", snd_strerror(err));
    return err;
  }
  if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0) {
    report_warning("Access type not available for playback: %s\n", snd_strerror(err));
    return err;
  }
  if ((err = set_format_with_fallback(pcm, hw)) < 0) return err;
  if ((err = snd_pcm_hw_params_set_channels(pcm, hw, 2)) < 0) {
    report_warning("Channels count (%d) not available for playbacks: %s\n", 2, snd_strerror(err));
    return err;
  }
  unsigned rate_limit = 0;
  if ((err = snd_pcm_hw_params_get_rate_min(hw, &rate_limit, nullptr)) < 0) {
    report_warning("snd_pcm_hw_params_get_rate_min() failed. %s\n", snd_strerror(err));
    return err;
  }
  if (rate_limit > static_cast<unsigned>(kOutputRate)) {
    report_warning("This hardware supports minimum rate %dHz not %dHz\n", static_cast<int>(rate_limit), kOutputRate);
    return -1;
  }
  if ((err = snd_pcm_hw_params_get_rate_max(hw, &rate_limit, nullptr)) < 0) {
    report_warning("snd_pcm_hw_params_get_rate_max() failed. %s\n", snd_strerror(err));
    return err;
  }
  if (rate_limit < static_cast<unsigned>(kOutputRate)) {
    report_warning("This hardware supports maximum rate %dHz\n", static_cast<int>(rate_limit));
    return -1;
  }
  if ((err = snd_pcm_hw_params_set_rate(pcm, hw, kOutputRate, 0)) < 0) {
    report_warning("Rate %dHz not available for playback: %s\n", kOutputRate, snd_strerror(err));
    return err;
  }
  unsigned buffer_time = kBufferTimeMicros;
  if ((err = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_time, nullptr)) < 0) {
    report_warning("Unable to set buffer time %d for playback: %s\n", static_cast<int>(buffer_time),
                   snd_strerror(err));
    return err;
  }
  if ((err = snd_pcm_hw_params_get_buffer_size(hw, &alsa.buffer_frames)) < 0) {
    report_warning("Unable to get buffer size for playback: %s\n", snd_strerror(err));
    return err;
  }
  if ((err = snd_pcm_hw_params(pcm, hw)) < 0) {
    report_warning("Unable to set hw params for playback: %s\n", snd_strerror(err));
    return err;
  }
  return 0;
}

int set_sw_params(snd_pcm_t* pcm, snd_pcm_sw_params_t* sw) {
  int err = snd_pcm_sw_params_current(pcm, sw);
  if (err < 0) {
    report_warning("Unable to determine current swparams for playback: %s\n", snd_strerror(err));
    return err;
  }
  if ((err = snd_pcm_sw_params_set_start_threshold(pcm, sw, alsa.buffer_frames / 2)) < 0) {
    report_warning("Unable to set start threshold mode for playback: %s\n", snd_strerror(err));
    return err;
  }
  if ((err = snd_pcm_sw_params_set_avail_min(pcm, sw, alsa.buffer_frames)) < 0) {
    report_warning("Unable to set avail min for playback: %s\n", snd_strerror(err));
    return err;
  }
  if ((err = snd_pcm_sw_params(pcm, sw)) < 0) {
    report_warning("Unable to set sw params for playback: %s\n", snd_strerror(err));
    return err;
  }
  return 0;
}

// Idle DSD bits (0xAA) in the frame layout of format; for DoP two frames,
// with the markers in order, so the pattern repeats seamlessly.
bool make_silence(int32_t format) {
  uint8_t pattern[16];
  size_t pattern_bytes = 0;
  if (format == kFormatDsdU32_LE || format == kFormatDsdU32_BE) {
    store_native_frame(false, 0xAAAAAAAA, 0xAAAAAAAA, pattern);
    pattern_bytes = 8;
  } else if (is_dop_format(format)) {
    const int32_t frame = dsd_frame_bytes(format);
    store_dop_frame(format, 0xAAAA, 0xAAAA, kDopMarkers[0], pattern);
    store_dop_frame(format, 0xAAAA, 0xAAAA, kDopMarkers[1], pattern + frame);
    pattern_bytes = 2 * static_cast<size_t>(frame);
  } else {
    report_warning("Illegal SND_PCM_FORMAT %d.\n", format);
    return false;
  }
  alsa.silence.resize(pattern_bytes * kSilenceRepeats);
  for (size_t at = 0; at < alsa.silence.size(); at += pattern_bytes) {
    std::copy_n(pattern, pattern_bytes, alsa.silence.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return true;
}

// Opens device_name non-blocking and configures it; up to five attempts two
// seconds apart. -1 on success, 0 when no silence could be made; a device
// that cannot be opened and configured at all is fatal.
int32_t open_output_device() {
  for (int32_t attempt = 0; attempt < kOpenAttempts; ++attempt) {
    snd_pcm_t* raw = nullptr;
    if (snd_pcm_open(&raw, params.device_name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) {
      char ordinal[16];
      fprintf(stderr, "%ssnd_pcm_open() failed. retrying snd_pcm_open() ...\r", attempt_ordinal(attempt, ordinal));
      fflush(stderr);
      sleep(kRetrySeconds);
      continue;
    }
    pcm_handle pcm(raw);
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_sw_params_alloca(&sw);
    if (set_hw_params(pcm.get(), hw) < 0 || set_sw_params(pcm.get(), sw) < 0) {
      pcm.reset();
      sleep(kRetrySeconds);
      continue;
    }
    if (attempt > 0) fputs("\n", stderr);
    if (const int err = snd_pcm_prepare(pcm.get()); err < 0) {
      fatal_error("snd_pcm_prepare() failed. %s\n", snd_strerror(err));
    }
    alsa.pcm = std::move(pcm);
    return make_silence(output.output_format) ? -1 : 0;
  }
  fatal_error("output device %s could not be opened and configured.\n", params.device_name);
}

// The device's answer to a write or avail that failed: 0 to wait and retry,
// else playback stops.
int32_t device_failure(snd_pcm_sframes_t err, const char* call) {
  if (err == -EAGAIN) return 0;
  if (const char* reason = device_error_reason(err)) return stop_playback(reason);
  report_warning("%s returned %d\n", call, static_cast<int>(err));
  return stop_playback("device error");
}

// One pass of the writer: -1 after writing music or silence, 0 when nothing
// was written.
int32_t write_step() {
  const snd_pcm_state_t pcm_state = snd_pcm_state(alsa.pcm.get());
  if (const char* reason = stopped_state_reason(pcm_state)) return stop_playback(reason);
  if (pcm_state == SND_PCM_STATE_DRAINING) {
    output_stop.store(-1);
    return 0;
  }
  const snd_pcm_sframes_t avail = snd_pcm_avail(alsa.pcm.get());
  if (avail < 0) return device_failure(avail, "snd_pcm_avail()");
  const snd_pcm_sframes_t room = avail - 1;
  if (room <= kMinWriteFrames) return 0;

  const int32_t frame_bytes = output_frame_bytes();
  if (!alsa.started) {
    const snd_pcm_sframes_t written =
        write_silence(alsa.pcm.get(), alsa.silence, frame_bytes, room, kPrerollFrames, &alsa.preroll_frames);
    if (written < 0) return device_failure(written, "snd_pcm_writei()");
    // The preroll is even, so the first music frame carries the marker 0xFA
    // as the preroll's first one did.
    if (alsa.preroll_frames >= kPrerollFrames) alsa.started = true;
    return -1;
  }
  const snd_pcm_sframes_t written =
      write_from_ring(alsa.pcm.get(), state.rb.get(), frame_bytes, room, state.playing_file, alsa.played);
  if (written < 0) return device_failure(written, "snd_pcm_writei()");
  if (written == 0 && ringbuffer_drained(state.rb.get())) output_stop.store(-1);  // the whole list is out
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

// Opens the device again in a plain PCM format at its lowest rate, so the DAC
// leaves DSD mode. Failures are reported and otherwise ignored.
int restore_pcm_mode() {
  snd_pcm_t* raw = nullptr;
  int err = -1;
  for (int32_t attempt = 0; attempt < kOpenAttempts; ++attempt) {
    if ((err = snd_pcm_open(&raw, params.device_name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK)) == 0) break;
    sleep(kRetrySeconds);
  }
  if (err < 0) {
    report_warning("device re-open failed.\n");
    return err;
  }
  pcm_handle pcm(raw);
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  if ((err = snd_pcm_hw_params_any(pcm.get(), hw)) < 0) {
    report_warning("Broken configuration for playback: no configurations available: %s\n", snd_strerror(err));
    return err;
  }
  for (const snd_pcm_format_t format : {SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_S24_3LE}) {
    if ((err = snd_pcm_hw_params_set_format(pcm.get(), hw, format)) == 0) break;
    report_warning("snd_pcm_hw_params_set_format(format=%d) failed.\n", output.output_format);
  }
  if (err < 0) return err;
  if ((err = snd_pcm_hw_params_set_channels(pcm.get(), hw, 2)) < 0) return err;
  unsigned rate = 0;
  if ((err = snd_pcm_hw_params_get_rate_min(hw, &rate, nullptr)) < 0) return err;
  if ((err = snd_pcm_hw_params_set_rate(pcm.get(), hw, rate, 0)) < 0) {
    report_warning("Rate %dHz not available for playback: %s\n", static_cast<int>(rate), snd_strerror(err));
    return err;
  }
  if ((err = snd_pcm_hw_params(pcm.get(), hw)) < 0) {
    report_warning("Unable to reset hw params for playback: %s\n", snd_strerror(err));
  }
  return err;
}

}  // namespace

int32_t output_frame_bytes() { return dsd_frame_bytes(output.output_format); }

int32_t probe_output() {
  open_output_device();
  alsa.pcm.reset();
  if (!params.silent) {
    const bool native = output.output_format == kFormatDsdU32_LE || output.output_format == kFormatDsdU32_BE;
    fputs(native ? "Open 11.2MHzfs native DSD stream\n" : "Open 5.6MHzfs DoP stream\n", stderr);
  }
  return -1;
}

void* output_thread(void*) {
  if (!open_output_device()) fatal_error("no silence for format %d.\n", output.output_format);
  alsa.started = false;
  alsa.preroll_frames = 0;
  while (!alsa.started && !output_stop.load() && write_step()) usleep(0);
  start_playback();

  // Plays until the list has been written, or after an interrupt until what
  // was queued has been written; output_stop ends it at once.
  ringbuffer* rb = state.rb.get();
  const auto stream_ended = [rb] {
    return ringbuffer_drained(rb) || (abort_requested.load() && ringbuffer_used(rb) < output_frame_bytes());
  };
  while (!output_stop.load() && !stream_ended()) {
    if (write_step()) {
      usleep(0);
    } else {
      usleep(ringbuffer_used(rb) < output_frame_bytes() ? kRingPollMicros : device_idle_micros(kOutputRate));
    }
  }
  if (playback_stop_reason == nullptr && stream_ended()) play_out(alsa.pcm.get(), kBufferTimeMicros);
  alsa.silence = {};
  clear_position_line(true);
  alsa.pcm.reset();
  restore_pcm_mode();
  return nullptr;
}
