#include "volume_keys.h"

#include <algorithm>

std::optional<int32_t> volume_key_request(volume_keys& keys, int byte, int32_t current_db) {
  switch (byte) {
    case '+': return current_db + 1;
    case '-': return current_db - 1;
    case '\n':
      if (keys.digits < 0) return std::nullopt;
      {
        const int32_t attenuation = keys.digits;
        keys.digits = -1;
        return -attenuation;
      }
    default:
      if (byte >= '0' && byte <= '9') {
        const int32_t digit = byte - '0';
        // Saturate: a long run of digits asks for far more than -48 dB anyway.
        keys.digits = keys.digits < 0 ? digit : std::min<int32_t>(keys.digits * 10 + digit, 1000000);
      }
      return std::nullopt;
  }
}
