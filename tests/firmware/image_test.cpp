#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "firmware/crc.h"
#include "firmware/image.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class TempDir {
 public:
  TempDir() : path_(fs::temp_directory_path() / ("pelkar-img-" + std::to_string(::getpid()))) {
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path Write(const std::string& name, const Bytes& bytes) const {
    std::ofstream(path_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path_ / name;
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

Bytes Random(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b)
    x = static_cast<std::uint8_t>(rng());
  return b;
}

TEST(Scramble, IsItsOwnInverseAndUsesTheFileOffset) {
  const Bytes plain = Random(1000, 1);
  Bytes b = plain;
  Scramble(b);
  EXPECT_EQ(b[0], plain[0]);
  EXPECT_EQ(b[1], plain[1] ^ 71);
  EXPECT_EQ(b[4], plain[4] ^ static_cast<std::uint8_t>(284 % 256));
  Bytes tail(b.begin() + 500, b.end());
  Scramble(tail, 500);
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), plain.begin() + 500));
  Scramble(b);
  EXPECT_EQ(b, plain);
}

TEST(ImageCrc, SumsDescrambledBlocksIgnoringOnlyTheFirstEightBytes) {
  Bytes plain = Random(512, 2);
  Bytes stored = plain;
  Scramble(stored);
  const Bytes before = stored;
  Bytes zeroed = plain;
  std::fill_n(zeroed.begin(), 8, 0);
  EXPECT_EQ(ImageCrc(stored), Crc16A(std::span(zeroed).first(256), 256) +
                                  Crc16A(std::span(zeroed).subspan(256), 256));
  EXPECT_EQ(stored, before) << "the stored bytes must not change";

  Bytes other = stored;
  for (std::size_t i = 0; i < 8; ++i)
    other[i] ^= 0xA5;  // block 0, bytes 0-7: ignored
  EXPECT_EQ(ImageCrc(other), ImageCrc(stored));
  other = stored;
  other[256 + 3] ^= 0x01;  // block 1, bytes 0-7: counted
  EXPECT_NE(ImageCrc(other), ImageCrc(stored));
}

TEST(ImageCrc, IsNotReducedTo16Bits) {
  Bytes stored(40960, 0);
  Scramble(stored);  // plain zeros
  EXPECT_EQ(ImageCrc(stored), 160 * 0x41E8);
}

TEST(LoadImageFile, KeepsTheStoredBytesAndTheirChecksum) {
  TempDir dir;
  const Bytes stored = Random(40960, 3);
  const auto image = LoadImageFile(dir.Write("fw.bin", stored));
  EXPECT_EQ(image.bytes, stored);
  EXPECT_EQ(image.crc, ImageCrc(stored));
  EXPECT_GE(image.crc, 0);
  EXPECT_LE(image.crc, 10485600);
  EXPECT_EQ(LoadImageFile(dir.Write("fw.bin", stored)).crc, image.crc);
}

TEST(LoadImageFile, RefusesWhatCannotBeSent) {
  TempDir dir;
  struct Case {
    fs::path path;
    const char* says;
  } cases[] = {
      {dir.path() / "missing.bin", "No such file"},
      {dir.path(), "folder"},
      {dir.Write("empty.bin", {}), "it is empty"},
      {dir.Write("odd.bin", Bytes(300)), "300 bytes long, which is not a whole number"},
      {dir.Write("huge.bin", Bytes(kMaxImageSize + 256)), "larger than 8 MiB"},
  };
  for (const auto& c : cases) {
    try {
      LoadImageFile(c.path);
      ADD_FAILURE() << c.path << " was accepted";
    } catch (const ImageFileError& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
  }
  EXPECT_NO_THROW(LoadImageFile(dir.Write("max.bin", Bytes(kMaxImageSize))));
}

TEST(SelfTestImage, IsThePatternWithItsBlockSum) {
  const auto image = SelfTestImage();
  ASSERT_EQ(image.bytes.size(), 40960u);
  EXPECT_EQ(image.bytes[0], 0);
  EXPECT_EQ(image.bytes[40959], 255);
  EXPECT_EQ(image.bytes[300], 44);
  EXPECT_EQ(image.crc, kSelfTestCrc);
  EXPECT_EQ(SelfTestImage().crc, kSelfTestCrc);  // set, never added to an earlier value
}

}  // namespace
}  // namespace pelkar
