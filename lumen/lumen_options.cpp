#include "lumen_options.h"

namespace {

constexpr const char* kUsage =
    "params:\t\t-D device_name\tdefine device name(Cf. -D hw:1,0)\n"
    "params:\t\t-B buffer_size\tdefine data buffer length(Cf. -B 1M)\n"
    "params:\t\t-os\tplayback over sampled souund\n"
    "params:\t\t--short-filter\tpower less machine mode. available with -os option\n"
    "params:\t\t--version\tprint out program version\n"
    "params:\t\t--silent\tsuppress time count messages(for AJAX system)\n"
    "params:\t\t--control\tcommands on standard input, events on standard output (for programs)\n"
    "params:\t\t--left-cut\tkeep left channel silent\n"
    "params:\t\t--right-cut\tkeep right channel silent\n"
    "params:\t\t--wait-device\twait for a DAC that is not there or is lost\n";

#ifdef PLAYERS_WITH_FFMPEG
constexpr const char* kBanner =
    "by the Orvalis developers: bit-perfect PCM, DoP and native DSD for USB DACs.\n"
    "This program uses the FFmpeg libraries under the LGPL 2.1.";
#else
constexpr const char* kBanner = "by the Orvalis developers: bit-perfect PCM, DoP and native DSD for USB DACs.";
#endif

void oversample(const option_use& use) { use.params.oversample = -1; }
void count_only(const option_use& use) { use.params.count_only = -1; }

// -os is recognised as the last word too; -D and -B need their value.
constexpr option_row kShortOptions[] = {
    {"os", option_shape::alone, oversample},
    {"?", option_shape::alone, option_usage},
    {"D", option_shape::with_value, option_device},
    {"B", option_shape::with_value, option_buffer_size},
};

constexpr option_row kLongOptions[] = {
    {"skip", option_shape::with_value, option_skip},
    {"version", option_shape::alone, option_version},
    {"help", option_shape::alone, option_usage},
    {"count", option_shape::alone, count_only},
    {"mode=", option_shape::joined, option_mode},
    {"silent", option_shape::alone, option_silent},
    {"control", option_shape::alone, option_control},
    {"short-filter", option_shape::alone, option_short_filter},
    {"left-cut", option_shape::alone, option_left_cut},
    {"right-cut", option_shape::alone, option_right_cut},
    {"wait-device", option_shape::alone, option_wait_device},
};

constexpr option_table kOptions = {
    .short_options = kShortOptions,
    .long_options = kLongOptions,
    .usage = kUsage,
    .keys = "",
    .program = "lumen",
    .version = "1.4",
    .banner = kBanner,
};

}  // namespace

const option_table& lumen_options() { return kOptions; }
