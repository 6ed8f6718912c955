// lumen: sends PCM unchanged (or oversampled) and DSD as DoP or native DSD,
// one stream for each run of files of one kind and rate.
#pragma once

#include <array>
#include <cstdint>

#include "dsd_frame.h"
#include "fir.h"
#include "parse_param.h"
#include "pcm_output.h"
#include "player.h"

// The whole program: the engine's start-up (player_start) with lumen's
// parts, device and streams; returns the exit status.
int lumen_main(int argc, char** argv);

// How PCM samples go out: the stream's format and its widths.
struct pcm_layout {
  int32_t format = 0;
  int32_t sample_bytes = 0;  // physical width of the format / 8
  int32_t frame_bytes = 0;
};

// With -os, the frames a step's input became wait here and go into the ring
// buffer together when the step ends (or this fills): a write, and its
// handshake with the output thread, per many input frames.
constexpr int32_t kLumenStagedBytes = 8192;

// What one run of lumen's steps keeps: the device, what the command line
// asked, and how the current stream's frames are laid out (set whenever a
// stream is probed).
struct lumen_run {
  char device_name[kDeviceNameBytes] = {};
  bool wait_device = false;  // --wait-device
  bool oversample = false;
  bool left_cut = false;
  bool right_cut = false;
  pcm_layout pcm;
  dsd_packing dsd;
  fir_filter filter;                // with -os
  double filter_delay_seconds = 0;  // of the filter last set up (the same at every rate)
  alignas(16) std::array<int32_t, kLumenStagedBytes / 4> staged{};  // with -os, empty between steps
  int32_t staged_bytes = 0;
};

// lumen's readers and conversion steps working on run, oversampled and the
// channels cut as asked; without a device they can run on any list
// (player_begin_stream).
player_parts lumen_parts(lumen_run& run, bool oversample, bool left_cut, bool right_cut);
// Lays the steps' frames out for the stream (its format and frame size).
void lumen_lay_out(lumen_run& run, const output_stream& stream);
