#include "parse_param.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "printable.h"
#include "stream_constants.h"
#include "util.h"

namespace {

constexpr size_t kTextCompareLimit = 1024;

constexpr mode_row kModeTable[] = {
    {"1", 2, 8, "DoP"},
    {"2", 2, 10, "Bi-Naural"},
    {nullptr, -1, -1, nullptr},
};

// The keys, after the parameters: the transport keys every player takes,
// then the player's own, and where they are read.
constexpr const char* kTransportKeys =
    "keys:\t\tspace\tpause and resume\n"
    "keys:\t\tn\tnext file\n"
    "keys:\t\tp\tstart of the file, or previous file within its first 3 seconds\n"
    "keys:\t\t<- ,\tback 10 seconds\n"
    "keys:\t\t-> .\tforward 10 seconds\n"
    "keys:\t\tq\tquit (as Ctrl-C)\n";
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

// The bytes a buffer size names: leading blanks, digits with an optional
// decimal fraction, then nothing or one K or M (either case). Fractions of a
// byte are dropped; anything past kMaximumBufferBytes gives
// kMaximumBufferBytes + 1. Empty when the text is no such size.
std::optional<int64_t> read_buffer_size(const char* text) {
  constexpr int64_t kPastMaximum = int64_t{kMaximumBufferBytes} + 1;
  // Digits past the ninth of a fraction are below a byte even with M.
  constexpr int64_t kFractionScaleLimit = 1'000'000'000;
  while (*text == ' ' || *text == '\t') ++text;
  int64_t whole = 0;
  int64_t fraction = 0;
  int64_t fraction_scale = 1;
  int digits = 0;
  for (; *text >= '0' && *text <= '9'; ++text, ++digits) whole = std::min(whole * 10 + (*text - '0'), kPastMaximum);
  if (*text == '.') {
    for (++text; *text >= '0' && *text <= '9'; ++text, ++digits) {
      if (fraction_scale < kFractionScaleLimit) {
        fraction = fraction * 10 + (*text - '0');
        fraction_scale *= 10;
      }
    }
  }
  if (digits == 0) return std::nullopt;
  int64_t unit = 1;
  if (*text == 'K' || *text == 'k') unit = 1024;
  if (*text == 'M' || *text == 'm') unit = 1048576;
  if (unit != 1) ++text;
  if (*text != '\0') return std::nullopt;
  return std::min(whole * unit + fraction * unit / fraction_scale, kPastMaximum);
}

bool starts_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// The row of rows that name is, or null. An option that needs a word after
// it is not recognised without one.
const option_row* find_option(std::span<const option_row> rows, const char* name, const char* next) {
  for (const option_row& row : rows) {
    const bool named = row.shape == option_shape::joined ? starts_with(name, row.name) : text_equal(name, row.name);
    if (!named) continue;
    const bool needs_next = row.shape == option_shape::before_more || row.shape == option_shape::with_value;
    return needs_next && next == nullptr ? nullptr : &row;
  }
  return nullptr;
}

// Acts on the option word (name without its dashes) and returns how many
// words it took: 0 when it was not recognised (it then counts as a file
// operand, like every word after it).
int32_t apply_option(play_params& params, std::span<const option_row> rows, const char* name, const char* next,
                     const option_table& table, const char* program_name) {
  const option_row* row = find_option(rows, name, next);
  if (row == nullptr) return 0;
  const char* value = nullptr;
  if (row->shape == option_shape::with_value) value = next;
  if (row->shape == option_shape::joined) value = name + strlen(row->name);
  row->act({params, value, table, program_name});
  return row->shape == option_shape::with_value ? 2 : 1;
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

void print_usage(const option_table& table, const char* program_name) {
  printf("usage:\t%s [params...] sound_file...\n\n", printable(program_name).c_str());
  fputs(table.usage, stdout);
  fputs(kTransportKeys, stdout);
  fputs(table.keys, stdout);
  fputs(kKeysSource, stdout);
  fflush(stdout);
}

bool option_int32(const char* text, int32_t* value) {
  int64_t number = 0;
  if (!read_decimal(text, &number, nullptr) || number < INT32_MIN || number > INT32_MAX) return false;
  *value = static_cast<int32_t>(number);
  return true;
}

void option_refused(const option_use& use, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string message = formatted_text(format, args);
  va_end(args);
  print_usage(use.table, use.program_name);
  fatal_error("%s", message.c_str());
}

void option_usage(const option_use& use) {
  print_usage(use.table, use.program_name);
  exit_program(1);
}

void option_version(const option_use& use) {
  printf("%s Ver.%s %s\n", use.table.program, use.table.version, use.table.banner);
  fflush(stdout);
  exit_program(0);
}

void option_device(const option_use& use) {
  snprintf(use.params.device_name, sizeof use.params.device_name, "%s", use.value);
}

// A decimal number of bytes, optionally followed by K or M ("1.5M"); one
// past the maximum is cut to it, with a warning.
void option_buffer_size(const option_use& use) {
  const std::optional<int64_t> bytes = read_buffer_size(use.value);
  if (!bytes) option_refused(use, "illegal buffer size %s passed.\n", printable(use.value).c_str());
  if (*bytes > kMaximumBufferBytes) {
    report_warning("buffer size %s is too large. reduced to %d[Bytes].\n", printable(use.value).c_str(),
                   kMaximumBufferBytes);
    fflush(stderr);
  }
  use.params.buffer_size = static_cast<int32_t>(std::min<int64_t>(*bytes, kMaximumBufferBytes));
}

void option_skip(const option_use& use) {
  if (!option_int32(use.value, &use.params.skip_value)) use.params.skip_value = 0;
}

void option_mode(const option_use& use) {
  const mode_row* row = find_mode(use.value);
  if (row == nullptr) fatal_error("illegal mode name %s passed.\n", printable(use.value).c_str());
  use.params.mode_code = row->code;
  use.params.mode_name = row->label;
}

void option_silent(const option_use& use) { use.params.silent = -1; }
void option_control(const option_use& use) { use.params.control = -1; }
void option_short_filter(const option_use& use) { use.params.short_filter = -1; }
void option_left_cut(const option_use& use) { use.params.left_cut = -1; }
void option_right_cut(const option_use& use) { use.params.right_cut = -1; }
void option_wait_device(const option_use& use) { use.params.wait_device = -1; }

play_params parse_params(int argc, char** argv, const option_table& table) {
  play_params params;
  if (argc == 1) {
    params.first_file_index = 2;  // makes the caller's check print the usage
    return params;
  }
  params.first_file_index = 1;
  for (int i = 1; i < argc;) {
    const char* word = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    int32_t taken = 0;
    if (word[0] == '-' && word[1] == '-') {
      taken = apply_option(params, table.long_options, word + 2, next, table, argv[0]);
    } else if (word[0] == '-') {
      taken = apply_option(params, table.short_options, word + 1, next, table, argv[0]);
    }
    params.first_file_index += taken;
    i += taken == 0 ? 1 : taken;
  }
  return params;
}
