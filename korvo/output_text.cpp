#include "output_text.h"

#include <semaphore.h>

#include <cerrno>

namespace {

// All of this is guarded by `guard`.
struct output_state {
  std::string text;            // arrived, not yet shown
  bool new_text = false;       // text holds something to show
  bool clear_pending = false;  // the view is to be emptied first
  bool overwrite = false;      // the view's last line is a "\r" line
  std::optional<std::string> pending_title;
  now_playing_reader playing;
  bool playing_changed = false;
};

sem_t guard;
output_state state;

// Holds the semaphore for a scope.
class output_lock {
 public:
  output_lock() noexcept {
    while (sem_wait(&guard) != 0 && errno == EINTR) {
    }
  }
  ~output_lock() { sem_post(&guard); }
  output_lock(const output_lock&) = delete;
  output_lock& operator=(const output_lock&) = delete;
};

// Keeps the newest part of the text, from a line start where there is one
// (else from a character start), and has the view emptied first.
void keep_newest(output_state& held) {
  std::string_view kept = std::string_view(held.text).substr(held.text.size() - kMaxPendingBytes / 2);
  const size_t newline = kept.find('\n');
  if (newline != std::string_view::npos) {
    kept.remove_prefix(newline + 1);
  } else {
    while (!kept.empty() && (static_cast<unsigned char>(kept.front()) & 0xC0) == 0x80) kept.remove_prefix(1);
  }
  held.text.erase(0, held.text.size() - kept.size());
  held.clear_pending = true;
  held.overwrite = false;
}

}  // namespace

bool output_init() noexcept { return sem_init(&guard, 0, 1) == 0; }

void output_append(std::string_view text) {
  const output_lock lock;
  state.text.append(text);
  if (state.text.size() > kMaxPendingBytes) keep_newest(state);
  if (!state.text.empty()) state.new_text = true;
}

bool output_append_events(std::string_view events) {
  const output_lock lock;
  if (now_playing_feed(state.playing, events)) state.playing_changed = true;
  return state.playing.now.exit_status.has_value();
}

void output_clear() {
  const output_lock lock;
  state.text.clear();
  state.overwrite = false;
  state.clear_pending = true;
  state.new_text = true;
  state.playing = now_playing_reader{};
  state.playing_changed = true;
}

void output_set_pending_title(std::string_view title) {
  const output_lock lock;
  state.pending_title = std::string(title);
}

output_update output_refresh() {
  output_update update;
  const output_lock lock;
  if (state.pending_title) {
    update.title = render_window_title(*state.pending_title);
    state.pending_title.reset();
  }
  if (state.playing_changed) {
    update.playing = state.playing.now;
    state.playing_changed = false;
  }
  if (!state.new_text) return update;
  if (state.clear_pending) update.ops.push_back({render_op::clear_view, {}});
  std::vector<render_op> ops = render_output(state.text, state.overwrite);
  update.ops.insert(update.ops.end(), std::make_move_iterator(ops.begin()), std::make_move_iterator(ops.end()));
  state.text.clear();
  state.clear_pending = false;
  state.new_text = false;
  return update;
}
