// The hostile-file battery: a few dozen damaged, absurd or tiny files per
// format (truncations, absurd chunk sizes, rates, channel counts, block
// sizes, overflowing counts), for running the players against.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct hostile_file {
  std::string name;  // says what is wrong with it; ends in the format's extension
  std::vector<uint8_t> bytes;
};

// The battery for one format: "wav", "dff", "wsd" or "dsf".
std::vector<hostile_file> hostile_files(const std::string& format);
