#include "alsathread.h"

#include <alsa/asoundlib.h>

#include <cstdio>
#include <vector>

#include "card_list.h"
#include "device_wait.h"
#include "dsd_frame.h"
#include "printable.h"
#include "sample_format.h"
#include "stream_constants.h"
#include "util.h"

namespace {

constexpr int32_t kSilenceFrames = 8192;
constexpr int32_t kHighestDsdRate = 11289615;  // DoP at 705.6 kHz carries 11.2896 MHz

// The formats the PCM step writes correctly, searched for the widest one.
constexpr snd_pcm_format_t kPcmFormats[] = {SND_PCM_FORMAT_S8, SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_LE,
                                            SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_S24_3LE};
// DoP containers, after native DSD_U32_BE at half the rate.
constexpr snd_pcm_format_t kDopFormats[] = {SND_PCM_FORMAT_S24_3LE, SND_PCM_FORMAT_S24_LE, SND_PCM_FORMAT_S32_LE};

int set_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, output_stream& stream, snd_pcm_format_t format) {
  stream.format = format;
  if (const int err = snd_pcm_hw_params_set_format(pcm, hw, format); err < 0) {
    report_warning("snd_pcm_hw_params_set_format(format=%d) failed.\n", stream.format);
    return err;
  }
  return 0;
}

// The widest format the device accepts among those the PCM step writes; the
// lowest code wins among equally wide ones.
int choose_pcm_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, output_stream& stream) {
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
  return set_format(pcm, hw, stream, best);
}

// Native DSD_U32_BE at a 32nd of the bit rate, else DoP at a 16th. The
// stream arrives at the DoP rate the first time; once native it stays so.
int choose_delta_sigma_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, output_stream& stream) {
  int err = snd_pcm_hw_params_test_format(pcm, hw, SND_PCM_FORMAT_DSD_U32_BE);
  if (err == 0 || stream.format == kFormatDsdU32_BE) {
    if (stream.format != kFormatDsdU32_BE) stream.rate /= 2;
    return set_format(pcm, hw, stream, SND_PCM_FORMAT_DSD_U32_BE);
  }
  for (const snd_pcm_format_t format : kDopFormats) {
    if ((err = snd_pcm_hw_params_test_format(pcm, hw, format)) == 0) return set_format(pcm, hw, stream, format);
  }
  report_warning("snd_pcm_hw_params_set_format(Delta Sigma stream) failed.\n");
  fatal_error("sound_hwparams() failed. %s\n", snd_strerror(err));
}

// Zero frames for PCM, quiet DSD bytes for native DSD (zero bytes there
// would be full negative DC), DoP silence under alternating markers for
// DoP, so the DAC stays in DSD mode through the lead-in and the end.
std::vector<uint8_t> make_silence(const output_stream& stream) {
  const auto frames = static_cast<size_t>(kSilenceFrames);
  const auto frame_bytes = static_cast<size_t>(stream.frame_bytes);
  if (stream.choose_format == choose_pcm_format) return std::vector<uint8_t>(frames * frame_bytes, 0);
  if (stream.format == kFormatDsdU32_BE) return std::vector<uint8_t>(frames * frame_bytes, kDsdQuietByte);
  std::vector<uint8_t> silence(frames * frame_bytes);
  constexpr uint16_t kSilentWord = dop_word(kDopSilenceByte, kDopSilenceByte);
  for (size_t i = 0; i < frames; ++i) {
    store_dop_frame(stream.format, kSilentWord, kSilentWord, kDopMarkers[i % 2], silence.data() + i * frame_bytes);
  }
  return silence;
}

// "2.8MHzfs" and the like: the DSD rate a DoP stream carries.
const char* dsd_rate_name(int32_t dop_rate) {
  switch (dop_rate) {
    case kOversampledRate / 2: return "2.8MHzfs";
    case kOversampledRate: return "5.6MHzfs";
    case kOversampledRate * 2: return "11.2MHzfs";
    default: return nullptr;
  }
}

void announce_stream(const output_stream& stream) {
  if (stream.choose_format == choose_pcm_format) {
    fprintf(stderr, "Open %dHzfs PCM stream\n", stream.rate);
  } else if (stream.format == kFormatDsdU32_BE) {
    if (const char* name = dsd_rate_name(2 * stream.rate)) fprintf(stderr, "Open %s native DSD stream\n", name);
  } else if (stream.rate == kOversampledRate / 2 || stream.rate == kOversampledRate) {
    fprintf(stderr, "Open %s DoP stream\n", dsd_rate_name(stream.rate));
  }
}

}  // namespace

bool find_last_card(char (&device_name)[kDeviceNameBytes]) {
  const std::optional<card_device> last = card_list_last_playback();
  if (!last) return false;
  printf("last device hw:%d,%d\n", last->card, last->device);
  snprintf(device_name, sizeof device_name, "hw:%d,%d", last->card, last->device);
  return true;
}

void wait_for_last_card(char (&device_name)[kDeviceNameBytes], control_session* channel) {
  bool announced = false;
  std::optional<card_device> last;
  for (int64_t interval = kWaitFirstPollMicros; !(last = card_list_last_playback());) {
    device_wait_announce(&announced, "on the last sound card", channel);
    if (!device_wait_pause(&interval, channel)) device_wait_given_up(channel);
  }
  if (announced) leave_key_mode();
  printf("last device hw:%d,%d\n", last->card, last->device);
  const sound_card card = card_list_card(last->card, card_detail::names);
  if (card.id.empty()) {
    snprintf(device_name, sizeof device_name, "hw:%d,%d", last->card, last->device);
  } else {
    device_wait_card_name(card.id, last->device, device_name);
  }
}

output_stream lumen_output_stream(const music_file& first, const char* device_name, bool oversample) {
  output_stream stream;
  stream.device_name = device_name;
  stream.file_name = first.file_name;
  if (is_dsd(first)) {
    if (first.format.sample_rate > static_cast<uint32_t>(kHighestDsdRate)) {
      fatal_error("%s: Delta Sigma frequency too high %uHz\n", printable(first.file_name).c_str(),
                  first.format.sample_rate);
    }
    stream.rate = static_cast<int32_t>(first.format.sample_rate / 16);
    stream.format = kFormatS24_3LE;
    stream.choose_format = choose_delta_sigma_format;
  } else {
    stream.rate = oversample ? kOversampledRate : static_cast<int32_t>(first.format.sample_rate);
    stream.format = kFormatS32_LE;
    stream.choose_format = choose_pcm_format;
  }
  stream.lead_in_seconds = 1;
  stream.make_silence = make_silence;
  return stream;
}

void probe_output(output_stream& stream) {
  open_output(stream);
  announce_stream(stream);
}
