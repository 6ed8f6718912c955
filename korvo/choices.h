// What the user has chosen in the window, and the rules that turn a stored
// choice into the active row of a selection box.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct device_entry;

inline constexpr int32_t kDefaultBufferMb = 10;
inline constexpr int32_t kMinBufferMb = 1;
inline constexpr int32_t kMaxBufferMb = 100;
inline constexpr std::string_view kAutoDetect = "auto detect";
// brisa's own range and defaults: modulator level 1, native DSD, 0 dB.
inline constexpr int32_t kDefaultModulatorLevel = 1;
inline constexpr int32_t kMinVolumeDb = -48;
inline constexpr int32_t kMaxVolumeDb = 0;

// Which kind of output a device entry is; auto detect chooses the player
// from it (kind_unknown stands for the two default devices).
enum device_kind : int32_t {
  kind_unknown = 0,
  kind_converter_node = 1,
  kind_alsa = 2,
  kind_converter_card = 4,
};

// What brisa is started with; each differs from brisa's own default only
// when the user chose so in Settings.
struct brisa_choices {
  int32_t modulator_level = kDefaultModulatorLevel;  // 1, 2 or 7
  bool dop = false;                                  // DoP instead of native DSD
  int32_t volume_db = kMaxVolumeDb;                  // kMinVolumeDb..kMaxVolumeDb
};

struct korvo_choices {
  std::string device_label = "default";  // label of the device entry to use
  std::string command_name;              // empty until a command is chosen
  bool convert_format = false;           // "convert format when necessary"
  int32_t buffer_mb = kDefaultBufferMb;  // player buffer size in megabytes
  // Row of the command box in use: an index into the command list, or the
  // list's size for the "auto detect" row.
  int32_t selected_command = 0;
  int32_t device_kind = kind_unknown;  // of the device the last argument string names
  brisa_choices brisa;
};

// The one set of choices of the program, shared by window and process control.
extern korvo_choices choices;

// Active row of the device box for `label`: the last row with that label,
// else row 0 (and then the caller makes row 0's label the chosen one).
// Returns -1 when the list is empty.
int32_t choices_device_row(const std::vector<device_entry>& devices, std::string_view label) noexcept;

// Active row of the command box (the commands, then "auto detect") for the
// chosen command name; row 0 when the name is empty or names nothing listed.
int32_t choices_command_row(const std::vector<std::string>& commands, std::string_view name) noexcept;

// The buffer size a settings entry text gives: not a number or below 1
// gives 10, above 100 gives 100.
int32_t choices_buffer_from_entry(const char* text) noexcept;

// The same rule for a number: below 1 gives 10, above 100 gives 100.
int32_t choices_buffer_clamp(long value) noexcept;

// A stored modulator level: 1, 2 and 7 stay, anything else gives 1.
int32_t choices_modulator_level(long value) noexcept;

// A stored volume brought into brisa's range: above 0 dB gives 0, below
// -48 dB gives -48.
int32_t choices_volume_clamp(long value) noexcept;
