// The modulators' settings in their record: the level, the volume through
// the level table, the vector width; and the reset of the channels' states.
#include "deltasigma.h"
#include "modulator_state.h"

int32_t level_table_entry(int32_t db_down) {
  // 48 dB down has no table entry: it is silence.
  return modulator::volume_level(db_down);
}

int32_t select_modulator_level(delta_sigma& modulators, int32_t requested) {
  if (requested != 1 && requested != 2 && requested != 7) return 0;
  modulators.level = requested;
  return -1;
}

int32_t modulator_level(const delta_sigma& modulators) { return modulators.level; }

int32_t set_volume(delta_sigma& modulators, int32_t db) {
  if (!volume_in_range(db)) return get_volume(modulators);
  modulators.attenuation = -db;
  return db;
}

int32_t get_volume(const delta_sigma& modulators) { return -modulators.attenuation; }

void reset_modulators(delta_sigma& modulators) { modulators.channels = {}; }

bool modulator_vectors_available() { return simd::cpu_has_avx2(); }

bool select_modulator_vectors(delta_sigma& modulators, bool wide) {
  modulators.wide = wide && modulator_vectors_available();
  return modulators.wide;
}
