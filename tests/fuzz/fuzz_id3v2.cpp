// libFuzzer target: the ID3v2 parser the DSD and WAV readers share, on
// arbitrary bytes. Traps when a text passes its bound.
#include <cstdint>
#include <span>

#include "id3v2.h"

namespace {

bool bounded(const std::string& text) { return text.size() <= static_cast<size_t>(kTagTextBytes); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  track_tags tags;
  id3v2_parse(std::span<const uint8_t>(data, size), &tags);
  for (const std::string* text : {&tags.title, &tags.artist, &tags.album, &tags.track, &tags.date}) {
    if (!bounded(*text)) __builtin_trap();
  }
  return 0;
}
