#include "replaygain.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

std::optional<replaygain_choice> replaygain_for(const track_tags& tags, replaygain_mode mode, bool full_scale_only) {
  if (mode == replaygain_mode::off) return std::nullopt;
  struct values {
    std::optional<double> gain;
    std::optional<double> peak;
    const char* source;
  };
  const values track{tags.track_gain_db, tags.track_peak, "track"};
  const values album{tags.album_gain_db, tags.album_peak, "album"};
  const values& wanted = mode == replaygain_mode::album ? album : track;
  const values& other = mode == replaygain_mode::album ? track : album;
  const values& taken = wanted.gain ? wanted : other;
  if (!taken.gain) return std::nullopt;
  double gain = *taken.gain;
  if (taken.peak && *taken.peak > 0) gain = std::min(gain, -20.0 * std::log10(*taken.peak));
  if (full_scale_only) gain = std::min(gain, 0.0);
  return replaygain_choice{gain, taken.source};
}

float replaygain_factor(double gain_db) { return static_cast<float>(std::pow(10.0, gain_db / 20.0)); }

std::string replaygain_text(const std::optional<replaygain_choice>& choice) {
  if (!choice) return {};
  char text[64];
  snprintf(text, sizeof text, "replaygain %+.2f dB (%s)", choice->gain_db, choice->source);
  return text;
}
