#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "hex/intel_hex.h"

namespace pelkar {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Hex(const Bytes& image) {
  return IntelHex{}.Bin2Hex(image);
}

Bytes ReadBack(const std::string& text, std::size_t size) {
  IntelHex h;
  h.AddresBegin(0);
  h.AddressEnd(static_cast<std::int32_t>(size));
  return h.Hex2Bin(text);
}

Bytes Seq(std::size_t n, std::uint8_t from = 0) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i)
    b[i] = static_cast<std::uint8_t>(from + i);
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

const std::string kEof = ":00000001FF\r\n";

struct WriteCase {
  const char* name;
  Bytes image;
  std::string expected;
};

// Listed by the case's name, not by its bytes (which hold addresses).
void PrintTo(const WriteCase& c, std::ostream* os) {
  *os << c.name;
}

class HexWriter : public testing::TestWithParam<WriteCase> {};

TEST_P(HexWriter, WritesTheRecords) {
  EXPECT_EQ(Hex(GetParam().image), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexWriter,
    testing::Values(
        WriteCase{"empty", {}, kEof}, WriteCase{"all_ff", Bytes(100, 0xFF), kEof},
        WriteCase{"sixteen_zeros", Bytes(16, 0),
                  ":10000000" + std::string(32, '0') + "F0\r\n" + kEof},
        WriteCase{"seventeen_bytes", Bytes(17, 0x11),
                  ":10000000" + std::string(32, '1') + "E0\r\n:0100100011DE\r\n" + kEof},
        WriteCase{"five_ff_inside_a_record", Cat({Bytes{1}, Bytes(5, 0xFF), Bytes{2}}),
                  ":0700000001FFFFFFFFFF02FB\r\n" + kEof},
        WriteCase{"six_ff_split_records", Cat({Bytes{1}, Bytes(6, 0xFF), Bytes{2}}),
                  ":0100000001FE\r\n:0100070002F6\r\n" + kEof},
        WriteCase{"twelve_then_four_ff", Cat({Bytes(12, 0x22), Bytes(4, 0xFF), Bytes{3}}),
                  ":0C000000" + std::string(24, '2') + "5C\r\n" + ":0100100003EC\r\n" + kEof},
        WriteCase{"five_leading_ff", Cat({Bytes(5, 0xFF), Bytes{7}}),
                  ":06000000FFFFFFFFFF07F8\r\n" + kEof},
        WriteCase{"six_leading_ff", Cat({Bytes(6, 0xFF), Bytes{7}}), ":0100060007F2\r\n" + kEof},
        WriteCase{"data_at_64k", Cat({Bytes(0x10000, 0xFF), Bytes{0xAB}}),
                  ":020000040001F9\r\n:01000000AB54\r\n" + kEof}),
    [](const testing::TestParamInfo<WriteCase>& p) { return std::string(p.param.name); });

TEST(HexWriter, ImageWithoutFfHasFullLinesAndNoExtendedRecords) {
  Bytes image(40960);
  for (std::size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<std::uint8_t>(i % 255);
  const std::string text = Hex(image);
  EXPECT_EQ(text.size(), 2560 * 45 + kEof.size());
  EXPECT_EQ(text.find(":02000004"), std::string::npos);
}

TEST(HexWriter, RoundTripsVariedImages) {
  std::mt19937 rng(42);
  const std::vector<Bytes> images = {
      Seq(1),
      Cat({Bytes(5, 0xFF), Seq(40), Bytes(5, 0xFF), Seq(3), Bytes(6, 0xFF), Seq(20)}),
      Cat({Bytes(6, 0xFF), Seq(33), Bytes(7, 0xFF)}),
      Cat({Bytes(0xFFF0, 0x5A), Bytes(3, 0xFF), Seq(40), Bytes(0x20000, 0xFF), Seq(17)}),
  };
  for (const Bytes& image : images) {
    EXPECT_EQ(ReadBack(Hex(image), image.size()), image);
  }
  // Random data with runs of 0xFF of every short length, across several 64 KiB segments.
  Bytes image(200000);
  for (std::size_t i = 0; i < image.size();) {
    const std::size_t run = rng() % 9;
    const bool gap = rng() % 3 == 0;
    for (std::size_t k = 0; k < run && i < image.size(); ++k, ++i) {
      image[i] = gap ? 0xFF : static_cast<std::uint8_t>(rng());
    }
  }
  EXPECT_EQ(ReadBack(Hex(image), image.size()), image);
}

// The layout rule as a plain walk over the bytes, one at a time: the writer, which finds its
// records a run at a time, must give exactly this text.
std::string WalkByteByByte(const Bytes& image) {
  std::string text;
  char line[64];
  std::size_t s = 0, n = 0, f = 0, u = 0;
  auto record = [&](std::size_t at, unsigned type, const std::uint8_t* data, std::size_t count) {
    unsigned sum = static_cast<unsigned>(count + (at >> 8) + at + type);
    int k = std::snprintf(line, sizeof line, ":%02zX%04zX%02X", count, at & 0xFFFF, type);
    for (std::size_t i = 0; i < count; ++i) {
      sum += data[i];
      k += std::snprintf(line + k, sizeof line - static_cast<std::size_t>(k), "%02X", data[i]);
    }
    std::snprintf(line + k, sizeof line - static_cast<std::size_t>(k), "%02X\r\n", -sum & 0xFF);
    text += line;
  };
  auto upper = [&](std::size_t v) {
    const std::uint8_t value[] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    record(0, 4, value, 2);
    u = v;
  };
  auto data = [&] {
    if (s >> 16 != u) upper(s >> 16);
    record(s, 0, image.data() + s, n);
  };
  for (std::size_t j = 0; j < image.size(); ++j) {
    if (s >> 16 != u) upper(s >> 16);
    if (image[j] == 0xFF) {
      ++f;
    } else {
      if (f >= 6) {
        if (n > 0) data();
        s = j, n = 0, f = 0;
      }
      n += 1 + f, f = 0;
    }
    if (j + 1 == image.size() || (n > 0 && n + f >= 16)) {
      if (n > 0) data();
      s = j + 1, n = 0, f = 0;
    }
  }
  return text + kEof;
}

TEST(HexWriter, WritesWhatTheByteByByteWalkWrites) {
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    // Runs of data and of 0xFF of every length around 6 and 16, some images across 64 KiB
    // segments and with long gaps there.
    Bytes image(round % 10 == 0 ? 0x20000 + rng() % 64 : rng() % 700, 0xFF);
    for (std::size_t i = rng() % 40; i < image.size();) {
      const std::size_t data = rng() % 24;
      for (std::size_t k = 0; k < data && i < image.size(); ++k, ++i)
        image[i] = static_cast<std::uint8_t>(rng() % 8 == 0 ? 0xFF : rng());
      i += round % 10 == 0 ? rng() % 0x9000 : rng() % 20;
    }
    ASSERT_EQ(Hex(image), WalkByteByByte(image)) << "round " << round;
  }
}

// objcopy writes type 02 records between 64 KiB and 1 MiB and type 04 above: reading what a
// common tool writes must give the image back.
TEST(HexPeer, ReadsWhatObjcopyWrites) {
  if (std::system("objcopy --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "no objcopy";
  const auto dir =
      std::filesystem::temp_directory_path() / ("pelkar-objcopy-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::mt19937 rng(7);
  for (const std::size_t size : {std::size_t{200000}, std::size_t{1200000}}) {
    Bytes image(size);
    for (auto& b : image)
      b = static_cast<std::uint8_t>(rng());
    const auto bin = dir / "image.bin";
    const auto hex = dir / "image.hex";
    std::ofstream(bin, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(size));
    const std::string cmd =
        "objcopy -I binary -O ihex " + bin.string() + " " + hex.string() + " 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::ifstream in(hex, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (size < 0x100000) {
      EXPECT_NE(text.find(":02000002"), std::string::npos) << "objcopy wrote no type 02 record";
    }
    EXPECT_EQ(ReadBack(text, size), image) << size;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace pelkar
