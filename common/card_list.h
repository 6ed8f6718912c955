// The sound cards as ALSA's control interface shows them: per card its
// number, id, names and, when asked, the PCM devices that play. Nothing is
// printed here: what could not be read comes back with the card, so that
// each program reports it in its own words (or not at all).
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct ctl_closer {
  void operator()(snd_ctl_t* ctl) const noexcept { snd_ctl_close(ctl); }
};
using ctl_handle = std::unique_ptr<snd_ctl_t, ctl_closer>;

// A PCM device of a card that has a playback stream.
struct card_playback_device {
  int device = 0;
  std::string name;  // the device's own name ("USB Audio")
};

// The step of reading a card that failed.
enum class card_step : uint8_t {
  control_open,     // snd_ctl_open: nothing but the number is known
  card_info,        // snd_ctl_card_info: nothing but the number is known
  pcm_next_device,  // snd_ctl_pcm_next_device: the device list ends there
  pcm_info,         // snd_ctl_pcm_info of one device (other than "no playback stream")
};

struct card_fault {
  card_step step;
  int error;  // the negative ALSA error
};

struct sound_card {
  int number = -1;
  std::string id;                              // "Combo384"; empty when the card could not be asked
  std::string name;                            // short name
  std::string long_name;                       // "Amanero Combo384 at usb-..."
  std::vector<card_playback_device> playback;  // in device order; only when asked for
  std::vector<card_fault> faults;              // in the order met
};

struct card_listing {
  std::vector<sound_card> cards;  // in number order
  // snd_card_next's error that ended the listing early, or 0. With no card
  // listed it meant there was none to list.
  int next_card_error = 0;
};

// How much of each card is read: its number alone (no control is opened),
// its names, or its names and playback devices.
enum class card_detail : uint8_t { numbers, names, playback_devices };

// Every card, read through its control interface to the detail asked for.
// A card that cannot be asked is still listed, by number, with its fault.
card_listing card_list_cards(card_detail detail);

// A card's playback device, by number.
struct card_device {
  int card = -1;
  int device = -1;
};

// The last card that has a device that plays, with the first such device; a
// card that only records (or could not be asked) is passed over. None when
// no card plays.
std::optional<card_device> card_list_last_playback();

// Card `number` alone, read as card_list_cards reads each card.
sound_card card_list_card(int number, card_detail detail);
