#include "deltasigma.h"

#include <array>

namespace {

// 2^31 * 2^(-k/6) for k = 1..6: one sixth of an octave per step.
constexpr std::array<uint32_t, 6> kSixthOctave = {0x7208F81D, 0x6597FA94, 0x5A827999,
                                                  0x50A28BE6, 0x47D66B07, 0x40000000};

constexpr std::array<int32_t, kLevelTableSize> make_level_table() {
  std::array<int32_t, kLevelTableSize> table{};
  for (int32_t i = 0; i < kLevelTableSize; ++i) {
    table[i] = static_cast<int32_t>(kSixthOctave[i % 6] >> (i / 6 + 2));
  }
  return table;
}
constexpr auto kLevelTable = make_level_table();
static_assert(kLevelTable[0] == 478297607 && kLevelTable[6] == 239148803 && kLevelTable[47] == 2097152);

int32_t attenuation = 0;  // the volume in dB with the sign reversed, 0..48
int32_t level = 1;

}  // namespace

int32_t level_table_entry(int32_t db_down) {
  // 48 dB down has no table entry: it is silence.
  return db_down >= 0 && db_down < kLevelTableSize ? kLevelTable[db_down] : 0;
}

int32_t select_modulator_level(int32_t requested) {
  if (requested != 1 && requested != 2 && requested != 7) return 0;
  level = requested;
  return -1;
}

int32_t modulator_level() { return level; }

int32_t set_volume(int32_t db) {
  if (db < -kMaxAttenuationDb || db > 0) return get_volume();
  attenuation = -db;
  return db;
}

int32_t get_volume() { return -attenuation; }
