#include "choices.h"

#include <cerrno>
#include <cstdlib>

#include "discovery.h"

korvo_choices choices;

int32_t choices_device_row(const std::vector<device_entry>& devices, std::string_view label) noexcept {
  if (devices.empty()) return -1;
  int32_t row = 0;
  for (size_t i = 0; i < devices.size(); ++i) {
    if (devices[i].label == label) row = static_cast<int32_t>(i);
  }
  return row;
}

int32_t choices_command_row(const std::vector<std::string>& commands, std::string_view name) noexcept {
  if (name == kAutoDetect) return static_cast<int32_t>(commands.size());
  for (size_t i = 0; i < commands.size(); ++i) {
    if (commands[i] == name) return static_cast<int32_t>(i);
  }
  return 0;
}

int32_t choices_buffer_clamp(long value) noexcept {
  if (value < kMinBufferMb) return kDefaultBufferMb;
  if (value > kMaxBufferMb) return kMaxBufferMb;
  return static_cast<int32_t>(value);
}

int32_t choices_buffer_from_entry(const char* text) noexcept {
  char* end = nullptr;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (end == text) return kDefaultBufferMb;
  if (errno == ERANGE && value > 0) return kMaxBufferMb;
  return choices_buffer_clamp(value);
}

int32_t choices_modulator_level(long value) noexcept {
  return value == 1 || value == 2 || value == 7 ? static_cast<int32_t>(value) : kDefaultModulatorLevel;
}

int32_t choices_volume_clamp(long value) noexcept {
  if (value < kMinVolumeDb) return kMinVolumeDb;
  if (value > kMaxVolumeDb) return kMaxVolumeDb;
  return static_cast<int32_t>(value);
}
