#include "readwrite.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

struct file_closer {
  void operator()(FILE* fp) const { fclose(fp); }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// A read-only stream over bytes (which must outlive it).
file_ptr memory_stream(std::vector<uint8_t>& bytes) { return file_ptr(fmemopen(bytes.data(), bytes.size(), "rb")); }

TEST(FieldReaders, DecodeEachByteOrderRegardlessOfHost) {
  std::vector<uint8_t> bytes = {0x01, 0x02,                                       // be16
                                0x01, 0x00, 0x00, 0x00,                           // le32
                                0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02,   // be64
                                0x01, 0x02, 0x03, 0x04,                           // be32
                                0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};  // le64
  file_ptr fp = memory_stream(bytes);
  uint16_t be16 = 0;
  uint32_t le32 = 0, be32 = 0;
  uint64_t be64 = 0, le64 = 0;
  ASSERT_TRUE(read_be16(fp.get(), &be16));
  ASSERT_TRUE(read_le32(fp.get(), &le32));
  ASSERT_TRUE(read_be64(fp.get(), &be64));
  ASSERT_TRUE(read_be32(fp.get(), &be32));
  ASSERT_TRUE(read_le64(fp.get(), &le64));
  EXPECT_EQ(be16, 258);
  EXPECT_EQ(le32, 1u);
  EXPECT_EQ(be64, (uint64_t{1} << 32) + 2);
  EXPECT_EQ(be32, 0x01020304u);
  EXPECT_EQ(le64, 0x8807060504030201u);  // the top bit survives
}

TEST(FieldReaders, ShortReadFailsOnceAndKeepsTheDestination) {
  std::vector<uint8_t> bytes = {0xAA, 0xBB, 0xCC};
  struct reader_case {
    const char* name;
    bool (*read)(FILE*);
  };
  // Every case asks for more than the three bytes there are.
  static uint64_t sentinel64;
  static uint32_t sentinel32;
  static uint16_t sentinel16;
  const reader_case cases[] = {
      {"read_le32", [](FILE* fp) { return read_le32(fp, &sentinel32); }},
      {"read_be32", [](FILE* fp) { return read_be32(fp, &sentinel32); }},
      {"read_le64", [](FILE* fp) { return read_le64(fp, &sentinel64); }},
      {"read_be64", [](FILE* fp) { return read_be64(fp, &sentinel64); }},
  };
  for (const reader_case& c : cases) {
    SCOPED_TRACE(c.name);
    sentinel64 = 0x1234;
    sentinel32 = 0x5678;
    file_ptr fp = memory_stream(bytes);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(c.read(fp.get()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "fread() failed.\n");
    EXPECT_EQ(sentinel64, 0x1234u);
    EXPECT_EQ(sentinel32, 0x5678u);
  }

  // read_be16 fails only once the stream has fewer than two bytes left.
  file_ptr fp = memory_stream(bytes);
  sentinel16 = 7;
  ASSERT_TRUE(read_be16(fp.get(), &sentinel16));
  EXPECT_EQ(sentinel16, 0xAABB);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(read_be16(fp.get(), &sentinel16));
  EXPECT_FALSE(read_be16(fp.get(), &sentinel16));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "fread() failed.\nfread() failed.\n");
  EXPECT_EQ(sentinel16, 0xAABB);
}

TEST(ExpectTag, MatchesExactBytesAndAdvances) {
  std::vector<uint8_t> bytes = {'W', 'A', 'V', 'E', 'd', 's', '6', '4', 'x'};
  file_ptr fp = memory_stream(bytes);
  EXPECT_TRUE(expect_tag(fp.get(), "WAVEds64", 8));
  EXPECT_EQ(fgetc(fp.get()), 'x');
}

TEST(ExpectTag, FailsWhenOnlyThePrefixMatches) {
  std::vector<uint8_t> bytes = {'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 'x'};
  file_ptr fp = memory_stream(bytes);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(expect_tag(fp.get(), "WAVEds64", 8));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // a mismatch is not an error
  EXPECT_EQ(fgetc(fp.get()), 'x');                        // the 8 bytes are consumed
}

TEST(ExpectTag, ComparesPastZeroBytes) {
  std::vector<uint8_t> bytes = {'a', 0, 'c', 'd'};
  file_ptr fp = memory_stream(bytes);
  EXPECT_FALSE(expect_tag(fp.get(), "a\0cX", 4));
  rewind(fp.get());
  EXPECT_TRUE(expect_tag(fp.get(), "a\0cd", 4));
}

TEST(ExpectTag, ShortReadReportsTheCountAndDoesNotExit) {
  std::vector<uint8_t> bytes = {'W', 'A', 'V'};
  file_ptr fp = memory_stream(bytes);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(expect_tag(fp.get(), "WAVE", 4));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(std::regex_match(err, std::regex("\nERROR readwrite [0-9]+ read\\(\\) 4 bytes failed\\.\n"))) << err;
  EXPECT_EQ(fgetc(fp.get()), EOF);
}

TEST(ExpectTag, LongTagsCompareWhole) {
  std::string tag(40, 'k');
  std::vector<uint8_t> bytes(tag.begin(), tag.end());
  file_ptr fp = memory_stream(bytes);
  EXPECT_TRUE(expect_tag(fp.get(), tag.c_str(), 40));
  bytes.back() = 'j';
  fp = memory_stream(bytes);
  EXPECT_FALSE(expect_tag(fp.get(), tag.c_str(), 40));
}

}  // namespace
