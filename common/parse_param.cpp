#include "parse_param.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "printable.h"

play_params params;

namespace {

constexpr size_t kTextCompareLimit = 1024;

constexpr mode_row kModeTable[] = {
    {"1", 2, 8, "DoP"},
    {"2", 2, 10, "Bi-Naural"},
    {nullptr, -1, -1, nullptr},
};

constexpr const char* kBrisaUsage =
    "params:\t\t-D device_name\tdefine device name(Cf. -D hw:1,0)\n"
    "params:\t\t-B buffer_size\tdefine data buffer length(Cf. -B 1M)\n"
    "params:\t\t-L1\tuse delta sigma modulator level1\n"
    "params:\t\t-L2\tuse delta sigma modulator level2\n"
    "params:\t\t--version\tprint out program version\n"
    "params:\t\t--dop\tPlayback 5.6MHzfs DoP data\n"
    "params:\t\t--silent\tsuppress time count messages(for AJAX system)\n"
    "params:\t\t--short-filter\tpower less machine mode\n"
    "params:\t\t--volume=#\tset volume magnify[dB](Cf. --volume=-6)\n"
    "params:\t\t--left-cut\tkeep left channel silent\n"
    "params:\t\t--right-cut\tkeep right channel silent\n";

constexpr const char* kLumenUsage =
    "params:\t\t-D device_name\tdefine device name(Cf. -D hw:1,0)\n"
    "params:\t\t-B buffer_size\tdefine data buffer length(Cf. -B 1M)\n"
    "params:\t\t-os\tplayback over sampled souund\n"
    "params:\t\t--short-filter\tpower less machine mode. available with -os option\n"
    "params:\t\t--version\tprint out program version\n"
    "params:\t\t--silent\tsuppress time count messages(for AJAX system)\n"
    "params:\t\t--left-cut\tkeep left channel silent\n"
    "params:\t\t--right-cut\tkeep right channel silent\n";

// The keys, after the parameters: the transport keys both players take,
// brisa's volume keys, and where they are read.
constexpr const char* kTransportKeys =
    "keys:\t\tspace\tpause and resume\n"
    "keys:\t\tn\tnext file\n"
    "keys:\t\tp\tstart of the file, or previous file within its first 3 seconds\n"
    "keys:\t\tq\tquit (as Ctrl-C)\n";
constexpr const char* kBrisaVolumeKeys =
    "keys:\t\t+ -\tvolume up or down 1dB\n"
    "keys:\t\tdigits Enter\tvolume minus that many dB\n";
constexpr const char* kKeysSource = "keys:\t\t(read from a terminal or a pipe on standard input)\n";

// A decimal number at the start of text, as scanf's %d reads it (leading
// blanks and a sign allowed). Sets *end past the digits.
bool read_decimal(const char* text, int64_t* value, const char** end) {
  char* stop = nullptr;
  errno = 0;
  const long long number = strtoll(text, &stop, 10);
  if (stop == text || errno == ERANGE) return false;
  *value = number;
  if (end != nullptr) *end = stop;
  return true;
}

bool read_int32(const char* text, int32_t* value) {
  int64_t number = 0;
  if (!read_decimal(text, &number, nullptr) || number < INT32_MIN || number > INT32_MAX) return false;
  *value = static_cast<int32_t>(number);
  return true;
}

bool starts_with(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

[[noreturn]] void usage_and_exit(player_kind player, const char* program_name) {
  print_usage(player, program_name);
  exit_program(1);
}

// -B: a number, optionally followed by K or M. Anything else after the
// number is ignored ("100x" is 100 bytes).
int32_t read_buffer_size(player_kind player, const char* program_name, const char* text) {
  int64_t number = 0;
  const char* after = nullptr;
  // The number is checked before it is scaled, so the product stays inside int64.
  bool valid = read_decimal(text, &number, &after) && number >= INT32_MIN && number <= INT32_MAX;
  int64_t bytes = number;
  if (valid && (*after == 'K' || *after == 'k')) bytes = number * 1024;
  if (valid && (*after == 'M' || *after == 'm')) bytes = number * 1048576;
  if (bytes > INT32_MAX || bytes < INT32_MIN) valid = false;
  if (!valid) {
    print_usage(player, program_name);
    fatal_error("illegal buffer size %s passed.\n", printable(text).c_str());
  }
  return static_cast<int32_t>(bytes);
}

void apply_mode(const char* name) {
  const mode_row* row = find_mode(name);
  if (row == nullptr) fatal_error("illegal mode name %s passed.\n", printable(name).c_str());
  params.mode_code = row->code;
  params.mode_name = row->label;
}

void copy_device_name(const char* name) {
  snprintf(params.device_name, sizeof params.device_name, "%s", name);
}

// The flags both players share; true when name was one of them.
bool apply_common_flag(const char* name) {
  int32_t* flag = nullptr;
  if (text_equal(name, "silent")) flag = &params.silent;
  if (text_equal(name, "short-filter")) flag = &params.short_filter;
  if (text_equal(name, "left-cut")) flag = &params.left_cut;
  if (text_equal(name, "right-cut")) flag = &params.right_cut;
  if (flag == nullptr) return false;
  *flag = -1;
  return true;
}

void print_version(const char* program, const char* version, const char* banner) {
  printf("%s Ver.%s %s\n", program, version, banner);
  fflush(stdout);
  exit_program(0);
}

// How many words an option took: 0 when it was not recognised (it then
// counts as a file operand, like every word after it).
enum consumed : int { kNotRecognised = 0, kWord = 1, kWordAndValue = 2 };

consumed brisa_short_option(const char* name, const char* next, char** argv,
                            const brisa_option_actions& actions) {
  if (text_equal(name, "?")) usage_and_exit(player_kind::brisa, argv[0]);
  if (next == nullptr) return kNotRecognised;
  if (text_equal(name, "D")) {
    copy_device_name(next);
    return kWordAndValue;
  }
  if (text_equal(name, "L1") || text_equal(name, "L2") || text_equal(name, "L7")) {
    actions.select_modulator_level(name[1] - '0');
    return kWord;
  }
  if (text_equal(name, "B")) {
    params.buffer_size = read_buffer_size(player_kind::brisa, argv[0], next);
    return kWordAndValue;
  }
  return kNotRecognised;
}

consumed brisa_long_option(const char* name, const char* next, char** argv,
                           const brisa_option_actions& actions, const char* banner) {
  if (text_equal(name, "help")) usage_and_exit(player_kind::brisa, argv[0]);
  if (next != nullptr && text_equal(name, "skip")) {
    if (!read_int32(next, &params.skip_value)) params.skip_value = 0;
    return kWordAndValue;
  }
  if (text_equal(name, "version")) print_version("brisa", "1.1", banner);
  if (text_equal(name, "dop")) {
    actions.select_dop();
    return kWord;
  }
  if (starts_with(name, "volume=")) {
    int32_t db = 0;
    if (read_int32(name + strlen("volume="), &db)) params.volume_db = actions.set_volume(db);
    return kWord;
  }
  if (starts_with(name, "mode=")) {
    apply_mode(name + strlen("mode="));
    return kWord;
  }
  if (starts_with(name, "clock=")) {
    if (!read_int32(name + strlen("clock="), &params.clock_hz)) {
      print_usage(player_kind::brisa, argv[0]);
      fatal_error("\nclock value not found.\n");
    }
    return kWord;
  }
  return apply_common_flag(name) ? kWord : kNotRecognised;
}

consumed lumen_short_option(const char* name, const char* next, char** argv) {
  if (text_equal(name, "os")) {
    params.oversample = -1;
    return kWord;
  }
  if (text_equal(name, "?")) usage_and_exit(player_kind::lumen, argv[0]);
  if (next == nullptr) return kNotRecognised;
  if (text_equal(name, "D")) {
    copy_device_name(next);
    return kWordAndValue;
  }
  if (text_equal(name, "B")) {
    params.buffer_size = read_buffer_size(player_kind::lumen, argv[0], next);
    return kWordAndValue;
  }
  return kNotRecognised;
}

consumed lumen_long_option(const char* name, const char* next, char** argv, const char* banner) {
  if (next != nullptr && text_equal(name, "skip")) {
    if (!read_int32(next, &params.skip_value)) params.skip_value = 0;
    return kWordAndValue;
  }
  if (text_equal(name, "version")) print_version("lumen", "1.4", banner);
  if (text_equal(name, "help")) usage_and_exit(player_kind::lumen, argv[0]);
  if (text_equal(name, "count")) {
    params.count_only = -1;
    return kWord;
  }
  if (starts_with(name, "mode=")) {
    apply_mode(name + strlen("mode="));
    return kWord;
  }
  return apply_common_flag(name) ? kWord : kNotRecognised;
}

// The common frame: walk the words, hand each option to the player's table
// and count what it consumed.
template <typename ShortOption, typename LongOption>
void parse_words(int argc, char** argv, ShortOption short_option, LongOption long_option) {
  if (argc == 1) {
    params.first_file_index = 2;  // makes the caller's check print the usage
    return;
  }
  params.first_file_index = 1;
  for (int i = 1; i < argc;) {
    const char* word = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    consumed taken = kNotRecognised;
    if (word[0] == '-' && word[1] == '-') {
      taken = long_option(word + 2, next);
    } else if (word[0] == '-') {
      taken = short_option(word + 1, next);
    }
    params.first_file_index += taken;
    i += taken == kNotRecognised ? 1 : taken;
  }
}

}  // namespace

bool text_equal(const char* a, const char* b) {
  return strncmp(a, b, kTextCompareLimit) == 0 && strnlen(a, kTextCompareLimit) < kTextCompareLimit;
}

const mode_row* find_mode(const char* name) {
  for (const mode_row* row = kModeTable; row->name != nullptr; ++row) {
    if (text_equal(name, row->name)) return row;
  }
  return nullptr;
}

void print_usage(player_kind player, const char* program_name) {
  printf("usage:\t%s [params...] sound_file...\n\n", printable(program_name).c_str());
  const bool brisa = player == player_kind::brisa;
  fputs(brisa ? kBrisaUsage : kLumenUsage, stdout);
  fputs(kTransportKeys, stdout);
  if (brisa) fputs(kBrisaVolumeKeys, stdout);
  fputs(kKeysSource, stdout);
  fflush(stdout);
}

void parse_brisa_params(int argc, char** argv, const brisa_option_actions& actions, const char* banner) {
  parse_words(
      argc, argv,
      [&](const char* name, const char* next) { return brisa_short_option(name, next, argv, actions); },
      [&](const char* name, const char* next) { return brisa_long_option(name, next, argv, actions, banner); });
}

void parse_lumen_params(int argc, char** argv, const char* banner) {
  parse_words(
      argc, argv, [&](const char* name, const char* next) { return lumen_short_option(name, next, argv); },
      [&](const char* name, const char* next) { return lumen_long_option(name, next, argv, banner); });
}
