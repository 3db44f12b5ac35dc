// The encoder's output name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_core.h"

namespace pelkar {
namespace {

TEST(ImageCore, OutputNameRule) {
  const std::pair<std::string, std::string> cases[] = {
      {"fw.hex", "fw.bin"},    {"FW.HEX", "FW.bin"}, {"fw.ihx", "fw.bin"},
      {"hexfw.hex", "fw.bin"}, {"ab", "bin"},        {"x.hex.hex", "x..bin"}};
  for (const auto& [title, name] : cases)
    EXPECT_EQ(OutputName(title), name) << title;
}

}  // namespace
}  // namespace pelkar
