// The encoder's output name and the exchange machine, fed whole and byte by byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_core.h"
#include "update_machine.h"

namespace pelkar {
namespace {

TEST(ImageCore, OutputNameRule) {
  const std::pair<std::string, std::string> cases[] = {
      {"fw.hex", "fw.bin"},    {"FW.HEX", "FW.bin"}, {"fw.ihx", "fw.bin"},
      {"hexfw.hex", "fw.bin"}, {"ab", "bin"},        {"x.hex.hex", "x..bin"}};
  for (const auto& [title, name] : cases)
    EXPECT_EQ(OutputName(title), name) << title;
}

// A device's bytes for an image of `blocks` blocks.
std::vector<std::uint8_t> DeviceScript(std::size_t blocks, std::uint8_t verdict) {
  std::vector<std::uint8_t> script{10};
  for (std::size_t i = 0; i < blocks; ++i)
    script.insert(script.end(), {0, 13, 12});
  script.insert(script.end(), {0, 13, verdict});
  return script;
}

TEST(UpdateMachine, RunsWholeAndByteByByte) {
  std::vector<std::uint8_t> image(600);  // last block padded
  for (std::size_t i = 0; i < image.size(); ++i)
    image[i] = static_cast<std::uint8_t>(i * 7);
  struct Case {
    std::uint8_t verdict;
    UpdateMachine::Outcome outcome;
  };
  const Case cases[] = {{15, UpdateMachine::Outcome::kUpdateOk},
                        {14, UpdateMachine::Outcome::kUpdateFailed},
                        {0x10, UpdateMachine::Outcome::kUnknownVerdict}};
  for (const Case& c : cases) {
    UpdateMachine m;
    m.Start(image, 2610720);
    std::vector<std::uint8_t> sent;
    for (std::uint8_t byte : DeviceScript(3, c.verdict))
      m.Feed(byte, sent);
    EXPECT_EQ(m.outcome(), c.outcome);
    EXPECT_EQ(m.state(), UpdateMachine::State::kIdle);
    ASSERT_EQ(sent.size(), 1u + 3 * 256 + 4);
    EXPECT_EQ(sent[0], 11);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), sent.begin() + 1));
    EXPECT_EQ(sent[1 + 600], 0xFF);
    EXPECT_EQ(std::vector<std::uint8_t>(sent.end() - 4, sent.end()),
              (std::vector<std::uint8_t>{0x20, 0xD6, 0x27, 0x00}));
  }
}

TEST(UpdateMachine, FirstByteMustBeTheHello) {
  UpdateMachine m;
  m.Start(std::vector<std::uint8_t>(256), 0);
  std::vector<std::uint8_t> sent;
  m.Feed(0, sent);
  m.Feed(10, sent);
  EXPECT_EQ(m.outcome(), UpdateMachine::Outcome::kIllegalCommand);
  EXPECT_TRUE(sent.empty());
}

}  // namespace
}  // namespace pelkar
