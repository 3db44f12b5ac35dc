#include <gtest/gtest.h>

#include <deque>

#include "firmware/image.h"
#include "firmware/update_exchange.h"
#include "sim/device_model.h"

namespace pelkar {
namespace {

DeviceOptions Opts(std::size_t blocks, void (*tweak)(DeviceOptions&) = nullptr) {
  DeviceOptions o;
  o.blocks = blocks;
  if (tweak) tweak(o);
  return o;
}

std::vector<std::uint8_t> Image(std::size_t blocks) {
  std::vector<std::uint8_t> img(blocks * kBlockSize);
  for (std::size_t i = 0; i < img.size(); ++i)
    img[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return img;
}

// Wires host and device back to back. byteWise: the device gets host bytes one at a time.
// stopAt: press Stop when the host first reaches that state.
struct Run {
  ExchangeOutcome outcome;
  std::size_t sent;
  DeviceModel device;
  UpdateExchange host;
};

Run Wire(DeviceOptions opt, std::size_t blocks, bool byteWise,
         std::optional<ExchangeState> stopAt = std::nullopt) {
  const auto img = Image(blocks);
  Run r{ExchangeOutcome::None, 0, DeviceModel(opt), UpdateExchange(img, ImageCrc(img))};
  r.host.Start();
  std::deque<std::uint8_t> toHost;
  for (auto b : r.device.Start())
    toHost.push_back(b);
  while (!r.host.finished() && !toHost.empty()) {
    if (stopAt && r.host.state() == *stopAt) {
      r.host.Stop();
      break;
    }
    const auto b = toHost.front();
    toHost.pop_front();
    auto step = r.host.OnByte(b);
    r.sent += step.send.size();
    if (byteWise) {
      for (auto s : step.send)
        for (auto a : r.device.OnHostBytes(std::span(&s, 1)))
          toHost.push_back(a);
    } else {
      for (auto a : r.device.OnHostBytes(step.send))
        toHost.push_back(a);
    }
  }
  r.outcome = r.host.outcome();
  return r;
}

TEST(Exchange, BackToBackOutcomes) {
  struct Case {
    const char* name;
    DeviceOptions opt;
    ExchangeOutcome want;
    const char* text;
  } cases[] = {
      {"ok", Opts(3), ExchangeOutcome::Ok, "Update OK"},
      {"noise", Opts(3, [](DeviceOptions& o) { o.noise = true; }), ExchangeOutcome::Ok,
       "Update OK"},
      {"fail", Opts(3, [](DeviceOptions& o) { o.fail = true; }), ExchangeOutcome::Unsuccessful,
       "Update unsuccessful"},
      {"bad hello", Opts(3, [](DeviceOptions& o) { o.badHello = true; }),
       ExchangeOutcome::IllegalCommand, "Illegal command"},
      {"other verdict", Opts(3, [](DeviceOptions& o) { o.verdict = 0x10; }),
       ExchangeOutcome::UnexpectedAnswer, "Unexpected answer from the device (0x10)"},
  };
  for (const auto& c : cases)
    for (bool byteWise : {false, true}) {
      auto r = Wire(c.opt, 3, byteWise);
      EXPECT_EQ(r.outcome, c.want) << c.name;
      EXPECT_EQ(r.host.message().text, c.text) << c.name;
      EXPECT_LE(r.sent, 1 + 3 * kBlockSize + 4) << c.name;
      if (c.want == ExchangeOutcome::Ok) {
        EXPECT_EQ(r.device.received(), Image(3)) << c.name;
        EXPECT_EQ(r.device.checksumMatched(), true) << c.name;
        EXPECT_EQ(r.host.bytesSent(), 3 * kBlockSize);
      }
    }
}

TEST(Exchange, StopInEveryState) {
  for (auto s : {ExchangeState::AwaitHello, ExchangeState::AwaitBlockRequest,
                 ExchangeState::AwaitCrcRequest, ExchangeState::AwaitResult}) {
    auto r = Wire(Opts(2), 2, false, s);
    EXPECT_EQ(r.outcome, ExchangeOutcome::Stopped);
    EXPECT_FALSE(r.host.running());
    EXPECT_TRUE(r.host.OnByte(15).send.empty());  // nothing after stop
    EXPECT_EQ(r.host.outcome(), ExchangeOutcome::Stopped);
  }
}

TEST(Exchange, SilentDeviceLeavesHostAwaitingBlockRequest) {
  auto r = Wire(Opts(5, [](DeviceOptions& o) { o.silentAfter = 2; }), 5, false);
  EXPECT_EQ(r.outcome, ExchangeOutcome::None);
  EXPECT_EQ(r.host.awaitedByte(), std::optional<std::uint8_t>(12));
  EXPECT_EQ(r.host.blocksSent(), 2u);
}

TEST(Exchange, EarlyCrcRequestAndCannotOpen) {
  const auto img = Image(2);
  UpdateExchange h(img, 2610720);
  h.Start();
  EXPECT_EQ(h.OnByte(10).send, std::vector<std::uint8_t>{11});
  EXPECT_TRUE(h.OnByte(13).send.empty());  // dropped: blocks still due
  EXPECT_EQ(h.OnByte(12).send.size(), kBlockSize);
  EXPECT_EQ(h.OnByte(12).send.size(), kBlockSize);
  EXPECT_TRUE(h.OnByte(12).send.empty());  // no block past the end
  EXPECT_EQ(h.OnByte(13).send, (std::vector<std::uint8_t>{0x20, 0xD6, 0x27, 0x00}));
  EXPECT_EQ(h.awaitedByte(), std::nullopt);

  UpdateExchange c(img, 0);
  c.PortOpenFailed();
  EXPECT_EQ(c.message().text, "Can't open port");
  EXPECT_EQ(c.message().icon, MessageIcon::None);
  EXPECT_THROW(UpdateExchange(std::vector<std::uint8_t>(300), 0), std::invalid_argument);
  EXPECT_THROW(UpdateExchange(std::vector<std::uint8_t>{}, 0), std::invalid_argument);
}

}  // namespace
}  // namespace pelkar
