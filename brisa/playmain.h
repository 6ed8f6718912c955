// brisa: plays every PCM file as a one-bit delta-sigma stream (native DSD or
// DoP) and re-modulates DSD files to its output rate.
#pragma once

#include "deltasigma.h"
#include "fir.h"
#include "pcm_output.h"
#include "player.h"

// The whole program: start-up, playback of the list, exit status.
int brisa_main(int argc, char** argv);

// brisa's readers and conversion steps, the channels cut as asked; without
// a device they can run on any list (player_begin_stream).
player_parts brisa_parts(bool left_cut, bool right_cut);
// Lays the steps' frames out for the stream (its format and frame size).
void brisa_lay_out(const output_stream& stream);
// The steps' filter and modulators, for the conversion fuzz target, which
// sets them up for each run as the command line would.
fir_filter& brisa_filter();
delta_sigma& brisa_modulators();
