// Prints Korvo's device list, one "label|device" line per entry, for the
// discovery tests that run it under the fake-cards shim. The optional
// argument is the directory searched for converter nodes.
#include <cstdio>

#include "discovery.h"

int main(int argc, char** argv) {
  discover_devices(argc > 1 ? argv[1] : kDeviceNodeDir);
  for (const device_entry& entry : device_list()) printf("%s|%s\n", entry.label.c_str(), entry.device.c_str());
  return 0;
}
