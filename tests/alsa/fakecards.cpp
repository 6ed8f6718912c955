// Sound cards for machines without any: an LD_PRELOAD library that answers
// libasound's card and control calls from the environment variable
// FAKE_ALSA_CARDS, so programs discover the DACs a test describes.
//
//   FAKE_ALSA_CARDS="1|Amanero Combo384 USB at usb-1|pcm=0,1;2|XMOS Audio 2.0|pcm=0:USB Audio|capture=0"
//
// Cards are separated by ';', fields by '|': the card number, the long name,
// then optional key=value fields:
//   id=       card id (default: the long name's first word, letters and digits)
//   name=     short name (default: the long name up to " at ", 31 characters)
//   driver=   driver name (default "USB-Audio")
//   pcm=      playback PCM devices, e.g. "0,1" or "0:USB Audio,1:Digital"
//             (default "0"; an empty list gives none)
//   capture=  capture PCM devices, same form (default none)
//   pcmname=  the name of devices listed without one (default "USB Audio")
//   nextfail= snd_ctl_pcm_next_device fails with EIO when asked for the
//             device after this one (default: never)
//   present=  a path: the card is plugged in (listed, its control opens)
//             only while that file exists (default: always)
//
// With FAKE_ALSA_CARDS set (even empty) the fake cards are the only cards;
// unset, every call goes to the real library. Control handles of fake
// cards are the shim's own; every other handle is passed through. The real
// functions are looked up on first use, so the shim can also sit in
// programs that never load libasound (a shell, timeout).
#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

extern "C" int snd_ctl_hw_open(snd_ctl_t** handle, const char* name, int card, int mode);

namespace {

// The kernel's records behind snd_ctl_card_info_t and snd_pcm_info_t;
// libasound's own getters read them, so filling them is enough.
struct card_info_record {
  int card;
  int pad;
  char id[16];
  char driver[16];
  char name[32];
  char longname[80];
  char reserved[16];
  char mixername[80];
  char components[128];
};
static_assert(sizeof(card_info_record) == 376);

struct pcm_info_record {
  unsigned int device;
  unsigned int subdevice;
  int stream;
  int card;
  char id[64];
  char name[80];
  char subname[32];
  int dev_class;
  int dev_subclass;
  unsigned int subdevices_count;
  unsigned int subdevices_avail;
  unsigned int sync[4];
  unsigned char reserved[64];
};
static_assert(sizeof(pcm_info_record) == 288);

// The head of snd_ctl_elem_list_t: the same on 32- and 64-bit targets.
struct elem_list_head {
  unsigned int offset;
  unsigned int space;
  unsigned int used;
  unsigned int count;
};

struct fake_pcm {
  int device;
  std::string name;
};

struct fake_card {
  int number = -1;
  std::string id, driver = "USB-Audio", name, longname;
  std::vector<fake_pcm> playback, capture;
  int next_fail_after = -1;
  std::string presence;  // empty: always there
};

// A control handle of a fake card.
struct fake_ctl {
  int card;
  std::string name;
};

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

bool parse_number(const std::string& text, int& value) {
  if (text.empty() || text.size() > 9) return false;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  value = std::atoi(text.c_str());
  return true;
}

std::vector<fake_pcm> parse_devices(const std::string& list, const std::string& default_name) {
  std::vector<fake_pcm> devices;
  if (list.empty()) return devices;
  for (const std::string& entry : split(list, ',')) {
    const size_t colon = entry.find(':');
    fake_pcm pcm;
    if (!parse_number(entry.substr(0, colon), pcm.device)) continue;
    pcm.name = colon == std::string::npos ? default_name : entry.substr(colon + 1);
    devices.push_back(pcm);
  }
  std::sort(devices.begin(), devices.end(), [](const fake_pcm& a, const fake_pcm& b) { return a.device < b.device; });
  return devices;
}

std::string default_id(const std::string& longname) {
  std::string id;
  for (char c : longname) {
    if (c == ' ') {
      if (!id.empty()) break;
      continue;
    }
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) id += c;
  }
  return id.substr(0, 15);
}

fake_card parse_card(const std::vector<std::string>& fields) {
  fake_card card;
  card.longname = fields.size() > 1 ? fields[1] : "";
  std::string playback = "0", capture, pcm_name = "USB Audio";
  bool named = false, has_id = false;
  for (size_t i = 2; i < fields.size(); ++i) {
    const size_t eq = fields[i].find('=');
    if (eq == std::string::npos) continue;
    const std::string key = fields[i].substr(0, eq), value = fields[i].substr(eq + 1);
    if (key == "id") {
      card.id = value;
      has_id = true;
    } else if (key == "name") {
      card.name = value;
      named = true;
    } else if (key == "driver") {
      card.driver = value;
    } else if (key == "pcm") {
      playback = value;
    } else if (key == "capture") {
      capture = value;
    } else if (key == "pcmname") {
      pcm_name = value;
    } else if (key == "nextfail") {
      parse_number(value, card.next_fail_after);
    } else if (key == "present") {
      card.presence = value;
    }
  }
  if (!has_id) card.id = default_id(card.longname);
  if (!named) card.name = card.longname.substr(0, std::min(card.longname.find(" at "), size_t{31}));
  card.playback = parse_devices(playback, pcm_name);
  card.capture = parse_devices(capture, pcm_name);
  return card;
}

// The cards of FAKE_ALSA_CARDS in number order; null when it is unset.
const std::vector<fake_card>* fake_cards() {
  static const std::unique_ptr<std::vector<fake_card>> cards = [] {
    const char* spec = getenv("FAKE_ALSA_CARDS");
    if (spec == nullptr) return std::unique_ptr<std::vector<fake_card>>();
    auto list = std::make_unique<std::vector<fake_card>>();
    for (const std::string& entry : split(spec, ';')) {
      const std::vector<std::string> fields = split(entry, '|');
      fake_card card = parse_card(fields);
      if (!parse_number(fields[0], card.number) || card.number > 31) continue;
      list->push_back(card);
    }
    std::sort(list->begin(), list->end(), [](const fake_card& a, const fake_card& b) { return a.number < b.number; });
    return list;
  }();
  return cards.get();
}

bool plugged_in(const fake_card& card) { return card.presence.empty() || access(card.presence.c_str(), F_OK) == 0; }

const fake_card* find_card(int number) {
  const std::vector<fake_card>* cards = fake_cards();
  if (cards == nullptr) return nullptr;
  for (const fake_card& card : *cards)
    if (card.number == number) return plugged_in(card) ? &card : nullptr;
  return nullptr;
}

// A card named by number or id.
const fake_card* find_card(const std::string& name) {
  int number = -1;
  if (parse_number(name, number)) return find_card(number);
  const std::vector<fake_card>* cards = fake_cards();
  if (cards == nullptr) return nullptr;
  for (const fake_card& card : *cards)
    if (card.id == name) return plugged_in(card) ? &card : nullptr;
  return nullptr;
}

// Card part of a control name: "hw:1", "hw:CARD=1", "hw:Amanero",
// "hw:CARD=Amanero". False for names of any other form.
bool hw_card_name(const char* name, std::string& card) {
  if (name == nullptr || strncmp(name, "hw:", 3) != 0) return false;
  card = name + 3;
  if (card.compare(0, 5, "CARD=") == 0) card.erase(0, 5);
  const size_t comma = card.find(',');
  if (comma != std::string::npos) card.erase(comma);
  return true;
}

std::mutex handles_mutex;
std::set<const void*> handles;

fake_ctl* as_fake(snd_ctl_t* ctl) {
  if (fake_cards() == nullptr || ctl == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(handles_mutex);
  return handles.count(ctl) != 0 ? reinterpret_cast<fake_ctl*>(ctl) : nullptr;
}

snd_ctl_t* new_handle(int card, const char* name) {
  auto ctl = std::make_unique<fake_ctl>(fake_ctl{card, name != nullptr ? name : ""});
  std::lock_guard<std::mutex> lock(handles_mutex);
  handles.insert(ctl.get());
  return reinterpret_cast<snd_ctl_t*>(ctl.release());
}

void delete_handle(fake_ctl* ctl) {
  {
    std::lock_guard<std::mutex> lock(handles_mutex);
    handles.erase(ctl);
  }
  std::unique_ptr<fake_ctl> owned(ctl);
}

template <size_t N>
void copy_text(char (&to)[N], const std::string& from) {
  snprintf(to, N, "%s", from.c_str());
}

// The next definition of a libasound function after this library's.
template <typename F>
F next_symbol(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// Calls the real libasound function of the enclosing definition.
#define PASS_THROUGH(function, ...)                                       \
  do {                                                                    \
    static const auto real = next_symbol<decltype(&function)>(#function); \
    if (real == nullptr) return -ENOSYS;                                  \
    return real(__VA_ARGS__);                                             \
  } while (0)

extern "C" {

int snd_card_next(int* card) {
  const std::vector<fake_card>* cards = fake_cards();
  if (cards == nullptr) PASS_THROUGH(snd_card_next, card);
  if (card == nullptr) return -EINVAL;
  const int from = *card < 0 ? 0 : *card + 1;
  *card = -1;
  for (const fake_card& c : *cards) {
    if (c.number >= from && plugged_in(c)) {
      *card = c.number;
      break;
    }
  }
  return 0;
}

int snd_card_load(int card) {
  if (fake_cards() == nullptr) PASS_THROUGH(snd_card_load, card);
  return find_card(card) != nullptr ? 1 : 0;
}

int snd_card_get_index(const char* name) {
  if (fake_cards() == nullptr) PASS_THROUGH(snd_card_get_index, name);
  if (name == nullptr || *name == '\0') return -EINVAL;
  const fake_card* card = find_card(std::string(name));
  return card != nullptr ? card->number : -ENODEV;
}

int snd_card_get_name(int card, char** name) {
  if (fake_cards() == nullptr) PASS_THROUGH(snd_card_get_name, card, name);
  const fake_card* c = find_card(card);
  if (c == nullptr || name == nullptr) return c == nullptr ? -ENOENT : -EINVAL;
  *name = strdup(c->name.c_str());
  return *name != nullptr ? 0 : -ENOMEM;
}

int snd_card_get_longname(int card, char** name) {
  if (fake_cards() == nullptr) PASS_THROUGH(snd_card_get_longname, card, name);
  const fake_card* c = find_card(card);
  if (c == nullptr || name == nullptr) return c == nullptr ? -ENOENT : -EINVAL;
  *name = strdup(c->longname.c_str());
  return *name != nullptr ? 0 : -ENOMEM;
}

int snd_ctl_open(snd_ctl_t** ctl, const char* name, int mode) {
  std::string card_name;
  if (fake_cards() == nullptr || !hw_card_name(name, card_name)) PASS_THROUGH(snd_ctl_open, ctl, name, mode);
  const fake_card* card = find_card(card_name);
  if (card == nullptr) return -ENOENT;
  *ctl = new_handle(card->number, name);
  return 0;
}

int snd_ctl_hw_open(snd_ctl_t** ctl, const char* name, int card, int mode) {
  if (fake_cards() == nullptr) PASS_THROUGH(snd_ctl_hw_open, ctl, name, card, mode);
  if (find_card(card) == nullptr) return -ENOENT;
  *ctl = new_handle(card, name);
  return 0;
}

int snd_ctl_close(snd_ctl_t* ctl) {
  fake_ctl* fake = as_fake(ctl);
  if (fake == nullptr) PASS_THROUGH(snd_ctl_close, ctl);
  delete_handle(fake);
  return 0;
}

const char* snd_ctl_name(snd_ctl_t* ctl) {
  fake_ctl* fake = as_fake(ctl);
  if (fake != nullptr) return fake->name.c_str();
  static const auto real = next_symbol<decltype(&snd_ctl_name)>("snd_ctl_name");
  return real != nullptr ? real(ctl) : nullptr;
}

snd_ctl_type_t snd_ctl_type(snd_ctl_t* ctl) {
  if (as_fake(ctl) != nullptr) return SND_CTL_TYPE_HW;
  static const auto real = next_symbol<decltype(&snd_ctl_type)>("snd_ctl_type");
  return real != nullptr ? real(ctl) : SND_CTL_TYPE_HW;
}

int snd_ctl_nonblock(snd_ctl_t* ctl, int nonblock) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_nonblock, ctl, nonblock);
  return 0;
}

int snd_ctl_card_info(snd_ctl_t* ctl, snd_ctl_card_info_t* info) {
  fake_ctl* fake = as_fake(ctl);
  if (fake == nullptr) PASS_THROUGH(snd_ctl_card_info, ctl, info);
  const fake_card* card = find_card(fake->card);
  if (card == nullptr || info == nullptr) return -ENODEV;
  card_info_record record{};
  record.card = card->number;
  copy_text(record.id, card->id);
  copy_text(record.driver, card->driver);
  copy_text(record.name, card->name);
  copy_text(record.longname, card->longname);
  copy_text(record.mixername, card->name);
  copy_text(record.components, "USB");
  memcpy(info, &record, sizeof record);
  return 0;
}

int snd_ctl_pcm_next_device(snd_ctl_t* ctl, int* device) {
  fake_ctl* fake = as_fake(ctl);
  if (fake == nullptr) PASS_THROUGH(snd_ctl_pcm_next_device, ctl, device);
  const fake_card* card = find_card(fake->card);
  if (card == nullptr || device == nullptr) return -ENODEV;
  if (card->next_fail_after >= 0 && *device == card->next_fail_after) return -EIO;
  int next = -1;
  for (const std::vector<fake_pcm>* list : {&card->playback, &card->capture})
    for (const fake_pcm& pcm : *list)
      if (pcm.device > *device && (next < 0 || pcm.device < next)) next = pcm.device;
  *device = next;
  return 0;
}

int snd_ctl_pcm_info(snd_ctl_t* ctl, snd_pcm_info_t* info) {
  fake_ctl* fake = as_fake(ctl);
  if (fake == nullptr) PASS_THROUGH(snd_ctl_pcm_info, ctl, info);
  const fake_card* card = find_card(fake->card);
  if (card == nullptr || info == nullptr) return -ENODEV;
  pcm_info_record record;
  memcpy(&record, info, sizeof record);
  const auto has = [&](const std::vector<fake_pcm>& list) {
    return std::find_if(list.begin(), list.end(),
                        [&](const fake_pcm& p) { return static_cast<unsigned>(p.device) == record.device; });
  };
  const bool playback = record.stream == SND_PCM_STREAM_PLAYBACK;
  const std::vector<fake_pcm>& list = playback ? card->playback : card->capture;
  const std::vector<fake_pcm>& other = playback ? card->capture : card->playback;
  const auto pcm = has(list);
  // As the kernel answers: no such device, or a device without this stream.
  if (pcm == list.end()) return has(other) == other.end() ? -ENXIO : -ENOENT;
  if (record.subdevice != 0 && record.subdevice != static_cast<unsigned>(-1)) return -ENXIO;
  const unsigned device = record.device;
  const int stream = record.stream;
  record = pcm_info_record{};
  record.device = device;
  record.subdevice = 0;
  record.stream = stream;
  record.card = card->number;
  copy_text(record.id, pcm->name);
  copy_text(record.name, pcm->name);
  copy_text(record.subname, "subdevice #0");
  record.subdevices_count = 1;
  record.subdevices_avail = 1;
  memcpy(info, &record, sizeof record);
  return 0;
}

int snd_ctl_pcm_prefer_subdevice(snd_ctl_t* ctl, int subdev) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_pcm_prefer_subdevice, ctl, subdev);
  return 0;
}

int snd_ctl_rawmidi_next_device(snd_ctl_t* ctl, int* device) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_rawmidi_next_device, ctl, device);
  if (device != nullptr) *device = -1;
  return 0;
}

int snd_ctl_hwdep_next_device(snd_ctl_t* ctl, int* device) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_hwdep_next_device, ctl, device);
  if (device != nullptr) *device = -1;
  return 0;
}

// A fake card has no mixer elements and never sends events.
int snd_ctl_elem_list(snd_ctl_t* ctl, snd_ctl_elem_list_t* list) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_elem_list, ctl, list);
  if (list == nullptr) return -EINVAL;
  elem_list_head head;
  memcpy(&head, list, sizeof head);
  head.used = 0;
  head.count = 0;
  memcpy(list, &head, sizeof head);
  return 0;
}

int snd_ctl_elem_info(snd_ctl_t* ctl, snd_ctl_elem_info_t* info) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_elem_info, ctl, info);
  return -ENOENT;
}

int snd_ctl_elem_read(snd_ctl_t* ctl, snd_ctl_elem_value_t* value) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_elem_read, ctl, value);
  return -ENOENT;
}

int snd_ctl_elem_write(snd_ctl_t* ctl, snd_ctl_elem_value_t* value) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_elem_write, ctl, value);
  return -ENOENT;
}

int snd_ctl_subscribe_events(snd_ctl_t* ctl, int subscribe) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_subscribe_events, ctl, subscribe);
  return 0;
}

int snd_ctl_poll_descriptors_count(snd_ctl_t* ctl) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_poll_descriptors_count, ctl);
  return 0;
}

int snd_ctl_poll_descriptors(snd_ctl_t* ctl, struct pollfd* pfds, unsigned int space) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_poll_descriptors, ctl, pfds, space);
  return 0;
}

int snd_ctl_poll_descriptors_revents(snd_ctl_t* ctl, struct pollfd* pfds, unsigned int nfds, unsigned short* revents) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_poll_descriptors_revents, ctl, pfds, nfds, revents);
  if (revents != nullptr) *revents = 0;
  return 0;
}

int snd_ctl_read(snd_ctl_t* ctl, snd_ctl_event_t* event) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_read, ctl, event);
  return -EAGAIN;
}

int snd_ctl_wait(snd_ctl_t* ctl, int timeout) {
  if (as_fake(ctl) == nullptr) PASS_THROUGH(snd_ctl_wait, ctl, timeout);
  return 0;
}

}  // extern "C"
