// lumen: sends PCM unchanged (or oversampled) and DSD as DoP or native DSD,
// one stream for each run of files of one kind and rate.
#pragma once

#include "pcm_output.h"
#include "player.h"

// The whole program: the engine's start-up (player_start) with lumen's
// parts, device and streams; returns the exit status.
int lumen_main(int argc, char** argv);

// lumen's readers and conversion steps, oversampled and the channels cut as
// asked; without a device they can run on any list (player_begin_stream).
player_parts lumen_parts(bool oversample, bool left_cut, bool right_cut);
// Lays the steps' frames out for the stream (its format and frame size).
void lumen_lay_out(const output_stream& stream);
