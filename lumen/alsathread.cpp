#include "alsathread.h"

#include <alsa/asoundlib.h>

#include <cstdio>

#include "parse_param.h"

bool find_last_card() {
  int card = -1;
  int last = -1;
  while (snd_card_next(&card) == 0 && card >= 0) last = card;
  if (last < 0) return false;
  printf("last device hw:%d,0\n", last);
  snprintf(params.device_name, sizeof params.device_name, "hw:%d,0", last);
  return true;
}
