// The players' control channel for programs (--control): commands come in
// as lines on standard input, events go out as lines on standard output.
// A line is words separated by one space; a command's path, and an event's
// last field (a path, a tag, an error's text), takes the rest of the line.
// Whatever a name or a tag carries is escaped, so that every event is one
// line: backslash, newline, carriage return, tab, and other control bytes as
// \\ \n \r \t \xHH. This module is shared by the players and their
// front-ends; it knows nothing of the engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The commands a player takes.
namespace control_command_name {
constexpr std::string_view kPause = "pause";
constexpr std::string_view kResume = "resume";
constexpr std::string_view kNext = "next";
constexpr std::string_view kPrevious = "previous";
constexpr std::string_view kSeek = "seek";      // seek 83.5, seek +10, seek -10
constexpr std::string_view kVolume = "volume";  // volume -12 (dB)
constexpr std::string_view kAppend = "append";  // append PATH
constexpr std::string_view kClear = "clear";    // drops the files not yet begun
constexpr std::string_view kStatus = "status";  // every event of the present state again
constexpr std::string_view kQuit = "quit";
}  // namespace control_command_name

// The events a player sends.
namespace control_event_name {
constexpr std::string_view kState = "state";        // state playing|paused|waiting|stopped [reason]
constexpr std::string_view kFile = "file";          // file INDEX PATH (index from 0)
constexpr std::string_view kList = "list";          // list COUNT
constexpr std::string_view kPosition = "position";  // position SECONDS DURATION
constexpr std::string_view kTag = "tag";            // tag NAME TEXT
constexpr std::string_view kFormat = "format";      // format dsd256 | dop128 | 44100:24:2
constexpr std::string_view kVolume = "volume";      // volume DB
constexpr std::string_view kError = "error";        // error TEXT
constexpr std::string_view kExit = "exit";          // exit STATUS, the last event
}  // namespace control_event_name

// The states, and the reasons a stopped state gives.
namespace control_state_name {
constexpr std::string_view kPlaying = "playing";
constexpr std::string_view kPaused = "paused";
constexpr std::string_view kWaiting = "waiting";
constexpr std::string_view kStopped = "stopped";
constexpr std::string_view kEndOfList = "end";
constexpr std::string_view kQuitAsked = "quit";
constexpr std::string_view kInterrupted = "interrupt";
constexpr std::string_view kError = "error";
}  // namespace control_state_name

// The tag names, in the order a file's tags are sent.
namespace control_tag_name {
constexpr std::string_view kTitle = "title";
constexpr std::string_view kArtist = "artist";
constexpr std::string_view kAlbum = "album";
constexpr std::string_view kTrack = "track";
constexpr std::string_view kDate = "date";
}  // namespace control_tag_name

enum class control_verb : uint8_t {
  pause,
  resume,
  next,
  previous,
  seek,
  volume,
  append,
  clear,
  status,
  quit,
};

// A command line parsed. A seek holds milliseconds (relative: from where
// the file is heard), a volume its dB, an append its path unescaped.
struct control_command {
  control_verb verb = control_verb::status;
  int64_t millis = 0;
  bool relative = false;
  int32_t volume_db = 0;
  std::string path;
};

// A command line (without its newline) parsed, or empty with the reason in
// *why: an unknown word, a missing or malformed argument.
std::optional<control_command> control_parse_command(std::string_view line, std::string* why);

// Seconds with milliseconds, "83.5", "+10", "-0.25", as milliseconds; empty
// for anything else (more than three decimals are cut).
std::optional<int64_t> control_parse_seconds(std::string_view text);

// The text escaped for one line, and back. Unescaping takes an unknown or
// cut escape as it is written.
std::string control_escape(std::string_view text);
std::string control_unescape(std::string_view text);

// The same escaping into a fixed buffer, for a report that may not
// allocate (a fatal error, a signal handler): writes at most capacity - 1
// bytes and a terminating zero, never half an escape; returns the length.
size_t control_escape_into(std::string_view text, char* out, size_t capacity);

// Milliseconds as seconds with three decimals: 83500 -> "83.500".
std::string control_seconds_text(int64_t millis);

// An event line, newline included: the name, then the fields, the last one
// escaped (the others are words the player makes).
std::string control_event(std::string_view name, std::string_view last_field);
std::string control_event(std::string_view name, std::string_view word, std::string_view last_field);

// An event line split: its name and the rest (still escaped).
struct control_event_line {
  std::string_view name;
  std::string_view rest;
};
control_event_line control_split_event(std::string_view line);

// The stream's format as events name it: "dsd256" for native DSD at
// 256 x 44.1 kHz, "dop128" for DoP carrying DSD128, "44100:24:2" for PCM.
enum class control_stream_kind : uint8_t { pcm, dsd, dop };
std::string control_format_name(control_stream_kind kind, int64_t dsd_or_frame_rate, int32_t bits, int32_t channels);
