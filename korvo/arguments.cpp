#include "arguments.h"

#include <algorithm>

#include "choices.h"
#include "discovery.h"
#include "uri.h"

namespace {

constexpr std::string_view kConverterCardName = "Orvalis Quellform";

constexpr bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

}  // namespace

device_part build_device_part(const device_entry& entry, bool convert_format) {
  const std::string& device = entry.device;
  int32_t kind = kind_alsa;
  if (device == kDefaultDevice || device == kCommandDefault) {
    kind = kind_unknown;
  } else if (device.starts_with(kConverterNodePrefix)) {
    kind = kind_converter_node;
  } else if (entry.label.find(kConverterCardName) != std::string::npos) {
    kind = kind_converter_card;
  }
  if (device == kDefaultDevice) return {"-D default ", kind};
  if (device == kCommandDefault) return {"", kind};
  if (convert_format) return {"-D plug" + device + " ", kind};
  if (kind == kind_converter_node) return {"-D /dev/" + device + " ", kind};
  return {"-D " + device + " ", kind};
}

std::string quoted_word(std::string_view text) {
  std::string word = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') word += '\\';
    word += c;
  }
  return word + "\"";
}

std::string open_argument_string(std::string_view device_words, std::span<const std::string> names) {
  std::string arguments(device_words);
  for (size_t i = 0; i < names.size(); ++i) arguments += (i > 0 ? " " : "") + quoted_word(names[i]);
  return arguments;
}

std::string open_argument_string(std::string_view device_words, std::string_view file_name) {
  const std::string name(file_name);
  return open_argument_string(device_words, std::span(&name, 1));
}

bool drop_is_accepted(std::string_view text) noexcept {
  return text.starts_with(kFileScheme) || text.starts_with(kCddaScheme);
}

std::string drop_argument_string(std::string_view device_words, std::string_view uri_list, const char* home) {
  std::string arguments(device_words);
  for (const std::string& path : drop_paths(uri_list, home)) arguments += quoted_word(path) + " ";
  return arguments;
}

std::vector<std::string> drop_paths(std::string_view uri_list, const char* home) {
  std::vector<std::string> paths;
  // One URI per line; lines of other schemes (and comments) are passed over.
  while (!uri_list.empty()) {
    const size_t end = uri_list.find_first_of("\r\n");
    const std::string_view line = uri_list.substr(0, end);
    if (auto path = uri_to_path(line, home)) paths.push_back(std::move(*path));
    if (end == std::string_view::npos) break;
    uri_list.remove_prefix(end + 1);
  }
  return paths;
}

std::vector<std::string> split_words(std::string_view arguments) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < arguments.size()) {
    if (is_blank(arguments[at])) {
      ++at;
      continue;
    }
    std::string word;
    if (arguments[at] == '"') {
      ++at;
      while (at < arguments.size() && arguments[at] != '"') {
        const bool escape = arguments[at] == '\\' && at + 1 < arguments.size() &&
                            (arguments[at + 1] == '"' || arguments[at + 1] == '\\');
        if (escape) ++at;
        word += arguments[at++];
      }
      ++at;  // the closing quote, when there is one
    } else {
      while (at < arguments.size() && !is_blank(arguments[at])) word += arguments[at++];
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::vector<std::string> brisa_option_words(const brisa_choices& brisa) {
  std::vector<std::string> words;
  if (brisa.modulator_level != kDefaultModulatorLevel) words.push_back("-L" + std::to_string(brisa.modulator_level));
  if (brisa.dop) words.emplace_back("--dop");
  if (brisa.volume_db != kMaxVolumeDb) words.push_back("--volume=" + std::to_string(brisa.volume_db));
  return words;
}

child_command player_command(const std::vector<std::string>& commands, int32_t index, int32_t buffer_mb,
                             std::string_view arguments, const brisa_choices& brisa) {
  child_command command;
  const std::string& shown = commands[static_cast<size_t>(index)];
  command.words.push_back(shown);
  command.program = shown;
  if (shown == kOverSampling && index > 0) {
    command.words.emplace_back("-os");
    command.program = commands[static_cast<size_t>(index) - 1];
  }
  if (command.program == "brisa" || command.program == "lumen") {
    command.control = true;
    command.words.emplace_back("--control");
    command.words.emplace_back("--wait-device");
  }
  if (command.program != "aplay" && command.program != "brisa") {
    command.words.emplace_back("-B");
    command.words.push_back(std::to_string(buffer_mb) + "M");
  }
  if (command.program == "brisa") {
    for (std::string& word : brisa_option_words(brisa)) command.words.push_back(std::move(word));
  }
  for (std::string& word : split_words(arguments)) command.words.push_back(std::move(word));
  return command;
}

child_command count_probe_command(std::string_view arguments) {
  child_command command{"lumen", {"lumen", "--count"}};
  for (std::string& word : split_words(arguments)) command.words.push_back(std::move(word));
  return command;
}

std::string_view auto_detect_installed(int32_t kind, int exit_status, const std::vector<std::string>& commands) {
  const std::string_view first = auto_detect_choice(kind, exit_status);
  const auto installed = [&commands](std::string_view name) {
    return std::find(commands.begin(), commands.end(), name) != commands.end();
  };
  // lumen plays any list on an ALSA device, one stream after the other;
  // the converters' own device nodes take only their own players.
  if (installed(first) || kind == kind_converter_node || !installed("lumen")) return first;
  return "lumen";
}

std::string_view auto_detect_choice(int32_t kind, int exit_status) noexcept {
  const bool one_stream = exit_status == 0;
  switch (kind) {
    case kind_converter_node: return one_stream ? "pelko" : "mirel";
    case kind_converter_card: return "ondra";
    default: return one_stream ? "lumen" : "tarvo";
  }
}
