#include "readwrite.h"

#include <array>
#include <cstring>
#include <span>
#include <vector>

#include "util.h"

namespace {

// Reads exactly bytes.size() bytes with one fread; false (with the message)
// on a short read.
bool read_field(FILE* fp, std::span<uint8_t> bytes) {
  if (fread(bytes.data(), 1, bytes.size(), fp) == bytes.size()) return true;
  fputs("fread() failed.\n", stderr);
  return false;
}

// Builds an unsigned integer from its bytes, the first byte the lowest.
template <typename T, size_t N>
constexpr T from_little_endian(const std::array<uint8_t, N>& bytes) noexcept {
  T value = 0;
  for (size_t i = N; i-- > 0;) value = static_cast<T>(value << 8) | bytes[i];
  return value;
}

// Builds an unsigned integer from its bytes, the first byte the highest.
template <typename T, size_t N>
constexpr T from_big_endian(const std::array<uint8_t, N>& bytes) noexcept {
  T value = 0;
  for (size_t i = 0; i < N; ++i) value = static_cast<T>(value << 8) | bytes[i];
  return value;
}

static_assert(from_little_endian<uint32_t>(std::array<uint8_t, 4>{1, 0, 0, 0}) == 1);
static_assert(from_big_endian<uint16_t>(std::array<uint8_t, 2>{1, 2}) == 258);

template <typename T, bool kBigEndian>
bool read_integer(FILE* fp, T* value) {
  std::array<uint8_t, sizeof(T)> bytes{};
  if (!read_field(fp, bytes)) return false;
  *value = kBigEndian ? from_big_endian<T>(bytes) : from_little_endian<T>(bytes);
  return true;
}

// Tags are four or eight bytes; longer ones take the heap.
constexpr size_t kInlineTagBytes = 16;

}  // namespace

bool read_le32(FILE* fp, uint32_t* value) { return read_integer<uint32_t, false>(fp, value); }
bool read_le64(FILE* fp, uint64_t* value) { return read_integer<uint64_t, false>(fp, value); }
bool read_be16(FILE* fp, uint16_t* value) { return read_integer<uint16_t, true>(fp, value); }
bool read_be32(FILE* fp, uint32_t* value) { return read_integer<uint32_t, true>(fp, value); }
bool read_be64(FILE* fp, uint64_t* value) { return read_integer<uint64_t, true>(fp, value); }

bool expect_tag(FILE* fp, const char* expected, int n) {
  if (n <= 0) return true;
  const auto count = static_cast<size_t>(n);
  std::array<uint8_t, kInlineTagBytes> inline_bytes{};
  std::vector<uint8_t> heap_bytes;
  uint8_t* bytes = inline_bytes.data();
  if (count > inline_bytes.size()) {
    heap_bytes.resize(count);
    bytes = heap_bytes.data();
  }
  if (fread(bytes, 1, count, fp) != count) {
    report_warning("read() %d bytes failed.\n", n);
    return false;
  }
  return memcmp(bytes, expected, count) == 0;
}
