// lumen's ALSA side: the device when none is given, the PCM or DoP stream
// set up from the first file, and the output thread.
#pragma once

#include <cstdint>

// Writes "hw:N,0" with the highest card number into device_name and returns
// true; false (device_name untouched) when there is no card.
bool find_last_card();
