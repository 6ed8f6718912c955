// Test sound devices for process tests: a scratch HOME whose .asoundrc
// defines fake DACs, capture files and null devices, routes hw:N,M and
// plughw:N,M to them, and optionally presents fake sound cards to the
// program through the fake-cards shim.
//
//   alsa_env env;
//   env.add_fake_dac("dac", {.formats = {"DSD_U32_BE"}, .paced = true});
//   env.route_hw_to("dac");
//   env.add_cards({{.number = 1, .longname = "Amanero Combo384 at usb-1"}});
//   run_process({built_program("brisa"), "-D", "hw:1,0", wav},
//               {.env = env.environment()});
//   std::string stream = read_captured(env.dac_output("dac"));
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "process.h"

// What a fake DAC accepts and how it behaves.
struct fake_dac_options {
  std::vector<std::string> formats = {"DSD_U32_BE"};  // ALSA format names
  unsigned channels_min = 2;
  unsigned channels_max = 2;
  unsigned rate_min = 44100;
  unsigned rate_max = 768000;
  bool paced = false;             // consume at the rate by the wall clock (else instantly)
  std::string output;             // frames written; empty: dac_output(name)
  bool discard = false;           // keep no output file at all
  int busy_opens = 0;             // the first opens that fail with EBUSY
  unsigned refuse_rate = 0;       // hw_params fails for exactly this rate (0: none)
  uint64_t disconnect_after = 0;  // DISCONNECTED after this many frames (0: never)
  bool keep_streams = false;      // output keeps every open's frames, not just the last
  uint64_t stall_after = 0;       // plays this many frames, then none (0: never)
  uint64_t underrun_after = 0;    // XRUN after this many frames played since each prepare (0: never)
  std::string presence;           // plugged in only while this file exists (empty: always)
};

// One card of the fake-cards shim.
struct fake_card_spec {
  int number = 1;
  std::string longname;
  std::vector<int> playback = {0};   // playback PCM devices
  std::vector<int> capture = {};     // capture PCM devices
  std::string id;                    // empty: first word of the long name
  std::string name;                  // empty: long name up to " at "
  std::string pcm_name;              // empty: "USB Audio"
  int next_device_fails_after = -1;  // the step past this device fails (EIO); -1: none does
  std::string presence;              // listed only while this file exists (empty: always)
};

class alsa_env {
 public:
  alsa_env() = default;

  // The scratch HOME (removed with the object) and a path inside it.
  const std::string& home() const { return home_.path(); }
  std::string file(const std::string& name) const { return home_.file(name); }

  // pcm.<name>: a fake DAC.
  void add_fake_dac(const std::string& name, const fake_dac_options& options = {});
  // pcm.<name>: ALSA's file plugin over null, one file per rate and format
  // (capture_file); the file plugin empties it at every open.
  void add_capture(const std::string& name);
  // pcm.<name>: ALSA's null device.
  void add_null(const std::string& name);
  // Any other lines for the .asoundrc.
  void add_config(const std::string& text) { extra_ += text + "\n"; }

  // hw:N,M (and plughw:N,M through a plug) open `device`: every N,M, or
  // only the given card and device (then hw names without a route fail to
  // open, unless route_hw_to gave a device for every fake card's devices).
  void route_hw_to(const std::string& device) { hw_default_ = device; }
  void route_hw(int card, int pcm_device, const std::string& device);
  // pcm.default opens `device`.
  void route_default_to(const std::string& device) { default_ = device; }

  // Presents these cards (and only these) to the program; an empty list
  // means a machine without sound cards.
  void add_cards(const std::vector<fake_card_spec>& cards);

  // Writes the .asoundrc and returns the words for process_options::env:
  // HOME, XDG_CONFIG_HOME, ALSA_PLUGIN_DIR, and with cards LD_PRELOAD,
  // FAKE_ALSA_CARDS and ASAN_OPTIONS (the shim is not instrumented).
  std::vector<std::string> environment() const;
  // The .asoundrc text environment() writes.
  std::string asoundrc() const;
  // Runs a program with that environment, in HOME; a run cut off by its
  // timeout fails the test.
  process_result run(const std::vector<std::string>& words, process_options options = {}) const;
  // As run, again (at most twice more) while the player reports that the
  // device ran dry: on a loaded machine the silence bridging an underrun
  // moves the music, which a test comparing the capture would take for
  // the player's fault.
  process_result run_unbroken(const std::vector<std::string>& words, const process_options& options = {}) const;

  // Files of a fake DAC: its frames, its event log (one line per open,
  // hw_params, prepare, start, underrun, disconnect, drain, close) and its
  // count of opens so far (busy ones included).
  std::string dac_output(const std::string& name) const;
  std::string dac_log(const std::string& name) const { return file(name + ".log"); }
  std::string dac_opens_file(const std::string& name) const { return file(name + ".opens"); }
  int dac_opens(const std::string& name) const;

  // The file a capture device writes for a stream of rate and format name.
  std::string capture_file(const std::string& name, unsigned rate, const std::string& format) const;

 private:
  struct dac_entry {
    std::string name;
    fake_dac_options options;
  };
  struct route {
    int card;
    int device;
    std::string target;
  };
  std::string hw_routing() const;

  temp_dir home_;
  std::vector<dac_entry> dacs_;
  std::vector<std::string> devices_;  // capture and null definitions
  std::vector<route> routes_;
  std::optional<std::vector<fake_card_spec>> cards_;
  std::string hw_default_;
  std::string default_;
  std::string extra_;
};

// The value of FAKE_ALSA_CARDS for these cards.
std::string fake_cards_variable(const std::vector<fake_card_spec>& cards);

// The whole content of a file (a capture, a log), empty when it is missing.
std::string read_captured(const std::string& path);

// The pcm_pattern bytes pcm_probe writes for its first `bytes` bytes.
std::string probe_pattern(size_t bytes);

// Paths in the build tree: the fake DAC's plugin directory, the shim, and
// the pcm_probe helper program.
std::string fakedac_plugin_dir();
std::string fakecards_library();
std::string pcm_probe_program();
