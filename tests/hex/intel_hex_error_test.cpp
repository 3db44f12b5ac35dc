#include <gtest/gtest.h>

#include "hex/intel_hex.h"

namespace pelkar {
namespace {

TEST(HexError, TellsLineAndReason) {
  const HexError e(7, "checksum 0x12 expected, 0x34 found");
  EXPECT_EQ(e.line(), 7u);
  EXPECT_EQ(e.reason(), "checksum 0x12 expected, 0x34 found");
  EXPECT_STREQ(e.what(), "line 7: checksum 0x12 expected, 0x34 found");
  EXPECT_STREQ(HexError(0, "empty window").what(), "empty window");
}

}  // namespace
}  // namespace pelkar
