#include "ffmpeg_old.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "printable.h"
#include "sample_format.h"
#include "tag_text.h"
#include "util.h"

namespace {

// Decoded samples are delivered as the host stores them and declared
// little-endian.
static_assert(std::endian::native == std::endian::little, "decoded samples are declared little-endian");

// How a delivered sample is made from a source sample.
enum class sample_conversion : uint8_t {
  copy,            // bytes as stored
  flip_sign,       // signed 8-bit to unsigned 8-bit: the top bit inverted
  double_le_to_f,  // 64-bit float (little-endian) to 32-bit float
  double_be_to_f,  // 64-bit float (big-endian) to 32-bit float
};

// One delivered sample format. The players have no rows for S8 and the two
// 64-bit float formats, so those are delivered as U8 and FLOAT_LE.
struct delivered_row {
  int32_t key;          // AVCodecID (raw table) or packed AVSampleFormat (decoded table)
  int32_t alsa_format;  // snd_pcm_format_t code of what is delivered
  int32_t bytes;        // bytes per delivered sample
  uint16_t format_tag;  // 0 integer, 3 float
  int32_t source_bytes;
  sample_conversion conversion;
};

constexpr uint16_t kTagInteger = 0;
constexpr uint16_t kTagFloat = 3;

// Raw PCM streams that are delivered without a decoder. Raw 24-bit PCM
// keeps FFmpeg's packed 3-byte samples and is declared as the 3-byte ALSA
// formats, so it passes bit-exact.
constexpr std::array<delivered_row, 16> kRawRows{{
    {AV_CODEC_ID_PCM_S8, kFormatU8, 1, kTagInteger, 1, sample_conversion::flip_sign},
    {AV_CODEC_ID_PCM_U8, kFormatU8, 1, kTagInteger, 1, sample_conversion::copy},
    {AV_CODEC_ID_PCM_S16LE, kFormatS16_LE, 2, kTagInteger, 2, sample_conversion::copy},
    {AV_CODEC_ID_PCM_S16BE, kFormatS16_BE, 2, kTagInteger, 2, sample_conversion::copy},
    {AV_CODEC_ID_PCM_U16LE, kFormatU16_LE, 2, kTagInteger, 2, sample_conversion::copy},
    {AV_CODEC_ID_PCM_U16BE, kFormatU16_BE, 2, kTagInteger, 2, sample_conversion::copy},
    {AV_CODEC_ID_PCM_S24LE, kFormatS24_3LE, 3, kTagInteger, 3, sample_conversion::copy},
    {AV_CODEC_ID_PCM_S24BE, kFormatS24_3BE, 3, kTagInteger, 3, sample_conversion::copy},
    {AV_CODEC_ID_PCM_U24LE, kFormatU24_3LE, 3, kTagInteger, 3, sample_conversion::copy},
    {AV_CODEC_ID_PCM_U24BE, kFormatU24_3BE, 3, kTagInteger, 3, sample_conversion::copy},
    {AV_CODEC_ID_PCM_S32LE, kFormatS32_LE, 4, kTagInteger, 4, sample_conversion::copy},
    {AV_CODEC_ID_PCM_S32BE, kFormatS32_BE, 4, kTagInteger, 4, sample_conversion::copy},
    {AV_CODEC_ID_PCM_F32LE, kFormatFloat_LE, 4, kTagFloat, 4, sample_conversion::copy},
    {AV_CODEC_ID_PCM_F32BE, kFormatFloat_BE, 4, kTagFloat, 4, sample_conversion::copy},
    {AV_CODEC_ID_PCM_F64LE, kFormatFloat_LE, 4, kTagFloat, 8, sample_conversion::double_le_to_f},
    {AV_CODEC_ID_PCM_F64BE, kFormatFloat_LE, 4, kTagFloat, 8, sample_conversion::double_be_to_f},
}};

// Decoder output, by the interleaved form of its sample format (planar
// output is interleaved on delivery).
constexpr std::array<delivered_row, 5> kDecodedRows{{
    {AV_SAMPLE_FMT_U8, kFormatU8, 1, kTagInteger, 1, sample_conversion::copy},
    {AV_SAMPLE_FMT_S16, kFormatS16_LE, 2, kTagInteger, 2, sample_conversion::copy},
    {AV_SAMPLE_FMT_S32, kFormatS32_LE, 4, kTagInteger, 4, sample_conversion::copy},
    {AV_SAMPLE_FMT_FLT, kFormatFloat_LE, 4, kTagFloat, 4, sample_conversion::copy},
    {AV_SAMPLE_FMT_DBL, kFormatFloat_LE, 4, kTagFloat, 8, sample_conversion::double_le_to_f},
}};

template <size_t N>
constexpr const delivered_row* find_row(const std::array<delivered_row, N>& rows, int32_t key) noexcept {
  for (const delivered_row& row : rows)
    if (row.key == key) return &row;
  return nullptr;
}

// FFmpeg's raw PCM codec ids: from signed 16-bit LE up to the first ADPCM id.
constexpr bool is_raw_pcm(AVCodecID id) noexcept {
  return id >= AV_CODEC_ID_PCM_S16LE && id < AV_CODEC_ID_ADPCM_IMA_QT;
}

constexpr int64_t kMicrosecondsPerSecond = 1000000;
// No audio runs this fast; the bound keeps the byte rates in 32 bits.
constexpr int kMaxSampleRate = 1 << 24;
// Steps in a row that yield no audio (packets of other streams, empty
// frames) before a file is given up: a file whose audio has ended while its
// video goes on, or a decoder that makes no progress, ends here.
constexpr int kMaxIdleSteps = 10000;
// A decoder that refuses input while it has no output is stuck.
constexpr int kMaxStalls = 8;
// Demuxer errors in a row (other than the end of the file) after which the
// rest of a damaged file is given up.
constexpr int kMaxReadFailures = 32;
// Noted in the record when a file FFmpeg knows as audio is not taken.
constexpr const char* kUnusableAudio = "its audio cannot be decoded";

// Where the delivered samples of the current chunk (a raw packet or a
// decoded frame) lie: frame i of the left channel at left + i x stride, of
// the right one at right + i x stride. Invariant: position <= frames, and
// the pointers stay valid while the packet or frame holding them is
// neither unreferenced nor reused.
struct chunk {
  const uint8_t* left = nullptr;
  const uint8_t* right = nullptr;
  size_t stride = 0;
  int32_t frames = 0;
  int32_t position = 0;
};

}  // namespace

// Where delivery of one open file stands: owned by its record, made by
// ffmpeg_open_input, freed by ffmpeg_close.
struct ffmpeg_read_state {
  int32_t stream = -1;  // index of the audio stream in the demuxer
  bool raw = false;
  const delivered_row* row = nullptr;
  chunk pending;
  bool packet_held = false;   // file->packet holds a packet the decoder refused
  bool flushed = false;       // end of input sent to the decoder
  bool finished = false;      // nothing more will be delivered
  int read_failures = 0;      // demuxer errors in a row
  int64_t frames_taken = 0;   // source frames made pending so far
  int64_t seek_frame = -1;    // after a seek: samples before this frame are dropped
  int64_t damage_frame = -1;  // frames_taken when the first undecodable part was skipped
};

namespace {

// The source channels delivered as left and right: front left and front
// right when the layout names them, else channels 0 and 1; mono twice.
struct channel_pair {
  int left;
  int right;
};

channel_pair pick_channels(const AVChannelLayout& layout) noexcept {
  if (layout.nb_channels == 1) return {0, 0};
  const int left = av_channel_layout_index_from_channel(&layout, AV_CHAN_FRONT_LEFT);
  const int right = av_channel_layout_index_from_channel(&layout, AV_CHAN_FRONT_RIGHT);
  if (left >= 0 && right >= 0) return {left, right};
  return {0, 1};
}

// 8 bytes as a double, stored in little- or big-endian order.
double read_double(const uint8_t* src, bool big_endian) noexcept {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) {
    const uint64_t byte = src[big_endian ? i : 7 - i];
    bits = bits << 8 | byte;
  }
  return std::bit_cast<double>(bits);
}

void convert_sample(uint8_t* dest, const uint8_t* src, const delivered_row& row) noexcept {
  switch (row.conversion) {
    case sample_conversion::copy: std::memcpy(dest, src, static_cast<size_t>(row.bytes)); break;
    case sample_conversion::flip_sign: dest[0] = static_cast<uint8_t>(src[0] ^ 0x80u); break;
    case sample_conversion::double_le_to_f:
    case sample_conversion::double_be_to_f: {
      const bool big = row.conversion == sample_conversion::double_be_to_f;
      const auto bits = std::bit_cast<uint32_t>(static_cast<float>(read_double(src, big)));
      for (int i = 0; i < 4; ++i) dest[i] = static_cast<uint8_t>(bits >> (8 * i));
      break;
    }
  }
}

// Copies up to max_frames pending frames to dest; returns the frames copied.
int32_t deliver_frames(ffmpeg_read_state& state, uint8_t* dest, int32_t max_frames) noexcept {
  chunk& c = state.pending;
  const delivered_row& row = *state.row;
  const int32_t n = std::min(max_frames, c.frames - c.position);
  const auto b = static_cast<size_t>(row.bytes);
  const size_t first = static_cast<size_t>(c.position) * c.stride;
  if (row.conversion == sample_conversion::copy && c.stride == 2 * b && c.right == c.left + b) {
    // Interleaved stereo as delivered: one run.
    std::memcpy(dest, c.left + first, static_cast<size_t>(n) * 2 * b);
  } else {
    for (int32_t i = 0; i < n; ++i) {
      const size_t at = first + static_cast<size_t>(i) * c.stride;
      convert_sample(dest + static_cast<size_t>(i) * 2 * b, c.left + at, row);
      convert_sample(dest + static_cast<size_t>(i) * 2 * b + b, c.right + at, row);
    }
  }
  c.position += n;
  return n;
}

// Makes the samples of a raw packet pending; false when it holds no whole
// frame (a partial frame at the end of a packet is dropped).
bool take_packet(ffmpeg_read_state& state, const AVPacket& packet, const AVCodecParameters& par) {
  const int channels = par.ch_layout.nb_channels;
  const auto source_bytes = static_cast<size_t>(state.row->source_bytes);
  const size_t frame_bytes = source_bytes * static_cast<size_t>(channels);
  const int32_t frames = static_cast<int32_t>(static_cast<size_t>(packet.size) / frame_bytes);
  if (frames == 0) return false;
  const channel_pair pair = pick_channels(par.ch_layout);
  state.pending = {packet.data + static_cast<size_t>(pair.left) * source_bytes,
                   packet.data + static_cast<size_t>(pair.right) * source_bytes, frame_bytes, frames, 0};
  state.frames_taken += frames;
  return true;
}

// Makes the samples of a decoded frame pending. Empty frames give false;
// a frame in a format other than the one declared at open, or with planes
// missing, ends the file (*usable false).
bool take_frame(ffmpeg_read_state& state, const AVFrame& frame, bool* usable) {
  *usable = false;
  const auto format = static_cast<AVSampleFormat>(frame.format);
  const int channels = frame.ch_layout.nb_channels;
  if (find_row(kDecodedRows, av_get_packed_sample_fmt(format)) != state.row || channels <= 0) return false;
  if (frame.nb_samples <= 0) {
    *usable = true;
    return false;
  }
  const channel_pair pair = pick_channels(frame.ch_layout);
  const auto bytes = static_cast<size_t>(state.row->source_bytes);
  if (av_sample_fmt_is_planar(format)) {
    const uint8_t* left = frame.extended_data[pair.left];
    const uint8_t* right = frame.extended_data[pair.right];
    if (left == nullptr || right == nullptr) return false;
    state.pending = {left, right, bytes, frame.nb_samples, 0};
  } else {
    const uint8_t* data = frame.extended_data[0];
    if (data == nullptr) return false;
    state.pending = {data + static_cast<size_t>(pair.left) * bytes, data + static_cast<size_t>(pair.right) * bytes,
                     bytes * static_cast<size_t>(channels), frame.nb_samples, 0};
  }
  state.frames_taken += frame.nb_samples;
  *usable = true;
  return true;
}

// The time base of frames: the rate found at open. FFmpeg's FLAC seek
// clears the stream's own sample_rate, so it is not asked again.
AVRational frame_time_base(const music_file& file) { return {1, static_cast<int>(file.format.sample_rate)}; }

// After a seek: the chunk just made pending (first frame at timestamp pts
// of the file's audio stream) loses the samples before the frame sought.
// False when nothing of it is left.
bool drop_before_seek(const music_file& file, ffmpeg_read_state& state, int64_t pts) {
  if (state.seek_frame < 0) return true;
  if (pts == AV_NOPTS_VALUE) {  // no way to tell: it plays from here
    state.seek_frame = -1;
    return true;
  }
  const AVStream& stream = *file.format_context->streams[state.stream];
  const int64_t start = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
  const int64_t first = av_rescale_q(pts - start, stream.time_base, frame_time_base(file));
  chunk& c = state.pending;
  if (first + c.frames <= state.seek_frame) return false;
  c.position = static_cast<int32_t>(std::clamp<int64_t>(state.seek_frame - first, 0, c.frames));
  state.seek_frame = -1;
  return true;
}

void note_damage(ffmpeg_read_state& state) noexcept {
  if (state.damage_frame < 0) state.damage_frame = state.frames_taken;
}

// Reads the next packet of any stream into file->packet; false at the end.
// A read error short of the end of the file is damage the demuxer skips on
// the next read, a bounded number of times in a row.
bool read_packet(music_file* file, ffmpeg_read_state& state) {
  AVFormatContext* input = file->format_context.get();
  for (;;) {
    av_packet_unref(file->packet.get());
    const int got = av_read_frame(input, file->packet.get());
    if (got >= 0) {
      state.read_failures = 0;
      return true;
    }
    if (got == AVERROR_EOF || (input->pb != nullptr && avio_feof(input->pb))) return false;
    note_damage(state);
    if (++state.read_failures > kMaxReadFailures) return false;
  }
}

// One step of the decoder: a frame out, or a packet in. Returns 1 when
// samples are pending, 0 when the step gave none, -1 at the end. A packet
// or frame that cannot be decoded is skipped as damage.
int decode_step(music_file* file, ffmpeg_read_state& state, int* stalls) {
  const int got = avcodec_receive_frame(file->codec_context.get(), file->frame.get());
  if (got == 0) {
    bool usable = false;
    if (take_frame(state, *file->frame, &usable)) return 1;
    return usable ? 0 : -1;
  }
  if (got == AVERROR_EOF) return -1;  // drained
  const bool failed = got != AVERROR(EAGAIN);
  if (failed) note_damage(state);
  if (state.flushed) return failed ? 0 : -1;

  if (!state.packet_held) {
    if (!read_packet(file, state)) {
      // End of input: the decoder gives up the frames it still holds.
      state.flushed = true;
      return avcodec_send_packet(file->codec_context.get(), nullptr) < 0 ? -1 : 0;
    }
    if (file->packet->stream_index != state.stream) return 0;
  }
  const int sent = avcodec_send_packet(file->codec_context.get(), file->packet.get());
  if (sent == AVERROR(EAGAIN)) {
    // Neither output nor room for input: try a few times, then give up.
    state.packet_held = true;
    return ++*stalls > kMaxStalls ? -1 : 0;
  }
  state.packet_held = false;
  *stalls = 0;
  av_packet_unref(file->packet.get());
  if (sent == AVERROR_EOF) return -1;
  if (sent < 0) note_damage(state);  // the packet is dropped
  return 0;
}

// Tells, once the audio of the file has ended, that it was damaged or gave
// nothing at all; the player goes on with the next file.
void report_end(const music_file& file, const ffmpeg_read_state& state) {
  const std::string name = printable(file.file_name != nullptr ? file.file_name : "");
  if (state.frames_taken == 0) {
    report_warning("%s: nothing could be decoded.\n", name.c_str());
  } else if (state.damage_frame >= 0) {
    const int64_t rate = std::max<int64_t>(file.format.sample_rate, 1);
    report_warning("%s: damaged at %s, skipped what could not be decoded.\n", name.c_str(),
                   clock_text(state.damage_frame / rate).c_str());
  }
}

// Reads on until samples are pending; false at the end of the audio, after
// which nothing more is read.
bool next_chunk(music_file* file, ffmpeg_read_state& state) {
  if (state.finished) return false;
  state.pending = {};
  int stalls = 0;
  for (int idle = 0; idle < kMaxIdleSteps; ++idle) {
    if (state.raw) {
      if (!read_packet(file, state)) break;
      if (file->packet->stream_index != state.stream) continue;
      if (take_packet(state, *file->packet, *file->format_context->streams[state.stream]->codecpar) &&
          drop_before_seek(*file, state, file->packet->pts)) {
        return true;
      }
    } else {
      const int step = decode_step(file, state, &stalls);
      if (step > 0 && drop_before_seek(*file, state, file->frame->best_effort_timestamp)) return true;
      if (step < 0) break;
    }
  }
  state.finished = true;
  report_end(*file, state);
  return false;
}

// The record's handles, each with the call that frees it.
void close_input(AVFormatContext* input) { avformat_close_input(&input); }
void free_codec_context(AVCodecContext* context) { avcodec_free_context(&context); }
void free_packet(AVPacket* packet) { av_packet_free(&packet); }
void free_frame(AVFrame* frame) { av_frame_free(&frame); }
void free_read_state(ffmpeg_read_state* state) { std::default_delete<ffmpeg_read_state>{}(state); }
template <typename T>
owned_handle<T> owned(T* handle, void (*release)(T*)) {
  return owned_handle<T>(handle, release);
}

// The first audio stream, or -1.
int first_audio_stream(const AVFormatContext& input) noexcept {
  for (unsigned i = 0; i < input.nb_streams; ++i)
    if (input.streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) return static_cast<int>(i);
  return -1;
}

// The container's duration in microseconds, else the stream's, else 0.
int64_t duration_us(const AVFormatContext& input, const AVStream& stream) noexcept {
  if (input.duration != AV_NOPTS_VALUE && input.duration > 0) return input.duration;
  if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0 && stream.time_base.num > 0 && stream.time_base.den > 0)
    return std::max<int64_t>(av_rescale_q(stream.duration, stream.time_base, AV_TIME_BASE_Q), 0);
  return 0;
}

// ((duration x block_align) / 1000000) x rate, the division first as the
// players expect it; 0 when the product would not fit.
int64_t delivered_bytes(int64_t duration, int32_t block_align, int32_t rate) noexcept {
  int64_t scaled = 0;
  int64_t total = 0;
  if (__builtin_mul_overflow(duration, int64_t{block_align}, &scaled)) return 0;
  if (__builtin_mul_overflow(scaled / kMicrosecondsPerSecond, int64_t{rate}, &total)) return 0;
  return total;
}

// The container's tags, then the audio stream's for what those leave out.
void read_tags(const AVFormatContext& input, const AVStream& stream, track_tags* tags) {
  *tags = track_tags{};
  for (const AVDictionary* metadata : {input.metadata, stream.metadata}) {
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(metadata, "", entry, AV_DICT_IGNORE_SUFFIX)) != nullptr) {
      if (entry->key != nullptr && entry->value != nullptr) tags_set(*tags, entry->key, entry->value);
    }
  }
}

// Opens the decoder of the stream into the record; false after the warning.
bool open_decoder(music_file* file, ffmpeg_read_state& state, const AVStream& stream) {
  file->codec = avcodec_find_decoder(stream.codecpar->codec_id);
  if (file->codec != nullptr) file->codec_context = owned(avcodec_alloc_context3(file->codec), free_codec_context);
  bool opened =
      file->codec_context != nullptr && avcodec_parameters_to_context(file->codec_context.get(), stream.codecpar) >= 0;
  if (opened) {
    file->codec_context->pkt_timebase = stream.time_base;
    opened = avcodec_open2(file->codec_context.get(), file->codec, nullptr) >= 0;
  }
  if (!opened) {
    report_warning("ffmpeg codec could not initialized.\n");
    return false;
  }
  int format = file->codec_context->sample_fmt;
  if (format == AV_SAMPLE_FMT_NONE) format = stream.codecpar->format;
  state.row = find_row(kDecodedRows, av_get_packed_sample_fmt(static_cast<AVSampleFormat>(format)));
  if (state.row == nullptr) {
    report_warning("ffmpeg sample format 0x%x not found\n", static_cast<unsigned>(format));
    return false;
  }
  return true;
}

}  // namespace

void ffmpeg_init() { av_log_set_level(AV_LOG_QUIET); }

namespace {

// A playlist (HLS, concat) inside a music file must not make the player
// read other files, a descriptor such as its standard input, or the
// network. The file itself opens through this opener, which takes its name
// alone; no protocol is allowed, which stops the demuxers that open their
// entries in a context of their own.
int open_this_file_only(AVFormatContext* s, AVIOContext** pb, const char* url, int flags, AVDictionary** options) {
  if (s->url == nullptr || strcmp(url, s->url) != 0) return AVERROR(EPERM);
  return avio_open2(pb, url, flags, &s->interrupt_callback, options);
}

}  // namespace

int ffmpeg_open(music_file* file) {
  file->format_context.reset();
  AVFormatContext* input = nullptr;
  if (file->file_name == nullptr) return -1;
  // A file already open is reached through its descriptor, so FFmpeg reads
  // the file that was checked, even when its name now leads elsewhere.
  char by_descriptor[32];
  const char* url = file->file_name;
  if (file->fp != nullptr) {
    snprintf(by_descriptor, sizeof by_descriptor, "file:/proc/self/fd/%d", fileno(file->fp.get()));
    url = by_descriptor;
  }
  input = avformat_alloc_context();
  if (input == nullptr) return -1;
  input->io_open = open_this_file_only;
  input->protocol_whitelist = av_strdup("none");
  if (avformat_open_input(&input, url, nullptr, nullptr) < 0) return -1;  // frees input
  if (avformat_find_stream_info(input, nullptr) < 0) {
    report_warning("%s: could not find codec parameters\n", printable(file->file_name).c_str());
    file->refusal = kUnusableAudio;
    avformat_close_input(&input);
    return -1;
  }
  return ffmpeg_open_input(file, input);
}

int ffmpeg_open_input(music_file* file, AVFormatContext* input) {
  file->format_context = owned(input, close_input);
  file->codec_context.reset();
  file->codec = nullptr;
  file->packet.reset();
  file->frame.reset();
  file->ffmpeg_state = owned(std::make_unique<ffmpeg_read_state>().release(), free_read_state);
  ffmpeg_read_state& state = *file->ffmpeg_state;
  const std::string name = printable(file->file_name != nullptr ? file->file_name : "");
  state.stream = first_audio_stream(*input);
  if (state.stream < 0) {
    ffmpeg_close(file);
    return -1;
  }
  const AVStream& stream = *input->streams[state.stream];
  const AVCodecParameters& par = *stream.codecpar;
  const int channels = par.ch_layout.nb_channels;
  const int rate = par.sample_rate;
  // Beyond here the file is audio FFmpeg knows: a failure is a refusal.
  file->refusal = kUnusableAudio;
  if (channels <= 0 || rate <= 0 || rate > kMaxSampleRate) {
    report_warning("%s: could not find codec parameters\n", name.c_str());
    ffmpeg_close(file);
    return -1;
  }

  // Raw PCM the players take goes through as stored; any other (mu-law,
  // A-law) is decoded like a compressed codec.
  state.row = is_raw_pcm(par.codec_id) ? find_row(kRawRows, par.codec_id) : nullptr;
  state.raw = state.row != nullptr;
  if (!state.raw &&
      (!open_decoder(file, state, stream) || (file->frame = owned(av_frame_alloc(), free_frame)) == nullptr)) {
    ffmpeg_close(file);
    return -1;
  }
  file->packet = owned(av_packet_alloc(), free_packet);
  if (file->packet == nullptr) {
    ffmpeg_close(file);
    return -1;
  }
  file->refusal = nullptr;

  const delivered_row& row = *state.row;
  const int32_t block_align = 2 * row.bytes;
  file->sample_format = row.alsa_format;
  file->bytes_per_sample = row.bytes;
  file->file_channels = channels;
  file->format = wave_format{};
  file->format.format_tag = row.format_tag;
  file->format.channels = 2;
  file->format.sample_rate = static_cast<uint32_t>(rate);
  file->format.block_align = static_cast<uint16_t>(block_align);
  file->format.bits_per_sample = static_cast<uint16_t>(8 * row.bytes);
  file->format.bytes_per_second = static_cast<uint32_t>(block_align) * static_cast<uint32_t>(rate);
  file->total_bytes = delivered_bytes(duration_us(*input, stream), block_align, rate);
  // The players skip a file with nothing remaining; ffmpeg_read alone tells
  // the end, so a file of unknown length still plays.
  file->remaining_bytes = std::max<int64_t>(file->total_bytes, block_align);
  read_tags(*input, stream, &file->tags);
  return 0;
}

int ffmpeg_read(music_file* file, uint8_t* dest, int max_bytes) {
  if (file->format_context == nullptr || file->ffmpeg_state == nullptr) return -1;
  ffmpeg_read_state& state = *file->ffmpeg_state;
  if (state.row == nullptr) return -1;
  const int frame_bytes = 2 * state.row->bytes;
  if (max_bytes < frame_bytes) return -1;
  int delivered = 0;
  while (max_bytes - delivered >= frame_bytes) {
    if (state.pending.position == state.pending.frames && !next_chunk(file, state)) break;
    delivered += deliver_frames(state, dest + delivered, (max_bytes - delivered) / frame_bytes) * frame_bytes;
  }
  return delivered > 0 ? delivered : -1;
}

void ffmpeg_close(music_file* file) {
  file->ffmpeg_state.reset();
  // The packet, frame and decoder go before the demuxer they came from.
  file->packet.reset();
  file->frame.reset();
  file->codec_context.reset();
  file->format_context.reset();
  file->codec = nullptr;
}

bool ffmpeg_seek(music_file* file, int64_t frame) {
  if (file->format_context == nullptr || file->ffmpeg_state == nullptr || frame < 0) return false;
  ffmpeg_read_state& state = *file->ffmpeg_state;
  const int32_t block_align = file->format.block_align;
  if (block_align > 0 && file->total_bytes > 0 && frame >= file->total_bytes / block_align) return false;
  AVFormatContext* input = file->format_context.get();
  const AVStream& stream = *input->streams[state.stream];
  const int64_t start = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
  const int64_t target = start + av_rescale_q(frame, frame_time_base(*file), stream.time_base);
  // The last point at or before the frame: the samples up to it are dropped.
  if (avformat_seek_file(input, state.stream, INT64_MIN, target, target, 0) < 0) return false;
  if (file->codec_context != nullptr) avcodec_flush_buffers(file->codec_context.get());
  av_packet_unref(file->packet.get());
  state.pending = {};
  state.packet_held = false;
  state.flushed = false;
  state.finished = false;
  state.read_failures = 0;
  state.frames_taken = frame;
  state.seek_frame = frame;
  return true;
}
