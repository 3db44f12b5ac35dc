#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string_view>

#include "firmware/image.h"

namespace pelkar {
namespace {

std::vector<std::uint8_t> Bytes(std::string_view s) {
  return {s.begin(), s.end()};
}

TEST(Crc16A, CheckValues) {
  std::vector<std::uint8_t> ramp(256);
  std::iota(ramp.begin(), ramp.end(), std::uint8_t{0});
  const std::vector<std::uint8_t> zeros(256, 0);
  EXPECT_EQ(Crc16A(Bytes("123456789"), 9), 0x29B1);
  EXPECT_EQ(Crc16A(Bytes("abc"), 3), 0x514A);
  EXPECT_EQ(Crc16A(zeros, 256), 0x41E8);
  EXPECT_EQ(Crc16A(ramp, 256), 16317);
  EXPECT_EQ(Crc16A(ramp, 0), 0xFFFF);
  EXPECT_EQ(Crc16A(ramp, -5), 0xFFFF);
  EXPECT_EQ(Crc16A(Bytes("123456789xyz"), 9), 0x29B1);  // only Hossz bytes count
  EXPECT_THROW(Crc16A(ramp, 257), std::invalid_argument);
}

TEST(ImageCrc, FirstEightBytesIgnoredOnlyInBlockZeroAndSumNotReduced) {
  std::vector<std::uint8_t> plain(2 * 256, 0);
  std::vector<std::uint8_t> stored = plain;
  Scramble(stored);
  const auto base = ImageCrc(stored);
  EXPECT_EQ(base, 2 * 0x41E8);  // larger than 16 bits: a plain sum
  const auto copy = stored;
  stored[3] ^= 0x55;  // block 0, byte 3: ignored
  EXPECT_EQ(ImageCrc(stored), base);
  EXPECT_EQ(stored[3], copy[3] ^ 0x55);  // stored bytes untouched
  stored[3] = copy[3];
  stored[256 + 3] ^= 0x55;  // block 1, byte 3: counted
  EXPECT_NE(ImageCrc(stored), base);
  stored[256 + 3] = copy[256 + 3];
  stored[8] ^= 1;
  EXPECT_NE(ImageCrc(stored), base);
}

TEST(Scramble, IsItsOwnInverse) {
  auto data = SelfTestPattern();
  Scramble(data);
  EXPECT_EQ(data[1], 1 ^ 71);
  EXPECT_EQ(data[4], 4 ^ ((4 * 71) & 0xFF));
  Scramble(data);
  EXPECT_EQ(data, SelfTestPattern());
}

TEST(SelfTest, ChecksumAndWireBytes) {
  EXPECT_EQ(SelfTestChecksum(), 2610720);
  EXPECT_EQ(SelfTestChecksum(), 2610720);  // set, never accumulated
  const std::array<std::uint8_t, 4> wire{0x20, 0xD6, 0x27, 0x00};
  EXPECT_EQ(ChecksumWireBytes(2610720), wire);
  const std::array<std::uint8_t, 4> neg{0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(ChecksumWireBytes(-1), neg);
}

TEST(LoadImageFile, RefusalsAndSuccess) {
  const auto dir = std::filesystem::temp_directory_path() / "pelkar_fw_load_test";
  std::filesystem::create_directories(dir);
  auto write = [&](const char* name, std::size_t n) {
    const auto p = (dir / name).string();
    std::ofstream(p, std::ios::binary) << std::string(n, '\x5A');
    return p;
  };
  struct Case {
    std::string path;
    std::string_view needle;
  } cases[] = {{(dir / "missing.bin").string(), "Cannot read"},
               {write("empty.bin", 0), "empty"},
               {write("odd.bin", 300), "256-byte blocks"},
               {write("big.bin", kMaxImageSize + 256), "8 MiB"},
               {dir.string(), "Cannot read"}};
  for (const auto& c : cases) {
    const auto r = LoadImageFile(c.path);
    ASSERT_TRUE(std::holds_alternative<std::string>(r)) << c.path;
    EXPECT_NE(std::get<std::string>(r).find(c.needle), std::string::npos)
        << std::get<std::string>(r);
  }
  const auto ok = LoadImageFile(write("ok.bin", 512));
  ASSERT_TRUE(std::holds_alternative<LoadedImage>(ok));
  const auto& img = std::get<LoadedImage>(ok);
  EXPECT_EQ(img.bytes, std::vector<std::uint8_t>(512, 0x5A));
  EXPECT_EQ(img.checksum, ImageCrc(img.bytes));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pelkar
