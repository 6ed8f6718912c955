// The modulators' settings: the level, the volume through the level table,
// the vector width; and the process-wide record that holds them beside the
// channels' states.
#include "deltasigma.h"
#include "modulator_state.h"

namespace modulator {

record global;

}  // namespace modulator

using modulator::global;

int32_t level_table_entry(int32_t db_down) {
  // 48 dB down has no table entry: it is silence.
  return modulator::volume_level(db_down);
}

int32_t select_modulator_level(int32_t requested) {
  if (requested != 1 && requested != 2 && requested != 7) return 0;
  global.level = requested;
  return -1;
}

int32_t modulator_level() { return global.level; }

int32_t set_volume(int32_t db) {
  if (db < -kMaxAttenuationDb || db > 0) return get_volume();
  global.attenuation = -db;
  return db;
}

int32_t get_volume() { return -global.attenuation; }

void reset_modulators() { global.fresh = true; }

bool select_modulator_vectors(bool wide) {
  global.wide = wide && simd::cpu_has_avx2();
  return global.wide;
}
