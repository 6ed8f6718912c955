// brisa: plays every PCM file as a one-bit delta-sigma stream (native DSD or
// DoP) and re-modulates DSD files to its output rate.
#pragma once

#include "alsathread.h"
#include "deltasigma.h"
#include "dsd_frame.h"
#include "fir.h"
#include "modulator_snapshots.h"
#include "pcm_output.h"
#include "player.h"
#include "replaygain.h"
#include "volume_keys.h"

// The whole program: the engine's start-up (player_start) with brisa's
// parts, device and stream; returns the exit status.
int brisa_main(int argc, char** argv);

// What one run of brisa's steps keeps: the DAC, how its frames are laid out
// (set once the device is probed), the filter and its list, the modulators,
// the DSD file's rate ratio, the volume keys.
struct brisa_run {
  dac_choice dac;  // found at start-up
  dsd_packing packing;
  fir_filter filter;
  bool short_filter = false;
  delta_sigma modulators;
  int32_t dsd_ratio = 0;  // of the DSD file being converted
  volume_keys keys;
  replaygain_mode replaygain = replaygain_mode::off;
  float pcm_gain = 1.0f;  // the PCM file's ReplayGain, before the filter
  float dsd_gain = 1.0f;  // the DSD file's ReplayGain, in the modulators
  // After a volume change the music made again glides from the old level to
  // the new one (the modulators' level) instead of stepping: glide_from is
  // the old level over the new, the ramp counts the frames written, and the
  // glide began at glide_units into file glide_file (-1: none yet).
  fade_ramp volume_glide{};
  float glide_from = 1.0f;
  int32_t glide_file = -1;
  int64_t glide_units = 0;
  // The glide scales the filter's outputs, not its input, so that the
  // outputs the device already had, made again after a jump, come out of
  // the filter as they first did and go through the modulators as they
  // first did (at that volume and the level heard there): the modulators
  // reach the join in the very state they had. output_gain is the glide's
  // gain for the outputs of the input frame being converted.
  int32_t priming_attenuation = 0;
  float priming_gain = 1.0f;
  float output_gain = 1.0f;
  double filter_delay_seconds = 0;  // of the filter last set up (the same at every rate)
  modulator_snapshots snapshots;
  std::vector<uint32_t> landing;  // words taking the modulators into the idle pattern, not yet written
};

// brisa's readers and conversion steps working on run, the channels cut and
// the filter list (short or normal) as asked; without a device they can run
// on any list (player_begin_stream).
player_parts brisa_parts(brisa_run& run, bool left_cut, bool right_cut, bool short_filter);
// Lays the steps' frames out for the stream (its format and frame size).
void brisa_lay_out(brisa_run& run, const output_stream& stream);
