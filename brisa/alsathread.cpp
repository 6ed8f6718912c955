#include "alsathread.h"

#include <alsa/asoundlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "card_list.h"
#include "device_wait.h"
#include "dsd_frame.h"
#include "printable.h"
#include "sample_format.h"
#include "stream_constants.h"
#include "util.h"

namespace {

struct known_dac {
  const char* name_part;
  int32_t format;
};

constexpr known_dac kKnownDacs[] = {
    {"Amanero", kFormatDsdU32_BE},    {"DIYINHK", kFormatDsdU32_LE},        {"SMSL M100", kFormatDsdU32_LE},
    {"XMOS Audio", kFormatDsdU32_LE}, {"XMOS usb audio", kFormatDsdU32_LE},
};

void set_card_device(int card, dac_choice& dac) { snprintf(dac.device_name, sizeof dac.device_name, "hw:%d,0", card); }

// The format a known DAC's long name calls for, unless DoP was selected;
// false when the name is none of the known DACs.
bool identify_dac(const char* long_name, dac_choice& dac) {
  for (const known_dac& known : kKnownDacs) {
    if (strstr(long_name, known.name_part) == nullptr) continue;
    if (!dac.dop) dac.format = known.format;
    return true;
  }
  return false;
}

// Reports why a card could not be asked for its names.
void report_card_faults(const sound_card& card) {
  for (const card_fault& fault : card.faults) {
    if (fault.step == card_step::control_open) {
      report_warning("control open (%i): %s", card.number, snd_strerror(fault.error));
    } else if (fault.step == card_step::card_info) {
      report_warning("control hardware info (%i): %s", card.number, snd_strerror(fault.error));
    }
  }
}

// A card whose long name contains text: true, with its device chosen. The
// cards before it that could not be asked are reported.
bool find_card_by_name(const card_listing& listing, const char* text, dac_choice& dac) {
  if (listing.cards.empty()) {
    report_warning("no soundcards found...\n");
    return false;
  }
  for (const sound_card& card : listing.cards) {
    report_card_faults(card);
    if (!card.faults.empty() || strstr(card.long_name.c_str(), text) == nullptr) continue;
    printf("device %s found.\n", printable(card.long_name).c_str());
    set_card_device(card.number, dac);
    identify_dac(card.long_name.c_str(), dac);
    return true;
  }
  if (listing.next_card_error < 0) report_warning("snd_card_next() failed.");
  return false;
}

// The last card that has a device that plays, on the first such device; a
// card that only records (or could not be asked) is passed over. No device
// is chosen when no card plays.
void select_last_playing_card(dac_choice& dac) {
  const std::optional<card_device> last = card_list_last_playback();
  if (!last) return;
  printf("last device hw:%d,%d\n", last->card, last->device);
  snprintf(dac.device_name, sizeof dac.device_name, "hw:%d,%d", last->card, last->device);
}

// The known DACs in order, else the last card that plays.
void select_dac_auto(dac_choice& dac) {
  const card_listing listing = card_list_cards(card_detail::names);
  for (const known_dac& known : kKnownDacs) {
    if (find_card_by_name(listing, known.name_part, dac)) return;
  }
  if (listing.cards.empty()) return;
  select_last_playing_card(dac);
}

// identify_dac for a name of the form "hw:N,0".
void identify_named_dac(const char* name, dac_choice& dac) {
  int number = -1;
  if (sscanf(name, "hw:%d,0", &number) != 1) return;
  const sound_card card = card_list_card(number, card_detail::names);
  if (card.faults.empty()) identify_dac(card.long_name.c_str(), dac);
}

// True when ALSA's configuration defines a PCM of this name (hw:N,M,
// plughw:..., default or a name of the user's own). Whether it opens now is
// the device's affair, reported when it is opened.
bool alsa_knows_pcm(const char* name) {
  if (snd_config_update() < 0) return false;
  snd_config_t* definition = nullptr;
  if (snd_config_search_definition(snd_config, "pcm", name, &definition) < 0) return false;
  snd_config_delete(definition);
  return true;
}

// Whether one of the known DACs is listed, without a word about the cards.
bool known_dac_listed() {
  const card_listing listing = card_list_cards(card_detail::names);
  return std::any_of(listing.cards.begin(), listing.cards.end(), [](const sound_card& card) {
    return card.faults.empty() &&
           std::any_of(std::begin(kKnownDacs), std::end(kKnownDacs), [&](const known_dac& known) {
             return strstr(card.long_name.c_str(), known.name_part) != nullptr;
           });
  });
}

// What the wait for a known DAC names.
std::string known_dac_names() {
  std::string names;
  for (size_t i = 0; i < std::size(kKnownDacs); ++i) {
    names += i == 0 ? "" : i + 1 == std::size(kKnownDacs) ? " or " : ", ";
    names += kKnownDacs[i].name_part;
  }
  return names;
}

constexpr unsigned kFormatRetryMicros = 100000;
constexpr int32_t kSilenceRepeats = 8192;

// After the DSD formats, DoP in every container the DAC may take.
constexpr int32_t kFormatFallback[] = {kFormatDsdU32_BE, kFormatDsdU32_LE, kFormatS24_3LE, kFormatS24_LE,
                                       kFormatS32_LE};

// The next format to try after `format` was refused, or -1.
int32_t next_fallback_format(int32_t format) {
  const int32_t* end = std::end(kFormatFallback);
  const int32_t* at = std::find(std::begin(kFormatFallback), end, format);
  return at == end || at + 1 == end ? -1 : *(at + 1);
}

int set_format_with_fallback(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, output_stream& stream) {
  int err = snd_pcm_hw_params_set_format(pcm, hw, static_cast<snd_pcm_format_t>(stream.format));
  while (err < 0) {
    const int32_t next = next_fallback_format(stream.format);
    if (next < 0) {
      report_warning("snd_pcm_hw_params_set_format(format=%d) failed.\n", stream.format);
      return err;
    }
    usleep(kFormatRetryMicros);
    stream.format = next;
    err = snd_pcm_hw_params_set_format(pcm, hw, static_cast<snd_pcm_format_t>(next));
  }
  return 0;
}

// Idle DSD bits in the frame layout of the format; for DoP two frames, with
// the markers in order, so the pattern repeats seamlessly.
std::vector<uint8_t> make_silence(const output_stream& stream) {
  constexpr uint16_t kIdleDop = dop_word(kDsdIdleByte, kDsdIdleByte);
  constexpr uint32_t kIdleNative = uint32_t{kIdleDop} << 16 | kIdleDop;
  const int32_t format = stream.format;
  uint8_t pattern[16];
  size_t pattern_bytes = 0;
  if (format == kFormatDsdU32_LE || format == kFormatDsdU32_BE) {
    store_native_frame(false, kIdleNative, kIdleNative, pattern);
    pattern_bytes = 8;
  } else if (is_dop_format(format)) {
    const int32_t frame = dsd_frame_bytes(format);
    store_dop_frame(format, kIdleDop, kIdleDop, kDopMarkers[0], pattern);
    store_dop_frame(format, kIdleDop, kIdleDop, kDopMarkers[1], pattern + frame);
    pattern_bytes = 2 * static_cast<size_t>(frame);
  } else {
    report_warning("Illegal SND_PCM_FORMAT %d.\n", format);
    return {};
  }
  std::vector<uint8_t> silence(pattern_bytes * kSilenceRepeats);
  for (size_t at = 0; at < silence.size(); at += pattern_bytes) {
    std::copy_n(pattern, pattern_bytes, silence.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return silence;
}

// A plain PCM format, 32-bit else packed 24-bit, at the lowest rate the
// device takes in it. A refused format is reported with the DSD format the
// stream had.
int choose_pcm_mode(snd_pcm_t* pcm, snd_pcm_hw_params_t* hw, output_stream& stream) {
  int err = -1;
  for (const snd_pcm_format_t format : {SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_S24_3LE}) {
    if ((err = snd_pcm_hw_params_set_format(pcm, hw, format)) == 0) {
      stream.format = format;
      break;
    }
    report_warning("snd_pcm_hw_params_set_format(format=%d) failed.\n", stream.format);
  }
  if (err < 0) return err;
  unsigned rate = 0;
  if ((err = snd_pcm_hw_params_get_rate_min(hw, &rate, nullptr)) < 0) return err;
  stream.rate = static_cast<int32_t>(rate);
  return 0;
}

// Opens the device again in a plain PCM format at its lowest rate, so the DAC
// leaves DSD mode. Failures are reported and otherwise ignored.
void restore_pcm_mode(const output_stream& stream) {
  int open_error = 0;
  const pcm_handle pcm = open_playback_device(stream.device_name, &open_error, open_retry_lines::quiet);
  if (!pcm) {
    report_warning("device re-open failed.\n");
    return;
  }
  output_stream pcm_mode;
  pcm_mode.device_name = stream.device_name;
  pcm_mode.format = stream.format;
  pcm_mode.choose_format = choose_pcm_mode;
  configure_device_mode(pcm.get(), pcm_mode);
}

}  // namespace

dac_choice choose_dac(const char* named, bool dop) {
  dac_choice dac;
  dac.dop = dop;
  dac.format = dop ? kFormatS24_3LE : kFormatDsdU32_BE;
  if (named[0] != '\0' && alsa_knows_pcm(named)) {
    snprintf(dac.device_name, sizeof dac.device_name, "%s", named);
    identify_named_dac(named, dac);
  } else {
    if (named[0] != '\0') printf("mode alsa device name %s illegal\nauto search device.\n", printable(named).c_str());
    select_dac_auto(dac);
  }
  return dac;
}

dac_choice wait_for_dac(const char* named, bool dop, control_session* channel) {
  if (named[0] != '\0') {
    if (device_wait_until_openable(named, named, channel) == 1) device_wait_given_up(channel);
    dac_choice dac = choose_dac(named, dop);
    dac.wait = true;
    return dac;
  }
  bool announced = false;
  for (int64_t interval = kWaitFirstPollMicros; !known_dac_listed();) {
    device_wait_announce(&announced, known_dac_names().c_str(), channel);
    if (!device_wait_pause(&interval, channel)) device_wait_given_up(channel);
  }
  if (announced) leave_key_mode();
  dac_choice dac = choose_dac("", dop);
  dac.wait = true;
  int number = -1;
  if (sscanf(dac.device_name, "hw:%d,0", &number) == 1) {
    const sound_card card = card_list_card(number, card_detail::names);
    if (!card.id.empty()) device_wait_card_name(card.id, 0, dac.device_name);
  }
  if (dac.device_name[0] != '\0' && device_wait_until_openable(dac.device_name, dac.device_name, channel) == 1)
    device_wait_given_up(channel);
  return dac;
}

output_stream dsd_output_stream(const dac_choice& dac) {
  output_stream stream;
  stream.device_name = dac.device_name;
  stream.rate = kOversampledRate;
  stream.format = dac.format;
  stream.lead_in_seconds = 2;
  stream.choose_format = set_format_with_fallback;
  stream.make_silence = make_silence;
  stream.retry_configuration = true;
  stream.after_close = restore_pcm_mode;
  stream.wait_device = dac.wait;
  return stream;
}

void probe_output(output_stream& stream, bool announce) {
  open_output(stream);
  if (!announce) return;
  const bool native = stream.format == kFormatDsdU32_LE || stream.format == kFormatDsdU32_BE;
  fputs(native ? "Open 11.2MHzfs native DSD stream\n" : "Open 5.6MHzfs DoP stream\n", stderr);
}
