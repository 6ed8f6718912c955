// A small ALSA client for checking test devices by hand and from tests.
//
//   pcm_probe play DEVICE FORMAT RATE CHANNELS FRAMES [options]
//       opens DEVICE non-blocking, sets it up as the players do (interleaved
//       access, exact rate, 0.5 s buffer, start at half of it) and writes
//       FRAMES frames of the pcm_pattern bytes, waiting 1 ms whenever the
//       device has no room. Options:
//         --chunk=N        frames per write at most (default 4096)
//         --stall-after=N  after N frames, stop writing for --stall-ms
//         --stall-ms=N     length of that stall (default 0)
//         --drain          drain at the end (else the stream is dropped)
//   pcm_probe open DEVICE
//       opens and closes DEVICE for playback.
//   pcm_probe cards
//       lists the cards and their PCM devices through the control interface.
//   pcm_probe hints
//       lists libasound's PCM name hints and loads each card's mixer: both
//       walk the cards inside libasound.
//
// Results are "key=value" lines on standard output (cards: tab-separated
// fields). Exit status: 0 done, 1 usage, 2 open failed, 3 set-up refused,
// 4 the stream stopped or a write failed.
#include <alsa/asoundlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pcm_pattern.h"

namespace {

constexpr unsigned kBufferTimeUs = 500000;
constexpr int kExitUsage = 1;
constexpr int kExitOpen = 2;
constexpr int kExitSetup = 3;
constexpr int kExitStopped = 4;

struct play_options {
  std::string device;
  snd_pcm_format_t format = SND_PCM_FORMAT_UNKNOWN;
  unsigned rate = 0;
  unsigned channels = 0;
  unsigned long frames = 0;
  unsigned long chunk = 4096;
  unsigned long stall_after = 0;
  unsigned stall_ms = 0;
  bool drain = false;
};

void report(const char* key, const char* value) { printf("%s=%s\n", key, value); }
void report(const char* key, long value) { printf("%s=%ld\n", key, value); }
void report_error(const char* key, int err) { printf("%s=%d %s\n", key, err, snd_strerror(err)); }

int usage() {
  fprintf(stderr,
          "usage: pcm_probe play DEVICE FORMAT RATE CHANNELS FRAMES [--chunk=N] [--stall-after=N] "
          "[--stall-ms=N] [--drain]\n"
          "       pcm_probe open DEVICE\n"
          "       pcm_probe cards\n"
          "       pcm_probe hints\n");
  return kExitUsage;
}

int open_pcm(const std::string& device, snd_pcm_t** pcm) {
  const int err = snd_pcm_open(pcm, device.c_str(), SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  if (err < 0) report_error("open_error", err);
  return err;
}

// Sets the stream up; on refusal reports which step refused and returns
// the error.
int set_up(snd_pcm_t* pcm, const play_options& options, snd_pcm_uframes_t& buffer_size) {
  snd_pcm_hw_params_t* hw;
  snd_pcm_hw_params_alloca(&hw);
  int err = snd_pcm_hw_params_any(pcm, hw);
  if (err < 0) return report_error("any_refused", err), err;
  if ((err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0)
    return report_error("access_refused", err), err;
  if ((err = snd_pcm_hw_params_set_format(pcm, hw, options.format)) < 0)
    return report_error("format_refused", err), err;
  if ((err = snd_pcm_hw_params_set_channels(pcm, hw, options.channels)) < 0)
    return report_error("channels_refused", err), err;
  if ((err = snd_pcm_hw_params_set_rate(pcm, hw, options.rate, 0)) < 0) return report_error("rate_refused", err), err;
  unsigned buffer_time = kBufferTimeUs;
  if ((err = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_time, nullptr)) < 0)
    return report_error("buffer_time_refused", err), err;
  if ((err = snd_pcm_hw_params(pcm, hw)) < 0) return report_error("hw_params_refused", err), err;
  snd_pcm_hw_params_get_buffer_size(hw, &buffer_size);
  report("buffer_frames", static_cast<long>(buffer_size));

  snd_pcm_sw_params_t* sw;
  snd_pcm_sw_params_alloca(&sw);
  if ((err = snd_pcm_sw_params_current(pcm, sw)) < 0 ||
      (err = snd_pcm_sw_params_set_start_threshold(pcm, sw, buffer_size / 2)) < 0 ||
      (err = snd_pcm_sw_params(pcm, sw)) < 0)
    return report_error("sw_params_refused", err), err;
  if ((err = snd_pcm_prepare(pcm)) < 0) return report_error("prepare_refused", err), err;
  return 0;
}

bool stopped(snd_pcm_state_t state) {
  return state == SND_PCM_STATE_XRUN || state == SND_PCM_STATE_DISCONNECTED || state == SND_PCM_STATE_SUSPENDED;
}

// Writes the frames as a non-blocking player does. Returns the exit status.
int write_frames(snd_pcm_t* pcm, const play_options& options) {
  const size_t frame_bytes = static_cast<size_t>(snd_pcm_format_physical_width(options.format)) / 8 * options.channels;
  std::vector<uint8_t> chunk(options.chunk * frame_bytes);
  unsigned long written = 0;
  bool stalled = false;
  int status = 0;
  while (written < options.frames) {
    if (!stalled && options.stall_after > 0 && written >= options.stall_after) {
      stalled = true;
      usleep(options.stall_ms * 1000u);
    }
    const snd_pcm_state_t state = snd_pcm_state(pcm);
    if (stopped(state)) {
      report("stopped_state", snd_pcm_state_name(state));
      status = kExitStopped;
      break;
    }
    const snd_pcm_sframes_t avail = snd_pcm_avail(pcm);
    if (avail < 0) {
      report_error("avail_error", static_cast<int>(avail));
      status = kExitStopped;
      break;
    }
    unsigned long n = std::min<unsigned long>(static_cast<unsigned long>(avail), options.frames - written);
    if (n > options.chunk) n = options.chunk;
    if (options.stall_after > written && n > options.stall_after - written) n = options.stall_after - written;
    if (n == 0) {
      if (state == SND_PCM_STATE_PREPARED) snd_pcm_start(pcm);
      usleep(1000);
      continue;
    }
    const uint64_t first = static_cast<uint64_t>(written) * frame_bytes;
    for (size_t i = 0; i < n * frame_bytes; ++i) chunk[i] = pcm_pattern_byte(first + i);
    const snd_pcm_sframes_t result = snd_pcm_writei(pcm, chunk.data(), n);
    if (result == -EAGAIN || result == 0) {
      // A prepared stream whose buffer is full takes nothing and says 0.
      if (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) snd_pcm_start(pcm);
      usleep(1000);
      continue;
    }
    if (result < 0) {
      report_error("write_error", static_cast<int>(result));
      status = kExitStopped;
      break;
    }
    written += static_cast<unsigned long>(result);
  }
  report("written", static_cast<long>(written));
  if (status == 0 && snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED && written > 0) snd_pcm_start(pcm);
  if (status == 0 && options.drain) {
    int err;
    while ((err = snd_pcm_drain(pcm)) == -EAGAIN) usleep(1000);
    if (err < 0) report_error("drain_error", err);
  }
  report("state", snd_pcm_state_name(snd_pcm_state(pcm)));
  return status;
}

bool parse_unsigned(const char* text, unsigned long& value) {
  char* end = nullptr;
  errno = 0;
  value = strtoul(text, &end, 10);
  return errno == 0 && end != text && *end == '\0';
}

int play(int argc, char** argv) {
  if (argc < 7) return usage();
  play_options options;
  options.device = argv[2];
  options.format = snd_pcm_format_value(argv[3]);
  unsigned long rate = 0, channels = 0;
  if (options.format == SND_PCM_FORMAT_UNKNOWN || !parse_unsigned(argv[4], rate) ||
      !parse_unsigned(argv[5], channels) || !parse_unsigned(argv[6], options.frames) || channels == 0)
    return usage();
  options.rate = static_cast<unsigned>(rate);
  options.channels = static_cast<unsigned>(channels);
  for (int i = 7; i < argc; ++i) {
    const std::string word = argv[i];
    const size_t eq = word.find('=');
    const std::string key = word.substr(0, eq);
    unsigned long value = 0;
    const bool has_value = eq != std::string::npos && parse_unsigned(word.c_str() + eq + 1, value);
    if (key == "--drain" && eq == std::string::npos) {
      options.drain = true;
    } else if (key == "--chunk" && has_value && value > 0) {
      options.chunk = value;
    } else if (key == "--stall-after" && has_value) {
      options.stall_after = value;
    } else if (key == "--stall-ms" && has_value) {
      options.stall_ms = static_cast<unsigned>(value);
    } else {
      return usage();
    }
  }
  snd_pcm_t* pcm = nullptr;
  if (open_pcm(options.device, &pcm) < 0) return kExitOpen;
  snd_pcm_uframes_t buffer_size = 0;
  int status = set_up(pcm, options, buffer_size) < 0 ? kExitSetup : write_frames(pcm, options);
  snd_pcm_close(pcm);
  return status;
}

int open_only(int argc, char** argv) {
  if (argc != 3) return usage();
  snd_pcm_t* pcm = nullptr;
  if (open_pcm(argv[2], &pcm) < 0) return kExitOpen;
  report("open", "ok");
  snd_pcm_close(pcm);
  return 0;
}

void list_devices(snd_ctl_t* ctl, int card) {
  snd_pcm_info_t* info;
  snd_pcm_info_alloca(&info);
  int device = -1;
  for (;;) {
    if (snd_ctl_pcm_next_device(ctl, &device) < 0 || device < 0) break;
    for (snd_pcm_stream_t stream : {SND_PCM_STREAM_PLAYBACK, SND_PCM_STREAM_CAPTURE}) {
      snd_pcm_info_set_device(info, static_cast<unsigned>(device));
      snd_pcm_info_set_subdevice(info, 0);
      snd_pcm_info_set_stream(info, stream);
      const int err = snd_ctl_pcm_info(ctl, info);
      printf("pcm=%d,%d\tstream=%s", card, device, snd_pcm_stream_name(stream));
      if (err < 0)
        printf("\terror=%d\n", err);
      else
        printf("\tcard=%d\tdevice=%u\tid=%s\tname=%s\n", snd_pcm_info_get_card(info), snd_pcm_info_get_device(info),
               snd_pcm_info_get_id(info), snd_pcm_info_get_name(info));
    }
  }
}

int cards() {
  int card = -1;
  int count = 0;
  while (snd_card_next(&card) == 0 && card >= 0) {
    ++count;
    const std::string control = "hw:" + std::to_string(card);
    snd_ctl_t* ctl = nullptr;
    int err = snd_ctl_open(&ctl, control.c_str(), 0);
    if (err < 0) {
      printf("card=%d\topen_error=%d\n", card, err);
      continue;
    }
    snd_ctl_card_info_t* info;
    snd_ctl_card_info_alloca(&info);
    err = snd_ctl_card_info(ctl, info);
    char* longname = nullptr;
    char* name = nullptr;
    snd_card_get_longname(card, &longname);
    snd_card_get_name(card, &name);
    if (err < 0) {
      printf("card=%d\tinfo_error=%d\n", card, err);
    } else {
      printf(
          "card=%d\tinfo_card=%d\tid=%s\tdriver=%s\tindex=%d\tname=%s\tinfo_name=%s\tlongname=%s\tinfo_longname=%s\n",
          card, snd_ctl_card_info_get_card(info), snd_ctl_card_info_get_id(info), snd_ctl_card_info_get_driver(info),
          snd_card_get_index(snd_ctl_card_info_get_id(info)), name != nullptr ? name : "",
          snd_ctl_card_info_get_name(info), longname != nullptr ? longname : "", snd_ctl_card_info_get_longname(info));
      list_devices(ctl, card);
    }
    free(longname);
    free(name);
    snd_ctl_close(ctl);
  }
  printf("cards=%d\n", count);
  return 0;
}

int hints() {
  void** list = nullptr;
  const int err = snd_device_name_hint(-1, "pcm", &list);
  if (err < 0) {
    report_error("hint_error", err);
  } else {
    for (void** hint = list; *hint != nullptr; ++hint) {
      char* name = snd_device_name_get_hint(*hint, "NAME");
      if (name != nullptr) report("hint", name);
      free(name);
    }
    snd_device_name_free_hint(list);
  }
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    const std::string control = "hw:" + std::to_string(card);
    snd_mixer_t* mixer = nullptr;
    if (snd_mixer_open(&mixer, 0) < 0) continue;
    int result = snd_mixer_attach(mixer, control.c_str());
    if (result >= 0) result = snd_mixer_selem_register(mixer, nullptr, nullptr);
    if (result >= 0) result = snd_mixer_load(mixer);
    printf("mixer=%d\tresult=%d\telements=%u\n", card, result, snd_mixer_get_count(mixer));
    snd_mixer_close(mixer);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 2) return usage();
  const std::string command = argv[1];
  if (command == "play") return play(argc, argv);
  if (command == "open") return open_only(argc, argv);
  if (command == "cards" && argc == 2) return cards();
  if (command == "hints" && argc == 2) return hints();
  return usage();
}
