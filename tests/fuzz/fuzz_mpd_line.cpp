// korvod's protocol lines: any bytes a client may send are split into a
// command and its arguments or refused, and what is quoted reads back as it
// was; the number, range and time arguments never overflow.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mpd_line.h"
#include "music_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  std::string why;
  if (const std::optional<mpd_request> request = mpd_parse_line(line, &why)) {
    if (request->command.empty() || request->args.size() > kMpdMostArguments) abort();
    std::string again = request->command;
    for (const std::string& arg : request->args) {
      again += " " + mpd_quote(arg);
      mpd_parse_integer(arg);
      mpd_parse_range(arg, 100);
      mpd_parse_time(arg);
      music_uri_is_clean(arg);
    }
    const std::optional<mpd_request> back = mpd_parse_line(again, &why);
    if (!back || back->command != request->command || back->args != request->args) abort();
  } else if (why.empty()) {
    abort();
  }
  const std::string ack = mpd_ack(mpd_error::arg, size, line.substr(0, 32), line);
  if (ack.find('\n') != ack.size() - 1) abort();
  return 0;
}
