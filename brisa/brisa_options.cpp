#include "brisa_options.h"

#include <cstring>
#include <utility>

#include "alsathread.h"
#include "deltasigma.h"
#include "printable.h"
#include "replaygain.h"

namespace {

constexpr const char* kUsage =
    "params:\t\t-D device_name\tdefine device name(Cf. -D hw:1,0)\n"
    "params:\t\t-B buffer_size\tdefine data buffer length(Cf. -B 1M)\n"
    "params:\t\t-L1\tuse delta sigma modulator level1\n"
    "params:\t\t-L2\tuse delta sigma modulator level2\n"
    "params:\t\t--version\tprint out program version\n"
    "params:\t\t--dop\tPlayback 5.6MHzfs DoP data\n"
    "params:\t\t--silent\tsuppress time count messages(for AJAX system)\n"
    "params:\t\t--control\tcommands on standard input, events on standard output (for programs)\n"
    "params:\t\t--short-filter\tpower less machine mode\n"
    "params:\t\t--volume=#\tset volume magnify[dB](Cf. --volume=-6)\n"
    "params:\t\t--left-cut\tkeep left channel silent\n"
    "params:\t\t--right-cut\tkeep right channel silent\n"
    "params:\t\t--replaygain=mode\tgain from the tags: track, album or off\n"
    "params:\t\t--wait-device\twait for a DAC that is not there or is lost\n";

constexpr const char* kVolumeKeys =
    "keys:\t\t+ -\tvolume up or down 1dB\n"
    "keys:\t\tdigits Enter\tvolume minus that many dB\n";

constexpr const char* kBanner =
    "by the Orvalis developers: PCM and DSD to one-bit DSD for USB DACs.\n"
    "This program uses the FFmpeg libraries under the LGPL 2.1.";

void level_1(const option_use& use) { use.params.modulator_level = 1; }
void level_2(const option_use& use) { use.params.modulator_level = 2; }
void level_7(const option_use& use) { use.params.modulator_level = 7; }
void dop(const option_use& use) { use.params.dop = -1; }

// A volume outside -48..0 dB, or no number, leaves it as it is.
void volume(const option_use& use) {
  int32_t db = 0;
  if (option_int32(use.value, &db) && volume_in_range(db)) use.params.volume_db = db;
}

void replaygain(const option_use& use) {
  constexpr std::pair<const char*, replaygain_mode> kModes[] = {
      {"off", replaygain_mode::off}, {"track", replaygain_mode::track}, {"album", replaygain_mode::album}};
  for (const auto& [name, mode] : kModes) {
    if (strcmp(use.value, name) == 0) {
      use.params.replaygain = static_cast<int32_t>(mode);
      return;
    }
  }
  option_refused(use, "replaygain mode %s unknown: track, album or off.\n", printable(use.value).c_str());
}

void master_clock(const option_use& use) {
  if (!option_int32(use.value, &use.params.clock_hz)) option_refused(use, "\nclock value not found.\n");
}

// Every short option but -? is passed over as the last word, -L included.
constexpr option_row kShortOptions[] = {
    {"?", option_shape::alone, option_usage},   {"D", option_shape::with_value, option_device},
    {"L1", option_shape::before_more, level_1}, {"L2", option_shape::before_more, level_2},
    {"L7", option_shape::before_more, level_7}, {"B", option_shape::with_value, option_buffer_size},
};

constexpr option_row kLongOptions[] = {
    {"help", option_shape::alone, option_usage},        {"skip", option_shape::with_value, option_skip},
    {"version", option_shape::alone, option_version},   {"dop", option_shape::alone, dop},
    {"volume=", option_shape::joined, volume},          {"mode=", option_shape::joined, option_mode},
    {"clock=", option_shape::joined, master_clock},     {"silent", option_shape::alone, option_silent},
    {"control", option_shape::alone, option_control},   {"short-filter", option_shape::alone, option_short_filter},
    {"left-cut", option_shape::alone, option_left_cut}, {"right-cut", option_shape::alone, option_right_cut},
    {"replaygain=", option_shape::joined, replaygain},  {"wait-device", option_shape::alone, option_wait_device},
};

constexpr option_table kOptions = {
    .short_options = kShortOptions,
    .long_options = kLongOptions,
    .usage = kUsage,
    .keys = kVolumeKeys,
    .program = "brisa",
    .version = "1.1",
    .banner = kBanner,
};

}  // namespace

const option_table& brisa_options() { return kOptions; }
