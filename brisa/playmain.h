// brisa: plays every PCM file as a one-bit delta-sigma stream (native DSD or
// DoP) and re-modulates DSD files to its output rate.
#pragma once

#include "pcm_output.h"
#include "player.h"

// The whole program: the engine's start-up (player_start) with brisa's
// parts, device and stream; returns the exit status.
int brisa_main(int argc, char** argv);

// brisa's readers and conversion steps, the channels cut and the filter list
// (short or normal) as asked; without a device they can run on any list
// (player_begin_stream).
player_parts brisa_parts(bool left_cut, bool right_cut, bool short_filter);
// Lays the steps' frames out for the stream (its format and frame size).
void brisa_lay_out(const output_stream& stream);
