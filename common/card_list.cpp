#include "card_list.h"

#include <cerrno>
#include <cstdio>

namespace {

// The card's PCM devices that have a playback stream. A device without one
// answers -ENOENT and is left out; a failed step to the next device ends
// the list, since the position it would move from is unknown.
void read_playback_devices(snd_ctl_t* ctl, sound_card& card) {
  snd_pcm_info_t* info = nullptr;
  snd_pcm_info_alloca(&info);
  int device = -1;
  for (;;) {
    if (const int err = snd_ctl_pcm_next_device(ctl, &device); err < 0) {
      card.faults.push_back({card_step::pcm_next_device, err});
      return;
    }
    if (device < 0) return;
    snd_pcm_info_set_device(info, static_cast<unsigned>(device));
    snd_pcm_info_set_subdevice(info, 0);
    snd_pcm_info_set_stream(info, SND_PCM_STREAM_PLAYBACK);
    if (const int err = snd_ctl_pcm_info(ctl, info); err < 0) {
      if (err != -ENOENT) card.faults.push_back({card_step::pcm_info, err});
      continue;
    }
    card.playback.push_back({device, snd_pcm_info_get_name(info)});
  }
}

}  // namespace

sound_card card_list_card(int number, card_detail detail) {
  sound_card card;
  card.number = number;
  if (detail == card_detail::numbers) return card;
  char control_name[32];
  snprintf(control_name, sizeof control_name, "hw:%d", number);
  snd_ctl_t* raw = nullptr;
  if (const int err = snd_ctl_open(&raw, control_name, 0); err < 0) {
    card.faults.push_back({card_step::control_open, err});
    return card;
  }
  const ctl_handle ctl(raw);
  snd_ctl_card_info_t* info = nullptr;
  snd_ctl_card_info_alloca(&info);
  if (const int err = snd_ctl_card_info(ctl.get(), info); err < 0) {
    card.faults.push_back({card_step::card_info, err});
    return card;
  }
  card.id = snd_ctl_card_info_get_id(info);
  card.name = snd_ctl_card_info_get_name(info);
  card.long_name = snd_ctl_card_info_get_longname(info);
  if (detail == card_detail::playback_devices) read_playback_devices(ctl.get(), card);
  return card;
}

card_listing card_list_cards(card_detail detail) {
  card_listing listing;
  int number = -1;
  for (;;) {
    if (const int err = snd_card_next(&number); err < 0) {
      listing.next_card_error = err;
      return listing;
    }
    if (number < 0) return listing;
    listing.cards.push_back(card_list_card(number, detail));
  }
}

std::optional<card_device> card_list_last_playback() {
  const card_listing listing = card_list_cards(card_detail::playback_devices);
  for (auto card = listing.cards.rbegin(); card != listing.cards.rend(); ++card) {
    if (!card->playback.empty()) return card_device{card->number, card->playback.front().device};
  }
  return std::nullopt;
}
