// Waiting for a DAC that is not there (yet, or any more): which card it is,
// whether that card is listed, the unhurried pace of the polls, and the
// output thread's priority dropped while it waits.
#pragma once

#include <cstdint>
#include <string>

#include "parse_param.h"

struct control_session;

// How a waited-for card is known again when it comes back: its id, else its
// long name; both empty for a device that is no card's (then only opening
// it tells).
struct dac_identity {
  std::string card_id;
  std::string long_name;
  int card_number = -1;  // for a card named by number and not listed yet
  bool known() const { return !card_id.empty() || !long_name.empty() || card_number >= 0; }
};

// The card a device name such as "hw:1,0", "plughw:CARD=Combo384,DEV=0" or
// "hw:Combo384" names, as listed now; nothing known for other names or a
// card not listed (then a name by id still gives the id).
dac_identity device_wait_identity(const char* device_name);

// True when a card of that id or long name (else that number) is listed now.
bool device_wait_card_listed(const dac_identity& identity);

// An open refusal that means the device is not there: no card, no device.
bool device_wait_missing(int open_error);

// Polls run 4 times a second at first, then back off to twice a second.
constexpr int64_t kWaitFirstPollMicros = 250000;
constexpr int64_t kWaitLastPollMicros = 500000;

// On the main thread a wait reads standard input itself: the control
// channel's commands when there is one (quit ends the wait, status tells it,
// the others are kept for playback), else the keys (q ends it). Elsewhere
// the main loop reads it.

// Sleeps one poll interval and lengthens the next; false at once on an
// interrupt, or on q or quit read on the main thread.
bool device_wait_pause(int64_t* interval_micros, control_session* channel = nullptr);

// "hw:CARD=<id>,DEV=<device>": a name that stays the card's when it comes
// back under another number.
void device_wait_card_name(const std::string& card_id, int device, char (&name)[kDeviceNameBytes]);

// Opens the device, waiting as long as it takes while it is missing: its
// card polled when it is known, else the device opened, at the pace above.
// The first miss prints "waiting for the DAC <what> ...". 0 once it
// opens (the handle closed again), a refusal other than a missing device,
// or 1 after an interrupt.
int device_wait_until_openable(const char* device_name, const char* what, control_session* channel = nullptr);

// Says once, on the first call, that the program waits: "waiting for the
// DAC <what> ...", and on the main thread `state waiting` on the channel;
// without one, keys are read one by one from then on (for q), and the
// caller leaves key mode once the wait is over.
void device_wait_announce(bool* announced, const char* what, control_session* channel = nullptr);

// A wait ended by an interrupt, q or quit: the program ends with status 0,
// the channel told why when the main thread waited.
[[noreturn]] void device_wait_given_up(control_session* channel);

// The calling thread's scheduling while it waits: a real-time policy is
// dropped to the normal one and a raised priority to the default; both are
// restored when the record goes.
class calm_priority {
 public:
  calm_priority();
  ~calm_priority();
  calm_priority(const calm_priority&) = delete;
  calm_priority& operator=(const calm_priority&) = delete;

 private:
  int policy_ = -1;
  int rt_priority_ = 0;
  int nice_ = 0;
  bool renice_ = false;
};
