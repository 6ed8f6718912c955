// ReplayGain for brisa: the gain a file's tags ask for in the mode chosen
// with --replaygain=, held to what its peak allows without clipping.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "track_tags.h"

enum class replaygain_mode : int32_t { off = 0, track = 1, album = 2 };

struct replaygain_choice {
  double gain_db;
  const char* source;  // "track" or "album": whose values were taken
};

// The gain for the file's tags: the mode's own gain, else the other one;
// none when the mode is off or the tags hold no gain. With the peak that
// goes with the gain, the gain never takes a sample past full scale;
// full_scale_only keeps it at 0 dB at most whatever the peak (DSD, whose
// modulator overloads past full scale).
std::optional<replaygain_choice> replaygain_for(const track_tags& tags, replaygain_mode mode, bool full_scale_only);

// The linear factor of a gain in dB.
float replaygain_factor(double gain_db);

// "replaygain -6.00 dB (track)"; empty for none.
std::string replaygain_text(const std::optional<replaygain_choice>& choice);
