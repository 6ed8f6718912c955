// korvod's settings: the command line over the config file over the
// defaults. Every long option is also a config key ("music /srv/music";
// -D is the key "device"); a config line is "key value", # starts a comment.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct korvod_options {
  std::string music_dir;
  std::string bind_address = "127.0.0.1";
  uint16_t port = 6600;
  std::string password;
  std::string player;                       // brisa or lumen; empty: lumen if installed, else brisa
  std::vector<std::string> player_options;  // words, never through a shell
  std::string device;                       // empty: the player's own choice
  std::string state_dir;
  std::string config_file;  // the one that was read, if any
};

enum class options_outcome { run, usage, error };

struct options_result {
  options_outcome outcome = options_outcome::run;
  korvod_options options;
  std::string message;  // the error, naming the option or the file and line
};

// Reads the command line and the config file (--config FILE, else
// /etc/korvod.conf when it exists) and fills in the defaults.
options_result options_parse(int argc, char** argv);

// The settings from one config file's text over `options`; false with the
// reason (file:line) in *why.
bool options_apply_config(korvod_options& options, const std::string& text, const std::string& file_name,
                          std::string* why);

// Splits an option string into words: blanks separate, quotes ('…', "…")
// and a backslash keep blanks within a word. No expansion of any kind.
std::optional<std::vector<std::string>> options_split_words(const std::string& text);

// The usage text for --help.
std::string options_usage();
