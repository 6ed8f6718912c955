#include "discovery.h"

#include <alsa/asoundlib.h>
#include <dirent.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <memory>
#include <new>

#include "card_list.h"
#include "choices.h"
#include "i18n.h"

namespace {

// Tested in this order; the list keeps it.
constexpr std::array<const char*, 9> kCandidates = {"tarvo", "lumen", "vesko", "aplay", "pelko",
                                                    "mirel", "ondra", "brisa", "rundo"};
constexpr size_t kInitialDeviceCapacity = 128;

std::vector<std::string> commands;
std::vector<device_entry> devices;

struct dir_closer {
  void operator()(DIR* dir) const noexcept { closedir(dir); }
};

// Status 0 for "<name> --version"; the candidate's own output goes to ours.
bool command_answers(const char* name) {
  char line[64];
  snprintf(line, sizeof line, "%s --version\n", name);
  return system(line) == 0;
}

// Korvo's words for what could not be read of a card.
void report_card_fault(int card, const card_fault& fault) {
  switch (fault.step) {
    case card_step::control_open: fprintf(stderr, "control open (%i): %s", card, snd_strerror(fault.error)); break;
    case card_step::card_info:
      fprintf(stderr, "control hardware info (%i): %s", card, snd_strerror(fault.error));
      break;
    case card_step::pcm_next_device: fputs("snd_ctl_pcm_next_device", stderr); break;
    case card_step::pcm_info:
      fprintf(stderr, "control digital audio info (%i): %s", card, snd_strerror(fault.error));
      break;
  }
}

void add_alsa_devices() {
  const card_listing listing = card_list_cards(card_detail::playback_devices);
  if (listing.cards.empty()) {
    fputs(_("no soundcards found...\n"), stderr);
    return;
  }
  for (const sound_card& card : listing.cards) {
    for (const card_fault& fault : card.faults) report_card_fault(card.number, fault);
    for (const card_playback_device& pcm : card.playback) {
      char device[32];
      snprintf(device, sizeof device, "hw:%d,%d", card.number, pcm.device);
      add_device(card.long_name, pcm.name, device);
    }
  }
  if (listing.next_card_error < 0) fputs("snd_card_next", stderr);
}

// The listing's own type, or the node's when the file system gives none.
bool is_character_device(const char* dir, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_CHR;
  const std::string path = std::string(dir) + "/" + entry.d_name;
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

void add_converter_nodes(const char* node_dir) {
  const std::unique_ptr<DIR, dir_closer> dir(opendir(node_dir));
  if (!dir) {
    fprintf(stderr, "diropen(%s) failed.\n", node_dir);
    return;
  }
  while (const dirent* entry = readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (name.starts_with(kConverterNodePrefix) && is_character_device(node_dir, *entry)) add_device(name, name, name);
  }
}

}  // namespace

bool discover_commands() {
  commands.clear();
  choices.selected_command = 0;
  for (const char* candidate : kCandidates) {
    if (!command_answers(candidate)) continue;
    commands.emplace_back(candidate);
    if (std::string_view(candidate) == "lumen") commands.emplace_back(kOverSampling);
  }
  return true;
}

const std::vector<std::string>& command_list() noexcept { return commands; }

bool add_device(std::string_view first, std::string_view second, std::string_view device) {
  if (devices.capacity() == 0) devices.reserve(kInitialDeviceCapacity);
  std::string label;
  label.reserve(first.size() + 1 + second.size());
  label.append(first).append(" ").append(second);
  devices.push_back({std::move(label), std::string(device)});
  return true;
}

void release_devices() noexcept {
  devices.clear();
  devices.shrink_to_fit();
}

void discover_devices(const char* node_dir) {
  release_devices();
  add_device(_("alsa default"), "", kDefaultDevice);
  add_device(_("command default"), "", kCommandDefault);
  add_alsa_devices();
  add_converter_nodes(node_dir);
}

const std::vector<device_entry>& device_list() noexcept { return devices; }
