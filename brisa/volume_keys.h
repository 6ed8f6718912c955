// brisa's volume keys while playing: "+" and "-", or digits then Enter.
#pragma once

#include <cstdint>
#include <optional>

// The number typed so far: digits before Enter.
struct volume_keys {
  int32_t digits = -1;  // -1 while no digit has been typed
};

// What a key asks of the volume, given the current volume in dB: "+" and "-"
// one dB up or down, digits then Enter minus that many dB. The caller hands
// the request to set_volume, which refuses values outside -48..0.
std::optional<int32_t> volume_key_request(volume_keys& keys, int byte, int32_t current_db);
