// lumen: sends PCM unchanged (or oversampled) and DSD as DoP or native DSD.
// Start-up, play list, format dispatch, main loop and drain.
#include <cstdio>

#include "alsathread.h"
#include "dir2files.h"
#include "music_file.h"
#include "parse_param.h"
#include "ringbuffer.h"
#include "util.h"
#include "wav.h"

namespace {

#ifdef LUMEN_WITH_FFMPEG
constexpr const char* kBanner =
    "by the Orvalis developers: bit-perfect PCM, DoP and native DSD for USB DACs.\n"
    "This program uses the FFmpeg libraries under the LGPL 2.1.";
#else
constexpr const char* kBanner = "by the Orvalis developers: bit-perfect PCM, DoP and native DSD for USB DACs.";
#endif

struct player_state {
  ringbuffer_ptr rb;
  music_file* shown_file = nullptr;
  read_function read = nullptr;
  music_file* current_file = nullptr;
  music_file* playing_file = nullptr;
};
player_state state;

void interrupt_handler(int) {
  if (repeated_interrupt()) fatal_error("Interrupt stack. Abort\n");
}

void open_music_file(music_file* file) {
  file->fp = fopen(file->file_name, "rb");
  if (file->fp == nullptr) fatal_error("file %s open error.\n", file->file_name);
  if (wav_open(file) == 0) {
    if (!describe_wav_stream(file)) fatal_error("sample bit length %d is not supported.\n", file->format.bits_per_sample);
    state.read = wav_read;
    return;
  }
  fclose(file->fp);
  file->fp = nullptr;
  fatal_error("file format of %s unknown.\n", file->file_name);
}

void close_music_file(music_file* file) {
  if (file == nullptr) return;
  if (file->fp != nullptr) fclose(file->fp);
  file->fp = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  install_interrupt_handler(interrupt_handler);
  raise_priority();
  parse_lumen_params(argc, argv, kBanner);
  if (params.first_file_index > argc) {
    print_usage(player_kind::lumen, argv[0]);
    fatal_error("argc is %d skip is %d\n", argc, params.first_file_index);
  }
  if (params.device_name[0] == '\0') find_last_card();
  if (params.device_name[0] == '\0') fatal_error("Output device is not defined.\n");

  char** paths = dir2files_build(params.first_file_index, argc, argv);
  if (paths[0] == nullptr) fatal_error("no files found.\n");
  play_list list = make_play_list(paths);
  dir2files_release_result();
  dir2files_release_all();

  for (music_file& file : list.records) {
    if (file.index < 0) break;
    open_music_file(&file);
    close_music_file(&file);
  }
  fatal_error("playback is not built yet.\n");
}
