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

}  // namespace

bool output_init() noexcept { return sem_init(&guard, 0, 1) == 0; }

void output_append(std::string_view text) {
  const output_lock lock;
  state.text.append(text);
  if (!state.text.empty()) state.new_text = true;
}

void output_clear() {
  const output_lock lock;
  state.text.clear();
  state.overwrite = false;
  state.clear_pending = true;
  state.new_text = true;
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
  if (!state.new_text) return update;
  if (state.clear_pending) update.ops.push_back({render_op::clear_view, {}});
  std::vector<render_op> ops = render_output(state.text, state.overwrite);
  update.ops.insert(update.ops.end(), std::make_move_iterator(ops.begin()), std::make_move_iterator(ops.end()));
  state.text.clear();
  state.clear_pending = false;
  state.new_text = false;
  return update;
}
