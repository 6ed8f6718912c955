#include "progress_text.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cinttypes>
#include <cstdio>

#include "printable.h"
#include "util.h"

namespace {

// As wide as util's blanks that wipe the line.
constexpr int32_t kLineBlanks = 72;

}  // namespace

std::string tags_line_text(const track_tags& tags) {
  if (tags.title.empty()) return {};
  std::string line;
  if (!tags.artist.empty()) line = tags.artist + " \u2014 ";
  line += tags.title;
  if (!tags.album.empty()) line += " (" + tags.album + ")";
  return printable(line);
}

int32_t terminal_columns() {
  if (isatty(STDOUT_FILENO) == 0) return 0;
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return kLineBlanks + 8;
  return size.ws_col;
}

std::string position_line_text(const position_fields& f, int32_t columns) {
  const std::string position = "position " + clock_text(f.seconds);
  const std::string remaining = f.remaining_seconds ? "-" + clock_text(*f.remaining_seconds) : std::string();
  const std::string buffer = "buffer " + std::to_string(f.fill_percent) + "[%]";
  const std::string volume = f.volume_db ? "volume " + std::to_string(*f.volume_db) + "[dB]" : std::string();
  const std::string status = f.status != nullptr ? f.status : "";
  if (columns <= 0) {
    std::string line = position + " ";
    if (!remaining.empty()) line += remaining + " ";
    line += buffer + " ";
    if (!volume.empty()) line += volume + " ";
    line += "  ";
    if (f.status != nullptr) line += status + "   ";
    return line;
  }
  // Fields by importance; the line drops them from the back until it fits.
  enum { kPosition, kRemaining, kStatus, kVolume, kBuffer, kFields };
  std::array<const std::string*, kFields> by_importance{&position, &remaining, &status, &volume, &buffer};
  const size_t width = static_cast<size_t>(columns - 1);
  std::string line;
  for (int kept = kFields; kept >= 1; --kept) {
    const auto shown = [&](int field) { return field < kept && !by_importance[field]->empty(); };
    line = position;
    for (const int field : {kRemaining, kBuffer, kVolume}) {
      if (shown(field)) line += " " + *by_importance[field];
    }
    if (shown(kStatus)) line += "  " + status;
    if (line.size() <= width) break;
  }
  if (line.size() > width) line.resize(width);
  line.append(width - line.size(), ' ');
  return line;
}

void print_fitted_position_line(const position_fields& fields) {
  printf("\r%s\r", position_line_text(fields, terminal_columns()).c_str());
  fflush(stdout);
}

void clear_fitted_position_line(bool newline) {
  const int32_t columns = terminal_columns();
  const int32_t blanks = columns > 0 && columns - 1 < kLineBlanks ? columns - 1 : kLineBlanks;
  printf("\r%*s%s", blanks, "", newline ? "\n" : "");
  fflush(stdout);
}
