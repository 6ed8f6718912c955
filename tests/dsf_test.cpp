#include "dsf.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "dsd_writer.h"

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint32_t kDsd64 = 2822400;

struct dsd_reader {
  open_function open;
  read_function read;
};
constexpr dsd_reader kDff{dff_open, dff_read};
constexpr dsd_reader kWsd{wsd_open, wsd_read};
constexpr dsd_reader kDsf{dsf_open, dsf_read};

// A reader's end-of-file handling must never spin: a read that does not
// return within this many seconds kills the test process.
constexpr unsigned kReadAlarmSeconds = 10;

// A DSD file held in memory, opened read-only through stdio.
class memory_dsd {
 public:
  memory_dsd(dsd_reader reader, bytes data) : reader_(reader), bytes_(std::move(data)) {
    file_.fp.reset(fmemopen(bytes_.data(), bytes_.size(), "rb"));
  }
  memory_dsd(const memory_dsd&) = delete;
  memory_dsd& operator=(const memory_dsd&) = delete;

  music_file& file() { return file_; }
  // Opens with standard error captured (short header reads print a line).
  int open() {
    testing::internal::CaptureStderr();
    const int result = reader_.open(&file_);
    stderr_text_ = testing::internal::GetCapturedStderr();
    return result;
  }
  const std::string& open_messages() const { return stderr_text_; }

  int read(bytes& dest, int max) {
    dest.assign(static_cast<size_t>(std::max(max, 0)) + 16, 0xEE);
    alarm(kReadAlarmSeconds);
    const int n = reader_.read(&file_, dest.data(), max);
    alarm(0);
    if (n >= 0) {
      // Nothing is written past what is returned.
      for (size_t i = static_cast<size_t>(n); i < dest.size(); ++i) EXPECT_EQ(dest[i], 0xEE) << "byte " << i;
    }
    return n;
  }
  // Reads until -1 in calls of max bytes (at most max_calls of them); every
  // call but the last must deliver whole 8-byte groups.
  bytes read_all(int max, int max_calls = 1 << 16) {
    bytes all, chunk;
    int calls = 0;
    bool short_group = false;
    for (int n; (n = read(chunk, max)) != -1;) {
      EXPECT_GT(n, 0);
      EXPECT_LE(n, max);
      EXPECT_FALSE(short_group) << "a short group before the end";
      short_group = n % 8 != 0;
      all.insert(all.end(), chunk.begin(), chunk.begin() + n);
      if (++calls == max_calls) {
        ADD_FAILURE() << "no end after " << calls << " reads";
        break;
      }
    }
    EXPECT_EQ(read(chunk, max), -1) << "the end is reported again";
    return all;
  }

 private:
  dsd_reader reader_;
  bytes bytes_;
  music_file file_{};
  std::string stderr_text_;
};

int open_bytes(dsd_reader reader, bytes data) {
  memory_dsd file(reader, std::move(data));
  return file.open();
}

// What a reader should deliver: bytes `left` and `right` of every frame.
bytes picked_pairs(const channel_bytes& channels, size_t left, size_t right) {
  bytes out;
  for (size_t i = 0; i < channels[0].size(); ++i) {
    out.push_back(channels[left][i]);
    out.push_back(channels[right][i]);
  }
  return out;
}

// ---- DSDIFF -----------------------------------------------------------------

TEST(DffOpen, StereoFileIsDeliveredUnchanged) {
  const channel_bytes channels = numbered_channels(2, 4096);
  const bytes frames = interleave_channels(channels);
  const bytes file = dff_bytes(dff_spec{}, frames);
  memory_dsd dff(kDff, file);
  ASSERT_EQ(dff.open(), 0);
  const music_file& f = dff.file();
  EXPECT_EQ(ftello(f.fp.get()), static_cast<off_t>(file.size() - frames.size()));  // at the first sound byte
  EXPECT_EQ(f.file_channels, 2);
  EXPECT_EQ(f.channel_map[0], 0);
  EXPECT_EQ(f.channel_map[1], 1);
  EXPECT_EQ(f.format.sample_rate, kDsd64);
  EXPECT_EQ(f.total_bytes, 4096 * 8);  // bits per channel
  EXPECT_EQ(f.remaining_bytes, 4096 * 8);
  EXPECT_EQ(dff.read_all(3000), frames);
  EXPECT_EQ(dff.file().remaining_bytes, 4096 * 8) << "the byte counts belong to the player";
}

TEST(DffOpen, FiveChannelFileDeliversItsFrontPair) {
  const channel_bytes channels = numbered_channels(5, 1000);
  dff_spec spec;
  spec.channel_ids = {"C   ", "SLFT", "SRGT", "LS  ", "RS  "};
  memory_dsd dff(kDff, dff_bytes(spec, interleave_channels(channels)));
  ASSERT_EQ(dff.open(), 0);
  EXPECT_EQ(dff.file().file_channels, 5);
  EXPECT_EQ(dff.file().total_bytes, 1000 * 8);
  EXPECT_EQ(dff.read_all(4096), picked_pairs(channels, 1, 2));
}

TEST(DffOpen, ChannelIdsChooseTheSides) {
  const channel_bytes channels = numbered_channels(6, 64);
  struct layout {
    std::vector<std::string> ids;
    size_t left, right;
  };
  const std::vector<layout> layouts = {
      {{"MLFT", "MRGT"}, 0, 1},
      {{"SRGT", "SLFT"}, 1, 0},
      {{"LFE ", "C   ", "MRGT", "LS  ", "RS  ", "MLFT"}, 5, 2},
      {{"SLFT", "SRGT", "SLFT"}, 2, 1},  // a side named twice: the later position
  };
  for (const layout& l : layouts) {
    dff_spec spec;
    spec.channel_ids = l.ids;
    const channel_bytes used(channels.begin(), channels.begin() + static_cast<ptrdiff_t>(l.ids.size()));
    memory_dsd dff(kDff, dff_bytes(spec, interleave_channels(used)));
    ASSERT_EQ(dff.open(), 0) << l.ids.size() << " channels";
    EXPECT_EQ(dff.read_all(512), picked_pairs(used, l.left, l.right)) << l.ids.size() << " channels";
  }
}

TEST(DffOpen, CompressedDsdIsRefused) {
  const bytes frames = interleave_channels(numbered_channels(2, 64));
  dff_spec dst;
  dst.compression = "DST ";
  dst.compression_name = "DST Encoded";
  dst.sound_id = "DST ";
  EXPECT_EQ(open_bytes(kDff, dff_bytes(dst, frames)), kFileRefused);
  dst.sound_id = "DSTI";
  EXPECT_EQ(open_bytes(kDff, dff_bytes(dst, frames)), kFileRefused);
  // Said to be DST but stored in a "DSD " chunk: would play as noise.
  dst.sound_id = "DSD ";
  EXPECT_EQ(open_bytes(kDff, dff_bytes(dst, frames)), kFileRefused);
  dff_spec unknown;
  unknown.compression = "ZIP ";
  EXPECT_EQ(open_bytes(kDff, dff_bytes(unknown, frames)), kFileRefused);
}

TEST(DffOpen, OddSizedUnknownChunksAreSkippedWithTheirPad) {
  const channel_bytes channels = numbered_channels(2, 256);
  dff_spec spec;
  spec.before_prop = {{"COMT", bytes(7, 0xA1)}};
  spec.in_prop = {{"ODD ", bytes(3, 0xA2)}, {"EMPT"}};
  spec.after_prop = {{"DIIN", bytes(1, 0xA3)}};
  memory_dsd dff(kDff, dff_bytes(spec, interleave_channels(channels)));
  ASSERT_EQ(dff.open(), 0);
  EXPECT_EQ(dff.read_all(1024), picked_pairs(channels, 0, 1));
}

TEST(DffOpen, WalkGoesOnFromTheCompressionChunksRecordedEnd) {
  // The count byte claims a 200-byte name; the chunk holds 3 bytes of it.
  const channel_bytes channels = numbered_channels(2, 64);
  dff_spec spec;
  spec.compression.reset();
  spec.in_prop = {{"CMPR", {'D', 'S', 'D', ' ', 200, 'a', 'b', 'c'}}};
  memory_dsd dff(kDff, dff_bytes(spec, interleave_channels(channels)));
  ASSERT_EQ(dff.open(), 0);
  EXPECT_EQ(dff.read_all(1024), picked_pairs(channels, 0, 1));
}

TEST(DffRead, StopsAtTheEndOfTheSoundChunk) {
  // Tags after the sound data are not sound; the last group is short.
  const channel_bytes channels = numbered_channels(2, 5);
  dff_spec spec;
  spec.after_sound = {{"ID3 ", bytes(301, 0xFF)}, {"COMT", bytes(20, 0x00)}};
  memory_dsd dff(kDff, dff_bytes(spec, interleave_channels(channels)));
  ASSERT_EQ(dff.open(), 0);
  const bytes all = dff.read_all(4096);
  EXPECT_EQ(all, picked_pairs(channels, 0, 1));
  EXPECT_EQ(all.size(), 10u);
}

TEST(DffRead, PartialFrameAtTheEndOfTheSoundDataIsDropped) {
  const channel_bytes channels = numbered_channels(5, 8);
  bytes frames = interleave_channels(channels);
  frames.insert(frames.end(), {0x11, 0x22, 0x33});  // 3 of a 5-byte frame
  dff_spec spec;
  spec.channel_ids = {"C   ", "SLFT", "SRGT", "LS  ", "RS  "};
  spec.after_sound = {{"ID3 ", bytes(64, 0xFF)}};
  memory_dsd dff(kDff, dff_bytes(spec, frames));
  ASSERT_EQ(dff.open(), 0);
  EXPECT_EQ(dff.read_all(64), picked_pairs(channels, 1, 2));
}

TEST(DffRead, TruncatedFileEndsWithTheFramesItHas) {
  const channel_bytes channels = numbered_channels(2, 1001);
  bytes file = dff_bytes(dff_spec{}, interleave_channels(channels));
  file.resize(file.size() - 1000);  // 500 frames lost
  memory_dsd dff(kDff, file);
  ASSERT_EQ(dff.open(), 0);
  const bytes all = dff.read_all(256);
  const channel_bytes kept = {bytes(channels[0].begin(), channels[0].begin() + 501),
                              bytes(channels[1].begin(), channels[1].begin() + 501)};
  EXPECT_EQ(all, picked_pairs(kept, 0, 1));
}

TEST(DffRead, RequestsAreRoundedDownToWholeGroups) {
  memory_dsd dff(kDff, dff_bytes(dff_spec{}, interleave_channels(numbered_channels(2, 64))));
  ASSERT_EQ(dff.open(), 0);
  bytes dest;
  EXPECT_EQ(dff.read(dest, 13), 8);
  EXPECT_EQ(dff.read(dest, 5), 0);
  EXPECT_EQ(dff.read(dest, 0), 0);
  EXPECT_EQ(dff.read(dest, -8), 0);
  EXPECT_EQ(dff.read(dest, 120), 120);
  EXPECT_EQ(dff.read(dest, 8), -1);
}

TEST(DffOpen, ChunkThatOvershootsItsParentIsRefused) {
  const bytes frames = interleave_channels(numbered_channels(2, 64));
  dff_spec top;
  top.before_prop = {{"COMT", bytes(8, 0), 1u << 20}};
  EXPECT_EQ(open_bytes(kDff, dff_bytes(top, frames)), kFileRefused);
  // A size that an unsigned count would wrap round to a small step.
  top.before_prop = {{"COMT", bytes(8, 0), 0xFFFFFFFFFFFFFFF0u}};
  EXPECT_EQ(open_bytes(kDff, dff_bytes(top, frames)), kFileRefused);

  dff_spec sub;
  sub.in_prop = {{"ODD ", bytes(3, 0), 4096}};
  EXPECT_EQ(open_bytes(kDff, dff_bytes(sub, frames)), kFileRefused);

  dff_spec prop;
  prop.prop_size = 1u << 20;
  EXPECT_EQ(open_bytes(kDff, dff_bytes(prop, frames)), kFileRefused);

  dff_spec sound;
  sound.sound_size = frames.size() + 1000;
  EXPECT_EQ(open_bytes(kDff, dff_bytes(sound, frames)), kFileRefused);
  // A sound size whose bit count overflows, in a form that claims to hold it.
  sound.sound_size = 0x7000000000000000u;
  sound.form_size = 0x7FFFFFFFFFFFFFF0u;
  EXPECT_EQ(open_bytes(kDff, dff_bytes(sound, frames)), kFileRefused);

  dff_spec form;
  form.form_size = 100;  // ends inside PROP
  EXPECT_EQ(open_bytes(kDff, dff_bytes(form, frames)), kFileRefused);
}

TEST(DffOpen, PropertiesThatLeaveTheStreamUndescribedAreRefused) {
  const bytes frames = interleave_channels(numbered_channels(2, 64));
  const auto refused = [&](dff_spec spec) { return open_bytes(kDff, dff_bytes(spec, frames)) == kFileRefused; };
  dff_spec s;
  s.fs = false;
  EXPECT_TRUE(refused(s)) << "no FS";
  s = {};
  s.sample_rate = 0;
  EXPECT_TRUE(refused(s)) << "FS 0";
  s = {};
  s.channel_ids.clear();
  EXPECT_TRUE(refused(s)) << "no CHNL";
  s = {};
  s.channel_ids = {"SLFT", "C   "};
  EXPECT_TRUE(refused(s)) << "no right channel";
  s = {};
  s.channel_ids = {"LS  ", "SRGT"};
  EXPECT_TRUE(refused(s)) << "no left channel";
  s = {};
  s.channel_ids = {"SLFT", "SRGT", "XYZ "};
  EXPECT_TRUE(refused(s)) << "unknown channel id";
  s = {};
  s.channel_ids = {"SLFT", "SRGT", "C   ", "LFE ", "LS  ", "RS  ", "C   "};
  EXPECT_TRUE(refused(s)) << "7 channels";
  s = {};
  s.channel_ids = {"SLFT"};
  EXPECT_TRUE(refused(s)) << "1 channel";
  s = {};
  s.channel_count = 3;  // 2 ids written
  EXPECT_TRUE(refused(s)) << "CHNL size does not match its count";
  s = {};
  s.before_prop = {{"FVER", bytes(6, 0)}};
  s.fver = false;
  EXPECT_TRUE(refused(s)) << "FVER of 6 bytes";
  s = {};
  s.in_prop = {{"ABSS", bytes(6, 0)}};
  s.abss = false;
  EXPECT_TRUE(refused(s)) << "ABSS of 6 bytes";
  s = {};
  s.after_prop = {{"PROP", {'S', 'N', 'D', ' '}}};
  s.channel_ids.clear();
  s.fs = false;
  EXPECT_TRUE(refused(s)) << "FS and CHNL only after the sound chunk";
}

// ---- WSD --------------------------------------------------------------------

TEST(WsdOpen, PlainStereoIsDeliveredUnchanged) {
  const channel_bytes channels = numbered_channels(2, 3000);
  const bytes frames = interleave_channels(channels);
  memory_dsd wsd(kWsd, wsd_bytes(wsd_spec{}, frames));
  ASSERT_EQ(wsd.open(), 0);
  EXPECT_EQ(wsd.file().file_channels, 2);
  EXPECT_EQ(wsd.file().format.sample_rate, kDsd64);
  EXPECT_EQ(wsd.file().total_bytes, 3000 * 8);
  EXPECT_EQ(wsd.file().remaining_bytes, 3000 * 8);
  EXPECT_EQ(ftello(wsd.file().fp.get()), 2048);
  EXPECT_EQ(wsd.read_all(1000), frames);
}

TEST(WsdOpen, AssignmentChoosesTheChannels) {
  struct assignment_case {
    uint32_t assignment;
    uint8_t channels;
    size_t left, right;
  };
  const std::vector<assignment_case> cases = {
      {0x28000000 | 0x40000000, 2, 1, 0},  // swapped pair
      {0x28000000, 2, 0, 1},
      {0x28000000 | 0x10000000, 3, 0, 2},
      {0x44000000, 2, 0, 1},
      {0x44000000 | 0x20000000, 3, 0, 2},
      {0x44000000 | 0x20000000 | 0x10000000, 4, 0, 3},
      {0x44000000 | 0x38000000, 6, 0, 4},
      {0x44000000 | 0x08000000, 8, 0, 2},
  };
  for (const assignment_case& c : cases) {
    const channel_bytes channels = numbered_channels(c.channels, 100);
    wsd_spec spec;
    spec.channels = c.channels;
    spec.assignment = c.assignment;
    memory_dsd wsd(kWsd, wsd_bytes(spec, interleave_channels(channels)));
    ASSERT_EQ(wsd.open(), 0) << std::hex << c.assignment;
    EXPECT_EQ(wsd.read_all(96), picked_pairs(channels, c.left, c.right)) << std::hex << c.assignment;
  }
}

TEST(WsdOpen, HeadersThatDescribeNoPlayableFrameAreRefused) {
  const bytes frames = interleave_channels(numbered_channels(2, 64));
  const auto refused = [&](wsd_spec spec) { return open_bytes(kWsd, wsd_bytes(spec, frames)) == kFileRefused; };
  wsd_spec s;
  s.channels = 9;
  EXPECT_TRUE(refused(s)) << "9 channels";
  s = {};
  s.channels = 0;
  EXPECT_TRUE(refused(s)) << "0 channels";
  s = {};
  s.channels = 1;
  EXPECT_TRUE(refused(s)) << "right channel outside a mono frame";
  s = {};
  s.channels = 3;
  s.assignment = 0x7C000000;  // right at position 4
  EXPECT_TRUE(refused(s)) << "right channel beyond the frame";
  s = {};
  s.assignment = 0x00000100;
  EXPECT_TRUE(refused(s)) << "code 0 with more bytes set";
  s = {};
  s.assignment = 0x80000000;
  EXPECT_TRUE(refused(s)) << "unknown layout code";
  s = {};
  s.sample_rate = 0;
  EXPECT_TRUE(refused(s)) << "sampling frequency 0";
  s = {};
  s.file_size = 1000;  // before the data offset
  EXPECT_TRUE(refused(s)) << "file size below the data offset";
  s = {};
  s.file_size = 0xFFFFFFFFFFFFFFFFu;
  EXPECT_TRUE(refused(s)) << "bit count overflows";
  EXPECT_EQ(open_bytes(kWsd, bytes{'1', 'b', 'i', 't', 0, 0}), kFileRefused) << "short header";
}

TEST(WsdRead, EndsAtTheRecordedFileSize) {
  const channel_bytes channels = numbered_channels(2, 3);
  wsd_spec spec;
  spec.trailing = bytes(100, 0xFF);
  memory_dsd wsd(kWsd, wsd_bytes(spec, interleave_channels(channels)));
  ASSERT_EQ(wsd.open(), 0);
  const bytes all = wsd.read_all(64);
  EXPECT_EQ(all, picked_pairs(channels, 0, 1));
  EXPECT_EQ(all.size(), 6u);
}

// ---- DSF --------------------------------------------------------------------

// The interleaved, bit-reversed pairs a DSF reader delivers from channels
// 0 and 1.
bytes dsf_delivery(const channel_bytes& channels) { return picked_pairs(bits_reversed(channels), 0, 1); }

TEST(DsfTest, FiveThousandSamplesEndWithoutAHang) {
  const channel_bytes channels = numbered_channels(2, 625);
  dsf_spec spec;
  spec.sample_count = 5000;
  for (const int request : {8, 16, 4096, 100000}) {
    memory_dsd dsf(kDsf, dsf_bytes(spec, channels));
    ASSERT_EQ(dsf.open(), 0);
    EXPECT_EQ(dsf.file().file_channels, 2);
    EXPECT_EQ(dsf.file().dsf_block_size, 4096);
    EXPECT_EQ(dsf.file().dsf.bytes_per_channel, 625u);
    EXPECT_EQ(dsf.file().total_bytes, 5000);
    EXPECT_EQ(dsf.file().remaining_bytes, 5000);
    EXPECT_EQ(dsf.file().format.sample_rate, kDsd64);
    const bytes all = dsf.read_all(request, 1000);
    ASSERT_EQ(all.size(), 1250u) << "request " << request;
    EXPECT_EQ(all, dsf_delivery(channels)) << "request " << request;
  }
}

TEST(DsfTest, SamplesAcrossSeveralBlocksAndAPartialByte) {
  // 4001 samples: 501 bytes per channel, the last one holding one sample.
  const channel_bytes channels = numbered_channels(2, 9000);
  dsf_spec spec;
  memory_dsd whole(kDsf, dsf_bytes(spec, channels));
  ASSERT_EQ(whole.open(), 0);
  EXPECT_EQ(whole.read_all(3000), dsf_delivery(channels));

  const channel_bytes short_channels = numbered_channels(2, 501);
  spec.sample_count = 4001;
  memory_dsd partial(kDsf, dsf_bytes(spec, short_channels));
  ASSERT_EQ(partial.open(), 0);
  EXPECT_EQ(partial.file().total_bytes, 501 * 8);
  EXPECT_EQ(partial.read_all(64), dsf_delivery(short_channels));
}

TEST(DsfTest, OtherBlockSizeIsReportedAndPlays) {
  const channel_bytes channels = numbered_channels(2, 5000);
  dsf_spec spec;
  spec.block_size = 2048;
  memory_dsd dsf(kDsf, dsf_bytes(spec, channels));
  ASSERT_EQ(dsf.open(), 0);
  EXPECT_EQ(dsf.open_messages().rfind("\nERROR dsf ", 0), 0u) << dsf.open_messages();
  EXPECT_NE(dsf.open_messages().find(" DSF block size if 2048\n"), std::string::npos) << dsf.open_messages();
  EXPECT_EQ(dsf.file().dsf_block_size, 2048);
  EXPECT_EQ(dsf.file().dsf.block_size_bits, 2048u * 8);
  EXPECT_EQ(dsf.read_all(1000), dsf_delivery(channels));
}

TEST(DsfTest, ExtraChannelsAreSkipped) {
  const channel_bytes channels = numbered_channels(5, 9000);  // three blocks per channel
  memory_dsd dsf(kDsf, dsf_bytes(dsf_spec{}, channels));
  ASSERT_EQ(dsf.open(), 0);
  EXPECT_EQ(dsf.file().file_channels, 5);
  EXPECT_EQ(dsf.read_all(4096), dsf_delivery(channels));
}

TEST(DsfTest, UnplayableHeadersAreRefused) {
  const channel_bytes channels = numbered_channels(2, 100);
  const auto refused = [&](dsf_spec spec) { return open_bytes(kDsf, dsf_bytes(spec, channels)) == kFileRefused; };
  dsf_spec s;
  s.bits_per_sample = 8;
  EXPECT_TRUE(refused(s)) << "8 bits per sample";
  s = {};
  s.format_id = 1;
  EXPECT_TRUE(refused(s)) << "compressed";
  s = {};
  s.channel_number = 1;
  EXPECT_TRUE(refused(s)) << "mono";
  s = {};
  s.sample_rate = 0;
  EXPECT_TRUE(refused(s)) << "sampling frequency 0";
  s = {};
  s.declared_block_size = 0;
  EXPECT_TRUE(refused(s)) << "block size 0";
  s = {};
  s.declared_block_size = 0x80000000u;
  EXPECT_TRUE(refused(s)) << "block size whose pair overflows";
  s = {};
  s.declared_block_size = 0x01000001u;
  EXPECT_TRUE(refused(s)) << "block size beyond any encoder's";
  s = {};
  s.sample_count = 0xFFFFFFFFFFFFFFFFu;
  EXPECT_TRUE(refused(s)) << "bit count overflows";
}

TEST(DsfTest, TruncatedDataEndsWithIdlePadding) {
  const channel_bytes channels = numbered_channels(2, 8000);
  bytes file = dsf_bytes(dsf_spec{}, channels);
  file.resize(file.size() - 100);  // the second block pair is cut short
  memory_dsd dsf(kDsf, file);
  ASSERT_EQ(dsf.open(), 0);
  const channel_bytes first_block = {bytes(channels[0].begin(), channels[0].begin() + 4096),
                                     bytes(channels[1].begin(), channels[1].begin() + 4096)};
  EXPECT_EQ(dsf.read_all(3000), dsf_delivery(first_block));
}

TEST(DsfTest, RequestsAreRoundedDownToWholeGroups) {
  memory_dsd dsf(kDsf, dsf_bytes(dsf_spec{}, numbered_channels(2, 64)));
  ASSERT_EQ(dsf.open(), 0);
  bytes dest;
  EXPECT_EQ(dsf.read(dest, 13), 8);
  EXPECT_EQ(dsf.read(dest, 5), 0);
  EXPECT_EQ(dsf.read(dest, 1000), 120);
  EXPECT_EQ(dsf.read(dest, 8), -1);
}

TEST(DsfTest, EachFileStartsAtItsFirstBlock) {
  // An abandoned file leaves a half-used block behind.
  const channel_bytes first = numbered_channels(2, 6000);
  const channel_bytes second = numbered_channels(3, 3000);
  {
    memory_dsd dsf(kDsf, dsf_bytes(dsf_spec{}, first));
    ASSERT_EQ(dsf.open(), 0);
    bytes dest;
    EXPECT_EQ(dsf.read(dest, 1000), 1000);
  }
  dsf_spec small;
  small.block_size = 1024;
  {
    memory_dsd dsf(kDsf, dsf_bytes(small, second));
    ASSERT_EQ(dsf.open(), 0);
    EXPECT_EQ(dsf.read_all(4096), dsf_delivery(second));
  }
  memory_dsd again(kDsf, dsf_bytes(dsf_spec{}, first));
  ASSERT_EQ(again.open(), 0);
  EXPECT_EQ(again.read_all(4096), dsf_delivery(first));
}

TEST(DsfTest, OpenFilesReadInTurnEachDeliverTheirOwnBytes) {
  // Different block sizes and channel counts, and reads that stop inside
  // blocks; a file at its start after another file has been read, too.
  const channel_bytes first = numbered_channels(2, 6000);
  const channel_bytes second = numbered_channels(3, 5000);
  dsf_spec small;
  small.block_size = 1024;
  memory_dsd a(kDsf, dsf_bytes(dsf_spec{}, first));
  memory_dsd b(kDsf, dsf_bytes(small, second));
  ASSERT_EQ(a.open(), 0);
  ASSERT_EQ(b.open(), 0);
  bytes from_a, from_b, dest;
  const auto take = [&](memory_dsd& dsf, bytes& into, int max) {
    const int n = dsf.read(dest, max);
    if (n > 0) into.insert(into.end(), dest.begin(), dest.begin() + n);
    return n;
  };
  ASSERT_EQ(take(b, from_b, 600), 600);
  ASSERT_EQ(take(a, from_a, 1000), 1000);
  for (bool more = true; more;) {
    const bool a_more = take(a, from_a, 728) != -1;
    const bool b_more = take(b, from_b, 1304) != -1;
    more = a_more || b_more;
  }
  EXPECT_EQ(from_a, dsf_delivery(first));
  EXPECT_EQ(from_b, dsf_delivery(second));
}

// ---- all readers --------------------------------------------------------------

TEST(DsdOpen, EachReaderRefusesTheOthersFiles) {
  const channel_bytes channels = numbered_channels(2, 64);
  const bytes dff = dff_bytes(dff_spec{}, interleave_channels(channels));
  const bytes wsd = wsd_bytes(wsd_spec{}, interleave_channels(channels));
  const bytes dsf = dsf_bytes(dsf_spec{}, channels);
  EXPECT_EQ(open_bytes(kDff, wsd), -1);
  EXPECT_EQ(open_bytes(kDff, dsf), -1);
  EXPECT_EQ(open_bytes(kWsd, dff), -1);
  EXPECT_EQ(open_bytes(kWsd, dsf), -1);
  EXPECT_EQ(open_bytes(kDsf, dff), -1);
  EXPECT_EQ(open_bytes(kDsf, wsd), -1);
  EXPECT_EQ(open_bytes(kDff, bytes{}), -1);
}

TEST(DsdOpen, ReadersAfterAnUnopenedRecordReportTheEnd) {
  music_file none{};
  bytes dest(64);
  EXPECT_EQ(dff_read(&none, dest.data(), 64), -1);
  EXPECT_EQ(wsd_read(&none, dest.data(), 64), -1);
  EXPECT_EQ(dsf_read(&none, dest.data(), 64), -1);
}

TEST(DsdOpen, FilesWrittenToAPathOpenThroughStdio) {
  const channel_bytes channels = numbered_channels(2, 512);
  char dir_template[] = "/tmp/dsf_test_XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  ASSERT_TRUE(write_dff(dir + "/a.dff", dff_spec{}, interleave_channels(channels)));
  ASSERT_TRUE(write_wsd(dir + "/a.wsd", wsd_spec{}, interleave_channels(channels)));
  ASSERT_TRUE(write_dsf(dir + "/a.dsf", dsf_spec{}, channels));
  for (const auto& [name, reader] : {std::pair{"/a.dff", kDff}, std::pair{"/a.wsd", kWsd}, std::pair{"/a.dsf", kDsf}}) {
    music_file file{};
    file.fp.reset(fopen((dir + name).c_str(), "rb"));
    ASSERT_NE(file.fp, nullptr);
    ASSERT_EQ(reader.open(&file), 0) << name;
    EXPECT_EQ(file.total_bytes, 512 * 8) << name;
    bytes dest(2048);
    EXPECT_EQ(reader.read(&file, dest.data(), 2048), 1024) << name;
    file.fp.reset();
    unlink((dir + name).c_str());
  }
  rmdir(dir.c_str());
}

TEST(DescribeDsdStream, DescribesTheDeliveredByteStream) {
  memory_dsd dff(kDff, dff_bytes(dff_spec{}, interleave_channels(numbered_channels(2, 8))));
  std::fill_n(dff.file().format.subformat, 16, uint8_t{0xAB});
  ASSERT_EQ(dff.open(), 0);
  dff.file().format.subformat[0] = 0xAB;  // whatever the field held before
  dff.file().format.subformat[3] = 0xAB;
  dff.file().format.subformat[4] = 0xCD;
  describe_dsd_stream(&dff.file());
  const wave_format& f = dff.file().format;
  EXPECT_EQ(f.channels, 2);
  EXPECT_EQ(f.block_align, 2);
  EXPECT_EQ(f.bits_per_sample, 1);
  EXPECT_EQ(f.extra_size, 22);
  EXPECT_EQ(f.channel_mask, 1u);
  EXPECT_EQ(bytes(f.subformat, f.subformat + 4), bytes(4, 0));
  EXPECT_EQ(f.subformat[4], 0xCD) << "only the first word is cleared";
  EXPECT_EQ(f.sample_rate, kDsd64);
  EXPECT_EQ(f.bytes_per_second, kDsd64 / 8 * 2);
  EXPECT_EQ(dff.file().bytes_per_sample, 1);
  EXPECT_EQ(dff.file().total_bytes, 64) << "byte counts are the player's";
}

}  // namespace
