#include "text_render.h"

std::vector<render_op> render_output(std::string_view text, bool& overwrite) {
  std::vector<render_op> ops;
  if (text.empty()) return ops;
  // New text replaces a "\r" line the view ends with.
  if (overwrite) ops.push_back({render_op::delete_last_line, {}});
  // What the view gains, built here so that a burst of "\r" lines comes to
  // one append of the last of them.
  std::string shown;
  size_t last_line = 0;  // where the last line of `shown` starts
  size_t line_start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\r' && c != '\n') continue;
    if (overwrite) shown.erase(last_line);
    last_line = shown.size();
    // A "\r" line is shown without its "\r"; a "\n" line keeps its newline.
    const size_t end = c == '\n' ? i + 1 : i;
    shown.append(text.substr(line_start, end - line_start));
    overwrite = c == '\r';
    line_start = i + 1;
  }
  if (line_start < text.size()) {
    if (overwrite) shown.erase(last_line);
    overwrite = false;
    shown.append(text.substr(line_start));
  }
  ops.push_back({render_op::append, std::move(shown)});
  return ops;
}

void render_apply(std::string& view, const std::vector<render_op>& ops) {
  for (const render_op& op : ops) {
    switch (op.kind) {
      case render_op::clear_view: view.clear(); break;
      case render_op::delete_last_line: {
        const size_t newline = view.rfind('\n');
        view.erase(newline == std::string::npos ? 0 : newline + 1);
        break;
      }
      case render_op::append: view += op.text; break;
    }
  }
}

std::string render_window_title(std::string_view pending) {
  const size_t slash = pending.rfind('/');
  if (slash != std::string_view::npos) pending.remove_prefix(slash + 1);
  return std::string(pending) + " Korvo";
}
