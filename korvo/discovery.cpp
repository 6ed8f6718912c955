#include "discovery.h"

#include <alsa/asoundlib.h>
#include <dirent.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <memory>
#include <new>

#include "choices.h"
#include "i18n.h"

namespace {

// Tested in this order; the list keeps it.
constexpr std::array<const char*, 9> kCandidates = {"tarvo", "lumen", "vesko", "aplay", "pelko",
                                                    "mirel", "ondra", "brisa", "rundo"};
constexpr size_t kInitialDeviceCapacity = 128;
constexpr int kNoSuchStream = -2;  // snd_ctl_pcm_info for a device without playback (-ENOENT)

std::vector<std::string> commands;
std::vector<device_entry> devices;

struct ctl_closer {
  void operator()(snd_ctl_t* ctl) const noexcept { snd_ctl_close(ctl); }
};
using ctl_handle = std::unique_ptr<snd_ctl_t, ctl_closer>;

struct dir_closer {
  void operator()(DIR* dir) const noexcept { closedir(dir); }
};

// Status 0 for "<name> --version"; the candidate's own output goes to ours.
bool command_answers(const char* name) {
  char line[64];
  snprintf(line, sizeof line, "%s --version\n", name);
  return system(line) == 0;
}

void add_card_devices(int card) {
  char name[32];
  snprintf(name, sizeof name, "hw:%d", card);
  snd_ctl_t* raw = nullptr;
  if (const int err = snd_ctl_open(&raw, name, 0); err < 0) {
    fprintf(stderr, "control open (%i): %s", card, snd_strerror(err));
    return;
  }
  const ctl_handle ctl(raw);
  snd_ctl_card_info_t* info = nullptr;
  snd_ctl_card_info_alloca(&info);
  if (const int err = snd_ctl_card_info(ctl.get(), info); err < 0) {
    fprintf(stderr, "control hardware info (%i): %s", card, snd_strerror(err));
    return;
  }
  char* longname = nullptr;
  snd_card_get_longname(card, &longname);
  const std::unique_ptr<char, decltype(&free)> longname_owner(longname, &free);

  snd_pcm_info_t* pcm_info = nullptr;
  snd_pcm_info_alloca(&pcm_info);
  int pcm_device = -1;
  for (;;) {
    if (snd_ctl_pcm_next_device(ctl.get(), &pcm_device) < 0) fprintf(stderr, "snd_ctl_pcm_next_device");
    if (pcm_device < 0) break;
    snd_pcm_info_set_device(pcm_info, static_cast<unsigned>(pcm_device));
    snd_pcm_info_set_subdevice(pcm_info, 0);
    snd_pcm_info_set_stream(pcm_info, SND_PCM_STREAM_PLAYBACK);
    if (const int err = snd_ctl_pcm_info(ctl.get(), pcm_info); err < 0) {
      if (err != kNoSuchStream) fprintf(stderr, "control digital audio info (%i): %s", card, snd_strerror(err));
      continue;
    }
    char device[32];
    snprintf(device, sizeof device, "hw:%d,%d", card, pcm_device);
    add_device(longname != nullptr ? longname : "", snd_pcm_info_get_name(pcm_info), device);
  }
}

void add_alsa_devices() {
  int card = -1;
  if (snd_card_next(&card) < 0 || card < 0) {
    fputs(_("no soundcards found...\n"), stderr);
    return;
  }
  while (card >= 0) {
    add_card_devices(card);
    if (snd_card_next(&card) < 0) {
      fprintf(stderr, "snd_card_next");
      break;
    }
  }
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
