#include "volume_keys.h"

#include <gtest/gtest.h>

namespace {

TEST(VolumeKeys, PlusMinusAndNumberEntry) {
  volume_keys keys;
  EXPECT_EQ(volume_key_request(keys, '+', 0), 1);  // set_volume then refuses it
  EXPECT_EQ(volume_key_request(keys, '-', -3), -4);
  EXPECT_EQ(volume_key_request(keys, '\n', -3), std::nullopt);  // Enter without digits
  EXPECT_EQ(volume_key_request(keys, '1', 0), std::nullopt);
  EXPECT_EQ(volume_key_request(keys, 'x', 0), std::nullopt);  // other keys leave the digits
  EXPECT_EQ(volume_key_request(keys, '2', 0), std::nullopt);
  EXPECT_EQ(volume_key_request(keys, '\n', 0), -12);
  EXPECT_EQ(volume_key_request(keys, '\n', -12), std::nullopt);  // the entry was used up
  for (int i = 0; i < 20; ++i) volume_key_request(keys, '9', 0);
  const auto huge = volume_key_request(keys, '\n', 0);
  ASSERT_TRUE(huge.has_value());
  EXPECT_LT(*huge, -48);  // far out of range, and no overflow on the way
}

}  // namespace
