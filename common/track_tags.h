// What a file's tags say of it, as its reader found them. Every text is a
// bounded copy (kTagTextBytes at most, cut on a character boundary) and
// empty when the file does not say.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

constexpr int32_t kTagTextBytes = 256;

struct track_tags {
  std::string title;
  std::string artist;
  std::string album;
  std::string track;  // as written: "3", "3/12"
  std::string date;   // as written: "1972", "1972-05-01"
  // ReplayGain: the gain in dB that brings the track (or its album) to the
  // reference loudness, and its peak as a linear sample value (1.0 = full scale).
  std::optional<double> track_gain_db;
  std::optional<double> track_peak;
  std::optional<double> album_gain_db;
  std::optional<double> album_peak;
};
