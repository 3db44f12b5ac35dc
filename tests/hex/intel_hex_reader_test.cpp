#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hex/intel_hex.h"

namespace pelkar {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A record line with a correct checksum.
std::string Rec(unsigned address, unsigned type, const Bytes& data) {
  Bytes body{static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(address >> 8),
             static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(type)};
  body.insert(body.end(), data.begin(), data.end());
  unsigned sum = 0;
  for (auto b : body)
    sum += b;
  body.push_back(static_cast<std::uint8_t>(-sum));
  std::string line = ":";
  char buf[3];
  for (auto b : body) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    line += buf;
  }
  return line;
}

const std::string kEof = ":00000001FF";
const std::string kCtrlZ = "\x1A";

// A source that hands out the text a few characters at a time, as a slow file would.
HexSource Trickle(const std::string& text, std::size_t step) {
  return [text, step, at = std::size_t{0}](std::span<char> out) mutable {
    const std::size_t n = std::min({step, out.size(), text.size() - at});
    std::copy_n(text.begin() + static_cast<long>(at), n, out.begin());
    at += n;
    return n;
  };
}

// Piece sizes that split lines, line ends and CR LF pairs at every place.
constexpr std::size_t kSteps[] = {1, 2, 3, 5, 13};

Bytes Read(std::string_view text, std::int32_t begin, std::int32_t end) {
  IntelHex h;
  h.AddresBegin(begin);
  h.AddressEnd(end);
  return h.Hex2Bin(text);
}

// The same text read in pieces of `step` characters.
Bytes ReadPieces(const std::string& text, std::int32_t begin, std::int32_t end, std::size_t step) {
  IntelHex h;
  h.AddresBegin(begin);
  h.AddressEnd(end);
  return h.Hex2Bin(Trickle(text, step));
}

Bytes Filled(std::size_t size, std::initializer_list<std::pair<std::size_t, Bytes>> parts) {
  Bytes b(size, 0xFF);
  for (const auto& [at, data] : parts)
    std::copy(data.begin(), data.end(), b.begin() + static_cast<long>(at));
  return b;
}

struct ReadCase {
  const char* name;
  std::string text;
  std::int32_t begin;
  std::int32_t end;
  Bytes expected;
};

// Listed by the case's name, not by its bytes (which hold addresses).
void PrintTo(const ReadCase& c, std::ostream* os) {
  *os << c.name;
}

class HexReader : public testing::TestWithParam<ReadCase> {};

TEST_P(HexReader, BuildsTheImage) {
  const ReadCase& c = GetParam();
  EXPECT_EQ(Read(c.text, c.begin, c.end), c.expected);
  for (std::size_t step : kSteps)
    EXPECT_EQ(ReadPieces(c.text, c.begin, c.end, step), c.expected) << "pieces of " << step;
}

const Bytes k4{0x01, 0x02, 0x03, 0x04};

INSTANTIATE_TEST_SUITE_P(
    Cases, HexReader,
    testing::Values(
        ReadCase{"crlf", Rec(2, 0, k4) + "\r\n" + kEof + "\r\n", 0, 8, Filled(8, {{2, k4}})},
        ReadCase{"lf_only", Rec(2, 0, k4) + "\n" + kEof + "\n", 0, 8, Filled(8, {{2, k4}})},
        ReadCase{"cr_only", Rec(2, 0, k4) + "\r" + Rec(0, 0, {9}) + "\r" + kEof + "\r", 0, 8,
                 Filled(8, {{0, {9}}, {2, k4}})},
        ReadCase{"mixed_line_ends", Rec(2, 0, k4) + "\r\r\n" + Rec(0, 0, {9}) + "\n\r" + kEof, 0, 8,
                 Filled(8, {{0, {9}}, {2, k4}})},
        ReadCase{"last_line_without_end", Rec(2, 0, k4), 0, 8, Filled(8, {{2, k4}})},
        ReadCase{"blank_lines_and_trailing_blanks",
                 "\r\n\n" + Rec(2, 0, k4) + " \t\r\n\r\n" + kEof + "\t\n\n\n", 0, 8,
                 Filled(8, {{2, k4}})},
        ReadCase{"empty_text", "", 0, 4, Bytes(4, 0xFF)},
        ReadCase{"lower_case_digits", ":0400020001020304f0\n", 0, 8, Filled(8, {{2, k4}})},
        ReadCase{"later_record_overwrites", Rec(0, 0, k4) + "\n" + Rec(1, 0, {0xAA}), 0, 4,
                 Bytes{0x01, 0xAA, 0x03, 0x04}},
        ReadCase{"lines_after_end_of_file_are_read", kEof + "\n" + Rec(0, 0, k4), 0, 4, k4},
        ReadCase{"ctrl_z_after_end_of_file",
                 Rec(2, 0, k4) + "\r\n" + kEof + "\r\n" + kCtrlZ + "\r\n" + kCtrlZ + kCtrlZ, 0, 8,
                 Filled(8, {{2, k4}})},
        ReadCase{"ctrl_z_on_the_end_of_file_line", Rec(2, 0, k4) + "\n" + kEof + kCtrlZ, 0, 8,
                 Filled(8, {{2, k4}})},
        ReadCase{"types_01_03_05_unknown_store_nothing",
                 Rec(0, 1, {}) + "\n" + Rec(0, 3, k4) + "\n" + Rec(0, 5, k4) + "\n" +
                     Rec(0, 6, k4) + "\n" + Rec(0, 0xFF, {1}),
                 0, 4, Bytes(4, 0xFF)},
        ReadCase{"zero_length_data_record", Rec(0, 0, {}) + "\n" + Rec(1, 0, {7}), 0, 2,
                 Bytes{0xFF, 7}},
        ReadCase{"extended_linear_moves_data", Rec(0, 4, {0x00, 0x01}) + "\n" + Rec(0, 0, k4),
                 0x10000, 0x10004, k4},
        ReadCase{"extended_linear_top_value_usable",
                 Rec(0, 4, {0xFF, 0xFF}) + "\n" + Rec(0xFFFC, 0, k4), 0x7FFFFFF0, 0x7FFFFFFF,
                 Bytes(15, 0xFF)},
        ReadCase{"extended_segment_moves_data", Rec(0, 2, {0x10, 0x00}) + "\n" + Rec(0x100, 0, k4),
                 0x10100, 0x10104, k4},
        ReadCase{
            "later_of_segment_and_linear_wins",
            Rec(0, 2, {0x10, 0x00}) + "\n" + Rec(0, 4, {0x00, 0x00}) + "\n" + Rec(0x100, 0, k4), 0,
            0x104, Filled(0x104, {{0x100, k4}})},
        ReadCase{"linear_then_back_to_zero",
                 Rec(0, 4, {0x00, 0x01}) + "\n" + Rec(0, 0, {9}) + "\n" + Rec(0, 4, {0, 0}) + "\n" +
                     Rec(1, 0, {8}),
                 0, 2, Bytes{0xFF, 8}},
        ReadCase{"record_cut_at_window_end", Rec(2, 0, k4), 0, 4, Bytes{0xFF, 0xFF, 1, 2}},
        ReadCase{"record_cut_at_window_begin", Rec(2, 0, k4), 4, 8, Bytes{3, 4, 0xFF, 0xFF}},
        ReadCase{"data_outside_window_skipped", Rec(0x20, 0, k4), 0, 4, Bytes(4, 0xFF)},
        ReadCase{"record_at_last_16_bytes_of_window",
                 Rec(40944, 0, Bytes(16, 0x11)) + "\n" + Rec(40945, 0, Bytes(16, 0x22)), 40940,
                 40960, Filled(20, {{4, Bytes{0x11}}, {5, Bytes(15, 0x22)}})}),
    [](const testing::TestParamInfo<ReadCase>& p) { return std::string(p.param.name); });

TEST(HexReader, CountsStoredBytesAndKeepsTheWindowForLaterCalls) {
  IntelHex h;
  h.AddresBegin(0);
  h.AddressEnd(4);
  h.Hex2Bin(Rec(2, 0, k4));
  EXPECT_EQ(h.BytesStored(), 2u);
  h.Hex2Bin(Rec(0x10, 0, k4));
  EXPECT_EQ(h.BytesStored(), 0u);
  // The upper address of one text does not leak into the next.
  h.Hex2Bin(Rec(0, 4, {0, 1}));
  EXPECT_EQ(h.Hex2Bin(Rec(0, 0, k4)), k4);
}

struct BadCase {
  const char* name;
  std::string text;
  std::size_t line;
  const char* reason;
};

// Listed by the case's name, not by its bytes (which hold addresses).
void PrintTo(const BadCase& c, std::ostream* os) {
  *os << c.name;
}

class HexReaderRefuses : public testing::TestWithParam<BadCase> {};

TEST_P(HexReaderRefuses, NamesLineAndReason) {
  const BadCase& c = GetParam();
  for (std::size_t step : {std::size_t{0}, std::begin(kSteps)[0], std::end(kSteps)[-1]}) {
    try {
      step == 0 ? Read(c.text, 0, 64) : ReadPieces(c.text, 0, 64, step);
      ADD_FAILURE() << "no error for " << c.name << " in pieces of " << step;
    } catch (const HexError& e) {
      EXPECT_EQ(e.line(), c.line) << "pieces of " << step;
      EXPECT_EQ(e.reason(), c.reason) << "pieces of " << step;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexReaderRefuses,
    testing::Values(
        BadCase{"data_checksum", Rec(0, 0, k4) + "\n:0400000001020304F1\n", 2,
                "checksum 0xF2 expected, 0xF1 found"},
        BadCase{"end_of_file_checksum", Rec(0, 0, k4) + "\n\n:00000001FE", 3,
                "checksum 0xFF expected, 0xFE found"},
        BadCase{"segment_checksum", ":020000021000EB", 1, "checksum 0xEC expected, 0xEB found"},
        BadCase{"start_code", "00000001FF", 1, "a record must start with ':'"},
        BadCase{"start_code_after_blank", "\n;00000001FF", 2, "a record must start with ':'"},
        BadCase{"cr_lines_counted", "\r\r\n\r;00000001FF", 4, "a record must start with ':'"},
        BadCase{"ctrl_z_without_end_of_file", Rec(0, 0, k4) + "\n" + kCtrlZ, 2,
                "a record must start with ':'"},
        BadCase{"record_after_ctrl_z", kEof + "\n" + kCtrlZ + "\n\n" + Rec(0, 0, k4), 2,
                "a record must start with ':'"},
        BadCase{"text_after_ctrl_z", kEof + "\r\n" + kCtrlZ + "x", 2,
                "a record must start with ':'"},
        BadCase{"not_hex", ":0000000G01FF", 1, "'G' at column 9 is not a hex digit"},
        BadCase{"inner_blank", ":00000001 FF", 1, "' ' at column 10 is not a hex digit"},
        BadCase{"escape_shown_escaped", ":00\x1B", 1, "'\\x1B' at column 4 is not a hex digit"},
        BadCase{"ctrl_z_after_data_shown_escaped", Rec(0, 0, {}) + kCtrlZ, 1,
                "'\\x1A' at column 12 is not a hex digit"},
        BadCase{"tab_inside_shown_escaped", ":00\t01", 1, "'\\t' at column 4 is not a hex digit"},
        BadCase{"high_byte_shown_escaped", ":\xC3", 1, "'\\xC3' at column 2 is not a hex digit"},
        BadCase{"backslash_shown_escaped", ":\\", 1, "'\\\\' at column 2 is not a hex digit"},
        BadCase{"odd_digits", ":00000001FFF", 1, "odd number of hex digits"},
        BadCase{"too_short", ":000001FF", 1,
                "too short for a record (9 characters, at least 11 needed)"},
        BadCase{"count_larger_than_line", ":0400000001020304", 1,
                "byte count 0x04 needs 19 characters, the line has 17"},
        BadCase{"count_smaller_than_line", ":02000000010203F8", 1,
                "byte count 0x02 needs 15 characters, the line has 17"},
        BadCase{"extended_address_length", ":0100000400FB", 1,
                "an extended address record holds 2 bytes, this one 1"}),
    [](const testing::TestParamInfo<BadCase>& p) { return std::string(p.param.name); });

TEST(HexReaderRefuses, AnEmptyWindow) {
  EXPECT_THROW(Read(kEof, 10, 10), HexError);
  EXPECT_THROW(Read(kEof, 10, 5), HexError);
}

TEST(HexDataRange, CoversLowestToHighestDataByte) {
  EXPECT_FALSE(IntelHex::DataRange(kEof + "\n" + Rec(0, 0, {})).has_value());
  const auto r =
      IntelHex::DataRange(Rec(0x20, 0, k4) + "\n" + Rec(0, 4, {0, 1}) + "\n" + Rec(0x10, 0, {1}) +
                          "\n" + Rec(0, 4, {0, 0}) + "\n" + Rec(0x08, 0, {1, 2}));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->lowest, 0x08);
  EXPECT_EQ(r->highest, 0x10010);
  EXPECT_THROW(IntelHex::DataRange(":00000001FE"), HexError);
}

}  // namespace
}  // namespace pelkar

namespace pelkar {
namespace {

TEST(HexReaderPieces, GivesTheSameImageAndLineNumbers) {
  std::string text;
  for (unsigned a = 0; a < 64; a += 4)
    text += Rec(a, 0, {1, 2, 3, static_cast<std::uint8_t>(a)}) + "\r\n";
  text += Rec(0, 4, {0, 0}) + "\n" + kEof;  // the last line has no line end
  IntelHex h;
  h.AddresBegin(0);
  h.AddressEnd(64);
  const Bytes whole = h.Hex2Bin(text);
  for (std::size_t step : {1, 7, 100})
    EXPECT_EQ(h.Hex2Bin(Trickle(text, step)), whole) << step;
  EXPECT_EQ(IntelHex::DataRange(Trickle(text, 5))->highest, 63);

  try {
    h.Hex2Bin(Trickle(text + "\n\n:00000001FE\n", 3));
    FAIL();
  } catch (const HexError& e) {
    EXPECT_EQ(e.line(), 20u);
  }
  EXPECT_THROW(h.Hex2Bin(Trickle(":" + std::string(2 << 20, '0'), 4096)), HexError);
}

TEST(HexReaderPieces, EveryPieceSizeReadsMixedLineEndsAlike) {
  const char* const ends[] = {"\r", "\n", "\r\n"};
  std::string lines;
  for (unsigned a = 0; a < 32; a += 4)
    lines += Rec(a, 0, {1, 2, 3, static_cast<std::uint8_t>(a)}) + ends[a / 4 % 3];
  const std::string good = lines + kEof + "\r" + kCtrlZ;
  const std::string bad = lines + "\r\n:00000001FE\r";  // line 10, after a blank line 9
  IntelHex h;
  h.AddresBegin(0);
  h.AddressEnd(32);
  const Bytes whole = h.Hex2Bin(good);
  for (std::size_t step = 1; step <= good.size(); ++step) {
    ASSERT_EQ(h.Hex2Bin(Trickle(good, step)), whole) << "pieces of " << step;
    try {
      h.Hex2Bin(Trickle(bad, step));
      ADD_FAILURE() << "no error in pieces of " << step;
    } catch (const HexError& e) {
      ASSERT_EQ(e.line(), 10u) << "pieces of " << step;
    }
  }
}

}  // namespace
}  // namespace pelkar
