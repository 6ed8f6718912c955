#include "alsathread.h"

#include <alsa/asoundlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "parse_param.h"
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
