// lumen's readers and its two conversion steps: PCM samples to the output
// width (through the filter with -os), DSD bytes as DoP frames or native
// DSD words; and what the engine's start-up takes from lumen (its device,
// --count, its first stream).
#include "lumen.h"

#include <algorithm>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "alsathread.h"
#include "device_wait.h"
#include "dsd_frame.h"
#include "dsf.h"
#include "fir.h"
#include "lumen_options.h"
#include "player.h"
#include "player_start.h"
#include "printable.h"
#include "readers.h"
#include "sample_format.h"
#include "simd.h"
#include "stream_constants.h"
#include "util.h"
#include "wav.h"
#ifdef PLAYERS_WITH_FFMPEG
#include "ffmpeg_old.h"
#endif

namespace {

#ifdef PLAYERS_WITH_FFMPEG
constexpr std::span<const music_reader> kReaders = kNativeAndFfmpegReaders;
#else
constexpr std::span<const music_reader> kReaders = kNativeReaders;
#endif

lumen_run& run_of(const player& p) { return *static_cast<lumen_run*>(p.parts.context); }

// f x 2^31 rounded toward zero, saturated to int32; NaN is silence.
int32_t float_to_int32(float f) {
  const float scaled = f * 2147483648.0f;
  if (!(scaled > -2147483648.0f)) return std::isnan(scaled) ? 0 : INT32_MIN;
  if (scaled >= 2147483648.0f) return INT32_MAX;
  return static_cast<int32_t>(scaled);
}

int32_t sample_value(const player& p, const uint8_t* bytes) {
  if (p.pcm.row != nullptr) return decode_sample(*p.pcm.row, bytes);
  return float_to_int32(decode_float_sample(p.current_file->sample_format == kFormatFloat_BE, bytes));
}

// One output sample: the top sample_bytes bytes of v, little-endian (S24_LE:
// the 24-bit value in the low three bytes of its container), or silence.
uint8_t* store_sample(const pcm_layout& layout, int32_t v, bool cut, uint8_t* out) {
  const int32_t bytes = layout.sample_bytes;
  if (layout.format == kFormatS24_LE) v >>= 8;
  const auto word = static_cast<uint32_t>(cut ? 0 : v);
  const int32_t first = layout.format == kFormatS24_LE ? 0 : 4 - bytes;
  for (int32_t i = 0; i < bytes; ++i) *out++ = static_cast<uint8_t>(word >> (8 * (first + i)));
  return out;
}

uint8_t* store_frame(const lumen_run& run, int32_t left, int32_t right, uint8_t* out) {
  const pcm_layout& layout = run.pcm;
  return store_sample(layout, right, run.right_cut, store_sample(layout, left, run.left_cut, out));
}

// The filter's values as samples, float_to_int32 of each, four at a time on
// NEON (its conversion to 31 fraction bits truncates toward zero, saturates
// and takes NaN as 0, as float_to_int32 does) and on SSE2 (the scaling by
// 2^31 is exact; truncate_saturated does the rest alike).
void values_to_int32(const float* values, int32_t count, int32_t* out) {
  int32_t i = 0;
#if defined(SIMD_NEON)
  for (; i + 4 <= count; i += 4) vst1q_s32(out + i, vcvtq_n_s32_f32(vld1q_f32(values + i), 31));
#elif defined(SIMD_SSE2)
  const simd::f4 scale = simd::splat(2147483648.0f);
  for (; i + 4 <= count; i += 4) {
    const simd::u4 samples = simd::truncate_saturated(simd::load(values + i) * scale);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), samples.v);
  }
#endif
  for (; i < count; ++i) out[i] = float_to_int32(values[i]);
}

// The staged frames go into the ring buffer (the steps made room for them).
void write_staged(player& p) {
  lumen_run& run = run_of(p);
  if (run.staged_bytes == 0) return;
  ringbuffer_write(p.rb.get(), reinterpret_cast<const uint8_t*>(run.staged.data()), run.staged_bytes);
  run.staged_bytes = 0;
}

// The frames one input frame becomes are staged, written out first when
// they would not fit (the step has made room for all that is staged). 32-bit
// little-endian samples with both channels heard are the samples' own bytes.
void filter_pair(player& p, const float (&pair)[2]) {
  lumen_run& run = run_of(p);
  int32_t count = 0;
  const float* values = fir_process(run.filter, pair, &count);
  if (values == nullptr) return;
  // Going on from where the device's music ends: the frames before that
  // place (a unit each at the output rate) were handed over already.
  if (p.priming_units > 0) {
    const auto handed = static_cast<int32_t>(std::min<int64_t>(p.priming_units, count / 2));
    p.priming_units -= handed;
    values += 2 * handed;
    count -= 2 * handed;
    if (count <= 0) return;
  }
  if (run.staged_bytes + kFirBlockFrames * run.pcm.frame_bytes > kLumenStagedBytes) write_staged(p);
  if (std::endian::native == std::endian::little && run.pcm.format == kFormatS32_LE && !run.left_cut &&
      !run.right_cut) {
    // Whole frames of two int32 samples so far: staged_bytes is a multiple of 8.
    values_to_int32(values, count, run.staged.data() + run.staged_bytes / 4);
    run.staged_bytes += count * 4;
    return;
  }
  int32_t samples[kFirBlockFloats];
  values_to_int32(values, count, samples);
  uint8_t* const first = reinterpret_cast<uint8_t*>(run.staged.data()) + run.staged_bytes;
  uint8_t* out = first;
  for (int32_t i = 0; i + 1 < count; i += 2) out = store_frame(run, samples[i], samples[i + 1], out);
  run.staged_bytes += static_cast<int32_t>(out - first);
}

void convert_pcm_frame(player& p, const uint8_t* frame) {
  const lumen_run& run = run_of(p);
  const int32_t sample_bytes = p.current_file->bytes_per_sample;
  int32_t left = sample_value(p, frame), right = sample_value(p, frame + sample_bytes);
  if (p.priming_frames > 0) {
    // Only the filter's history: its output was heard before the jump.
    --p.priming_frames;
    int32_t count = 0;
    const float pair[2] = {static_cast<float>(left) * 0x1p-31f, static_cast<float>(right) * 0x1p-31f};
    if (run.oversample) fir_process(run_of(p).filter, pair, &count);
    return;
  }
  // Only a fade scales samples: otherwise they pass bit for bit. It begins
  // with the first frame written.
  if (fade_running(p.fade) && (p.priming_units == 0 || !run.oversample)) {
    const double gain = fade_next_gain(p.fade);
    left = static_cast<int32_t>(left * gain);
    right = static_cast<int32_t>(right * gain);
  }
  if (run.oversample) {
    filter_pair(p, {static_cast<float>(left) * 0x1p-31f, static_cast<float>(right) * 0x1p-31f});
    return;
  }
  uint8_t one[2 * sizeof(int32_t)];
  ringbuffer_write(p.rb.get(), one, static_cast<int32_t>(store_frame(run, left, right, one) - one));
}

// With -os the stream's last file's last frames are still inside the filter.
bool end_of_stream(player& p, const music_file& last) {
  const lumen_run& run = run_of(p);
  if (!run.oversample || is_dsd(last)) return true;
  const bool done = player_flush_filter(p, static_cast<int32_t>(last.format.sample_rate), fir_delay_seconds(run.filter),
                                        kLumenStagedBytes, filter_pair);
  write_staged(p);
  return done;
}

bool convert_pcm_step(player& p) {
  const lumen_run& run = run_of(p);
  if (!run.oversample) return player_pcm_step(p, run.pcm.frame_bytes, convert_pcm_frame);
  const bool converted = player_pcm_step(p, kLumenStagedBytes, convert_pcm_frame);
  write_staged(p);
  return converted;
}

// One DSD read (L0 R0 L1 R1 ...) as frames: one native frame per 8 bytes,
// one DoP frame per 4. A short read still makes whole frames: the missing
// bytes are quiet DSD. Returns the frames written.
int32_t write_dsd_frames(player& p, std::span<const uint8_t> read) {
  uint8_t in[kDsdReadBytes];
  std::fill(std::copy(read.begin(), read.end(), in), std::end(in), kDsdQuietByte);
  return player_write_dsd_frames(p, run_of(p).dsd, in);
}

bool convert_dsd_step(player& p) {
  const dsd_packing& packing = run_of(p).dsd;
  return player_dsd_step(p, packing.frame_bytes, kDsdReadBytes / dsd_bytes_per_frame(packing), write_dsd_frames);
}

convert_function prepare_file(player& p, music_file& file, refusal* why) {
  lumen_run& run = run_of(p);
  // DSD goes out as DoP at a 16th of its rate.
  if (is_dsd(file)) {
    *why = rate_refusal(file, 16 * kLowestPcmRate, UINT32_MAX);
    return *why ? nullptr : convert_dsd_step;
  }
  *why = rate_refusal(file, kLowestPcmRate, kHighestPcmRate);
  if (*why) return nullptr;
  if (!pcm_samples_known(file)) {
    *why = refuse("%s: Unsupported input format %d.\n", printable(file.file_name).c_str(), file.sample_format);
    return nullptr;
  }
  // The filter follows each file's rate; the output rate stays, so this
  // only switches its path.
  const channel_cuts cuts{.left = run.left_cut, .right = run.right_cut};
  if (run.oversample &&
      !fir_init(run.filter, static_cast<int32_t>(file.format.sample_rate), kOversampledRate, 2, 0, cuts)) {
    *why = refuse("coeff filter initialize failed.\n");
    return nullptr;
  }
  if (run.oversample) run.filter_delay_seconds = fir_delay_seconds(run.filter);
  return convert_pcm_step;
}

// Input frames the filter reaches over before an output frame (-os).
int64_t history_frames(const player& p, const music_file& file) {
  const lumen_run& run = run_of(p);
  if (!run.oversample || is_dsd(file)) return 0;
  return static_cast<int64_t>(std::ceil(2 * run.filter_delay_seconds * file.format.sample_rate)) + 1;
}

// After a jump nothing of the dropped music stays in the filter; the file
// read on sets it up again.
void restart(player& p) { fir_release(run_of(p).filter); }

// The frames dropped took their DoP markers with them.
void frames_dropped(player& p, int32_t frames) { run_of(p).dsd.marker_phase ^= frames & 1; }

// The rate a file's samples run at: its DSD bit rate or its frame rate.
uint32_t file_rate(const music_file& file) { return file.format.sample_rate; }

// Files of one kind at one rate go out in one bit-perfect stream.
bool bit_perfect_together(const music_file& a, const music_file& b) {
  return is_dsd(a) == is_dsd(b) && file_rate(a) == file_rate(b);
}

// A bit-perfect stream carries files of one kind at one rate; oversampled,
// PCM files of any rate.
bool joins_stream(const player& p, const music_file& streamed, const music_file& file) {
  return bit_perfect_together(streamed, file) || (run_of(p).oversample && !is_dsd(file) && !is_dsd(streamed));
}

// Probes the device for the stream `first` calls for and lays the frames out for it.
output_stream stream_for(player& p, const music_file& first) {
  lumen_run& run = run_of(p);
  output_stream stream = lumen_output_stream(first, run.device_name, run.oversample);
  stream.wait_device = run.wait_device;
  stream.channel = p.channel;
  probe_output(stream);
  lumen_lay_out(run, stream);
  return stream;
}

// --count: probes the files without a device; prints how many can be
// played and exits 0 when all of them can go out in one bit-perfect stream.
[[noreturn]] void count_playable_files(play_list& list) {
  int32_t playable = 0;
  bool one_stream = true;
  const music_file* first = nullptr;
  for (music_file& file : list.records) {
    if (file.index < 0) break;
    const recognition found = recognise_music_file(&file, kReaders);
    close_music_file(&file, found.reader);
    if (found.result != recognised::file) {
      one_stream = false;
      continue;
    }
    ++playable;
    if (first == nullptr) first = &file;
    one_stream = one_stream && bit_perfect_together(*first, file);
  }
  printf("%d\n", playable);
  fflush(stdout);
  exit_program(one_stream && playable > 0 ? 0 : 1);
}

}  // namespace

player_parts lumen_parts(lumen_run& run, bool oversample, bool left_cut, bool right_cut) {
  run.oversample = oversample;
  if (oversample) fir_use_precise_path(run.filter);
  run.left_cut = left_cut;
  run.right_cut = right_cut;
  return {.header_minutes = minutes_format::plain,
          .readers = kReaders,
          .context = &run,
          .prepare_file = prepare_file,
          .end_of_stream = end_of_stream,
          .joins_stream = joins_stream,
          .stream_for = stream_for,
          .restart = restart,
          .history_frames = history_frames,
          .frames_dropped = frames_dropped};
}

void lumen_lay_out(lumen_run& run, const output_stream& stream) {
  run.pcm = {.format = stream.format, .sample_bytes = stream.frame_bytes / 2, .frame_bytes = stream.frame_bytes};
  // The lead-in ends on a whole marker pair: each stream's first frame gets 0xFA.
  run.dsd = dsd_packing_for(stream.format, run.left_cut, run.right_cut, kDopSilenceByte);
  run.dsd.frame_bytes = stream.frame_bytes;
}

namespace {

lumen_run& run_in(void* context) { return *static_cast<lumen_run*>(context); }

// The device named, or else the last card; none is needed for --count.
void choose_device(void* context, const play_params& params, control_session* channel) {
  char(&device_name)[kDeviceNameBytes] = run_in(context).device_name;
  snprintf(device_name, sizeof device_name, "%s", params.device_name);
  run_in(context).wait_device = params.wait_device != 0 && !params.count_only;
  if (run_in(context).wait_device) {
    if (device_name[0] == '\0') wait_for_last_card(device_name, channel);
    if (device_wait_until_openable(device_name, device_name, channel) == 1) device_wait_given_up(channel);
    return;
  }
  if (!params.count_only && device_name[0] == '\0' && !find_last_card(device_name)) {
    fatal_error("Output device is not defined.\n");
  }
}

void list_made(void*, const play_params& params, play_list& list) {
  if (params.count_only) count_playable_files(list);
}

player_parts parts(void* context, const play_params& params) {
  return lumen_parts(run_in(context), params.oversample != 0, params.left_cut != 0, params.right_cut != 0);
}

output_stream first_stream(player& p, const play_params&) { return stream_for(p, p.files[0]); }

}  // namespace

int lumen_main(int argc, char** argv) {
  lumen_run run;
  return player_start(argc, argv,
                      {.module = module_stem(__FILE__),
                       .options = &lumen_options(),
                       .context = &run,
#ifdef PLAYERS_WITH_FFMPEG
                       .init_decoders = ffmpeg_init,
#endif
                       .choose_device = choose_device,
                       .list_made = list_made,
                       .parts = parts,
                       .first_stream = first_stream});
}
