#include "options.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>
#include <utility>

namespace {

constexpr const char* kSystemConfig = "/etc/korvod.conf";
constexpr const char* kSystemStateDir = "/var/lib/korvod";
// Debian gives system users the ids below this (SYS_UID_MAX + 1).
constexpr uid_t kFirstUserId = 1000;

std::string home_dir() {
  if (const char* home = getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) return entry->pw_dir;
  return "/";
}

// XDG_MUSIC_DIR from user-dirs.dirs, as xdg-user-dir reads it: "$HOME/…" or
// an absolute path.
std::string xdg_music_dir() {
  const std::string home = home_dir();
  const char* config_home = getenv("XDG_CONFIG_HOME");
  const std::string config = (config_home != nullptr && *config_home == '/') ? config_home : home + "/.config";
  std::ifstream in(config + "/user-dirs.dirs");
  for (std::string line; std::getline(in, line);) {
    constexpr std::string_view kKey = "XDG_MUSIC_DIR=\"";
    if (line.rfind(kKey, 0) != 0 || line.size() < kKey.size() + 1 || line.back() != '"') continue;
    std::string value = line.substr(kKey.size(), line.size() - kKey.size() - 1);
    if (value.rfind("$HOME", 0) == 0) return home + value.substr(5);
    if (!value.empty() && value.front() == '/') return value;
  }
  return home + "/Music";
}

std::string default_state_dir() {
  // systemd's StateDirectory= says where.
  if (const char* state = getenv("STATE_DIRECTORY"); state != nullptr && *state == '/') {
    const std::string first(state);
    return first.substr(0, first.find(':'));
  }
  if (getuid() < kFirstUserId) return kSystemStateDir;
  const char* state_home = getenv("XDG_STATE_HOME");
  const std::string base = (state_home != nullptr && *state_home == '/') ? state_home : home_dir() + "/.local/state";
  return base + "/korvod";
}

std::string trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r");
  return std::string(text.substr(first, last - first + 1));
}

// One setting by its key; false with the reason.
bool set_option(korvod_options& options, std::string_view key, const std::string& value, std::string* why) {
  if (key == "music") {
    options.music_dir = value;
  } else if (key == "bind") {
    options.bind_address = value;
  } else if (key == "port") {
    unsigned port = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), port);
    if (error != std::errc{} || end != value.data() + value.size() || port == 0 || port > 65535) {
      *why = "port " + value + " is not a port number (1 to 65535)";
      return false;
    }
    options.port = static_cast<uint16_t>(port);
  } else if (key == "password") {
    options.password = value;
  } else if (key == "player") {
    if (value != "brisa" && value != "lumen") {
      *why = "player " + value + " is neither brisa nor lumen";
      return false;
    }
    options.player = value;
  } else if (key == "player-options") {
    std::optional<std::vector<std::string>> words = options_split_words(value);
    if (!words) {
      *why = "player-options: a quote is not closed";
      return false;
    }
    options.player_options = std::move(*words);
  } else if (key == "device") {
    options.device = value;
  } else if (key == "state") {
    options.state_dir = value;
  } else {
    *why = "unknown setting " + std::string(key);
    return false;
  }
  if ((key == "music" || key == "state") && (value.empty() || value.front() != '/')) {
    *why = std::string(key) + " " + value + " is not an absolute path";
    return false;
  }
  return true;
}

std::optional<std::string> read_text(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Whether a program of that name is on the PATH, as execvp finds players.
bool installed(std::string_view program) {
  const char* path = getenv("PATH");
  std::string_view dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  while (!dirs.empty()) {
    const size_t colon = dirs.find(':');
    const std::string_view dir = dirs.substr(0, colon);
    const std::string candidate = std::string(dir.empty() ? "." : dir) + "/" + std::string(program);
    if (access(candidate.c_str(), X_OK) == 0) return true;
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
  }
  return false;
}

// The long options that take a value, by their name on the command line.
constexpr std::string_view kValueOptions[] = {"music", "bind", "port", "password", "player", "player-options", "state"};

}  // namespace

std::optional<std::vector<std::string>> options_split_words(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else if (c == '\\' && quote == '"' && i + 1 < text.size()) {
        word += text[++i];
      } else {
        word += c;
      }
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (in_word) words.push_back(std::exchange(word, {}));
      in_word = false;
    } else if (c == '\'' || c == '"') {
      quote = c;
      in_word = true;
    } else if (c == '\\' && i + 1 < text.size()) {
      word += text[++i];
      in_word = true;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quote != 0) return std::nullopt;
  if (in_word) words.push_back(word);
  return words;
}

bool options_apply_config(korvod_options& options, const std::string& text, const std::string& file_name,
                          std::string* why) {
  std::istringstream in(text);
  int line_number = 0;
  for (std::string line; std::getline(in, line);) {
    ++line_number;
    const std::string content = trimmed(line);
    if (content.empty() || content.front() == '#') continue;
    const size_t blank = content.find_first_of(" \t");
    const std::string key = content.substr(0, blank);
    const std::string value = blank == std::string::npos ? std::string() : trimmed(content.substr(blank));
    std::string reason;
    if (!set_option(options, key, value, &reason)) {
      *why = file_name + ":" + std::to_string(line_number) + ": " + reason;
      return false;
    }
  }
  return true;
}

options_result options_parse(int argc, char** argv) {
  options_result result;
  // The command line first, kept as key and value to go over the file's.
  std::vector<std::pair<std::string, std::string>> given;
  std::string config_file;
  bool config_named = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word == "--help" || word == "-h") {
      result.outcome = options_outcome::usage;
      return result;
    }
    std::string key;
    std::optional<std::string> value;
    if (word == "-D") {
      key = "device";
    } else if (word.rfind("--", 0) == 0) {
      const size_t equals = word.find('=');
      key = std::string(word.substr(2, equals == std::string_view::npos ? std::string_view::npos : equals - 2));
      if (equals != std::string_view::npos) value = std::string(word.substr(equals + 1));
    } else {
      result.outcome = options_outcome::error;
      result.message = "unexpected argument " + std::string(word);
      return result;
    }
    bool known = key == "config" || key == "device";
    for (std::string_view name : kValueOptions) known = known || key == name;
    if (!known) {
      result.outcome = options_outcome::error;
      result.message = "unknown option " + std::string(word);
      return result;
    }
    if (!value) {
      if (i + 1 >= argc) {
        result.outcome = options_outcome::error;
        result.message = "option " + std::string(word) + " needs a value";
        return result;
      }
      value = argv[++i];
    }
    if (key == "config") {
      config_file = *value;
      config_named = true;
    } else {
      given.emplace_back(key, *value);
    }
  }

  korvod_options& options = result.options;
  if (!config_named && access(kSystemConfig, F_OK) == 0) config_file = kSystemConfig;
  if (!config_file.empty()) {
    const std::optional<std::string> text = read_text(config_file);
    if (!text) {
      result.outcome = options_outcome::error;
      result.message = "cannot read " + config_file + ": " + strerror(errno);
      return result;
    }
    if (!options_apply_config(options, *text, config_file, &result.message)) {
      result.outcome = options_outcome::error;
      return result;
    }
    options.config_file = config_file;
  }
  for (const auto& [key, value] : given) {
    std::string reason;
    if (!set_option(options, key, value, &reason)) {
      result.outcome = options_outcome::error;
      result.message = reason;
      return result;
    }
  }
  if (options.player.empty()) options.player = installed("lumen") || !installed("brisa") ? "lumen" : "brisa";
  if (options.music_dir.empty()) options.music_dir = xdg_music_dir();
  if (options.state_dir.empty()) options.state_dir = default_state_dir();
  while (options.music_dir.size() > 1 && options.music_dir.back() == '/') options.music_dir.pop_back();
  return result;
}

std::string options_usage() {
  return "Usage: korvod [options]\n"
         "A music server for MPD clients: plays the music folder through brisa or lumen.\n"
         "\n"
         "  --music DIR            the music folder (default: the XDG music folder, ~/Music)\n"
         "  --bind ADDR            the address to listen on (default 127.0.0.1)\n"
         "  --port N               the port to listen on (default 6600)\n"
         "  --password PW          clients must give this password first\n"
         "  --player brisa|lumen   the player that plays (default lumen, brisa when only it is installed)\n"
         "  --player-options \"…\"   more words for the player's command line\n"
         "  -D DEVICE              the ALSA device the player opens\n"
         "  --state DIR            where the library cache, the queue and the position are kept\n"
         "                         (default $XDG_STATE_HOME/korvod, /var/lib/korvod for a system user)\n"
         "  --config FILE          read the settings from FILE instead of /etc/korvod.conf\n"
         "  --help                 print this text\n"
         "\n"
         "Every option is also a setting of the config file, one \"key value\" a line\n"
         "(music, bind, port, password, player, player-options, device, state); # starts\n"
         "a comment. The command line goes over the file.\n";
}
