// Prints the card list, one "number|id|name|long name|devices|faults" line
// per card, for the card-list tests that run it under the fake-cards shim.
// The argument is the detail: numbers, names or playback.
#include <cstdio>
#include <cstring>

#include "card_list.h"

int main(int argc, char** argv) {
  const char* detail = argc > 1 ? argv[1] : "playback";
  const card_detail asked = strcmp(detail, "numbers") == 0 ? card_detail::numbers
                            : strcmp(detail, "names") == 0 ? card_detail::names
                                                           : card_detail::playback_devices;
  const card_listing listing = card_list_cards(asked);
  for (const sound_card& card : listing.cards) {
    printf("%d|%s|%s|%s|", card.number, card.id.c_str(), card.name.c_str(), card.long_name.c_str());
    const char* separator = "";
    for (const card_playback_device& pcm : card.playback) {
      printf("%s%d:%s", separator, pcm.device, pcm.name.c_str());
      separator = ",";
    }
    printf("|%zu\n", card.faults.size());
  }
  if (listing.next_card_error != 0) printf("next card error %d\n", listing.next_card_error);
  return 0;
}
