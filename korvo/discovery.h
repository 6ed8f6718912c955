// Which player commands are installed and which output devices exist: the
// two lists behind the window's command and device boxes. The sound cards
// come from card_list; what could not be read of them is reported here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One output device: what the device box shows (and the configuration
// stores), and what follows -D on the player's command line.
struct device_entry {
  std::string label;   // "<first part> <second part>", so an empty second part leaves a trailing blank
  std::string device;  // "default", "command default", "hw:1,0" or a converter node name
};

inline constexpr std::string_view kOverSampling = "lumen over sampling";
inline constexpr std::string_view kDefaultDevice = "default";
inline constexpr std::string_view kCommandDefault = "command default";
inline constexpr const char* kDeviceNodeDir = "/dev";
inline constexpr std::string_view kConverterNodePrefix = "orvda";

// Rebuilds the command list: each candidate player that answers
// "<name> --version" through the shell with status 0, in candidate order,
// with "lumen over sampling" right after lumen. Sets the selected command
// to 0. Returns false only when the list cannot be made.
bool discover_commands();

// The command list of the last discovery (candidate names and the
// "lumen over sampling" pseudo-command).
const std::vector<std::string>& command_list() noexcept;

// Rebuilds the device list: the two defaults, every ALSA card's playback
// PCM devices, then the converter nodes ("orvda*" character devices) in
// node_dir. Problems are reported on standard error; the defaults are
// always there.
void discover_devices(const char* node_dir = kDeviceNodeDir);

// Appends the entry labelled "<first> <second>"; false when out of memory.
bool add_device(std::string_view first, std::string_view second, std::string_view device);

// Empties the device list.
void release_devices() noexcept;

// The device list of the last discovery, in discovery order.
const std::vector<device_entry>& device_list() noexcept;
