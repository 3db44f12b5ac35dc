#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "firmware/encoder.h"
#include "firmware/image.h"
#include "hex/intel_hex.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

class Encoder : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("pelkar-enc-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path WriteText(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return dir_ / name;
  }
  static Bytes ReadBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  static Bytes Descrambled(Bytes image) {
    Scramble(image);
    return image;
  }

  fs::path dir_;
};

// Bytes 0x10..0x1F at address 0x0100, and the same at the image's last 16 bytes.
const std::string kHex =
    ":10010000101112131415161718191A1B1C1D1E1F77\r\n"
    ":109FF000101112131415161718191A1B1C1D1E1FE9\r\n"
    ":00000001FF\r\n";

TEST_F(Encoder, BuildsTheScrambledImageWithEveryFourthByteBlank) {
  const Bytes plain = Descrambled(EncodeHex(kHex));
  ASSERT_EQ(plain.size(), kEncodedImageSize);
  for (std::size_t i = 0; i < plain.size(); ++i) {
    const bool in_data = (i >= 0x100 && i < 0x110) || i >= 0x9FF0;
    const std::uint8_t expected =
        i % 4 == 3 || !in_data ? 0xFF : static_cast<std::uint8_t>(0x10 + (i & 0xF));
    ASSERT_EQ(plain[i], expected) << "offset " << i;
  }
}

TEST_F(Encoder, ReadsTheWholeFileAndWritesBesideIt) {
  // The last record has no line end and no end-of-file record follows it.
  const fs::path hex = WriteText("fw.hex", ":0100000042BD\r\n:01000400AA51");
  Bytes image;
  const fs::path out = EncodeHexFile(hex, &image);
  EXPECT_EQ(out, dir_ / "fw.bin");
  EXPECT_EQ(ReadBytes(out), image);
  const Bytes plain = Descrambled(image);
  EXPECT_EQ(plain[0], 0x42);
  EXPECT_EQ(plain[4], 0xAA);
  // What the loader reads back is what was written.
  EXPECT_EQ(LoadImageFile(out).bytes, image);
}

TEST_F(Encoder, ReplacesALongerFileWhole) {
  std::ofstream(dir_ / "fw.bin", std::ios::binary) << std::string(100000, 'x');
  EncodeHexFile(WriteText("fw.hex", kHex));
  EXPECT_EQ(fs::file_size(dir_ / "fw.bin"), kEncodedImageSize);
}

TEST_F(Encoder, RefusesBadInputAndWritesNothing) {
  std::ofstream(dir_ / "bad.bin", std::ios::binary) << "old";
  try {
    EncodeHexFile(WriteText("bad.hex", ":0100000042BD\r\n:0100000042BC\r\n"));
    FAIL();
  } catch (const HexError& e) {
    EXPECT_EQ(e.line(), 2u);
    EXPECT_EQ(e.reason(), "checksum 0xBD expected, 0xBC found");
  }
  EXPECT_EQ(ReadBytes(dir_ / "bad.bin"), (Bytes{'o', 'l', 'd'}));

  // Only data above the image: nothing for the device.
  EXPECT_THROW(EncodeHexFile(WriteText("high.hex", ":020000040001F9\r\n:0100000042BD\r\n")),
               EncodeError);
  EXPECT_THROW(EncodeHexFile(WriteText("empty.hex", "")), EncodeError);
  // Data only where the image keeps 0xFF (offset 3), or only 0xFF: a blank image.
  EXPECT_THROW(EncodeHexFile(WriteText("forced.hex", ":0100030042BA\r\n")), EncodeError);
  EXPECT_THROW(EncodeHexFile(WriteText("ff.hex", ":01000000FF00\r\n")), EncodeError);
  EXPECT_THROW(EncodeHexFile(dir_ / "missing.hex"), FileError);
  EXPECT_THROW(EncodeHexFile(WriteText("same.bin", kHex)), EncodeError);  // would overwrite itself
  EXPECT_FALSE(fs::exists(dir_ / "high.bin"));
  EXPECT_FALSE(fs::exists(dir_ / "empty.bin"));
  EXPECT_FALSE(fs::exists(dir_ / "forced.bin"));
}

TEST(EncodedImagePath, ReplacesOnlyTheExtension) {
  const std::pair<const char*, const char*> cases[] = {
      {"fw.hex", "fw.bin"},         {"FW.HEX", "FW.bin"},
      {"fw.ihx", "fw.bin"},         {"hexfw.hex", "hexfw.bin"},
      {"firmware", "firmware.bin"}, {"/work/a.b/fw.v2.hex", "/work/a.b/fw.v2.bin"},
  };
  for (const auto& [in, out] : cases)
    EXPECT_EQ(EncodedImagePath(in), fs::path(out)) << in;
}

}  // namespace
}  // namespace pelkar
