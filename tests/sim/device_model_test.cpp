// Host and device wired back to back in memory: every byte either side sends is fed to the
// other, whole or one byte at a time.
#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "firmware/image.h"
#include "firmware/update_exchange.h"
#include "sim/device_model.h"

namespace pelkar {
namespace {

using Bytes = std::vector<std::uint8_t>;

FirmwareImage RandomImage(std::size_t blocks) {
  std::mt19937 rng(static_cast<unsigned>(blocks));
  Bytes b(blocks * 256);
  for (auto& x : b)
    x = static_cast<std::uint8_t>(rng());
  return {b, ImageCrc(b)};
}

struct WireResult {
  ExchangeOutcome outcome;
  std::size_t host_sent;
  bool device_silent;
};

// Moves bytes until neither side has anything to say. A Stop is requested once the host has
// sent stop_after image bytes.
WireResult Wire(UpdateExchange& host, DeviceModel& device, std::size_t stop_after = SIZE_MAX) {
  std::deque<std::uint8_t> to_host;
  host.Start(true);
  for (auto b : device.Start())
    to_host.push_back(b);
  std::size_t host_sent = 0;
  while (!to_host.empty() && host.running()) {
    const auto answer = host.Feed(to_host.front());
    to_host.pop_front();
    host_sent += answer.size();
    for (auto b : answer) {
      for (auto r : device.OnHostByte(b))
        to_host.push_back(r);
    }
    if (host.image_bytes_sent() >= stop_after) host.Stop();
  }
  return {host.outcome(), host_sent, device.silent()};
}

TEST(BackToBack, AWholeUpdateSucceeds) {
  const auto image = RandomImage(160);
  UpdateExchange host(image.bytes, image.crc);
  DeviceModel device;
  const WireResult run = Wire(host, device);
  EXPECT_EQ(run.outcome, ExchangeOutcome::UpdateOk);
  EXPECT_EQ(run.host_sent, 40965u);
  EXPECT_EQ(device.received_image(), image.bytes);
  EXPECT_EQ(device.computed_crc(), image.crc);
}

TEST(BackToBack, FaultsOfTheDevice) {
  const auto image = RandomImage(4);
  struct Case {
    const char* name;
    void (*set)(DeviceOptions&);
    ExchangeOutcome outcome;
  } cases[] = {
      {"noise and early 13", [](DeviceOptions& o) { o.noise = true; }, ExchangeOutcome::UpdateOk},
      {"fail", [](DeviceOptions& o) { o.fail = true; }, ExchangeOutcome::UpdateFailed},
      {"bad hello", [](DeviceOptions& o) { o.bad_hello = true; }, ExchangeOutcome::IllegalCommand},
      {"verdict", [](DeviceOptions& o) { o.verdict = 0x10; }, ExchangeOutcome::UnexpectedVerdict},
      {"silent", [](DeviceOptions& o) { o.silent_after = 2; }, ExchangeOutcome::None},
      {"fewer blocks asked", [](DeviceOptions& o) { o.blocks = 2; }, ExchangeOutcome::None},
  };
  for (const auto& c : cases) {
    UpdateExchange host(image.bytes, image.crc);
    DeviceOptions options;
    options.blocks = 4;
    c.set(options);
    DeviceModel device(options);
    EXPECT_EQ(Wire(host, device).outcome, c.outcome) << c.name;
  }
}

TEST(BackToBack, AWrongChecksumIsRefusedByTheDevice) {
  const auto image = RandomImage(2);
  UpdateExchange host(image.bytes, image.crc + 1);
  DeviceOptions options;
  options.blocks = 2;
  DeviceModel device(options);
  EXPECT_EQ(Wire(host, device).outcome, ExchangeOutcome::UpdateFailed);
  EXPECT_EQ(device.host_crc(), image.crc + 1);
}

TEST(BackToBack, StopKeepsWhatWasSent) {
  const auto image = RandomImage(8);
  UpdateExchange host(image.bytes, image.crc);
  DeviceOptions options;
  options.blocks = 8;
  DeviceModel device(options);
  const WireResult run = Wire(host, device, 3 * 256);
  EXPECT_EQ(run.outcome, ExchangeOutcome::Stopped);
  EXPECT_EQ(host.image_bytes_sent(), 3 * 256u);
  EXPECT_EQ(device.blocks_received(), 3u);
}

}  // namespace
}  // namespace pelkar
