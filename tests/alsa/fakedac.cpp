// A sound card in a shared object: an ALSA external PCM (ioplug) plugin
// that behaves like a USB DAC for process tests. It is loaded by libasound
// for "type fakedac" devices (ALSA_PLUGIN_DIR names its directory) and is
// configured entirely from the device definition:
//
//   pcm.dac {
//     type fakedac
//     formats [ "DSD_U32_BE" "S24_3LE" ]  # or one string; required
//     channels 2                          # or [ 1 2 ], or channels_min/_max
//     rate_min 44100                      # default 8000
//     rate_max 768000                     # default 768000
//     mode "paced"                        # "instant" (default) or "paced"
//     output "/dir/dac.raw"               # frames written, raw, appended
//     log "/dir/dac.log"                  # one line per event
//     busy_opens 2                        # the first 2 opens fail with EBUSY
//     busy_counter "/dir/dac.opens"       # counts opens across processes
//     refuse_rate 352800                  # hw_params fails for this rate
//     disconnect_after 100000             # frames, then DISCONNECTED
//     keep_streams 1                      # every open's frames, one after another
//     stall_after 100000                  # frames played, then none ever again
//     underrun_after 100000               # frames played after each prepare, then XRUN
//     presence "/dir/dac.present"         # plugged in while this file exists
//   }
//
// The output file is emptied at the first frame written after an open, so
// an open that writes nothing (a probe, a return to PCM mode) keeps the
// stream of the last one that played; with keep_streams it never is, and
// the log's "close written=N" lines tell where each stream ends.
//
// With a presence file the DAC is unplugged while the file does not exist:
// an open fails with ENODEV, and a stream that is running when the file goes
// turns DISCONNECTED, as a USB DAC pulled out does (the log's "unplugged"
// line tells what it had played and been given by then).
//
// The callbacks run inside libasound and must not throw: everything here
// reports errors as negative errno values.
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

// Limits wide enough for two channels of 32-bit frames at 768 kHz with a
// whole second of buffer (6 MB), and for small PCM streams at 8 kHz.
constexpr unsigned kMinPeriodBytes = 16;
constexpr unsigned kMaxPeriodBytes = 8u << 20;
constexpr unsigned kMinBufferBytes = 64;
constexpr unsigned kMaxBufferBytes = 16u << 20;
constexpr unsigned kMinPeriods = 2;
constexpr unsigned kMaxPeriods = 1024;
constexpr unsigned kDefaultRateMin = 8000;
constexpr unsigned kDefaultRateMax = 768000;
// Tick of the paced poll descriptor: at most this long, at least 1 ms.
constexpr long kMaxTickNs = 10'000'000;
constexpr long kMinTickNs = 1'000'000;

struct dac_config {
  std::vector<unsigned> formats;
  std::vector<unsigned> channel_list;  // empty: channels_min..channels_max
  unsigned channels_min = 2;
  unsigned channels_max = 2;
  unsigned rate_min = kDefaultRateMin;
  unsigned rate_max = kDefaultRateMax;
  bool paced = false;
  std::string output;
  std::string log;
  long busy_opens = 0;
  std::string busy_counter;
  long refuse_rate = 0;
  uint64_t disconnect_after = 0;  // 0: never
  bool keep_streams = false;
  uint64_t stall_after = 0;     // 0: never
  uint64_t underrun_after = 0;  // 0: never
  std::string presence;         // empty: always plugged in
};

struct fake_dac {
  snd_pcm_ioplug_t io{};
  dac_config config;
  int poll_fd = -1;
  int out_fd = -1;
  FILE* log = nullptr;
  unsigned frame_bytes = 0;
  snd_pcm_uframes_t boundary = 0;
  snd_pcm_uframes_t stop_threshold = 0;
  // Frame counters since the last prepare; consumed <= written always.
  uint64_t written = 0;
  uint64_t consumed = 0;
  // Paced consumption: frames consumed at the start and when it began.
  uint64_t consumed_at_start = 0;
  timespec started_at{};
  bool clock_running = false;  // started since the last prepare
  uint64_t written_since_open = 0;
  bool xrun = false;
  bool disconnected = false;
  bool stalled = false;
};

void log_event(fake_dac& dac, const char* format, ...) __attribute__((format(printf, 2, 3)));

void log_event(fake_dac& dac, const char* format, ...) {
  if (dac.log == nullptr) return;
  va_list args;
  va_start(args, format);
  vfprintf(dac.log, format, args);
  va_end(args);
  fputc('\n', dac.log);
  fflush(dac.log);
}

// The smallest multiple-of-buffer power-of-two boundary, as libasound
// computes it when the application never asks.
snd_pcm_uframes_t default_boundary(snd_pcm_uframes_t buffer_size) noexcept {
  if (buffer_size == 0) return 1;
  snd_pcm_uframes_t boundary = buffer_size;
  while (boundary * 2 <= LONG_MAX - buffer_size) boundary *= 2;
  return boundary;
}

uint64_t elapsed_frames(const fake_dac& dac) noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t ns = (static_cast<int64_t>(now.tv_sec) - dac.started_at.tv_sec) * 1'000'000'000 +
                     (now.tv_nsec - dac.started_at.tv_nsec);
  if (ns <= 0) return 0;
  return static_cast<uint64_t>(ns) * dac.io.rate / 1'000'000'000u;
}

// A stalling DAC plays no more than stall_after frames.
uint64_t stall_limit(fake_dac& dac, uint64_t played) noexcept {
  const uint64_t limit = dac.config.stall_after;
  if (limit == 0 || played <= limit) return played;
  if (!dac.stalled) {
    dac.stalled = true;
    log_event(dac, "stalled played=%" PRIu64, limit);
  }
  return limit;
}

// Brings `consumed` up to now. Returns false when the stream has starved
// (the clock passed the last frame written) and may underrun.
bool advance_consumption(fake_dac& dac) noexcept {
  const snd_pcm_state_t state = dac.io.state;
  if (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_DRAINING) return true;
  if (!dac.config.paced) {
    dac.consumed = stall_limit(dac, dac.written);
    return true;
  }
  const uint64_t played = stall_limit(dac, dac.consumed_at_start + elapsed_frames(dac));
  if (played > dac.written) {
    dac.consumed = dac.written;
    return false;
  }
  dac.consumed = played;
  return true;
}

int dac_start(snd_pcm_ioplug_t* io) {
  fake_dac& dac = *static_cast<fake_dac*>(io->private_data);
  if (dac.disconnected) return -ENODEV;
  clock_gettime(CLOCK_MONOTONIC, &dac.started_at);
  dac.consumed_at_start = dac.consumed;
  dac.clock_running = true;
  log_event(dac, "start queued=%" PRIu64 " at=%lld.%09ld", dac.written - dac.consumed,
            static_cast<long long>(dac.started_at.tv_sec), dac.started_at.tv_nsec);
  return 0;
}

int dac_stop(snd_pcm_ioplug_t* io) {
  fake_dac& dac = *static_cast<fake_dac*>(io->private_data);
  if (!dac.xrun && !dac.disconnected) advance_consumption(dac);
  log_event(dac, "stop consumed=%" PRIu64, dac.consumed);
  return 0;
}

bool plugged_in(const dac_config& config) {
  return config.presence.empty() || access(config.presence.c_str(), F_OK) == 0;
}

// A DAC whose presence file went is disconnected from then on.
bool unplugged(fake_dac& dac) {
  if (dac.disconnected) return true;
  if (plugged_in(dac.config)) return false;
  if (!dac.xrun) advance_consumption(dac);
  dac.disconnected = true;
  snd_pcm_ioplug_set_state(&dac.io, SND_PCM_STATE_DISCONNECTED);
  log_event(dac, "unplugged played=%" PRIu64 " written=%" PRIu64, dac.consumed, dac.written);
  return true;
}

snd_pcm_sframes_t dac_pointer(snd_pcm_ioplug_t* io) {
  fake_dac& dac = *static_cast<fake_dac*>(io->private_data);
  if (unplugged(dac)) {
    // A position keeps libasound from turning this into an XRUN.
    snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED);
    return static_cast<snd_pcm_sframes_t>(dac.consumed % dac.boundary);
  }
  if (dac.xrun) return -EPIPE;
  const bool fed = advance_consumption(dac);
  // A DAC that starves again and again, however fast it is fed.
  if (dac.config.underrun_after > 0 && dac.consumed >= dac.config.underrun_after) {
    dac.xrun = true;
    log_event(dac, "underrun written=%" PRIu64, dac.written);
    return -EPIPE;
  }
  if (!fed) {
    if (dac.stop_threshold < dac.boundary) {
      dac.xrun = true;
      log_event(dac, "underrun written=%" PRIu64, dac.written);
      return -EPIPE;
    }
    // Stop threshold at the boundary: the device plays on without data.
  }
  return static_cast<snd_pcm_sframes_t>(dac.consumed % dac.boundary);
}

// Opens (and empties) the output file at the first frame of an open.
bool ensure_output(fake_dac& dac) {
  if (dac.out_fd >= 0) return true;
  if (dac.config.output.empty()) return false;
  const int truncate = dac.config.keep_streams ? 0 : O_TRUNC;
  dac.out_fd = open(dac.config.output.c_str(), O_WRONLY | O_CREAT | truncate | O_APPEND | O_CLOEXEC, 0644);
  return dac.out_fd >= 0;
}

bool write_all(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

snd_pcm_sframes_t dac_transfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                               snd_pcm_uframes_t size) {
  fake_dac& dac = *static_cast<fake_dac*>(io->private_data);
  if (unplugged(dac)) return -ENODEV;
  snd_pcm_uframes_t frames = size;
  if (dac.config.disconnect_after > 0) {
    const uint64_t left = dac.config.disconnect_after - dac.written_since_open;
    if (frames > left) frames = static_cast<snd_pcm_uframes_t>(left);
  }
  // Interleaved access: channel 0's area walks the whole frames.
  const uint8_t* start = static_cast<const uint8_t*>(areas[0].addr) + areas[0].first / 8 + offset * (areas[0].step / 8);
  if (frames > 0 && ensure_output(dac) && !write_all(dac.out_fd, start, frames * dac.frame_bytes)) {
    log_event(dac, "output write failed: %s", strerror(errno));
    return -EIO;
  }
  dac.written += frames;
  dac.written_since_open += frames;
  if (dac.config.disconnect_after > 0 && dac.written_since_open >= dac.config.disconnect_after) {
    dac.disconnected = true;
    snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED);
    log_event(dac, "disconnected written=%" PRIu64, dac.written_since_open);
    if (frames == 0) return -ENODEV;
  }
  return static_cast<snd_pcm_sframes_t>(frames);
}

int dac_hw_params(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t*) {
  fake_dac& dac = *static_cast<fake_dac*>(io->private_data);
  if (dac.config.refuse_rate > 0 && io->rate == static_cast<unsigned>(dac.config.refuse_rate)) {
    log_event(dac, "refused rate=%u", io->rate);
    return -EINVAL;
  }
  dac.frame_bytes = static_cast<unsigned>(snd_pcm_format_physical_width(io->format)) / 8 * io->channels;
  dac.boundary = default_boundary(io->buffer_size);
  dac.stop_threshold = io->buffer_size;
  if (dac.config.paced) {
    long tick = static_cast<long>(static_cast<uint64_t>(io->period_size) * 1'000'000'000u / io->rate);
    if (tick > kMaxTickNs) tick = kMaxTickNs;
    if (tick < kMinTickNs) tick = kMinTickNs;
    const itimerspec timer{{0, tick}, {0, tick}};
    timerfd_settime(dac.poll_fd, 0, &timer, nullptr);
  }
  log_event(dac, "hw_params format=%s rate=%u channels=%u buffer=%lu period=%lu", snd_pcm_format_name(io->format),
            io->rate, io->channels, static_cast<unsigned long>(io->buffer_size),
            static_cast<unsigned long>(io->period_size));
  return 0;
}

int dac_sw_params(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params) {
  fake_dac& dac = *static_cast<fake_dac*>(io->private_data);
  snd_pcm_uframes_t value = 0;
  if (snd_pcm_sw_params_get_boundary(params, &value) == 0 && value > 0) dac.boundary = value;
  if (snd_pcm_sw_params_get_stop_threshold(params, &value) == 0) dac.stop_threshold = value;
  return 0;
}

int dac_prepare(snd_pcm_ioplug_t* io) {
  fake_dac& dac = *static_cast<fake_dac*>(io->private_data);
  if (dac.disconnected) return -ENODEV;
  dac.written = 0;
  dac.consumed = 0;
  dac.xrun = false;
  dac.clock_running = false;
  log_event(dac, "prepare");
  return 0;
}

// Plays out what the device holds before returning, also in non-blocking
// mode: libasound reads an ioplug's state without asking the plugin, so a
// caller waiting for DRAINING to end would otherwise wait for ever.
int dac_drain(snd_pcm_ioplug_t* io) {
  fake_dac& dac = *static_cast<fake_dac*>(io->private_data);
  if (dac.disconnected) return -ENODEV;
  if (dac.config.paced && dac.io.rate > 0) {
    // Draining a stream that was never started starts the clock now.
    if (!dac.clock_running) dac_start(io);
    advance_consumption(dac);
    const uint64_t left = dac.written - dac.consumed;
    const uint64_t ns = left * 1'000'000'000u / dac.io.rate;
    const timespec wait{static_cast<time_t>(ns / 1'000'000'000u), static_cast<long>(ns % 1'000'000'000u)};
    nanosleep(&wait, nullptr);
  }
  dac.consumed = stall_limit(dac, dac.written);
  log_event(dac, "drain played=%" PRIu64, dac.consumed);
  return 0;
}

int dac_poll_revents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds, unsigned short* revents) {
  fake_dac& dac = *static_cast<fake_dac*>(io->private_data);
  *revents = 0;
  if (nfds < 1) return 0;
  if (pfd[0].revents & POLLIN) {
    if (dac.config.paced) {
      uint64_t ticks = 0;
      [[maybe_unused]] const ssize_t n = read(dac.poll_fd, &ticks, sizeof ticks);
    }
    *revents = POLLOUT;
  }
  if (pfd[0].revents & (POLLERR | POLLNVAL)) *revents |= POLLERR;
  return 0;
}

int dac_close(snd_pcm_ioplug_t* io) {
  std::unique_ptr<fake_dac> dac(static_cast<fake_dac*>(io->private_data));
  log_event(*dac, "close written=%" PRIu64, dac->written_since_open);
  if (dac->out_fd >= 0) close(dac->out_fd);
  if (dac->poll_fd >= 0) close(dac->poll_fd);
  if (dac->log != nullptr) fclose(dac->log);
  return 0;
}

const snd_pcm_ioplug_callback_t kCallbacks = {
    .start = dac_start,
    .stop = dac_stop,
    .pointer = dac_pointer,
    .transfer = dac_transfer,
    .close = dac_close,
    .hw_params = dac_hw_params,
    .hw_free = nullptr,
    .sw_params = dac_sw_params,
    .prepare = dac_prepare,
    .drain = dac_drain,
    .pause = nullptr,
    .resume = nullptr,
    .poll_descriptors_count = nullptr,
    .poll_descriptors = nullptr,
    .poll_revents = dac_poll_revents,
    .dump = nullptr,
    .delay = nullptr,
    .query_chmaps = nullptr,
    .get_chmap = nullptr,
    .set_chmap = nullptr,
};

// Reads an integer field (32- or 64-bit in the configuration).
int config_integer(snd_config_t* node, int64_t& value) {
  if (snd_config_get_type(node) == SND_CONFIG_TYPE_INTEGER64) {
    long long v = 0;
    const int err = snd_config_get_integer64(node, &v);
    value = v;
    return err;
  }
  long v = 0;
  const int err = snd_config_get_integer(node, &v);
  value = v;
  return err;
}

int config_unsigned(snd_config_t* node, const char* id, unsigned& value) {
  int64_t v = 0;
  if (config_integer(node, v) < 0 || v < 0 || v > UINT_MAX) {
    SNDERR("fakedac: %s must be a non-negative integer", id);
    return -EINVAL;
  }
  value = static_cast<unsigned>(v);
  return 0;
}

int config_string(snd_config_t* node, const char* id, std::string& value) {
  const char* text = nullptr;
  if (snd_config_get_string(node, &text) < 0) {
    SNDERR("fakedac: %s must be a string", id);
    return -EINVAL;
  }
  value = text;
  return 0;
}

int parse_format(const char* name, std::vector<unsigned>& formats) {
  const snd_pcm_format_t format = snd_pcm_format_value(name);
  if (format == SND_PCM_FORMAT_UNKNOWN) {
    SNDERR("fakedac: unknown format %s", name);
    return -EINVAL;
  }
  formats.push_back(static_cast<unsigned>(format));
  return 0;
}

// A field that is one value or a compound list of them.
template <typename Each>
int for_each_value(snd_config_t* node, Each each) {
  if (snd_config_get_type(node) != SND_CONFIG_TYPE_COMPOUND) return each(node);
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, node) {
    const int err = each(snd_config_iterator_entry(i));
    if (err < 0) return err;
  }
  return 0;
}

int parse_config(snd_config_t* conf, dac_config& config) {
  snd_config_iterator_t i, next;
  snd_config_for_each(i, next, conf) {
    snd_config_t* node = snd_config_iterator_entry(i);
    const char* id = nullptr;
    if (snd_config_get_id(node, &id) < 0) continue;
    const std::string key = id;
    if (key == "comment" || key == "type" || key == "hint") continue;
    int err = 0;
    int64_t number = 0;
    if (key == "formats" || key == "format") {
      err = for_each_value(node, [&](snd_config_t* value) {
        const char* name = nullptr;
        if (snd_config_get_string(value, &name) < 0) {
          SNDERR("fakedac: formats are names such as \"S32_LE\"");
          return -EINVAL;
        }
        return parse_format(name, config.formats);
      });
    } else if (key == "channels") {
      err = for_each_value(node, [&](snd_config_t* value) {
        unsigned channels = 0;
        const int e = config_unsigned(value, "channels", channels);
        if (e == 0) config.channel_list.push_back(channels);
        return e;
      });
    } else if (key == "channels_min") {
      err = config_unsigned(node, id, config.channels_min);
    } else if (key == "channels_max") {
      err = config_unsigned(node, id, config.channels_max);
    } else if (key == "rate_min") {
      err = config_unsigned(node, id, config.rate_min);
    } else if (key == "rate_max") {
      err = config_unsigned(node, id, config.rate_max);
    } else if (key == "mode") {
      std::string mode;
      err = config_string(node, id, mode);
      if (err == 0 && mode != "instant" && mode != "paced") {
        SNDERR("fakedac: mode is \"instant\" or \"paced\", not %s", mode.c_str());
        err = -EINVAL;
      }
      config.paced = mode == "paced";
    } else if (key == "output") {
      err = config_string(node, id, config.output);
    } else if (key == "log") {
      err = config_string(node, id, config.log);
    } else if (key == "busy_counter") {
      err = config_string(node, id, config.busy_counter);
    } else if (key == "presence") {
      err = config_string(node, id, config.presence);
    } else if (key == "busy_opens" || key == "refuse_rate" || key == "disconnect_after" || key == "keep_streams" ||
               key == "stall_after" || key == "underrun_after") {
      err = config_integer(node, number);
      if (err < 0 || number < 0) {
        SNDERR("fakedac: %s must be a non-negative integer", id);
        err = -EINVAL;
      } else if (key == "busy_opens") {
        config.busy_opens = static_cast<long>(number);
      } else if (key == "refuse_rate") {
        config.refuse_rate = static_cast<long>(number);
      } else if (key == "keep_streams") {
        config.keep_streams = number != 0;
      } else if (key == "disconnect_after") {
        config.disconnect_after = static_cast<uint64_t>(number);
      } else if (key == "stall_after") {
        config.stall_after = static_cast<uint64_t>(number);
      } else {
        config.underrun_after = static_cast<uint64_t>(number);
      }
    } else {
      SNDERR("fakedac: unknown field %s", id);
      err = -EINVAL;
    }
    if (err < 0) return err;
  }
  if (config.formats.empty()) {
    SNDERR("fakedac: no formats given");
    return -EINVAL;
  }
  if (config.busy_opens > 0 && config.busy_counter.empty()) {
    SNDERR("fakedac: busy_opens needs a busy_counter file");
    return -EINVAL;
  }
  return 0;
}

// Counts this open in the counter file; true when it is one of the first
// `busy_opens` and must fail. The file survives the plugin being unloaded
// between opens and is shared by every process of a test.
bool open_is_busy(const dac_config& config) {
  if (config.busy_counter.empty()) return false;
  long opens = 0;
  if (FILE* in = fopen(config.busy_counter.c_str(), "r")) {
    if (fscanf(in, "%ld", &opens) != 1) opens = 0;
    fclose(in);
  }
  if (FILE* out = fopen(config.busy_counter.c_str(), "w")) {
    fprintf(out, "%ld\n", opens + 1);
    fclose(out);
  }
  return opens < config.busy_opens;
}

int set_constraints(fake_dac& dac) {
  snd_pcm_ioplug_t* io = &dac.io;
  // Memory-mapped access too: ALSA's format converters (plug) need it.
  static constexpr unsigned kAccess[] = {SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_ACCESS_MMAP_INTERLEAVED};
  int err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, 2, kAccess);
  if (err >= 0)
    err = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, static_cast<unsigned>(dac.config.formats.size()),
                                        dac.config.formats.data());
  if (err >= 0) {
    const std::vector<unsigned>& list = dac.config.channel_list;
    err = list.empty() ? snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, dac.config.channels_min,
                                                         dac.config.channels_max)
                       : snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_CHANNELS,
                                                       static_cast<unsigned>(list.size()), list.data());
  }
  if (err >= 0)
    err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, dac.config.rate_min, dac.config.rate_max);
  if (err >= 0)
    err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, kMinPeriodBytes, kMaxPeriodBytes);
  if (err >= 0)
    err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, kMinBufferBytes, kMaxBufferBytes);
  if (err >= 0) err = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, kMinPeriods, kMaxPeriods);
  return err;
}

int open_fake_dac(snd_pcm_t** pcmp, const char* name, snd_config_t* conf, snd_pcm_stream_t stream, int mode) {
  auto dac = std::make_unique<fake_dac>();
  int err = parse_config(conf, dac->config);
  if (err < 0) return err;
  if (!dac->config.log.empty()) dac->log = fopen(dac->config.log.c_str(), "ae");
  if (stream != SND_PCM_STREAM_PLAYBACK) {
    log_event(*dac, "open refused: no capture stream");
    if (dac->log != nullptr) fclose(dac->log);
    return -ENOENT;
  }
  if (!plugged_in(dac->config)) {
    log_event(*dac, "open absent");
    if (dac->log != nullptr) fclose(dac->log);
    return -ENODEV;
  }
  if (open_is_busy(dac->config)) {
    log_event(*dac, "open busy");
    if (dac->log != nullptr) fclose(dac->log);
    return -EBUSY;
  }
  dac->poll_fd = dac->config.paced ? timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)
                                   : eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);
  if (dac->poll_fd < 0) {
    err = -errno;
    if (dac->log != nullptr) fclose(dac->log);
    return err;
  }
  dac->io.version = SND_PCM_IOPLUG_VERSION;
  dac->io.name = "fake DAC for tests";
  dac->io.flags = SND_PCM_IOPLUG_FLAG_BOUNDARY_WA;
  dac->io.mmap_rw = 0;
  dac->io.poll_fd = dac->poll_fd;
  dac->io.poll_events = POLLIN;
  dac->io.callback = &kCallbacks;
  dac->io.private_data = dac.get();
  err = snd_pcm_ioplug_create(&dac->io, name, stream, mode);
  if (err < 0) {
    close(dac->poll_fd);
    if (dac->log != nullptr) fclose(dac->log);
    return err;
  }
  // From here the plugin's close callback owns the record.
  fake_dac* owned = dac.release();
  err = set_constraints(*owned);
  if (err < 0) {
    snd_pcm_ioplug_delete(&owned->io);
    return err;
  }
  log_event(*owned, "open %s%s", name != nullptr ? name : "", (mode & SND_PCM_NONBLOCK) ? " nonblock" : "");
  *pcmp = owned->io.pcm;
  return 0;
}

}  // namespace

extern "C" {

// Entry point libasound looks up for "type fakedac".
__attribute__((visibility("default"))) SND_PCM_PLUGIN_DEFINE_FUNC(fakedac) {
  (void)root;
  return open_fake_dac(pcmp, name, conf, stream, mode);
}

__attribute__((visibility("default"))) SND_PCM_PLUGIN_SYMBOL(fakedac)

}  // extern "C"
