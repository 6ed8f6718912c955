// A player program from start to end, the same for every player: the
// interrupt handler, the priority, the command line, the device, the play
// list, the files checked, the first stream, pre-fill and playback. The
// player describes what is its own; the engine runs the steps in order.
#pragma once

#include <cstdint>
#include <string_view>

#include "music_file.h"
#include "parse_param.h"
#include "pcm_output.h"
#include "player.h"

struct player_program {
  // The player's own source module: start-up failures and a repeated
  // interrupt are reported in its name.
  std::string_view module;
  const option_table* options = nullptr;
  // The player's state for the run (its device, layout, filter): handed to
  // each function below and kept in the parts as their context.
  void* context = nullptr;
  // Sets up the decoders its readers use (FFmpeg); null for a player without.
  void (*init_decoders)() = nullptr;
  // Settles the device before the files are listed; fatal when there is none.
  // A wait for it reads and tells the control channel, when there is one.
  void (*choose_device)(void* context, const play_params& params, control_session* channel) = nullptr;
  // Runs once the list is made, before any file is opened; the player may
  // end the program there (a count of the files). Null: nothing.
  void (*list_made)(void* context, const play_params& params, play_list& list) = nullptr;
  // The engine parts for the command line.
  player_parts (*parts)(void* context, const play_params& params) = nullptr;
  // The first stream: the device probed once, the player's layout set.
  output_stream (*first_stream)(player& p, const play_params& params) = nullptr;
  // The ring buffer's unit, in frames of the stream.
  int32_t frames_per_unit = 1;
  // -B's size is settled (a size below the default reported) before the
  // list is made, not at pre-fill.
  bool buffer_size_first = false;
  // Runs between pre-fill and playback. Null: nothing.
  void (*prefilled)(void* context, const play_params& params) = nullptr;
};

// Runs the program on its command line and returns its exit status once
// the list has played; every failure on the way ends the process.
int player_start(int argc, char** argv, const player_program& program);
