#include "ffmpeg_old.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavformat/avformat.h>
}

#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "process.h"
#include "sample_format.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr int kRate = 44100;

// The ffmpeg command, when it is installed and runs here (under an
// emulator it may not), else empty.
std::string find_ffmpeg() {
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin";
  for (size_t at = 0; at <= dirs.size();) {
    const size_t end = std::min(dirs.find(':', at), dirs.size());
    const std::string candidate = dirs.substr(at, end - at) + "/ffmpeg";
    at = end + 1;
    if (access(candidate.c_str(), X_OK) != 0) continue;
    return run_process({candidate, "-version"}).exit_status == 0 ? candidate : "";
  }
  return {};
}

void write_file(const std::string& path, const bytes& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::ssize(data));
}

// Signed samples that tell frame and channel apart, within `bits` bits.
std::vector<int32_t> numbered(int frames, int channels, int bits) {
  std::vector<int32_t> v;
  const int32_t span = 1 << (bits - 1);
  for (int f = 0; f < frames; ++f)
    for (int c = 0; c < channels; ++c)
      v.push_back(static_cast<int32_t>((int64_t{f} * 7919 + c * (span / 7) + c) % (2 * span - 1) - span + 1));
  return v;
}

// Samples as width-byte integers, little- or big-endian, top bytes kept.
bytes pack(const std::vector<int32_t>& v, int width, bool big = false) {
  bytes out;
  for (int32_t s : v)
    for (int i = 0; i < width; ++i) {
      const int byte = big ? width - 1 - i : i;
      out.push_back(static_cast<uint8_t>(static_cast<uint32_t>(s) >> (8 * byte)));
    }
  return out;
}

// The source channels a and b of every frame, as the adapter delivers them.
std::vector<int32_t> pick(const std::vector<int32_t>& v, int channels, int a, int b) {
  std::vector<int32_t> out;
  for (size_t f = 0; f + channels <= v.size(); f += channels) {
    out.push_back(v[f + a]);
    out.push_back(v[f + b]);
  }
  return out;
}

std::vector<float> as_floats(const bytes& data) {
  std::vector<float> out(data.size() / 4);
  std::memcpy(out.data(), data.data(), out.size() * 4);
  return out;
}

double rms(const std::vector<float>& v) {
  double sum = 0;
  for (float x : v) sum += double{x} * x;
  return v.empty() ? 0 : std::sqrt(sum / static_cast<double>(v.size()));
}

// An adapter-opened file, closed on destruction.
struct opened {
  std::string name;
  music_file file{};
  int result = -1;
  explicit opened(std::string path) : name(std::move(path)) {
    file.file_name = name.data();
    result = ffmpeg_open(&file);
  }
  ~opened() { ffmpeg_close(&file); }
  // Reads until -1 in calls of max bytes; each call must give whole frames.
  bytes read_all(int max) {
    bytes all, chunk(static_cast<size_t>(max));
    for (int n; (n = ffmpeg_read(&file, chunk.data(), max)) != -1;) {
      EXPECT_GT(n, 0);
      EXPECT_LE(n, max);
      EXPECT_EQ(n % file.format.block_align, 0);
      if (n <= 0) break;
      all.insert(all.end(), chunk.begin(), chunk.begin() + n);
    }
    return all;
  }
};

class FfmpegAdapter : public testing::Test {
 protected:
  void SetUp() override {
    if (ffmpeg_.empty()) GTEST_SKIP() << "no ffmpeg command that runs here";
    ffmpeg_init();
  }
  // Runs ffmpeg with args; the last argument is the output file in the
  // temp dir (or "pipe:1", whose output then goes to pipe_file).
  void run(std::vector<std::string> args, const std::string& pipe_file = {}) {
    args.insert(args.begin(), {ffmpeg_, "-hide_banner", "-loglevel", "error", "-y"});
    if (args.back() != "pipe:1") args.back() = dir_.file(args.back());
    process_options options;
    options.timeout_seconds = 60;
    const process_result r = run_process(args, options);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    if (!pipe_file.empty()) write_file(dir_.file(pipe_file), bytes(r.out.begin(), r.out.end()));
  }
  // Writes raw little-endian samples and returns the ffmpeg input arguments.
  std::vector<std::string> raw_input(const std::vector<int32_t>& v, int channels, int bits) {
    const std::string raw = dir_.file("source" + std::to_string(++sources_) + ".raw");
    write_file(raw, pack(v, bits / 8));
    return {"-f",  bits == 16 ? "s16le" : "s24le", "-ar", std::to_string(kRate),
            "-ac", std::to_string(channels),       "-i",  raw};
  }
  std::string path(const std::string& name) const { return dir_.file(name); }

  inline static const std::string ffmpeg_ = find_ffmpeg();
  temp_dir dir_;
  int sources_ = 0;
};

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Lossless codecs give the source back exactly, decoded interleaved (FLAC)
// or planar (ALAC), 16-bit as S16_LE and 24-bit left-aligned in S32_LE.
TEST_F(FfmpegAdapter, LosslessFilesDeliverTheSourceExactly) {
  struct lossless_case {
    std::string name;
    std::vector<std::string> codec;
    int bits;
  };
  const std::vector<lossless_case> cases = {
      {"s16.flac", {"-c:a", "flac"}, 16},
      {"s24.flac", {"-c:a", "flac"}, 24},
      {"s16.m4a", {"-c:a", "alac"}, 16},
      {"s24.m4a", {"-c:a", "alac"}, 24},
  };
  for (const lossless_case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto source = numbered(10 * kRate, 2, c.bits);
    run(raw_input(source, 2, c.bits) + c.codec + std::vector<std::string>{c.name});
    opened f(path(c.name));
    ASSERT_EQ(f.result, 0);
    const int width = c.bits == 16 ? 2 : 4;
    EXPECT_EQ(f.file.sample_format, c.bits == 16 ? kFormatS16_LE : kFormatS32_LE);
    EXPECT_EQ(f.file.bytes_per_sample, width);
    EXPECT_EQ(f.file.format.channels, 2);
    EXPECT_EQ(f.file.format.block_align, 2 * width);
    EXPECT_EQ(f.file.format.bits_per_sample, 8 * width);
    EXPECT_EQ(f.file.format.format_tag, 0);
    EXPECT_EQ(f.file.format.sample_rate, static_cast<uint32_t>(kRate));
    EXPECT_EQ(f.file.format.bytes_per_second, static_cast<uint32_t>(2 * width * kRate));
    // 10 s: (10000000 x block_align / 1000000) x rate.
    EXPECT_EQ(f.file.total_bytes, 10 * 2 * width * kRate);
    std::vector<int32_t> expected = source;
    if (c.bits == 24)
      for (int32_t& s : expected) s = static_cast<int32_t>(static_cast<uint32_t>(s) << 8);
    EXPECT_EQ(f.read_all(65536), pack(expected, width));
  }
}

// Every request gets whole frames; a decoded frame split by one call goes
// on in the next, also after another open file has been read, and a
// request below one frame reads nothing.
TEST_F(FfmpegAdapter, ReadsContinueInsideADecodedFrame) {
  const auto source = numbered(kRate, 2, 16);
  run(raw_input(source, 2, 16) + std::vector<std::string>{"-c:a", "flac", "split.flac"});
  const bytes expected = pack(source, 2);
  {
    opened f(path("split.flac"));
    ASSERT_EQ(f.result, 0);
    bytes first(1000), small(4);
    ASSERT_EQ(ffmpeg_read(&f.file, first.data(), 1000), 1000);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), expected.begin()));
    opened other(path("split.flac"));
    ASSERT_EQ(other.result, 0);
    ASSERT_EQ(ffmpeg_read(&other.file, first.data(), 400), 400);
    EXPECT_EQ(ffmpeg_read(&f.file, small.data(), 3), -1);
    ASSERT_EQ(ffmpeg_read(&f.file, first.data(), 999), 996);
    EXPECT_TRUE(std::equal(first.begin(), first.begin() + 996, expected.begin() + 1000));
    EXPECT_EQ(other.read_all(4096), bytes(expected.begin() + 400, expected.end()));
  }
  for (int max : {4, 1000, 999, 1 << 20}) {
    SCOPED_TRACE(max);
    opened f(path("split.flac"));
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.read_all(max), expected);
  }
}

// Seeks, one after another in the file opened once, go on from the frame
// asked for, inside a compressed frame too, in a compressed and a raw file;
// past the end a seek is refused. (FFmpeg's FLAC seek clears the stream's
// sample rate: a second seek once went by that.)
TEST_F(FfmpegAdapter, SeeksGoOnFromTheFrameAskedFor) {
  const auto source = numbered(kRate, 2, 16);
  run(raw_input(source, 2, 16) + std::vector<std::string>{"-c:a", "flac", "seek.flac"});
  run(raw_input(source, 2, 16) + std::vector<std::string>{"-c:a", "pcm_s16be", "seek.aiff"});
  for (const char* name : {"seek.flac", "seek.aiff"}) {
    SCOPED_TRACE(name);
    // Raw PCM is delivered as stored: big-endian in AIFF.
    const bytes expected = pack(source, 2, std::string(name).ends_with(".aiff"));
    opened f(path(name));
    ASSERT_EQ(f.result, 0);
    for (const int64_t frame : {int64_t{30001}, int64_t{7}, int64_t{kRate - 100}, int64_t{12131}}) {
      ASSERT_TRUE(ffmpeg_seek(&f.file, frame));
      EXPECT_EQ(f.read_all(4096), bytes(expected.begin() + frame * 4, expected.end())) << frame;
    }
    EXPECT_FALSE(ffmpeg_seek(&f.file, kRate + 10));
  }
}

// Pictures before the audio (a cover track as stream 0, an MP3's attached
// picture) are neither taken as the audio nor fed to its decoder.
TEST_F(FfmpegAdapter, CoverArtDoesNotHideTheAudio) {
  run({"-f", "lavfi", "-i", "color=c=red:s=16x16", "-frames:v", "1", "cover.png"});
  const auto source = numbered(kRate, 2, 16);
  run(std::vector<std::string>{"-i", path("cover.png")} + raw_input(source, 2, 16) +
      std::vector<std::string>{"-map", "0", "-map", "1", "-c:v", "png", "-c:a", "flac", "cover.mka"});
  {
    opened f(path("cover.mka"));
    ASSERT_EQ(f.result, 0);
    ASSERT_EQ(f.file.format_context->streams[0]->codecpar->codec_type, AVMEDIA_TYPE_VIDEO);
    EXPECT_EQ(f.read_all(4096), pack(source, 2));
  }
  run({"-i", path("cover.png"), "-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=44100:duration=1", "-map", "0",
       "-map", "1", "-c:v", "png", "-disposition:v", "attached_pic",  //
       "-af", "pan=stereo|c0=c0|c1=c0", "-c:a", "libmp3lame", "cover.mp3"});
  opened f(path("cover.mp3"));
  ASSERT_EQ(f.result, 0);
  EXPECT_EQ(f.file.sample_format, kFormatFloat_LE);
  EXPECT_EQ(f.file.format.format_tag, 3);
  const auto samples = as_floats(f.read_all(4096));
  EXPECT_GE(samples.size(), 2u * kRate);
  EXPECT_NEAR(rms(samples), 0.125 / std::sqrt(2.0), 0.01);  // the sine source is at 1/8 of full scale
}

// Front left and front right of 5.1; mono on both channels, decoded or raw.
TEST_F(FfmpegAdapter, OtherChannelCountsBecomeStereo) {
  const auto six = numbered(kRate / 4, 6, 16);
  run(raw_input(six, 6, 16) + std::vector<std::string>{"-channel_layout", "5.1", "-c:a", "flac", "six.flac"});
  const auto mono = numbered(kRate / 4, 1, 16);
  const auto mono_input = raw_input(mono, 1, 16);
  run(mono_input + std::vector<std::string>{"-c:a", "flac", "mono.flac"});
  run(mono_input + std::vector<std::string>{"-c:a", "pcm_s16be", "mono.aiff"});

  opened surround(path("six.flac"));
  ASSERT_EQ(surround.result, 0);
  EXPECT_EQ(surround.file.file_channels, 6);
  EXPECT_EQ(surround.read_all(3000), pack(pick(six, 6, 0, 1), 2));
  opened decoded(path("mono.flac"));
  ASSERT_EQ(decoded.result, 0);
  EXPECT_EQ(decoded.read_all(3000), pack(pick(mono, 1, 0, 0), 2));
  opened raw(path("mono.aiff"));
  ASSERT_EQ(raw.result, 0);
  EXPECT_EQ(raw.read_all(3000), pack(pick(mono, 1, 0, 0), 2, true));
}

TEST_F(FfmpegAdapter, Aac48kHzKeepsRateAndLevel) {
  run({"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000:duration=2",  //
       "-af", "pan=stereo|c0=c0|c1=c0", "-c:a", "aac", "tone.m4a"});
  opened f(path("tone.m4a"));
  ASSERT_EQ(f.result, 0);
  EXPECT_EQ(f.file.format.sample_rate, 48000u);
  EXPECT_EQ(f.file.sample_format, kFormatFloat_LE);
  const auto samples = as_floats(f.read_all(3072));
  ASSERT_GE(samples.size(), 2u * 2 * 48000);
  EXPECT_NEAR(rms(samples), 0.125 / std::sqrt(2.0), 0.01);
  int crossings = 0;  // left channel, the second second: 2000 for 1 kHz
  for (size_t i = 2 * 48000; i + 2 < 4 * 48000; i += 2) crossings += (samples[i] < 0) != (samples[i + 2] < 0);
  EXPECT_NEAR(crossings, 2000, 4);
}

// Raw PCM needs no decoder: passed as stored, 24-bit in the 3-byte formats;
// signed 8-bit and 64-bit float become formats the players convert.
TEST_F(FfmpegAdapter, RawPcmIsPassedThrough) {
  const auto source = numbered(kRate / 2, 2, 16);
  const auto input = raw_input(source, 2, 16);
  std::vector<int32_t> shifted24, top8;
  bytes f32be, f32le;
  for (int32_t s : source) {
    shifted24.push_back(s * 256);
    top8.push_back((s >> 8) + 128);
    const auto bits = std::bit_cast<uint32_t>(static_cast<float>(s) / 32768.0f);
    for (int i = 0; i < 4; ++i) {
      f32be.push_back(static_cast<uint8_t>(bits >> (24 - 8 * i)));
      f32le.push_back(static_cast<uint8_t>(bits >> (8 * i)));
    }
  }
  struct raw_case {
    std::string name, codec;
    int32_t format, width, tag;
    bytes expected;
  };
  const std::vector<raw_case> cases = {
      {"s16be.aiff", "pcm_s16be", kFormatS16_BE, 2, 0, pack(source, 2, true)},
      {"s24be.aiff", "pcm_s24be", kFormatS24_3BE, 3, 0, pack(shifted24, 3, true)},
      {"s24le.caf", "pcm_s24le", kFormatS24_3LE, 3, 0, pack(shifted24, 3)},
      {"s8.aiff", "pcm_s8", kFormatU8, 1, 0, pack(top8, 1)},
      {"f32be.caf", "pcm_f32be", kFormatFloat_BE, 4, 3, f32be},
      {"f64be.au", "pcm_f64be", kFormatFloat_LE, 4, 3, f32le},
  };
  for (const raw_case& c : cases) {
    SCOPED_TRACE(c.name);
    run(input + std::vector<std::string>{"-c:a", c.codec, c.name});
    opened f(path(c.name));
    ASSERT_EQ(f.result, 0);
    EXPECT_EQ(f.file.codec_context, nullptr);
    EXPECT_EQ(f.file.sample_format, c.format);
    EXPECT_EQ(f.file.bytes_per_sample, c.width);
    EXPECT_EQ(f.file.format.block_align, 2 * c.width);
    EXPECT_EQ(f.file.format.format_tag, c.tag);
    EXPECT_EQ(f.read_all(3072), c.expected);
  }
}

// Mu-law and A-law are decoded to 16-bit samples, in a WAV as in any other file.
TEST_F(FfmpegAdapter, CompandedPcmIsDecoded) {
  const auto input = raw_input(numbered(1000, 2, 16), 2, 16);
  for (const char* name : {"mulaw.wav", "alaw.au"}) {
    const std::string codec = name[0] == 'm' ? "pcm_mulaw" : "pcm_alaw";
    run(input + std::vector<std::string>{"-c:a", codec, name});
    opened f(path(name));
    ASSERT_EQ(f.result, 0) << name;
    EXPECT_EQ(f.file.sample_format, kFormatS16_LE) << name;
    EXPECT_EQ(f.read_all(4096).size(), 1000u * 4) << name;
  }
}

// A few bytes overwritten in the middle of a FLAC cost only the frames they
// hit: the rest plays, and one warning names the file and where the damage
// began. A file whose frames are all garbage gives nothing and says so.
TEST_F(FfmpegAdapter, DamagedFilesPlayWhatCanBeDecoded) {
  run({"-f", "lavfi", "-i", "sine=f=440:d=10", "-ac", "2", "-c:a", "flac", "-sample_fmt", "s16", "whole.flac"});
  std::ifstream in(path("whole.flac"), std::ios::binary);
  const bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(data.size(), 20000u);
  bytes damaged = data;
  std::fill_n(damaged.begin() + static_cast<ptrdiff_t>(damaged.size() * 45 / 100), 16, 0);
  write_file(path("damaged.flac"), damaged);
  {
    opened f(path("damaged.flac"));
    ASSERT_EQ(f.result, 0);
    testing::internal::CaptureStderr();
    const size_t delivered = f.read_all(65536).size();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_GE(delivered, static_cast<size_t>(9 * kRate * 4));
    EXPECT_LT(delivered, static_cast<size_t>(10 * kRate * 4));
    EXPECT_TRUE(std::regex_match(err, std::regex("\nERROR ffmpeg_old [0-9]+ [^ ]*damaged.flac: damaged at 00:0[3-5], "
                                                 "skipped what could not be decoded.\n")))
        << err;
  }
  // The stream information and the first frame's sync code, then garbage.
  bytes junk(data.begin(), data.begin() + 8192);
  junk.push_back(0xFF);
  junk.push_back(0xF8);
  for (uint32_t x = 1; junk.size() < data.size();) {
    x = x * 1664525u + 1013904223u;
    junk.push_back(static_cast<uint8_t>(x >> 24));
  }
  write_file(path("junk.flac"), junk);
  opened g(path("junk.flac"));
  ASSERT_EQ(g.result, 0);
  testing::internal::CaptureStderr();
  EXPECT_TRUE(g.read_all(65536).empty());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("junk.flac: nothing could be decoded.\n"), std::string::npos) << err;
}

TEST_F(FfmpegAdapter, UnknownFilesAreRefusedSilently) {
  write_file(path("empty.bin"), {});
  write_file(path("text.txt"), bytes(4000, 'x'));
  run({"-f", "lavfi", "-i", "color=c=red:s=16x16", "-frames:v", "1", "picture.png"});
  for (const char* name : {"empty.bin", "text.txt", "picture.png", "missing.flac"}) {
    SCOPED_TRACE(name);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    opened f(path(name));
    EXPECT_EQ(f.result, -1);
    EXPECT_EQ(f.file.format_context, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
  }
}

// A file is read on its own: a playlist in it (HLS, concat) cannot make
// FFmpeg open other files, or addresses.
TEST_F(FfmpegAdapter, AFileCannotOpenOthers) {
  run(raw_input(numbered(kRate / 10, 2, 16), 2, 16) + std::vector<std::string>{"-c:a", "flac", "a.flac"});
  const std::string hls = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n" + path("a.flac") + "\n#EXT-X-ENDLIST\n";
  const std::string concat = "ffconcat version 1.0\nfile a.flac\n";
  write_file(path("list.m3u8"), bytes(hls.begin(), hls.end()));
  write_file(path("list.ffconcat"), bytes(concat.begin(), concat.end()));
  for (const char* name : {"list.m3u8", "list.ffconcat"}) {
    SCOPED_TRACE(name);
    testing::internal::CaptureStderr();
    opened f(path(name));
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(f.result, -1);
  }
}

// Matroska written to a pipe records no duration.
TEST_F(FfmpegAdapter, UnknownDurationStillPlays) {
  const auto source = numbered(kRate, 2, 16);
  run(raw_input(source, 2, 16) + std::vector<std::string>{"-c:a", "flac", "-f", "matroska", "pipe:1"}, "piped.mka");
  opened f(path("piped.mka"));
  ASSERT_EQ(f.result, 0);
  EXPECT_EQ(f.file.total_bytes, 0);
  EXPECT_GT(f.file.remaining_bytes, 0);
  EXPECT_EQ(f.read_all(3072), pack(source, 2));
}

// Open, read and close many files, some only partly read: each file starts
// afresh and everything is released (leaks show under ASan).
TEST_F(FfmpegAdapter, ManyFilesOpenReadClose) {
  const auto source = numbered(kRate / 10, 2, 16);
  const auto input = raw_input(source, 2, 16);
  const std::vector<std::string> names = {"a.flac", "a.m4a", "a.aiff", "a.mp3", "a.ogg"};
  const std::vector<std::string> codecs = {"flac", "aac", "pcm_s16be", "libmp3lame", "libvorbis"};
  for (size_t i = 0; i < names.size(); ++i) run(input + std::vector<std::string>{"-c:a", codecs[i], names[i]});
  const bytes expected = pack(source, 2);
  for (int i = 0; i < 200; ++i) {
    opened f(path(names[static_cast<size_t>(i) % names.size()]));
    ASSERT_EQ(f.result, 0);
    if (i % 2 == 0) {
      bytes part(1000);
      ASSERT_GT(ffmpeg_read(&f.file, part.data(), 1000), 0);
    } else if (names[static_cast<size_t>(i) % names.size()] == "a.flac") {
      ASSERT_EQ(f.read_all(3072), expected);
    } else {
      ASSERT_GT(f.read_all(3072).size(), expected.size() / 2);
    }
    ffmpeg_close(&f.file);
    EXPECT_EQ(f.file.format_context, nullptr);
    EXPECT_EQ(f.file.codec_context, nullptr);
    EXPECT_EQ(f.file.packet, nullptr);
    EXPECT_EQ(f.file.frame, nullptr);
    EXPECT_EQ(ffmpeg_read(&f.file, bytes(16).data(), 16), -1);
  }
}

}  // namespace
