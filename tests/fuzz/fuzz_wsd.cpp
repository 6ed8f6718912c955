// libFuzzer target: wsd_open, then wsd_read to the end in calls of
// varying size, on arbitrary bytes.
#include "dsd_reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzz_interleaved_dsd_reader(data, size, wsd_open, wsd_read);
}
