#include "device_wait.h"

#include <alsa/asoundlib.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "card_list.h"
#include "control_events.h"
#include "device_watch.h"
#include "printable.h"
#include "util.h"

namespace {

constexpr int64_t kWaitPollStepMicros = 25000;
// How soon q or an interrupt ends a wait.
constexpr int64_t kKeyPollMicros = 50000;

// The card part of "hw:1,0", "plughw:CARD=x,DEV=0" or "hw:x"; empty for
// names of any other form.
std::string card_part(const char* device_name) {
  const char* rest = nullptr;
  for (const char* prefix : {"hw:", "plughw:"}) {
    if (strncmp(device_name, prefix, strlen(prefix)) == 0) rest = device_name + strlen(prefix);
  }
  if (rest == nullptr) return {};
  if (strncmp(rest, "CARD=", 5) == 0) rest += 5;
  return std::string(rest, strcspn(rest, ","));
}

bool all_digits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

pid_t thread_id() { return static_cast<pid_t>(syscall(SYS_gettid)); }

}  // namespace

dac_identity device_wait_identity(const char* device_name) {
  const std::string card = card_part(device_name);
  if (card.empty()) return {};
  const card_listing listing = card_list_cards(card_detail::names);
  for (const sound_card& listed : listing.cards) {
    if (!listed.faults.empty()) continue;
    if (all_digits(card) ? listed.number == atoi(card.c_str()) : listed.id == card)
      return {listed.id, listed.long_name};
  }
  if (all_digits(card)) return {{}, {}, atoi(card.c_str())};
  return {card, {}};
}

bool device_wait_card_listed(const dac_identity& identity) {
  const card_listing listing = card_list_cards(card_detail::names);
  return std::any_of(listing.cards.begin(), listing.cards.end(), [&](const sound_card& card) {
    if (!identity.card_id.empty() || !identity.long_name.empty())
      return card.faults.empty() && ((!identity.card_id.empty() && card.id == identity.card_id) ||
                                     (!identity.long_name.empty() && card.long_name == identity.long_name));
    return card.number == identity.card_number;
  });
}

bool device_wait_missing(int open_error) {
  return open_error == -ENODEV || open_error == -ENOENT || open_error == -ENXIO || open_error == -EIO;
}

bool device_wait_pause(int64_t* interval_micros, control_session* channel) {
  const bool reads_input = getpid() == thread_id();
  for (int64_t left = *interval_micros; left > 0 && !abort_requested.load(); left -= kKeyPollMicros) {
    if (reads_input && channel != nullptr) {
      control_session_wait_step(*channel);
    } else if (reads_input && poll_keyboard() == 'q') {
      abort_requested.store(-1);
    }
    usleep(static_cast<useconds_t>(std::min(left, kKeyPollMicros)));
  }
  *interval_micros = std::min(*interval_micros + kWaitPollStepMicros, kWaitLastPollMicros);
  return !abort_requested.load();
}

void device_wait_card_name(const std::string& card_id, int device, char (&name)[kDeviceNameBytes]) {
  snprintf(name, sizeof name, "hw:CARD=%s,DEV=%d", card_id.c_str(), device);
}

int device_wait_until_openable(const char* device_name, const char* what, control_session* channel) {
  const dac_identity identity = device_wait_identity(device_name);
  bool announced = false;
  for (int64_t interval = kWaitFirstPollMicros;;) {
    if (!identity.known() || device_wait_card_listed(identity)) {
      snd_pcm_t* raw = nullptr;
      const int err = snd_pcm_open(&raw, device_name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
      if (err == 0) snd_pcm_close(raw);
      if (err == 0 || !device_wait_missing(err)) {
        if (announced) leave_key_mode();
        return err;
      }
    }
    device_wait_announce(&announced, printable(what).c_str(), channel);
    if (!device_wait_pause(&interval, channel)) return 1;
  }
}

void device_wait_announce(bool* announced, const char* what, control_session* channel) {
  if (*announced) return;
  fprintf(stderr, "waiting for the DAC %s ...\n", what);
  fflush(stderr);
  *announced = true;
  if (getpid() != thread_id()) return;
  if (channel != nullptr) {
    control_session_wait_begins(*channel);
  } else {
    enter_key_mode();
  }
}

void device_wait_given_up(control_session* channel) {
  if (channel != nullptr && getpid() == thread_id()) control_session_end(*channel, 0);
  exit_program(0);
}

calm_priority::calm_priority() {
  sched_param param{};
  if (pthread_getschedparam(pthread_self(), &policy_, &param) == 0 && policy_ != SCHED_OTHER) {
    rt_priority_ = param.sched_priority;
    const sched_param normal{};
    if (pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal) != 0) policy_ = -1;
  } else {
    policy_ = -1;
  }
  errno = 0;
  nice_ = getpriority(PRIO_PROCESS, static_cast<id_t>(thread_id()));
  if (errno == 0 && nice_ < 0) renice_ = setpriority(PRIO_PROCESS, static_cast<id_t>(thread_id()), 0) == 0;
}

calm_priority::~calm_priority() {
  if (renice_) setpriority(PRIO_PROCESS, static_cast<id_t>(thread_id()), nice_);
  if (policy_ >= 0) {
    sched_param param{};
    param.sched_priority = rt_priority_;
    pthread_setschedparam(pthread_self(), policy_, &param);
  }
}
