// The text a running player has printed and the window has not shown yet,
// handed from the reader thread to the window's refresh, and what the
// player says it is playing. One semaphore guards the text, its flags, the
// pending title and the record. However fast a player prints, at most
// kMaxPendingBytes wait: older text gives way, and the view starts again
// from what is kept.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "now_playing.h"
#include "text_render.h"

inline constexpr size_t kMaxPendingBytes = 64 * 1024;

// Creates the semaphore (value 1). False when that fails (errno tells why).
bool output_init() noexcept;

// Adds text (valid UTF-8) to what the next refresh shows. Any thread.
void output_append(std::string_view text);

// Reads the player's event lines into what it is playing; true once the
// exit event has come. Any thread.
bool output_append_events(std::string_view events);

// Drops what was not shown and asks the next refresh to empty the view;
// forgets what was playing.
void output_clear();

// Sets the text the next refresh puts into the window title.
void output_set_pending_title(std::string_view title);

// What a refresh changes: the view and, when one is pending, the title
// (already formed, e.g. "playing Korvo").
struct output_update {
  std::vector<render_op> ops;  // empty when nothing new has come
  std::optional<std::string> title;
  std::optional<now_playing> playing;  // when it changed
};

// Takes the new text and the pending title, for the window's 100 ms timer.
output_update output_refresh();
