#include "control_events.h"

#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "control_channel.h"
#include "folder_music.h"
#include "player.h"
#include "stream_constants.h"
#include "util.h"

namespace {

// A command line longer than this is refused whole (a path is at most 4096).
constexpr size_t kLongestLine = 16384;
constexpr size_t kReadBytes = 4096;
// Events while playing: one every this many units of music heard (half a second).
constexpr int64_t kPositionUnits = kOversampledRate / 2;

void send(const control_session& session, std::string_view line) {
  for (size_t at = 0; at < line.size();) {
    const ssize_t written = write(session.events_fd, line.data() + at, line.size() - at);
    if (written < 0 && errno == EINTR) continue;
    // The program that drives the player has gone: playback stops as on a hang-up.
    if (written < 0 && errno == EPIPE) abort_requested.store(-1);
    if (written <= 0) return;
    at += static_cast<size_t>(written);
  }
}

void send_error(const control_session& session, std::string_view text) {
  send(session, control_event(control_event_name::kError, text));
}

int64_t heard_units(music_file& file) {
  return std::atomic_ref<int64_t>(file.played_count).load(std::memory_order_relaxed);
}

std::string format_of(const player& p) {
  if (p.job == nullptr || p.stream_rate <= 0) return {};
  const auto format = static_cast<snd_pcm_format_t>(p.stream_format);
  const int width = snd_pcm_format_width(format);
  const bool native_dsd = format == SND_PCM_FORMAT_DSD_U8 || format == SND_PCM_FORMAT_DSD_U16_LE ||
                          format == SND_PCM_FORMAT_DSD_U16_BE || format == SND_PCM_FORMAT_DSD_U32_LE ||
                          format == SND_PCM_FORMAT_DSD_U32_BE;
  if (native_dsd) return control_format_name(control_stream_kind::dsd, int64_t{p.stream_rate} * width, width, 2);
  const bool dop = p.parts.sends_dsd || (p.stream_file != nullptr && is_dsd(*p.stream_file));
  // DoP carries 16 one-bit samples a channel in each frame.
  if (dop) return control_format_name(control_stream_kind::dop, int64_t{p.stream_rate} * 16, width, 2);
  return control_format_name(control_stream_kind::pcm, p.stream_rate, width, 2);
}

void send_tags(const control_session& session, const track_tags& tags) {
  const std::pair<std::string_view, const std::string*> fields[] = {
      {control_tag_name::kTitle, &tags.title}, {control_tag_name::kArtist, &tags.artist},
      {control_tag_name::kAlbum, &tags.album}, {control_tag_name::kTrack, &tags.track},
      {control_tag_name::kDate, &tags.date},
  };
  for (const auto& [name, text] : fields) {
    if (!text->empty()) send(session, control_event(control_event_name::kTag, name, *text));
  }
}

void send_state(control_session& session, std::string_view state) {
  if (state == session.state_sent) return;
  session.state_sent = state;
  send(session, control_event(control_event_name::kState, state));
}

// Every event whose subject changed since it was sent.
void send_changes(control_session& session, player& p) {
  // The output side waits for a lost DAC while its count of waits is odd. A
  // wait that began since the last step is told even when it is over.
  const int32_t waits = p.control.device_waits.load();
  const int32_t seen = std::exchange(session.device_waits_seen, waits);
  if (waits != seen && (seen % 2 == 0 || waits - seen > 1)) send_state(session, control_state_name::kWaiting);
  send_state(session, waits % 2 != 0            ? control_state_name::kWaiting
                      : p.control.paused.load() ? control_state_name::kPaused
                                                : control_state_name::kPlaying);
  if (p.file_count != session.count_sent) {
    session.count_sent = p.file_count;
    send(session, control_event(control_event_name::kList, std::to_string(p.file_count)));
  }
  if (const std::string format = format_of(p); !format.empty() && format != session.format_sent) {
    session.format_sent = format;
    send(session, control_event(control_event_name::kFormat, format));
  }
  if (p.parts.volume_db != nullptr) {
    if (const int32_t volume = p.parts.volume_db(p); volume != session.volume_sent) {
      session.volume_sent = volume;
      send(session, control_event(control_event_name::kVolume, std::to_string(volume)));
    }
  }
  music_file* playing = p.playing_file.load(std::memory_order_acquire);
  if (playing == nullptr || playing->index < 0) return;
  const bool new_file = playing != session.file_sent || playing->index != session.index_sent;
  if (new_file) {
    session.file_sent = playing;
    session.index_sent = playing->index;
    send(session, control_event(control_event_name::kFile, std::to_string(playing->index),
                                playing->file_name != nullptr ? playing->file_name : ""));
    send_tags(session, playing->tags);
  }
  const int64_t units = heard_units(*playing);
  const int64_t half_seconds = units / kPositionUnits;
  if (new_file || half_seconds != session.half_seconds_sent) {
    session.half_seconds_sent = half_seconds;
    const int64_t millis = units / (kOversampledRate / 1000);
    send(session, control_event(control_event_name::kPosition, control_seconds_text(millis),
                                control_seconds_text(duration_millis(*playing))));
  }
}

// Why a path cannot join the list, in the words of the player's refusals; empty when it can.
std::string probe_refusal(const player& p, const std::string& path) {
  music_file probe{};
  probe.file_name = const_cast<char*>(path.c_str());
  const recognition found = recognise_music_file(&probe, p.parts.readers);
  std::string why;
  switch (found.result) {
    case recognised::file:
      if (probe.remaining_bytes < (is_dsd(probe) ? 1 : probe.format.block_align) ||
          (found.reader->on_stream && !holds_a_frame(probe))) {
        why = "nothing to play in " + path;
      }
      break;
    case recognised::cannot_open: why = "file " + path + " open error"; break;
    case recognised::not_regular: why = path + " is not a regular file"; break;
    case recognised::refused:
      why = path + " cannot be played: " + (probe.refusal != nullptr ? probe.refusal : "");
      break;
    case recognised::unknown_format: why = "file format of " + path + " unknown"; break;
    case recognised::unsupported_bits:
      why = path + ": sample bit length " + std::to_string(probe.format.bits_per_sample) + " is not supported";
      break;
  }
  close_music_file(&probe, found.reader);
  return why;
}

// Appends the path to the list when it can be played, or a folder's music
// as the command line lists it; each file that cannot be played is refused.
// Reading goes on with the first one added when the list's end had been
// read. True when the main loop reads on.
bool append(const control_session& session, player& p, const std::string& path) {
  if (p.list == nullptr) return false;
  struct stat info;
  const bool folder = stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  const std::vector<std::string> paths = folder ? folder_music_of(path, p.parts.readers) : std::vector{path};
  if (paths.empty()) send_error(session, "nothing to play in " + path);
  music_file* first_added = nullptr;
  for (const std::string& file : paths) {
    if (const std::string why = probe_refusal(p, file); !why.empty()) {
      send_error(session, why);
      continue;
    }
    music_file* added = play_list_append(*p.list, file);
    if (added == nullptr) {
      send_error(session, "the play list is full: " + file + " not added");
      break;
    }
    if (first_added == nullptr) first_added = added;
  }
  p.file_count = p.list->count();
  return first_added != nullptr && p.current_file == first_added && player_read_on(p);
}

// Drops the files after the one being read.
void clear(player& p) {
  if (p.list == nullptr || p.current_file == nullptr || p.current_file->index < 0) return;
  play_list_truncate(*p.list, p.current_file->index + 1);
  p.file_count = p.list->count();
}

// Every event is sent again by the next step.
void forget_sent(control_session& session) {
  session.file_sent = nullptr;
  session.index_sent = -1;
  session.state_sent.clear();
  session.format_sent.clear();
  session.half_seconds_sent = -1;
  session.volume_sent = INT32_MIN;
  session.count_sent = -1;
}

void ask_quit(control_session& session) {
  session.stop_reason = control_state_name::kQuitAsked;
  abort_requested.store(-1);  // as an interrupt: the stream ends in its silence
}

bool act(control_session& session, player& p, const control_command& command, key_action act_on_key) {
  switch (command.verb) {
    case control_verb::pause: return player_set_paused(p, true);
    case control_verb::resume: return player_set_paused(p, false);
    case control_verb::next: return act_on_key(p, 'n');
    case control_verb::previous: return act_on_key(p, 'p');
    case control_verb::seek: return player_seek(p, command.millis, command.relative);
    case control_verb::volume:
      if (p.parts.set_volume_db == nullptr) {
        send_error(session, "this player has no volume");
      } else if (!p.parts.set_volume_db(p, command.volume_db)) {
        send_error(session, "volume " + std::to_string(command.volume_db) + " is out of range (-48 to 0 dB)");
      }
      break;
    case control_verb::append: return append(session, p, command.path);
    case control_verb::clear: clear(p); break;
    case control_verb::status: forget_sent(session); break;
    case control_verb::quit: ask_quit(session); break;
  }
  p.seconds_shown = -1;  // the human line shows a change at once
  return false;
}

// The next whole command line, if one has come.
std::optional<std::string> read_line(control_session& session) {
  for (;;) {
    const size_t newline = session.pending.find('\n');
    if (newline != std::string::npos) {
      std::string line = session.pending.substr(0, newline);
      session.pending.erase(0, newline + 1);
      if (!std::exchange(session.discarding, false)) return line;
      continue;
    }
    if (session.pending.size() > kLongestLine) {
      session.pending.clear();
      if (!session.discarding) send_error(session, "command line too long");
      session.discarding = true;
    }
    if (session.input_ended) return std::nullopt;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(STDIN_FILENO, &readable);
    struct timeval no_wait = {0, 0};
    if (select(STDIN_FILENO + 1, &readable, nullptr, nullptr, &no_wait) <= 0) return std::nullopt;
    char buffer[kReadBytes];
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return std::nullopt;
    if (got <= 0) {
      // A last line without its newline still counts.
      session.input_ended = true;
      if (session.pending.empty() || session.discarding) return std::nullopt;
      return std::exchange(session.pending, {});
    }
    session.pending.append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace

bool control_session_begin(control_session& session) {
  const int events = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  if (events < 0) return false;
  fflush(stdout);
  if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    close(events);
    return false;
  }
  session.events_fd = events;
  set_fatal_event_sink(events);
  signal(SIGPIPE, SIG_IGN);  // a reader gone shows as EPIPE, and playback stops in its silence
  return true;
}

bool control_session_step(control_session& session, player& p, key_action act_on_key) {
  bool reads_on = false;
  std::optional<std::string> line;
  if (session.held.empty()) {
    line = read_line(session);
  } else {
    line = std::move(session.held.front());
    session.held.pop_front();
  }
  if (line) {
    std::string why;
    if (const std::optional<control_command> command = control_parse_command(*line, &why)) {
      reads_on = act(session, p, *command, act_on_key);
    } else {
      send_error(session, why);
    }
  }
  send_changes(session, p);
  return reads_on;
}

void control_session_wait_begins(control_session& session) { send_state(session, control_state_name::kWaiting); }

bool control_session_wait_step(control_session& session) {
  while (std::optional<std::string> line = read_line(session)) {
    std::string why;
    const std::optional<control_command> command = control_parse_command(*line, &why);
    if (!command) {
      send_error(session, why);
    } else if (command->verb == control_verb::quit) {
      ask_quit(session);
      return false;
    } else if (command->verb == control_verb::status) {
      forget_sent(session);
      send_state(session, control_state_name::kWaiting);
    } else {
      session.held.push_back(std::move(*line));
    }
  }
  return !abort_requested.load();
}

void control_session_end(control_session& session, int exit_status) {
  set_fatal_event_sink(-1);
  std::string_view reason = session.stop_reason;
  if (reason.empty())
    reason = abort_requested.load() ? control_state_name::kInterrupted : control_state_name::kEndOfList;
  send(session, control_event(control_event_name::kState, control_state_name::kStopped, reason));
  send(session, control_event(control_event_name::kExit, std::to_string(exit_status)));
}

void control_session_send(const control_session& session, std::string_view line) { send(session, line); }
