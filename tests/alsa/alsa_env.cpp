#include "alsa_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "pcm_pattern.h"

namespace {

// Quotes a value for the ALSA configuration syntax.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string joined(const std::vector<int>& numbers) {
  std::string out;
  for (int n : numbers) out += (out.empty() ? "" : ",") + std::to_string(n);
  return out;
}

// The head every hw-like override needs to take "hw:CARD,DEV,SUBDEV".
constexpr const char* kHwArgs =
    "  @args [ CARD DEV SUBDEV ]\n"
    "  @args.CARD { type string default \"0\" }\n"
    "  @args.DEV { type integer default 0 }\n"
    "  @args.SUBDEV { type integer default -1 }\n";

std::string route_name(const std::string& card, int device) {
  return "players_hw_" + card + "_" + std::to_string(device);
}

// The id the shim gives a card without one: the long name's first word,
// letters and digits only, at most 15 characters.
std::string card_id(const fake_card_spec& card) {
  if (!card.id.empty()) return card.id;
  std::string id;
  for (char c : card.longname) {
    if (c == ' ') {
      if (!id.empty()) break;
      continue;
    }
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) id += c;
  }
  return id.substr(0, 15);
}

std::string alias(const std::string& name, const std::string& target) {
  return "pcm." + name + " {\n  type empty\n  slave.pcm " + quoted(target) + "\n}\n";
}

}  // namespace

void alsa_env::add_fake_dac(const std::string& name, const fake_dac_options& options) {
  dacs_.push_back({name, options});
}

void alsa_env::add_capture(const std::string& name) {
  devices_.push_back("pcm." + name + " {\n  type file\n  slave.pcm null\n  file " + quoted(file(name + "_%r_%f.raw")) +
                     "\n  format raw\n}\n");
}

void alsa_env::add_null(const std::string& name) { devices_.push_back("pcm." + name + " {\n  type null\n}\n"); }

void alsa_env::route_hw(int card, int pcm_device, const std::string& device) {
  routes_.push_back({card, pcm_device, device});
}

void alsa_env::add_cards(const std::vector<fake_card_spec>& cards) { cards_ = cards; }

std::string alsa_env::dac_output(const std::string& name) const {
  for (const dac_entry& dac : dacs_)
    if (dac.name == name && !dac.options.output.empty()) return dac.options.output;
  return file(name + ".raw");
}

int alsa_env::dac_opens(const std::string& name) const {
  std::ifstream in(dac_opens_file(name));
  int opens = 0;
  in >> opens;
  return opens;
}

std::string alsa_env::capture_file(const std::string& name, unsigned rate, const std::string& format) const {
  return file(name + "_" + std::to_string(rate) + "_" + format + ".raw");
}

std::string alsa_env::hw_routing() const {
  if (hw_default_.empty() && routes_.empty()) return "";
  std::string text;
  std::string slave;
  if (routes_.empty()) {
    slave = quoted(hw_default_);
  } else {
    // One alias per card (by number and by id) and device.
    std::set<std::string> names;
    const auto add = [&](const std::string& card, int device, const std::string& target) {
      const std::string name = route_name(card, device);
      if (names.insert(name).second) text += alias(name, target);
    };
    std::vector<std::pair<int, std::string>> card_ids;  // number, id
    if (cards_)
      for (const fake_card_spec& card : *cards_) card_ids.emplace_back(card.number, card_id(card));
    for (const route& r : routes_) {
      add(std::to_string(r.card), r.device, r.target);
      for (const auto& [number, id] : card_ids)
        if (number == r.card && !id.empty()) add(id, r.device, r.target);
    }
    if (!hw_default_.empty() && cards_) {
      for (const fake_card_spec& card : *cards_) {
        for (int device : card.playback) {
          add(std::to_string(card.number), device, hw_default_);
          if (!card_id(card).empty()) add(card_id(card), device, hw_default_);
        }
      }
    }
    slave = "{ @func concat strings [ \"players_hw_\" $CARD \"_\" $DEV ] }";
  }
  text += std::string("pcm.!hw {\n") + kHwArgs + "  type empty\n  slave.pcm " + slave + "\n}\n";
  text += std::string("pcm.!plughw {\n") + kHwArgs +
          "  type plug\n  slave.pcm { @func concat strings [ \"hw:\" $CARD \",\" $DEV ] }\n}\n";
  return text;
}

std::string alsa_env::asoundrc() const {
  std::ostringstream out;
  out << "# Test sound devices, written by alsa_env.\n";
  for (const dac_entry& dac : dacs_) {
    const fake_dac_options& o = dac.options;
    out << "pcm." << dac.name << " {\n  type fakedac\n  formats [";
    for (const std::string& format : o.formats) out << " " << quoted(format);
    out << " ]\n"
        << "  channels_min " << o.channels_min << "\n  channels_max " << o.channels_max << "\n"
        << "  rate_min " << o.rate_min << "\n  rate_max " << o.rate_max << "\n"
        << "  mode " << (o.paced ? "\"paced\"" : "\"instant\"") << "\n";
    if (!o.discard) out << "  output " << quoted(dac_output(dac.name)) << "\n";
    out << "  log " << quoted(dac_log(dac.name)) << "\n"
        << "  busy_counter " << quoted(dac_opens_file(dac.name)) << "\n";
    if (o.busy_opens > 0) out << "  busy_opens " << o.busy_opens << "\n";
    if (o.refuse_rate > 0) out << "  refuse_rate " << o.refuse_rate << "\n";
    if (o.disconnect_after > 0) out << "  disconnect_after " << o.disconnect_after << "\n";
    if (o.keep_streams) out << "  keep_streams 1\n";
    if (o.stall_after > 0) out << "  stall_after " << o.stall_after << "\n";
    if (o.underrun_after > 0) out << "  underrun_after " << o.underrun_after << "\n";
    if (!o.presence.empty()) out << "  presence " << quoted(o.presence) << "\n";
    out << "}\n";
  }
  for (const std::string& device : devices_) out << device;
  out << hw_routing();
  if (!default_.empty()) out << "pcm.!default {\n  type empty\n  slave.pcm " << quoted(default_) << "\n}\n";
  out << extra_;
  return out.str();
}

std::vector<std::string> alsa_env::environment() const {
  std::ofstream(file(".asoundrc")) << asoundrc();
  std::vector<std::string> env = {"HOME=" + home(), "XDG_CONFIG_HOME=" + file(".config"),
                                  "ALSA_PLUGIN_DIR=" + fakedac_plugin_dir()};
  if (cards_) {
    env.push_back("LD_PRELOAD=" + fakecards_library());
    env.push_back("FAKE_ALSA_CARDS=" + fake_cards_variable(*cards_));
    // The shim is not instrumented; a sanitized program must accept it
    // ahead of its runtime.
    const char* asan = getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "") +
                  "verify_asan_link_order=0");
  }
  return env;
}

std::string fake_cards_variable(const std::vector<fake_card_spec>& cards) {
  std::string value;
  for (const fake_card_spec& card : cards) {
    if (!value.empty()) value += ";";
    value += std::to_string(card.number) + "|" + card.longname + "|pcm=" + joined(card.playback) +
             "|capture=" + joined(card.capture);
    if (!card.id.empty()) value += "|id=" + card.id;
    if (!card.name.empty()) value += "|name=" + card.name;
    if (!card.pcm_name.empty()) value += "|pcmname=" + card.pcm_name;
    if (card.next_device_fails_after >= 0) value += "|nextfail=" + std::to_string(card.next_device_fails_after);
    if (!card.presence.empty()) value += "|present=" + card.presence;
  }
  return value;
}

process_result alsa_env::run(const std::vector<std::string>& words, process_options options) const {
  options.env = environment();
  options.working_dir = home();
  process_result result = run_process(words, options);
  EXPECT_FALSE(result.timed_out) << result.out << result.err;
  return result;
}

process_result alsa_env::run_unbroken(const std::vector<std::string>& words, const process_options& options) const {
  process_result result = run(words, options);
  for (int again = 0; again < 2 && result.err.find("underrun at") != std::string::npos; ++again)
    result = run(words, options);
  return result;
}

std::string read_captured(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string probe_pattern(size_t bytes) {
  std::string pattern(bytes, '\0');
  for (size_t i = 0; i < bytes; ++i) pattern[i] = static_cast<char>(pcm_pattern_byte(i));
  return pattern;
}

std::string fakedac_plugin_dir() { return FAKEDAC_PLUGIN_DIR; }
std::string fakecards_library() { return FAKECARDS_LIBRARY; }
std::string pcm_probe_program() { return PCM_PROBE_PROGRAM; }
