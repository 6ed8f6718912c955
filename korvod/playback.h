// Playing the queue through one player run: the player is started with
// the song to hear and kept one or two songs ahead through its control
// channel (append, clear), so that songs follow each other without a gap
// and edits never interrupt what is heard. A jump elsewhere restarts the
// player; what it reports (file heard, position, format, volume, its end)
// is what status shows.
#pragma once

#include <cstdint>
#include <string>

#include "daemon_state.h"

// The song that follows `id` as the queue plays on (repeat, random, single,
// songs the player refused skipped), or -1.
int32_t playback_successor(daemon_state& d, int32_t id);
// The song before `id`, or -1.
int32_t playback_predecessor(daemon_state& d, int32_t id);

// Plays the song from `from_ms`; false with the reason when the song is
// not in the queue or its file cannot be reached.
bool playback_play(daemon_state& d, int32_t id, int64_t from_ms, std::string* why);
// Pauses, or plays on (starting the player where it stands when none runs).
void playback_pause(daemon_state& d, bool pause);
void playback_stop(daemon_state& d);
void playback_next(daemon_state& d);
void playback_previous(daemon_state& d);
bool playback_seek(daemon_state& d, int32_t id, int64_t ms, std::string* why);
// brisa's volume in percent; false when the player has none.
bool playback_set_volume(daemon_state& d, int32_t percent);
bool playback_has_volume(const daemon_state& d);

// After any edit of the queue or of the play options: the songs queued
// ahead in the player are put right. `removed_position` is where the
// current song stood when an edit removed it (then the song now there plays).
void playback_queue_changed(daemon_state& d, int64_t removed_position = -1);

// The player's event and text pipes are readable (or ended).
void playback_player_readable(daemon_state& d);
// Once a second: a player that does not end after quit is killed.
void playback_tick(daemon_state& d, int64_t now_ms);
// Ends the player as korvod ends.
void playback_shutdown(daemon_state& d);

// The stream as MPD names it, from a player's format event:
// "dsd256" -> "dsd256:2", "dop64" -> "dsd64:2", "44100:24:2" as it is.
std::string playback_audio_name(std::string_view format);

int64_t playback_steady_ms();
