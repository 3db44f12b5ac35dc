#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "firmware/crc.h"

namespace pelkar {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

TEST(Crc16A, CheckValues) {
  std::vector<std::uint8_t> counting(256);
  for (std::size_t i = 0; i < counting.size(); ++i)
    counting[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(Crc16A(Bytes("123456789"), 9), 0x29B1);
  EXPECT_EQ(Crc16A(Bytes("abc"), 3), 0x514A);
  EXPECT_EQ(Crc16A(std::vector<std::uint8_t>(256, 0), 256), 0x41E8);
  EXPECT_EQ(Crc16A(counting, 256), 16317);
}

TEST(Crc16A, LengthRules) {
  const auto digits = Bytes("123456789xyz");
  EXPECT_EQ(Crc16A(digits, 9), 0x29B1);  // only the first Hossz bytes count
  EXPECT_EQ(Crc16A(digits, 0), 0xFFFF);
  EXPECT_EQ(Crc16A(digits, -5), 0xFFFF);
  EXPECT_EQ(Crc16A({}, 0), 0xFFFF);
  EXPECT_THROW(Crc16A(digits, 13), std::invalid_argument);
}

TEST(CrcWireBytes, LeastSignificantFirst) {
  EXPECT_EQ(CrcWireBytes(2610720), (std::array<std::uint8_t, 4>{0x20, 0xD6, 0x27, 0x00}));
  EXPECT_EQ(CrcWireBytes(-2), (std::array<std::uint8_t, 4>{0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST(BlockCrcSum, SumsWholeBlocksWithoutReducing) {
  std::vector<std::uint8_t> zeros(512, 0);
  EXPECT_EQ(BlockCrcSum(zeros, false), 2 * 0x41E8);
  std::vector<std::uint8_t> head(256, 0);
  for (int i = 0; i < 8; ++i)
    head[static_cast<std::size_t>(i)] = 0x5A;
  EXPECT_EQ(BlockCrcSum(head, true), 0x41E8);
  EXPECT_NE(BlockCrcSum(head, false), 0x41E8);
  EXPECT_THROW(BlockCrcSum(std::vector<std::uint8_t>(300), false), std::invalid_argument);
}

}  // namespace
}  // namespace pelkar
