#include <gtest/gtest.h>

#include <vector>

#include "firmware/update_exchange.h"

namespace pelkar {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Image(std::size_t blocks) {
  Bytes b(blocks * 256);
  for (std::size_t i = 0; i < b.size(); ++i)
    b[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  return b;
}

// Feeds bytes one at a time and collects everything the host sends.
Bytes FeedAll(UpdateExchange& x, const Bytes& in) {
  Bytes out;
  for (auto b : in) {
    const auto answer = x.Feed(b);
    out.insert(out.end(), answer.begin(), answer.end());
  }
  return out;
}

TEST(UpdateExchange, SendsHelloBlocksAndChecksumOnRequest) {
  const Bytes image = Image(2);
  UpdateExchange x(image, 2610720);
  x.Start(true);
  EXPECT_EQ(x.state(), ExchangeState::AwaitHello);
  EXPECT_EQ(x.awaited(), wire::kDeviceHello);
  EXPECT_EQ(FeedAll(x, {10}), Bytes{11});
  EXPECT_EQ(x.awaited(), wire::kBlockRequest);
  EXPECT_EQ(FeedAll(x, {12}), Bytes(image.begin(), image.begin() + 256));
  EXPECT_EQ(x.image_bytes_sent(), 256u);
  EXPECT_EQ(x.blocks_sent(), 1u);
  EXPECT_EQ(FeedAll(x, {12}), Bytes(image.begin() + 256, image.end()));
  EXPECT_EQ(x.state(), ExchangeState::AwaitCrcRequest);
  EXPECT_EQ(FeedAll(x, {13}), (Bytes{0x20, 0xD6, 0x27, 0x00}));
  EXPECT_EQ(x.state(), ExchangeState::AwaitResult);
  EXPECT_FALSE(x.awaited().has_value());
  EXPECT_TRUE(FeedAll(x, {15}).empty());
  EXPECT_EQ(x.outcome(), ExchangeOutcome::UpdateOk);
  EXPECT_FALSE(x.running());
  EXPECT_EQ(x.bytes_sent(), 1 + 512 + 4u);
  EXPECT_EQ(x.message()->text, "Update OK");
  EXPECT_EQ(x.message()->icon, MessageIcon::Information);
  EXPECT_TRUE(FeedAll(x, {12, 13, 10}).empty()) << "nothing is answered after the end";
}

TEST(UpdateExchange, DropsStrayBytesOneAtATimeAndAnEarly13) {
  const Bytes image = Image(2);
  UpdateExchange x(image, 1);
  x.Start(true);
  const Bytes out = FeedAll(x, {10, 0x00, 13, 0x0F, 12, 13, 0x55, 12, 12, 0x00, 13, 14});
  EXPECT_EQ(out.size(), 1 + 512 + 4u);
  EXPECT_EQ(x.outcome(), ExchangeOutcome::UpdateFailed);
  EXPECT_EQ(x.message()->text, "Update unsuccessful");
  EXPECT_EQ(x.message()->icon, MessageIcon::Error);
}

TEST(UpdateExchange, EndingsAndTheirMessages) {
  struct Case {
    const char* name;
    Bytes in;
    ExchangeOutcome outcome;
    const char* text;
    MessageIcon icon;
  } cases[] = {
      {"first byte not hello",
       {0x00, 10},
       ExchangeOutcome::IllegalCommand,
       "Illegal command",
       MessageIcon::None},
      {"unknown verdict",
       {10, 12, 13, 0x10},
       ExchangeOutcome::UnexpectedVerdict,
       "Unexpected answer from the device (0x10)",
       MessageIcon::Error},
      {"verdict 0xAB",
       {10, 12, 13, 0xAB},
       ExchangeOutcome::UnexpectedVerdict,
       "Unexpected answer from the device (0xAB)",
       MessageIcon::Error},
  };
  for (const auto& c : cases) {
    UpdateExchange x(Image(1), 0);
    x.Start(true);
    FeedAll(x, c.in);
    EXPECT_EQ(x.outcome(), c.outcome) << c.name;
    EXPECT_FALSE(x.running()) << c.name;
    ASSERT_TRUE(x.message()) << c.name;
    EXPECT_EQ(x.message()->text, c.text);
    EXPECT_EQ(x.message()->icon, c.icon);
  }
  UpdateExchange closed(Image(1), 0);
  closed.Start(false);
  EXPECT_FALSE(closed.running()) << "a port that did not open ends the exchange";
  EXPECT_EQ(closed.message()->text, "Can't open port");
}

TEST(UpdateExchange, StopEndsEveryStateAndKeepsTheProgress) {
  const Bytes to_state[] = {{}, {10}, {10, 12}, {10, 12, 12}, {10, 12, 12, 13}};
  for (const Bytes& prefix : to_state) {
    UpdateExchange x(Image(2), 0);
    x.Start(true);
    FeedAll(x, prefix);
    const auto sent = x.image_bytes_sent();
    x.Stop();
    EXPECT_EQ(x.outcome(), ExchangeOutcome::Stopped);
    EXPECT_FALSE(x.running());
    EXPECT_FALSE(x.message().has_value());
    EXPECT_EQ(x.image_bytes_sent(), sent);
    EXPECT_TRUE(FeedAll(x, {10, 12, 13, 15}).empty());
  }
}

TEST(UpdateExchange, CanRunAgainAfterItEnded) {
  UpdateExchange x(Image(1), 0);
  x.Start(true);
  FeedAll(x, {0x33});
  EXPECT_EQ(x.outcome(), ExchangeOutcome::IllegalCommand);
  x.Start(true);
  EXPECT_TRUE(x.running());
  EXPECT_EQ(FeedAll(x, {10, 12}).size(), 257u);
}

TEST(UpdateExchange, RefusesImagesThatAreNotWholeBlocks) {
  EXPECT_THROW(UpdateExchange(Bytes{}, 0), std::invalid_argument);
  EXPECT_THROW(UpdateExchange(Bytes(300), 0), std::invalid_argument);
}

}  // namespace
}  // namespace pelkar
