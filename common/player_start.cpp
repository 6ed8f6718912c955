#include "player_start.h"

#include "control_events.h"
#include "dir2files.h"
#include "folder_music.h"
#include "util.h"

namespace {

// The module a repeated interrupt's report names. Set once, before the
// handler is installed, and only read by it.
std::string_view interrupted_module;

void interrupt_handler(int) {
  if (repeated_interrupt()) fatal_error_at(interrupted_module, __LINE__, "Interrupt stack. Abort\n");
}

}  // namespace

int player_start(int argc, char** argv, const player_program& program) {
  interrupted_module = program.module;
  install_interrupt_handler(interrupt_handler);
  raise_priority();
  const play_params params = parse_params(argc, argv, *program.options);
  if (params.first_file_index > argc) {
    print_usage(*program.options, argv[0]);
    fatal_error_at(program.module, __LINE__, "argc is %d skip is %d\n", argc, params.first_file_index);
  }
  // From here on standard output carries the channel's events alone.
  control_session session;
  if (params.control && !control_session_begin(session)) {
    fatal_error_at(program.module, __LINE__, "the control channel cannot be set up.\n");
  }
  if (program.init_decoders != nullptr) program.init_decoders();
  program.choose_device(program.context, params, params.control ? &session : nullptr);

  const player_parts parts = program.parts(program.context, params);
  // The records never move once built: what is not music goes first.
  std::vector<std::string> paths =
      folder_music_keep(dir2files_list(params.first_file_index, argc, argv), parts.readers);
  if (paths.empty()) fatal_error_at(program.module, __LINE__, "no files found.\n");
  int32_t buffer_bytes = program.buffer_size_first ? player_buffer_bytes(params.buffer_size) : 0;
  play_list list = make_play_list(std::move(paths));
  if (program.list_made != nullptr) program.list_made(program.context, params, list);

  player p;
  player_setup(p, parts, list, params.silent != 0, params.mode_name);
  if (params.control) p.channel = &session;
  player_check_files(p);

  output_stream stream = program.first_stream(p, params);
  if (!program.buffer_size_first) buffer_bytes = player_buffer_bytes(params.buffer_size);
  player_prefill(p, buffer_bytes, program.frames_per_unit * stream.frame_bytes);
  if (program.prefilled != nullptr) program.prefilled(program.context, params);
  player_play(p, stream);
  leave_key_mode();
  if (p.channel != nullptr) control_session_end(session, 0);
  return 0;
}
