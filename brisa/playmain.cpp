// brisa's readers and its two conversion steps: PCM through the filter and
// the modulators, DSD re-modulated at the rate ratio, both packed as native
// DSD words or DoP frames; and what the engine's start-up takes from brisa
// (its device, its first stream, the notice after pre-fill).
#include "playmain.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <optional>
#include <span>
#include <utility>

#include "alsathread.h"
#include "brisa_options.h"
#include "deltasigma.h"
#include "dsd_frame.h"
#include "dsf.h"
#include "ffmpeg_old.h"
#include "fir.h"
#include "player.h"
#include "player_start.h"
#include "printable.h"
#include "readers.h"
#include "sample_format.h"
#include "stream_constants.h"
#include "util.h"
#include "volume_keys.h"
#include "wav.h"

namespace {

constexpr int32_t kDsdMaxRatio = 4;

constexpr std::span<const music_reader> kReaders = kNativeAndFfmpegReaders;

brisa_run& run_of(const player& p) { return *static_cast<brisa_run*>(p.parts.context); }

// Stores pairs of modulator words (left, right) as output frames at out.
// The layout is chosen once per run of words, not per frame.
void store_words(dsd_packing& packing, std::span<const uint32_t> words, uint8_t* out) {
  const int32_t format = packing.format;
  const int32_t frame = packing.frame_bytes;
  const auto store_frames = [&](auto store_frame) {
    for (size_t i = 0; i + 1 < words.size(); i += 2, out += frame) store_frame(words[i], words[i + 1], out);
  };
  if (packing.dop) {
    store_frames([format, &packing](uint32_t left, uint32_t right, uint8_t* at) {
      store_dop_frame(format, static_cast<uint16_t>(left), static_cast<uint16_t>(right), dsd_next_marker(packing), at);
    });
  } else if (packing.big_endian) {
    store_frames([](uint32_t left, uint32_t right, uint8_t* at) { store_native_frame(true, left, right, at); });
  } else {
    store_frames([](uint32_t left, uint32_t right, uint8_t* at) { store_native_frame(false, left, right, at); });
  }
}

// Packs oversampled values (left/right pairs) into output frames, written
// in place at the ring buffer's write position: the modulators fill a block
// of words, the frames go into the contiguous writable area, and each run
// is committed at once (a frame never straddles the end of the data area,
// whose length is whole frames). The caller has made room for all of them.
void pack_values(brisa_run& run, ringbuffer* rb, std::span<const float> values) {
  const int32_t frame = run.packing.frame_bytes;
  std::array<uint32_t, kFirBlockFloats> words;
  while (values.size() >= 2) {
    const std::span<uint8_t> area = ringbuffer_write_area(rb);
    const size_t frames = std::min({values.size() / 2, words.size() / 2, area.size() / frame});
    if (frames == 0) return;  // no room after all: nothing is written
    pcm_modulate_block(run.modulators, run.packing.dop ? 16 : 32, values.first(2 * frames), words);
    store_words(run.packing, std::span(words).first(2 * frames), area.data());
    ringbuffer_commit(rb, static_cast<int32_t>(frames) * frame);
    values = values.subspan(2 * frames);
  }
}

// A sample as a float in [-1, 1); a non-finite float sample is silence
// (it would poison the filter's accumulators for the rest of the run).
float sample_value(const player& p, const uint8_t* bytes) {
  if (p.pcm.row != nullptr) return static_cast<float>(decode_sample(*p.pcm.row, bytes)) * 0x1p-31f;
  const float value = decode_float_sample(p.current_file->sample_format == kFormatFloat_BE, bytes);
  return std::isfinite(value) ? value : 0.0f;
}

bool filtered(const music_file& file) {
  return !is_dsd(file) && file.format.sample_rate != static_cast<uint32_t>(kOversampledRate);
}

// Input frames after which the filter's phases for file repeat: its output
// frames then lie on an input frame again (1 at 44.1 kHz, 20 at 48 kHz).
int64_t phase_cycle(const music_file& file) {
  const auto rate = static_cast<int64_t>(file.format.sample_rate);
  return filtered(file) && rate > 0 ? rate / std::gcd(rate, int64_t{kOversampledRate}) : 1;
}

// Writes the oversampled values of one input frame, whose first output
// falls on that frame's own time when on_grid. After a jump, the ones the
// device had already only move the modulators on.
void write_values(player& p, std::span<const float> values, bool on_grid) {
  brisa_run& run = run_of(p);
  const int bits = run.packing.dop ? 16 : 32;
  // Values scaled by a gain, in a copy.
  std::array<float, kFirBlockFloats> scaled;
  const auto scaled_by = [&scaled](std::span<const float> from, float gain) {
    if (gain == 1.0f || from.size() > scaled.size()) return from;
    std::transform(from.begin(), from.end(), scaled.begin(), [gain](float v) { return v * gain; });
    return std::span<const float>(scaled).first(from.size());
  };
  bool primed = false;
  while (p.priming_units > 0 && values.size() >= 2) {
    std::array<uint32_t, kFirBlockFloats> words;
    const auto pairs = std::min<size_t>({static_cast<size_t>(p.priming_units), values.size() / 2, words.size() / 2});
    const int32_t attenuation = std::exchange(run.modulators.attenuation, run.priming_attenuation);
    pcm_modulate_block(run.modulators, bits, scaled_by(values.first(2 * pairs), run.priming_gain), words);
    run.modulators.attenuation = attenuation;
    p.priming_units -= static_cast<int64_t>(pairs);
    values = values.subspan(2 * pairs);
    primed = true;
  }
  if (values.size() < 2) return;
  // The rest of the frame the join falls in: where a glide is about to
  // start, at its first level.
  const bool glide_ahead = run.volume_glide.frames != 0 && run.volume_glide.done == 0;
  values = scaled_by(values, primed && glide_ahead ? run.glide_from : run.output_gain);
  const music_file& file = *p.current_file;
  if (file.index >= 0) {
    if (run.snapshots.kept.empty()) snapshots_size(run.snapshots, p.rb->length / run.packing.frame_bytes);
    // The filter's tail after the file's last frame is no place to go on from.
    snapshots_before_write(run.snapshots, run.modulators, file.index, file.played_from, p.frame_in_file,
                           on_grid && p.tail_frames < 0);
    snapshots_written(run.snapshots, static_cast<int64_t>(values.size() / 2));
  }
  pack_values(run, p.rb.get(), values);
}

void filter_pair(player& p, const float (&pair)[2]) {
  int32_t count = 0;
  const bool on_grid = fir_on_grid(run_of(p).filter);
  const float* values = fir_process(run_of(p).filter, pair, &count);
  if (values != nullptr) write_values(p, {values, static_cast<size_t>(count)}, on_grid);
}

// The glide's level at units into file, relative to the level set.
float glide_level_at(const brisa_run& run, int32_t file, int64_t units) {
  if (file != run.glide_file || file < 0) return 1.0f;
  const double x = static_cast<double>(units - run.glide_units) / (kFadeMicros * kOversampledRate / 1000000.0);
  if (x >= 1.0) return 1.0f;
  const double up = x <= 0.0 ? 0.0 : fade_rise_at(x);
  return static_cast<float>(run.glide_from + (1.0 - run.glide_from) * up);
}

// The volume glide's gain for the next input frame: the old level over the
// new before the first frame written (the history heard at the old level),
// then a short ramp to 1; 1 once it has ended.
float next_glide_gain(player& p) {
  brisa_run& run = run_of(p);
  if (p.priming_frames > 0 || p.priming_units > 0) return run.priming_gain;
  if (run.volume_glide.frames == 0) return 1.0f;
  if (!fade_running(run.volume_glide)) {
    run.volume_glide = {};
    return 1.0f;
  }
  return run.glide_from + (1.0f - run.glide_from) * fade_next_gain(run.volume_glide);
}

// One stereo frame through the filter (unless it is at the output rate
// already) and the modulators.
void convert_pcm_frame(player& p, const uint8_t* frame) {
  const int32_t sample_bytes = p.current_file->bytes_per_sample;
  float pair[2] = {sample_value(p, frame), sample_value(p, frame + sample_bytes)};
  if (const float gain = run_of(p).pcm_gain; gain != 1.0f) {
    for (float& value : pair) value = std::clamp(value * gain, -1.0f, 1.0f);
  }
  run_of(p).output_gain = next_glide_gain(p);
  if (p.priming_frames > 0) {
    // Only the filter's history: its output was heard before the jump.
    --p.priming_frames;
    int32_t count = 0;
    if (filtered(*p.current_file)) fir_process(run_of(p).filter, pair, &count);
    return;
  }
  // A fade begins with the first frame written.
  if (fade_running(p.fade) && p.priming_units == 0) {
    const float gain = fade_next_gain(p.fade);
    for (float& value : pair) value *= gain;
  }
  if (filtered(*p.current_file)) {
    filter_pair(p, pair);
  } else {
    write_values(p, pair, true);
  }
}

// The last file's last frames are still inside the filter.
bool end_of_stream(player& p, const music_file& last) {
  if (!filtered(last)) return true;
  const brisa_run& run = run_of(p);
  return player_flush_filter(p, static_cast<int32_t>(last.format.sample_rate), fir_delay_seconds(run.filter),
                             kFirBlockFrames * run.packing.frame_bytes, filter_pair);
}

// The stream's silence follows: the modulators land in the idle pattern
// instead of stopping wherever the fade left them (a click). Written once
// there is room for all of it.
bool into_silence(player& p) {
  brisa_run& run = run_of(p);
  if (run.landing.empty()) land_in_idle(run.modulators, run.packing.dop ? 16 : 32, run.landing);
  const auto bytes = static_cast<int32_t>(run.landing.size() / 2) * run.packing.frame_bytes;
  if (ringbuffer_space(p.rb.get()) < bytes) return false;
  std::vector<uint8_t> frames(static_cast<size_t>(bytes));
  store_words(run.packing, run.landing, frames.data());
  ringbuffer_write(p.rb.get(), frames.data(), bytes);
  run.landing.clear();
  return true;
}

bool convert_pcm_step(player& p) {
  return player_pcm_step(p, kFirBlockFrames * run_of(p).packing.frame_bytes, convert_pcm_frame);
}

// The rate ratio of a DSD file for the output format; 0 when there is none.
int32_t dsd_ratio(const brisa_run& run, const music_file& file) {
  const uint32_t rate = file.format.sample_rate;
  const bool known = rate == kNativeDsdBitRate / 4 || rate == kNativeDsdBitRate / 2 || rate == kNativeDsdBitRate;
  const int32_t ratio = known ? static_cast<int32_t>(kNativeDsdBitRate / rate) : 0;
  return run.packing.dop ? ratio / 2 : ratio;
}

// Re-modulates one read at the rate ratio and writes the bytes (interleaved
// left/right) as frames; returns how many.
int32_t write_dsd_frames(player& p, std::span<const uint8_t> read) {
  brisa_run& run = run_of(p);
  uint8_t bytes[kDsdReadBytes * kDsdMaxRatio];
  const auto count = static_cast<int32_t>(read.size());
  // A fade scales the modulators' DSD level, a read (a frame a byte) at a time.
  run.modulators.dsd_gain = run.dsd_gain * fade_next_gain_over(p.fade, count / 2) * next_glide_gain(p);
  dsd_modulator(run.modulators, read.data(), bytes, count, run.dsd_ratio);
  return player_write_dsd_frames(p, run.packing, std::span<const uint8_t>(bytes, count * run.dsd_ratio));
}

bool convert_dsd_step(player& p) {
  brisa_run& run = run_of(p);
  if (p.current_file->index < 0) return false;
  run.dsd_ratio = dsd_ratio(run, *p.current_file);
  // Frames one read becomes: 2 bytes a channel per DoP frame, 4 native.
  const int32_t frames_per_read = kDsdReadBytes * run.dsd_ratio / dsd_bytes_per_frame(run.packing);
  return player_dsd_step(p, run.packing.frame_bytes, frames_per_read, write_dsd_frames);
}

std::optional<replaygain_choice> file_replaygain(const brisa_run& run, const music_file& file) {
  return replaygain_for(file.tags, run.replaygain, is_dsd(file));
}

convert_function prepare_file(player& p, music_file& file, refusal* why) {
  brisa_run& run = run_of(p);
  const bool dop = run.packing.dop;
  // The gain goes with the file from its first frame converted.
  const std::optional<replaygain_choice> gain = file_replaygain(run, file);
  const float factor = gain ? replaygain_factor(gain->gain_db) : 1.0f;
  run.pcm_gain = is_dsd(file) ? 1.0f : factor;
  run.dsd_gain = is_dsd(file) ? factor : 1.0f;
  run.modulators.dsd_gain = run.dsd_gain;
  if (is_dsd(file)) {
    // A rate with no ratio is refused before any sound.
    if (dsd_ratio(run, file) != 0) return convert_dsd_step;
    *why = refuse("illegal input-output format pair: %s is DSD at %uHz, the output %s at %dHz.\n",
                  printable(file.file_name).c_str(), file.format.sample_rate, dop ? "DoP" : "native DSD",
                  dop ? kNativeDsdBitRate / 2 : kNativeDsdBitRate);
    return nullptr;
  }
  if (!pcm_samples_known(file)) {
    *why = refuse("%s: input format %d not match.", printable(file.file_name).c_str(), file.sample_format);
    return nullptr;
  }
  *why = rate_refusal(file, kFirLowestInputRate, kFirHighestInputRate);
  if (*why) return nullptr;
  // The filter follows each file's rate; the output rate stays, so this
  // only switches the path, it resets nothing.
  const channel_cuts cuts{.left = run.packing.left_cut, .right = run.packing.right_cut};
  if (file.format.sample_rate != static_cast<uint32_t>(kOversampledRate) &&
      !fir_init(run.filter, static_cast<int32_t>(file.format.sample_rate), kOversampledRate, 2, run.short_filter,
                cuts)) {
    *why = refuse("coeff filter initialize failed.\n");
    return nullptr;
  }
  if (run.filter) run.filter_delay_seconds = fir_delay_seconds(run.filter);
  return convert_pcm_step;
}

// The frames queued carry the old volume: they are made again, from where
// the device's music ends, so that the change is heard at once, gliding
// there from the old level (before_db) in a few milliseconds.
void remake_at_volume(player& p, int32_t before_db) {
  if (p.job == nullptr) return;
  brisa_run& run = run_of(p);
  if (!player_remake_queued(p)) return;
  // Where the device's music ends: a glide still under way there goes on
  // from the level it had come to.
  const music_file& file = *p.current_file;
  const float heard = glide_level_at(run, file.index, file.played_from);
  run.priming_gain = heard;
  run.priming_attenuation = -before_db;
  run.glide_from = heard * static_cast<float>(level_table_entry(-before_db)) /
                   static_cast<float>(level_table_entry(run.modulators.attenuation));
  run.glide_file = file.index;
  run.glide_units = file.played_from;
  run.volume_glide = fade_ramp_for(frames_per_second(file), false);
}

bool on_key(player& p, int key) {
  brisa_run& run = run_of(p);
  const auto request = volume_key_request(run.keys, key, get_volume(run.modulators));
  if (!request) return false;
  const int32_t before = get_volume(run.modulators);
  if (set_volume(run.modulators, *request) == *request && *request != before) remake_at_volume(p, before);
  return true;
}

int32_t shown_volume(const player& p) { return get_volume(run_of(p).modulators); }

// After a jump the music goes on from a new place: nothing of the dropped
// music stays in the filter or the modulators (level and volume stay),
// unless it goes on from where the device's music ends (resume_from). After
// a fade-out the modulators have run into silence: they go on from there
// into the music that fades in, with no step between.
void restart(player& p) {
  brisa_run& run = run_of(p);
  if (!fade_out_done(p.fade)) reset_modulators(run.modulators);
  fir_release(run.filter);  // set up again by the file read on
  snapshots_restart(run.snapshots);
  // Music made again at the volume and level in effect (a volume change sets its own).
  run.priming_attenuation = run.modulators.attenuation;
  run.priming_gain = run.volume_glide.frames != 0 ? run.glide_from : 1.0f;
}

// The music made again from where the device's music ends goes on from the
// modulators' state there, as kept at the nearest snapshot before it.
std::optional<resume_place> resume_from(player& p, const music_file& file, int64_t units) {
  if (is_dsd(file)) return std::nullopt;
  const std::optional<modulator_snapshot> snapshot =
      snapshots_resume(run_of(p).snapshots, run_of(p).modulators, file.index, units);
  if (!snapshot) return std::nullopt;
  return resume_place{.units = snapshot->units, .frame = snapshot->frame};
}

// The frames dropped took their DoP markers with them.
void frames_dropped(player& p, int32_t frames) { run_of(p).packing.marker_phase ^= frames & 1; }

std::string file_note(const player& p, const music_file& file) {
  return replaygain_text(file_replaygain(run_of(p), file));
}

bool set_volume_db(player& p, int32_t db) {
  if (db < -kMaxAttenuationDb || db > 0) return false;
  const int32_t before = get_volume(run_of(p).modulators);
  set_volume(run_of(p).modulators, db);
  if (db != before) remake_at_volume(p, before);
  return true;
}

// Input frames the filter reaches over before an output frame, in whole
// phase cycles so that the filter read again has its phases where they were.
int64_t history_frames(const player& p, const music_file& file) {
  if (!filtered(file)) return 0;
  const int64_t reach =
      static_cast<int64_t>(std::ceil(2 * run_of(p).filter_delay_seconds * file.format.sample_rate)) + 1;
  const int64_t cycle = phase_cycle(file);
  return (reach + cycle - 1) / cycle * cycle;
}

int64_t history_cycle(const player&, const music_file& file) { return phase_cycle(file); }

}  // namespace

player_parts brisa_parts(brisa_run& run, bool left_cut, bool right_cut, bool short_filter) {
  run.packing.left_cut = left_cut;
  run.packing.right_cut = right_cut;
  run.short_filter = short_filter;
  return {.header_minutes = minutes_format::two_digits,
          .readers = kReaders,
          .context = &run,
          .prepare_file = prepare_file,
          .volume_db = shown_volume,
          .end_of_stream = end_of_stream,
          .into_silence = into_silence,
          .on_key = on_key,
          .set_volume_db = set_volume_db,
          .sends_dsd = true,
          .fades_dsd = true,
          .restart = restart,
          .history_frames = history_frames,
          .history_cycle = history_cycle,
          .frames_dropped = frames_dropped,
          .resume_from = resume_from,
          .file_note = file_note};
}

void brisa_lay_out(brisa_run& run, const output_stream& stream) {
  // A DSD file's cut channel carries the same silent byte as a DoP one.
  run.packing = dsd_packing_for(stream.format, run.packing.left_cut, run.packing.right_cut, kDsdPaddingByte);
  run.packing.frame_bytes = stream.frame_bytes;
}

namespace {

brisa_run& run_in(void* context) { return *static_cast<brisa_run*>(context); }

void choose_device(void* context, const play_params& params, control_session* channel) {
  const dac_choice& dac = run_in(context).dac = params.wait_device
                                                    ? wait_for_dac(params.device_name, params.dop != 0, channel)
                                                    : choose_dac(params.device_name, params.dop != 0);
  if (dac.device_name[0] == '\0') fatal_error("DeltaSigma direct output device is not found.\n");
}

player_parts parts(void* context, const play_params& params) {
  brisa_run& run = run_in(context);
  select_modulator_level(run.modulators, params.modulator_level);
  set_volume(run.modulators, params.volume_db);
  run.replaygain = static_cast<replaygain_mode>(params.replaygain);
  return brisa_parts(run, params.left_cut != 0, params.right_cut != 0, params.short_filter != 0);
}

output_stream first_stream(player& p, const play_params& params) {
  output_stream stream = dsd_output_stream(run_of(p).dac);
  stream.channel = p.channel;
  probe_output(stream, !params.silent);
  brisa_lay_out(run_of(p), stream);
  return stream;
}

}  // namespace

int brisa_main(int argc, char** argv) {
  brisa_run run;
  return player_start(argc, argv,
                      {.module = module_stem(__FILE__),
                       .options = &brisa_options(),
                       .context = &run,
                       .init_decoders = ffmpeg_init,
                       .choose_device = choose_device,
                       .parts = parts,
                       .first_stream = first_stream,
                       // Two frames a unit, so the buffer's length is a whole number of DoP marker pairs.
                       .frames_per_unit = 2,
                       .buffer_size_first = true});
}
