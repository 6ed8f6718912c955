// How collected player output becomes changes of the text view: "\n" ends
// a line that stays; "\r" ends a line that the next one replaces, so a
// progress line printed again and again stays on one line of the view.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The view keeps the last lines of a run: at most this many lines and
// characters (the window drops the oldest).
inline constexpr int kMaxViewLines = 3000;
inline constexpr int kMaxViewChars = 500000;

struct render_op {
  enum kind_t {
    clear_view,        // empty the whole view
    delete_last_line,  // from the start of the view's last line to its end
    append,            // insert text at the end
  } kind;
  std::string text;  // for append
};

// The view changes for new output `text`. `overwrite` carries across calls:
// true when the view's last line ended in "\r" and is to be replaced.
// Lines of any length are shown whole. A burst of "\r" lines gives at most
// one delete and one append.
std::vector<render_op> render_output(std::string_view text, bool& overwrite);

// Applies changes to a text held as a string (what the view would show).
void render_apply(std::string& view, const std::vector<render_op>& ops);

// The window title for a pending title text: the part after its last "/",
// a blank and "Korvo".
std::string render_window_title(std::string_view pending);
