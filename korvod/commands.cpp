#include "commands.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <string_view>

#include "library_query.h"
#include "music_paths.h"
#include "playback.h"
#include "saved_state.h"

namespace {

// The protocol version whose commands korvod implements.
struct command_context {
  daemon_state& d;
  command_session& session;
  const std::vector<std::string>& args;
  std::string& out;
};

using failure = std::optional<command_failure>;
using handler = failure (*)(command_context&);

struct command_entry {
  std::string_view name;
  handler run;
  int8_t least_args;
  int8_t most_args;  // -1: any number
};

failure fail(mpd_error code, std::string message) { return command_failure{code, std::move(message)}; }
failure ok() { return std::nullopt; }

constexpr struct {
  uint32_t bit;
  std::string_view name;
} kIdleNames[] = {
    {kIdleDatabase, "database"},
    {kIdleUpdate, "update"},
    {kIdleStoredPlaylist, "stored_playlist"},
    {kIdlePlaylist, "playlist"},
    {kIdlePlayer, "player"},
    {kIdleMixer, "mixer"},
    {kIdleOutput, "output"},
    {kIdleOptions, "options"},
    {kIdlePartition, "partition"},
    {kIdleSticker, "sticker"},
    {kIdleSubscription, "subscription"},
    {kIdleMessage, "message"},
};

std::string seconds_text(int64_t millis) {
  char text[32];
  snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(millis / 1000),
           static_cast<long long>(millis % 1000));
  return text;
}

std::string iso_time(int64_t seconds) {
  const time_t when = static_cast<time_t>(seconds);
  tm parts{};
  gmtime_r(&when, &parts);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

void song_fields(std::string& out, std::string_view uri, const song_record* song) {
  out += mpd_field("file", uri);
  if (song == nullptr) return;
  out += mpd_field("Last-Modified", iso_time(song->modified));
  if (!song->format.empty()) out += mpd_field("Format", song->format);
  for (const song_tag tag : kListedTags) {
    const std::string_view value = library_tag_value(*song, tag);
    if (!value.empty()) out += mpd_field(library_tag_name(tag), value);
  }
  out += mpd_field("Time", std::to_string((song->duration_ms + 500) / 1000));
  out += mpd_field("duration", seconds_text(song->duration_ms));
}

void entry_fields(const daemon_state& d, std::string& out, size_t position) {
  const queue_entry& entry = d.queue.entries[position];
  song_fields(out, entry.uri, library_find_song(d.library, entry.uri));
  out += mpd_field("Pos", std::to_string(position));
  out += mpd_field("Id", std::to_string(entry.id));
}

std::optional<int64_t> integer_arg(const std::string& text) { return mpd_parse_integer(text); }

failure bad_integer(const std::string& text) { return fail(mpd_error::arg, "Integer expected: " + text); }

// A client's path: clean, relative; "/" stands for the root as in MPD.
failure check_uri(std::string& uri) {
  while (!uri.empty() && uri.back() == '/') uri.pop_back();
  if (!uri.empty() && uri.front() == '/') return fail(mpd_error::permission, "Access denied");
  if (!music_uri_is_clean(uri)) return fail(mpd_error::arg, "Malformed URI");
  return ok();
}

// The songs at or under a path of the library.
std::vector<const song_record*> songs_under(const music_library& library, std::string_view uri) {
  std::vector<const song_record*> found;
  if (const song_record* song = library_find_song(library, uri)) {
    found.push_back(song);
    return found;
  }
  for (const song_record& song : library.songs) {
    if (library_under(song.uri, uri)) found.push_back(&song);
  }
  return found;
}

failure queue_range(const command_context& c, const std::string& text, mpd_range* range) {
  const std::optional<mpd_range> parsed = mpd_parse_range(text, static_cast<int64_t>(c.d.queue.entries.size()));
  if (!parsed) return fail(mpd_error::arg, "Bad song index");
  if (static_cast<size_t>(parsed->end) > c.d.queue.entries.size() ||
      (parsed->start == parsed->end && static_cast<size_t>(parsed->start) >= c.d.queue.entries.size())) {
    return fail(mpd_error::arg, "Bad song index");
  }
  *range = *parsed;
  return ok();
}

failure queue_position(const command_context& c, const std::string& text, size_t* position) {
  const std::optional<int64_t> parsed = integer_arg(text);
  if (!parsed) return bad_integer(text);
  if (static_cast<size_t>(*parsed) >= c.d.queue.entries.size()) return fail(mpd_error::arg, "Bad song index");
  *position = static_cast<size_t>(*parsed);
  return ok();
}

failure queue_id(const command_context& c, const std::string& text, int32_t* id) {
  const std::optional<int64_t> parsed = integer_arg(text);
  if (!parsed || *parsed > INT32_MAX) return bad_integer(text);
  if (!queue_position_of(c.d.queue, static_cast<int32_t>(*parsed))) return fail(mpd_error::no_exist, "No such song");
  *id = static_cast<int32_t>(*parsed);
  return ok();
}

void queue_edited(daemon_state& d, int64_t removed_position = -1) {
  d.changed |= kIdlePlaylist;
  playback_queue_changed(d, removed_position);
}

failure bool_arg(const std::string& text, bool* value) {
  if (text != "0" && text != "1") return fail(mpd_error::arg, "Boolean (0/1) expected: " + text);
  *value = text == "1";
  return ok();
}

// --- connection and server ---

failure cmd_ping(command_context&) { return ok(); }

failure cmd_close(command_context& c) {
  c.session.close_asked = true;
  return ok();
}

failure cmd_password(command_context& c) {
  if (c.d.options.password.empty() || c.args[0] != c.d.options.password) {
    return fail(mpd_error::password, "incorrect password");
  }
  c.session.authenticated = true;
  return ok();
}

failure cmd_commands(command_context& c);
failure cmd_notcommands(command_context& c);

failure cmd_tagtypes(command_context& c) {
  if (!c.args.empty()) {
    const std::string& sub = c.args[0];
    if (sub != "all" && sub != "clear" && sub != "enable" && sub != "disable") {
      return fail(mpd_error::arg, "Unknown sub command");
    }
    return ok();
  }
  for (const song_tag tag : kListedTags) c.out += mpd_field("tagtype", library_tag_name(tag));
  return ok();
}

failure cmd_urlhandlers(command_context&) { return ok(); }

failure cmd_decoders(command_context& c) {
  c.out += mpd_field("plugin", "native");
  for (const char* suffix : {"wav", "dsf", "dff", "wsd"}) c.out += mpd_field("suffix", suffix);
  c.out += mpd_field("plugin", "ffmpeg");
  for (const char* suffix : {"flac", "mp3", "ogg", "opus", "m4a", "aac", "ape", "wv", "aif", "aiff"}) {
    c.out += mpd_field("suffix", suffix);
  }
  return ok();
}

failure cmd_outputs(command_context& c) {
  c.out += mpd_field("outputid", "0");
  c.out += mpd_field("outputname", c.d.options.player);
  c.out += mpd_field("plugin", "alsa");
  c.out += mpd_field("outputenabled", c.d.playback.output_enabled ? "1" : "0");
  return ok();
}

failure set_output(command_context& c, bool enabled) {
  if (c.args[0] != "0") return fail(mpd_error::no_exist, "No such audio output");
  if (c.d.playback.output_enabled == enabled) return ok();
  c.d.playback.output_enabled = enabled;
  if (!enabled) playback_stop(c.d);
  c.d.changed |= kIdleOutput;
  c.d.state_dirty = true;
  return ok();
}
failure cmd_enableoutput(command_context& c) { return set_output(c, true); }
failure cmd_disableoutput(command_context& c) { return set_output(c, false); }

// --- status ---

failure cmd_status(command_context& c) {
  daemon_state& d = c.d;
  playback_state& p = d.playback;
  c.out += mpd_field("volume", playback_has_volume(d) ? std::to_string(p.volume) : "-1");
  c.out += mpd_field("repeat", p.repeat ? "1" : "0");
  c.out += mpd_field("random", p.random ? "1" : "0");
  c.out += mpd_field("single", p.single == single_mode::oneshot ? "oneshot" : p.single == single_mode::on ? "1" : "0");
  c.out += mpd_field("consume", p.consume ? "1" : "0");
  c.out += mpd_field("partition", "default");
  c.out += mpd_field("playlist", std::to_string(d.queue.version));
  c.out += mpd_field("playlistlength", std::to_string(d.queue.entries.size()));
  c.out += mpd_field("mixrampdb", "0");
  const char* state = p.state == play_state::play ? "play" : p.state == play_state::pause ? "pause" : "stop";
  c.out += mpd_field("state", state);
  if (const std::optional<size_t> position = queue_position_of(d.queue, p.current_id)) {
    c.out += mpd_field("song", std::to_string(*position));
    c.out += mpd_field("songid", std::to_string(p.current_id));
    const int32_t next = playback_successor(d, p.current_id);
    if (const std::optional<size_t> next_position = queue_position_of(d.queue, next)) {
      c.out += mpd_field("nextsong", std::to_string(*next_position));
      c.out += mpd_field("nextsongid", std::to_string(next));
    }
    if (p.state != play_state::stop) {
      c.out +=
          mpd_field("time", std::to_string(p.elapsed_ms / 1000) + ":" + std::to_string((p.duration_ms + 500) / 1000));
      c.out += mpd_field("elapsed", seconds_text(p.elapsed_ms));
      c.out += mpd_field("duration", seconds_text(p.duration_ms));
      if (!p.audio.empty()) c.out += mpd_field("audio", p.audio);
    }
  }
  if (d.scanner.running) c.out += mpd_field("updating_db", std::to_string(d.update_job));
  if (!p.error.empty()) c.out += mpd_field("error", p.error);
  return ok();
}

failure cmd_clearerror(command_context& c) {
  c.d.playback.error.clear();
  c.d.changed |= kIdlePlayer;
  return ok();
}

failure cmd_currentsong(command_context& c) {
  if (const std::optional<size_t> position = queue_position_of(c.d.queue, c.d.playback.current_id)) {
    entry_fields(c.d, c.out, *position);
  }
  return ok();
}

failure cmd_stats(command_context& c) {
  const music_library& library = c.d.library;
  std::set<std::string_view> artists;
  std::set<std::string_view> albums;
  int64_t playtime = 0;
  for (const song_record& song : library.songs) {
    if (!song.artist.empty()) artists.insert(song.artist);
    if (!song.album.empty()) albums.insert(song.album);
    playtime += song.duration_ms;
  }
  c.out += mpd_field("artists", std::to_string(artists.size()));
  c.out += mpd_field("albums", std::to_string(albums.size()));
  c.out += mpd_field("songs", std::to_string(library.songs.size()));
  c.out += mpd_field("uptime", std::to_string(time(nullptr) - c.d.started_at));
  c.out += mpd_field("db_playtime", std::to_string(playtime / 1000));
  c.out += mpd_field("db_update", std::to_string(library.updated));
  c.out += mpd_field("playtime", std::to_string(c.d.play_time_ms / 1000));
  return ok();
}

// --- playback ---

failure cmd_play(command_context& c) {
  daemon_state& d = c.d;
  std::string why;
  if (!c.args.empty()) {
    size_t position = 0;
    if (failure f = queue_position(c, c.args[0], &position)) return f;
    if (!playback_play(d, d.queue.entries[position].id, 0, &why)) return fail(mpd_error::system, why);
    return ok();
  }
  if (d.playback.state == play_state::pause) {
    playback_pause(d, false);
    return ok();
  }
  if (d.playback.state == play_state::play) return ok();
  int32_t id = d.playback.current_id;
  if (!queue_position_of(d.queue, id)) {
    if (d.queue.entries.empty()) return ok();
    id = d.playback.random
             ? d.queue.entries[std::uniform_int_distribution<size_t>(0, d.queue.entries.size() - 1)(d.random)].id
             : d.queue.entries.front().id;
  }
  if (!playback_play(d, id, 0, &why)) return fail(mpd_error::system, why);
  return ok();
}

failure cmd_playid(command_context& c) {
  if (c.args.empty()) return cmd_play(c);
  int32_t id = 0;
  if (failure f = queue_id(c, c.args[0], &id)) return f;
  std::string why;
  if (!playback_play(c.d, id, 0, &why)) return fail(mpd_error::system, why);
  return ok();
}

failure cmd_pause(command_context& c) {
  bool pause = c.d.playback.state == play_state::play;
  if (!c.args.empty()) {
    if (failure f = bool_arg(c.args[0], &pause)) return f;
  }
  playback_pause(c.d, pause);
  return ok();
}

failure cmd_stop(command_context& c) {
  playback_stop(c.d);
  return ok();
}

failure cmd_next(command_context& c) {
  playback_next(c.d);
  return ok();
}

failure cmd_previous(command_context& c) {
  playback_previous(c.d);
  return ok();
}

failure seek_to(command_context& c, int32_t id, const std::string& time_text) {
  const std::optional<mpd_time> time = mpd_parse_time(time_text);
  if (!time || time->relative) return fail(mpd_error::arg, "Number expected: " + time_text);
  std::string why;
  if (!playback_seek(c.d, id, time->millis, &why)) return fail(mpd_error::system, why);
  return ok();
}

failure cmd_seek(command_context& c) {
  size_t position = 0;
  if (failure f = queue_position(c, c.args[0], &position)) return f;
  return seek_to(c, c.d.queue.entries[position].id, c.args[1]);
}

failure cmd_seekid(command_context& c) {
  int32_t id = 0;
  if (failure f = queue_id(c, c.args[0], &id)) return f;
  return seek_to(c, id, c.args[1]);
}

failure cmd_seekcur(command_context& c) {
  daemon_state& d = c.d;
  if (!queue_position_of(d.queue, d.playback.current_id) || d.playback.state == play_state::stop) {
    return fail(mpd_error::player_sync, "Not playing");
  }
  const std::optional<mpd_time> time = mpd_parse_time(c.args[0]);
  if (!time) return fail(mpd_error::arg, "Number expected: " + c.args[0]);
  const int64_t target = time->relative ? d.playback.elapsed_ms + time->millis : time->millis;
  std::string why;
  if (!playback_seek(d, d.playback.current_id, std::max<int64_t>(0, target), &why)) {
    return fail(mpd_error::system, why);
  }
  return ok();
}

failure cmd_setvol(command_context& c) {
  const std::optional<int64_t> volume = integer_arg(c.args[0]);
  if (!volume || *volume > 100) return fail(mpd_error::arg, "Invalid volume value");
  if (!playback_set_volume(c.d, static_cast<int32_t>(*volume))) {
    return fail(mpd_error::system, "problems setting volume");
  }
  return ok();
}

failure cmd_volume(command_context& c) {
  const std::string& text = c.args[0];
  int32_t change = 0;
  const bool negative = !text.empty() && text.front() == '-';
  const std::optional<int64_t> amount =
      integer_arg(!text.empty() && (text.front() == '-' || text.front() == '+') ? text.substr(1) : text);
  if (!amount || *amount > 100) return fail(mpd_error::arg, "Invalid volume value");
  change = static_cast<int32_t>(negative ? -*amount : *amount);
  if (!playback_set_volume(c.d, std::clamp(c.d.playback.volume + change, 0, 100))) {
    return fail(mpd_error::system, "problems setting volume");
  }
  return ok();
}

failure cmd_getvol(command_context& c) {
  if (playback_has_volume(c.d)) c.out += mpd_field("volume", std::to_string(c.d.playback.volume));
  return ok();
}

failure set_flag(command_context& c, bool* flag) {
  bool value = false;
  if (failure f = bool_arg(c.args[0], &value)) return f;
  if (*flag != value) {
    *flag = value;
    c.d.changed |= kIdleOptions;
    playback_queue_changed(c.d);
  }
  return ok();
}
failure cmd_repeat(command_context& c) { return set_flag(c, &c.d.playback.repeat); }
failure cmd_random(command_context& c) { return set_flag(c, &c.d.playback.random); }
failure cmd_consume(command_context& c) { return set_flag(c, &c.d.playback.consume); }

failure cmd_single(command_context& c) {
  const std::string& text = c.args[0];
  single_mode mode = single_mode::off;
  if (text == "1") {
    mode = single_mode::on;
  } else if (text == "oneshot") {
    mode = single_mode::oneshot;
  } else if (text != "0") {
    return fail(mpd_error::arg, "Boolean (0/1) or \"oneshot\" expected: " + text);
  }
  if (c.d.playback.single != mode) {
    c.d.playback.single = mode;
    c.d.changed |= kIdleOptions;
    playback_queue_changed(c.d);
  }
  return ok();
}

failure cmd_replay_gain_status(command_context& c) {
  c.out += mpd_field("replay_gain_mode", c.d.playback.replay_gain_mode);
  return ok();
}

failure cmd_replay_gain_mode(command_context& c) {
  const std::string& mode = c.args[0];
  if (mode != "off" && mode != "track" && mode != "album" && mode != "auto") {
    return fail(mpd_error::arg, "Unrecognized replay gain mode");
  }
  if (mode != "off" && !playback_has_volume(c.d))
    return fail(mpd_error::system, "lumen plays bit-perfect: no ReplayGain");
  if (c.d.playback.replay_gain_mode != mode) {
    c.d.playback.replay_gain_mode = mode;
    c.d.changed |= kIdleOptions;
    c.d.state_dirty = true;
  }
  return ok();
}

// --- the queue ---

failure add_songs(command_context& c, bool one_song_with_id) {
  daemon_state& d = c.d;
  std::string uri = c.args[0];
  if (failure f = check_uri(uri)) return f;
  std::optional<size_t> at;
  if (c.args.size() > 1) {
    const std::optional<int64_t> position = integer_arg(c.args[1]);
    if (!position) return bad_integer(c.args[1]);
    if (static_cast<size_t>(*position) > d.queue.entries.size()) return fail(mpd_error::arg, "Bad song index");
    at = static_cast<size_t>(*position);
  }
  // Only what the library knows, and only while it lies inside the folder.
  std::vector<const song_record*> songs;
  if (one_song_with_id) {
    if (const song_record* song = library_find_song(d.library, uri)) songs.push_back(song);
  } else if (uri.empty() || library_find_song(d.library, uri) != nullptr || library_has_directory(d.library, uri)) {
    songs = songs_under(d.library, uri);
  }
  if (songs.empty() || !music_path_resolve(d.options.music_dir, uri)) return fail(mpd_error::no_exist, "Not found");
  if (d.queue.entries.size() + songs.size() > kQueueLongest)
    return fail(mpd_error::playlist_max, "Playlist is too large");
  for (const song_record* song : songs) {
    const std::optional<int32_t> id = queue_add(d.queue, song->uri, at);
    if (at) ++*at;
    if (one_song_with_id && id) c.out += mpd_field("Id", std::to_string(*id));
  }
  queue_edited(d);
  return ok();
}
failure cmd_add(command_context& c) { return add_songs(c, false); }
failure cmd_addid(command_context& c) { return add_songs(c, true); }

failure cmd_clear(command_context& c) {
  playback_stop(c.d);
  queue_clear(c.d.queue);
  c.d.playback.current_id = -1;
  queue_edited(c.d);
  return ok();
}

void remove_range(daemon_state& d, size_t start, size_t end) {
  const std::optional<size_t> current = queue_position_of(d.queue, d.playback.current_id);
  queue_remove(d.queue, start, end);
  const bool current_removed = current && *current >= start && *current < end;
  queue_edited(d, current_removed ? static_cast<int64_t>(start) : -1);
}

failure cmd_delete(command_context& c) {
  mpd_range range;
  if (failure f = queue_range(c, c.args[0], &range)) return f;
  remove_range(c.d, static_cast<size_t>(range.start), static_cast<size_t>(range.end));
  return ok();
}

failure cmd_deleteid(command_context& c) {
  int32_t id = 0;
  if (failure f = queue_id(c, c.args[0], &id)) return f;
  const size_t position = *queue_position_of(c.d.queue, id);
  remove_range(c.d, position, position + 1);
  return ok();
}

failure move_range(command_context& c, size_t start, size_t end, const std::string& to_text) {
  const std::optional<int64_t> to = integer_arg(to_text);
  if (!to) return bad_integer(to_text);
  if (!queue_move(c.d.queue, start, end, static_cast<size_t>(*to))) return fail(mpd_error::arg, "Bad song index");
  queue_edited(c.d);
  return ok();
}

failure cmd_move(command_context& c) {
  mpd_range range;
  if (failure f = queue_range(c, c.args[0], &range)) return f;
  return move_range(c, static_cast<size_t>(range.start), static_cast<size_t>(range.end), c.args[1]);
}

failure cmd_moveid(command_context& c) {
  int32_t id = 0;
  if (failure f = queue_id(c, c.args[0], &id)) return f;
  const size_t position = *queue_position_of(c.d.queue, id);
  return move_range(c, position, position + 1, c.args[1]);
}

failure cmd_shuffle(command_context& c) {
  mpd_range range{0, static_cast<int64_t>(c.d.queue.entries.size())};
  if (!c.args.empty()) {
    if (failure f = queue_range(c, c.args[0], &range)) return f;
  }
  queue_shuffle(c.d.queue, static_cast<size_t>(range.start), static_cast<size_t>(range.end), c.d.random);
  queue_edited(c.d);
  return ok();
}

failure cmd_playlistinfo(command_context& c) {
  mpd_range range{0, static_cast<int64_t>(c.d.queue.entries.size())};
  if (!c.args.empty()) {
    if (failure f = queue_range(c, c.args[0], &range)) return f;
  }
  for (auto i = static_cast<size_t>(range.start); i < static_cast<size_t>(range.end); ++i) entry_fields(c.d, c.out, i);
  return ok();
}

failure cmd_playlistid(command_context& c) {
  if (c.args.empty()) {
    for (size_t i = 0; i < c.d.queue.entries.size(); ++i) entry_fields(c.d, c.out, i);
    return ok();
  }
  int32_t id = 0;
  if (failure f = queue_id(c, c.args[0], &id)) return f;
  entry_fields(c.d, c.out, *queue_position_of(c.d.queue, id));
  return ok();
}

failure changes_since(command_context& c, bool positions_only) {
  const std::optional<int64_t> version = integer_arg(c.args[0]);
  if (!version) return bad_integer(c.args[0]);
  mpd_range range{0, static_cast<int64_t>(c.d.queue.entries.size())};
  if (c.args.size() > 1) {
    const std::optional<mpd_range> parsed = mpd_parse_range(c.args[1], range.end);
    if (!parsed) return fail(mpd_error::arg, "Bad range");
    range.start = std::min(parsed->start, range.end);
    range.end = std::min(parsed->end, range.end);
  }
  for (auto i = static_cast<size_t>(range.start); i < static_cast<size_t>(range.end); ++i) {
    const queue_entry& entry = c.d.queue.entries[i];
    if (entry.version <= *version && *version <= c.d.queue.version) continue;
    if (positions_only) {
      c.out += mpd_field("cpos", std::to_string(i));
      c.out += mpd_field("Id", std::to_string(entry.id));
    } else {
      entry_fields(c.d, c.out, i);
    }
  }
  return ok();
}
failure cmd_plchanges(command_context& c) { return changes_since(c, false); }
failure cmd_plchangesposid(command_context& c) { return changes_since(c, true); }

// --- the library ---

failure list_folder(command_context& c, bool recursive, bool with_info) {
  const music_library& library = c.d.library;
  std::string uri = c.args.empty() ? std::string() : c.args[0];
  if (failure f = check_uri(uri)) return f;
  if (const song_record* song = library_find_song(library, uri)) {
    song_fields(c.out, song->uri, with_info ? song : nullptr);
    return ok();
  }
  if (!library_has_directory(library, uri)) return fail(mpd_error::no_exist, "No such directory");
  // Folders and songs in path order, each folder before what it holds.
  size_t folder = 0;
  size_t song = 0;
  const auto wanted = [&](std::string_view path) {
    return recursive ? library_under(path, uri) && path != uri : library_parent(path) == uri;
  };
  while (folder < library.directories.size() || song < library.songs.size()) {
    const bool take_folder =
        folder < library.directories.size() &&
        (song >= library.songs.size() || library.directories[folder].uri < library.songs[song].uri);
    if (take_folder) {
      const directory_record& entry = library.directories[folder++];
      if (!wanted(entry.uri)) continue;
      c.out += mpd_field("directory", entry.uri);
      if (with_info) c.out += mpd_field("Last-Modified", iso_time(entry.modified));
    } else {
      const song_record& entry = library.songs[song++];
      if (!wanted(entry.uri)) continue;
      song_fields(c.out, entry.uri, with_info ? &entry : nullptr);
    }
  }
  return ok();
}
failure cmd_lsinfo(command_context& c) { return list_folder(c, false, true); }
failure cmd_listall(command_context& c) { return list_folder(c, true, false); }
failure cmd_listallinfo(command_context& c) { return list_folder(c, true, true); }

failure find_songs(command_context& c, bool search, std::vector<const song_record*>* found,
                   std::vector<std::string> args) {
  std::string why;
  const std::optional<song_filter> filter = query_parse_filter(args, search, &why);
  if (!filter) return fail(mpd_error::arg, why);
  for (const song_record& song : c.d.library.songs) {
    if (query_matches(song, *filter)) found->push_back(&song);
  }
  return ok();
}

failure cmd_find(command_context& c) {
  std::vector<const song_record*> found;
  if (failure f = find_songs(c, false, &found, c.args)) return f;
  for (const song_record* song : found) song_fields(c.out, song->uri, song);
  return ok();
}

failure cmd_search(command_context& c) {
  std::vector<const song_record*> found;
  if (failure f = find_songs(c, true, &found, c.args)) return f;
  for (const song_record* song : found) song_fields(c.out, song->uri, song);
  return ok();
}

// The arguments after the filter: "group TAG" pairs taken out.
failure take_groups(std::vector<std::string>& args, std::vector<song_tag>* groups) {
  for (size_t i = 0; i + 1 < args.size();) {
    if (args[i] != "group") {
      ++i;
      continue;
    }
    const std::optional<song_tag> tag = library_tag_by_name(args[i + 1]);
    if (!tag || *tag == song_tag::any || *tag == song_tag::base) return fail(mpd_error::arg, "Unknown tag type");
    groups->push_back(*tag);
    args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i) + 2);
  }
  return ok();
}

failure cmd_list(command_context& c) {
  const std::optional<song_tag> tag = library_tag_by_name(c.args[0]);
  if (!tag || *tag == song_tag::any || *tag == song_tag::base) return fail(mpd_error::arg, "Unknown tag type");
  std::vector<std::string> args(c.args.begin() + 1, c.args.end());
  std::vector<song_tag> groups;
  if (failure f = take_groups(args, &groups)) return f;
  // The old form "list album ARTIST".
  if (args.size() == 1 && *tag == song_tag::album) args.insert(args.begin(), "artist");
  std::vector<const song_record*> found;
  if (args.empty()) {
    for (const song_record& song : c.d.library.songs) found.push_back(&song);
  } else if (failure f = find_songs(c, false, &found, args)) {
    return f;
  }
  std::set<std::vector<std::string_view>> rows;
  for (const song_record* song : found) {
    std::vector<std::string_view> row;
    for (const song_tag group : groups) row.push_back(library_tag_value(*song, group));
    row.push_back(library_tag_value(*song, *tag));
    rows.insert(std::move(row));
  }
  std::vector<std::string_view> shown(groups.size());
  for (const std::vector<std::string_view>& row : rows) {
    for (size_t i = 0; i < groups.size(); ++i) {
      if (row[i] != shown[i] || c.out.empty()) {
        c.out += mpd_field(library_tag_name(groups[i]), row[i]);
        shown[i] = row[i];
      }
    }
    if (!row.back().empty() || *tag == song_tag::file) c.out += mpd_field(library_tag_name(*tag), row.back());
  }
  return ok();
}

failure cmd_count(command_context& c) {
  std::vector<std::string> args = c.args;
  std::vector<song_tag> groups;
  if (failure f = take_groups(args, &groups)) return f;
  std::vector<const song_record*> found;
  if (args.empty()) {
    for (const song_record& song : c.d.library.songs) found.push_back(&song);
  } else if (failure f = find_songs(c, false, &found, args)) {
    return f;
  }
  std::map<std::string_view, std::pair<int64_t, int64_t>> totals;
  for (const song_record* song : found) {
    auto& [count, millis] = totals[groups.empty() ? std::string_view() : library_tag_value(*song, groups.front())];
    ++count;
    millis += song->duration_ms;
  }
  if (groups.empty() && totals.empty()) totals[std::string_view()] = {0, 0};
  for (const auto& [value, total] : totals) {
    if (!groups.empty()) c.out += mpd_field(library_tag_name(groups.front()), value);
    c.out += mpd_field("songs", std::to_string(total.first));
    c.out += mpd_field("playtime", std::to_string(total.second / 1000));
  }
  return ok();
}

failure start_update(command_context& c, bool read_all) {
  daemon_state& d = c.d;
  if (!c.args.empty()) {
    std::string uri = c.args[0];
    if (failure f = check_uri(uri)) return f;
    if (!music_path_resolve(d.options.music_dir, uri)) return fail(mpd_error::arg, "Malformed path");
  }
  if (!d.scanner.running) {
    if (!scanner_start(d.scanner, d.options.music_dir, d.library, read_all)) {
      return fail(mpd_error::update_already, "already updating");
    }
    d.update_job = d.update_job % 0x7fffffff + 1;
    d.changed |= kIdleUpdate;
  }
  c.out += mpd_field("updating_db", std::to_string(d.update_job));
  return ok();
}
failure cmd_update(command_context& c) { return start_update(c, false); }
failure cmd_rescan(command_context& c) { return start_update(c, true); }

// The server answers idle and noidle itself; here they only count as known.
failure cmd_idle(command_context&) { return ok(); }

constexpr command_entry kCommands[] = {
    {"add", cmd_add, 1, 2},
    {"addid", cmd_addid, 1, 2},
    {"clear", cmd_clear, 0, 0},
    {"clearerror", cmd_clearerror, 0, 0},
    {"close", cmd_close, 0, -1},
    {"commands", cmd_commands, 0, 0},
    {"consume", cmd_consume, 1, 1},
    {"count", cmd_count, 0, -1},
    {"currentsong", cmd_currentsong, 0, 0},
    {"decoders", cmd_decoders, 0, 0},
    {"delete", cmd_delete, 1, 1},
    {"deleteid", cmd_deleteid, 1, 1},
    {"disableoutput", cmd_disableoutput, 1, 1},
    {"enableoutput", cmd_enableoutput, 1, 1},
    {"find", cmd_find, 1, -1},
    {"getvol", cmd_getvol, 0, 0},
    {"idle", cmd_idle, 0, -1},
    {"list", cmd_list, 1, -1},
    {"listall", cmd_listall, 0, 1},
    {"listallinfo", cmd_listallinfo, 0, 1},
    {"lsinfo", cmd_lsinfo, 0, 1},
    {"move", cmd_move, 2, 2},
    {"moveid", cmd_moveid, 2, 2},
    {"next", cmd_next, 0, 0},
    {"noidle", cmd_idle, 0, 0},
    {"notcommands", cmd_notcommands, 0, 0},
    {"outputs", cmd_outputs, 0, 0},
    {"password", cmd_password, 1, 1},
    {"pause", cmd_pause, 0, 1},
    {"ping", cmd_ping, 0, 0},
    {"play", cmd_play, 0, 1},
    {"playid", cmd_playid, 0, 1},
    {"playlistid", cmd_playlistid, 0, 1},
    {"playlistinfo", cmd_playlistinfo, 0, 1},
    {"plchanges", cmd_plchanges, 1, 2},
    {"plchangesposid", cmd_plchangesposid, 1, 2},
    {"previous", cmd_previous, 0, 0},
    {"random", cmd_random, 1, 1},
    {"repeat", cmd_repeat, 1, 1},
    {"replay_gain_mode", cmd_replay_gain_mode, 1, 1},
    {"replay_gain_status", cmd_replay_gain_status, 0, 0},
    {"rescan", cmd_rescan, 0, 1},
    {"search", cmd_search, 1, -1},
    {"seek", cmd_seek, 2, 2},
    {"seekcur", cmd_seekcur, 1, 1},
    {"seekid", cmd_seekid, 2, 2},
    {"setvol", cmd_setvol, 1, 1},
    {"shuffle", cmd_shuffle, 0, 1},
    {"single", cmd_single, 1, 1},
    {"stats", cmd_stats, 0, 0},
    {"status", cmd_status, 0, 0},
    {"stop", cmd_stop, 0, 0},
    {"tagtypes", cmd_tagtypes, 0, -1},
    {"update", cmd_update, 0, 1},
    {"urlhandlers", cmd_urlhandlers, 0, 0},
    {"volume", cmd_volume, 1, 1},
};

failure cmd_commands(command_context& c) {
  for (const command_entry& entry : kCommands) {
    if (c.session.authenticated || command_allowed_before_password(entry.name)) {
      c.out += mpd_field("command", entry.name);
    }
  }
  return ok();
}

failure cmd_notcommands(command_context& c) {
  for (const command_entry& entry : kCommands) {
    if (!c.session.authenticated && !command_allowed_before_password(entry.name)) {
      c.out += mpd_field("command", entry.name);
    }
  }
  return ok();
}

}  // namespace

bool command_allowed_before_password(std::string_view name) {
  return name == "password" || name == "ping" || name == "close" || name == "commands";
}

uint32_t command_idle_bit(std::string_view name) {
  for (const auto& entry : kIdleNames) {
    if (entry.name == name) return entry.bit;
  }
  return 0;
}

std::string command_idle_changes(uint32_t bits) {
  std::string text;
  for (const auto& entry : kIdleNames) {
    if ((bits & entry.bit) != 0) text += mpd_field("changed", entry.name);
  }
  return text;
}

std::optional<command_failure> command_run(daemon_state& d, command_session& session, const mpd_request& request,
                                           std::string& out) {
  const auto found = std::find_if(std::begin(kCommands), std::end(kCommands),
                                  [&](const command_entry& entry) { return entry.name == request.command; });
  if (found == std::end(kCommands)) {
    return command_failure{mpd_error::unknown, "unknown command \"" + request.command + "\""};
  }
  if (!session.authenticated && !command_allowed_before_password(found->name)) {
    return command_failure{mpd_error::permission, "you don't have permission for \"" + request.command + "\""};
  }
  const auto count = static_cast<int64_t>(request.args.size());
  if (count < found->least_args || (found->most_args >= 0 && count > found->most_args)) {
    return command_failure{mpd_error::arg, "wrong number of arguments for \"" + request.command + "\""};
  }
  command_context context{d, session, request.args, out};
  return found->run(context);
}
