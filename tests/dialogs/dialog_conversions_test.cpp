#include "dialogs/dialog_conversions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace pelkar {
namespace {

using namespace std::string_literals;

TEST(FilterForm, BrowserAcceptListsTheExtensionsOfEveryEntry) {
  struct Case {
    std::string text, accept;
  };
  const Case cases[] = {
      {"*.bin|*.bin", ".bin"},
      {"*.hex|*.hex", ".hex"},
      {"Img|*.img; *.bin|Bin|*.bin", ".img,.bin"},  // in order, once each
      {"Gz|*.tar.gz", ".tar.gz"},
      {"Img|*.img|All|*", ""},  // every file may be chosen: no list at all
      {"All|*.*", ""},
      {"Odd|*.b?n", ""},     // a picker takes no wildcards
      {"a|*.a||*.b", ".a"},  // the list ends at an empty field
      {"*.bin", ""},         // no pattern
      {"", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(BrowserAccept(StoreFilter(c.text)), c.accept) << c.text;
}

TEST(FilterForm, StoredFormQtFiltersAndDefaultExtension) {
  struct Case {
    std::string text, stored, read;
    std::vector<std::string> qt;
    std::string ext;
  };
  const Case cases[] = {
      {"*.bin|*.bin", "*.bin\0*.bin\0"s, "*.bin|*.bin|", {"*.bin (*.bin)"}, "bin"},
      {"Img|*.img;*.bin|All|*",
       "Img\0*.img;*.bin\0All\0*\0"s,
       "Img|*.img;*.bin|All|*|",
       {"Img (*.img *.bin)", "All (*)"},
       "img"},
      {"*.bin", "*.bin\0"s, "*.bin|", {}, ""},                              // no pattern
      {"a|*.a|b", "a\0*.a\0b\0"s, "a|*.a|b|", {"a (*.a)"}, "a"},            // last one dropped
      {"a|*.a||*.b", "a\0*.a\0\0*.b\0"s, "a|*.a||*.b|", {"a (*.a)"}, "a"},  // "" ends list
      {"|*.bin", "\0*.bin\0"s, "|*.bin|", {}, "bin"},
      {"All|*.*", "All\0*.*\0"s, "All|*.*|", {"All (*.*)"}, ""},
      {"Odd|*.b?n", "Odd\0*.b?n\0"s, "Odd|*.b?n|", {"Odd (*.b?n)"}, ""},
      {"Gz|*.tar.gz", "Gz\0*.tar.gz\0"s, "Gz|*.tar.gz|", {"Gz (*.tar.gz)"}, "tar.gz"},
  };
  for (const Case& c : cases) {
    const std::string stored = StoreFilter(c.text);
    EXPECT_EQ(stored, c.stored) << c.text;
    EXPECT_EQ(ReadFilter(stored), c.read) << c.text;
    EXPECT_EQ(QtNameFilters(stored), c.qt) << c.text;
    EXPECT_EQ(DefaultExtension(stored), c.ext) << c.text;
  }
  // Never set: reads "" and gives no list and no extension.
  EXPECT_EQ(ReadFilter(""), "");
  EXPECT_TRUE(QtNameFilters("").empty());
  EXPECT_EQ(DefaultExtension(""), "");
}

TEST(FontConversions, HeightAndPointSizeFromSize) {
  struct Case {
    std::int32_t size;
    std::optional<std::int32_t> height, tenths;
  };
  const Case cases[] = {
      {0, 0, 0},
      {1, 1, 10},
      {2, 3, 20},
      {10, 13, 100},
      {12, 16, 120},
      {-2, -3, -20},
      {22369621, 29826161, 223696210},  // largest size whose * 96 fits in 32 bits
      {22369622, std::nullopt, 223696220},
      {-22369622, std::nullopt, -223696220},
      {INT32_MAX, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FontHeightFromSize(c.size), c.height) << c.size;
    EXPECT_EQ(PointSizeTenthsFromSize(c.size), c.tenths) << c.size;
  }
}

TEST(FontConversions, SizeFromTenthsRoundsHalfToEven) {
  const std::pair<std::int32_t, std::int32_t> cases[] = {
      {105, 10},
      {115, 12},
      {95, 10},
      {85, 8},
      {125, 12},
      {135, 14},
      {104, 10},
      {106, 11},
      {5, 0},
      {-15, -2},
      {-25, -2},
      {-14, -1},
      {INT32_MAX, 214748365},
      {INT32_MIN, -214748365},
  };
  for (const auto& [tenths, size] : cases)
    EXPECT_EQ(SizeFromPointSizeTenths(tenths), size) << tenths;
}

TEST(FontConversions, BoldWeightAndCharSet) {
  EXPECT_EQ(WeightFromBold(255), 700);
  for (int bold : {0, 1, 254})
    EXPECT_EQ(WeightFromBold(static_cast<std::uint8_t>(bold)), 400);
  EXPECT_EQ(BoldFromWeight(700), 255);
  for (std::int32_t weight : {400, 600, 699, 701, 900})
    EXPECT_EQ(BoldFromWeight(weight), 0);
  EXPECT_EQ(CharSetByte(255), 255);
  EXPECT_EQ(CharSetByte(256), std::nullopt);
  EXPECT_EQ(CharSetByte(-1), std::nullopt);
}

TEST(FontConversions, FaceNameCutAt31BytesOnACharacterBoundary) {
  const std::string a31(31, 'a');
  const std::string a30(30, 'a');
  const std::pair<std::string, std::string> cases[] = {
      {"Arial", "Arial"},
      {a31 + "b", a31},
      {"Ari\0al"s, "Ari"},
      {a30 + "é", a30},                                     // 2 bytes across the cut
      {a30.substr(1) + "é", a30.substr(1) + "é"},           // ends at byte 31
      {std::string(29, 'a') + "€x", std::string(29, 'a')},  // 3 bytes
      {std::string(28, 'a') + "😀", std::string(28, 'a')},   // 4 bytes
      {std::string(40, '\x80'), std::string(31, '\x80')},   // not UTF-8: cut at 31
  };
  for (const auto& [name, field] : cases)
    EXPECT_EQ(FaceNameField(name), field) << name;
}

}  // namespace
}  // namespace pelkar
