// The simulated device on a real pseudo-terminal, driven by the host's exchange through
// SerialComm, as the tools drive a real device.
#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "../serial/pty.h"
#include "firmware/image.h"
#include "firmware/update_exchange.h"
#include "serial/serial_comm.h"
#include "sim/simulated_device.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class SimulatedDeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    runtime_ = fs::temp_directory_path() / ("pelkar-sim-" + std::to_string(::getpid()));
    fs::create_directories(runtime_);
    std::mt19937 rng(5);
    image_.bytes.resize(8 * 256);
    for (auto& b : image_.bytes)
      b = static_cast<std::uint8_t>(rng());
    image_.crc = ImageCrc(image_.bytes);
  }
  void TearDown() override { fs::remove_all(runtime_); }

  // The host's side: open by number, then answer until the exchange ends, the port is lost
  // or nothing comes for a second.
  ExchangeOutcome Update(std::uint8_t port, bool* lost = nullptr) {
    SerialComm serial;
    UpdateExchange x(image_.bytes, image_.crc);
    x.Start(serial.OpenPort(port, 115200));
    while (x.running()) {
      pollfd p{serial.Descriptor(), POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0) break;
      std::uint8_t buf[64];
      const std::size_t n = serial.ReadAvailable(buf);
      if (serial.PortLost()) {
        if (lost) *lost = true;
        break;
      }
      for (std::size_t i = 0; i < n && x.running(); ++i) {
        const auto answer = x.Feed(buf[i]);
        if (!answer.empty()) serial.WritePort(answer);
      }
    }
    return x.outcome();
  }

  // The host's side on the master of a pseudo-terminal whose slave the device serves, after
  // the bytes it has read already.
  ExchangeOutcome UpdateOn(test::Pty& line, std::vector<std::uint8_t> already = {}) {
    UpdateExchange x(image_.bytes, image_.crc);
    x.Start(true);
    for (std::size_t i = 0; x.running(); ++i) {
      if (i >= already.size()) {
        const auto b = line.Read(1, std::chrono::seconds(2));
        if (b.empty()) break;
        already.push_back(b[0]);
      }
      const auto answer = x.Feed(already[i]);
      if (!answer.empty()) line.Write({answer.begin(), answer.end()});
    }
    return x.outcome();
  }

  fs::path runtime_;
  FirmwareImage image_;
};

TEST_F(SimulatedDeviceTest, UpdatesAndServesTheNextHost) {
  SimulatorOptions options;
  options.device.blocks = 8;
  options.save = runtime_ / "received.bin";
  SimulatedDevice device(options);
  EXPECT_EQ(device.port(), 200);
  EXPECT_TRUE(fs::is_symlink(device.link_path()));
  std::thread run([&] { device.Run(); });
  EXPECT_EQ(Update(200), ExchangeOutcome::UpdateOk);
  EXPECT_EQ(Update(200), ExchangeOutcome::UpdateOk);
  device.RequestStop();
  run.join();
  EXPECT_FALSE(fs::exists(device.link_path())) << "a stopped device still offers its port";
  const auto done = device.exchanges();
  ASSERT_EQ(done.size(), 2u);
  EXPECT_TRUE(done[0].crc_matched);
  EXPECT_EQ(LoadImageFile(runtime_ / "received.bin").bytes, image_.bytes);
}

TEST_F(SimulatedDeviceTest, HangUpIsSeenAsALostPort) {
  // 0: right after the hello, before the first block request.
  for (const std::size_t after : {std::size_t{0}, std::size_t{3}}) {
    SimulatorOptions options;
    options.device.blocks = 8;
    options.device.hangup_after = after;
    SimulatedDevice device(options);
    const auto link = device.link_path();
    std::thread run([&] { device.Run(); });
    bool lost = false;
    const auto start = Clock::now();
    EXPECT_EQ(Update(device.port(), &lost), ExchangeOutcome::None) << after;
    EXPECT_TRUE(lost) << after;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << after;
    run.join();
    EXPECT_FALSE(fs::exists(link)) << after << ": the port did not vanish";
    ASSERT_EQ(device.exchanges().size(), 1u) << after;
    EXPECT_EQ(device.exchanges()[0].blocks, after);
  }
}

TEST_F(SimulatedDeviceTest, PacesTheHostAtTheLineRate) {
  SimulatorOptions options;
  options.device.blocks = 8;
  options.device.baud = 115200;
  options.once = true;
  SimulatedDevice device(options);
  std::thread run([&] { device.Run(); });
  const auto start = Clock::now();
  EXPECT_EQ(Update(device.port()), ExchangeOutcome::UpdateOk);
  // 8 blocks at 11,520 bytes a second take at least 177 ms on the line.
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(177));
  run.join();
}

// A far end open long before its host (a virtual machine's line) greets only when reset, and
// a reset in the middle starts a fresh unit.
TEST_F(SimulatedDeviceTest, WaitsForAResetAndStartsAfreshOnEach) {
  SimulatorOptions options;
  options.device.blocks = 8;
  options.wait_reset = true;
  SimulatedDevice device(options);
  std::thread run([&] { device.Run(); });
  SerialComm serial;
  ASSERT_TRUE(serial.OpenPort(device.port(), 115200)) << serial.LastError();
  const auto next_byte = [&serial](std::chrono::milliseconds within) -> std::optional<int> {
    std::uint8_t b = 0;
    if (serial.WaitReadable(Clock::now() + within) != WaitResult::kReady) return std::nullopt;
    if (serial.ReadAvailable({&b, 1}) != 1) return std::nullopt;
    return b;
  };
  EXPECT_FALSE(next_byte(std::chrono::milliseconds(500))) << "greeted without a reset";
  device.RequestReset();
  const auto hello = next_byte(std::chrono::seconds(2));
  ASSERT_TRUE(hello);
  device.RequestReset();  // the first unit never answered
  ASSERT_EQ(next_byte(std::chrono::seconds(2)), hello);

  UpdateExchange x(image_.bytes, image_.crc);
  x.Start(true);
  auto answer = x.Feed(static_cast<std::uint8_t>(*hello));
  while (x.running()) {
    if (!answer.empty()) serial.WritePort(answer);
    const auto b = next_byte(std::chrono::seconds(2));
    if (!b) break;
    answer = x.Feed(static_cast<std::uint8_t>(*b));
  }
  EXPECT_EQ(x.outcome(), ExchangeOutcome::UpdateOk);
  serial.ClosePort();
  device.RequestStop();
  run.join();
  const auto done = device.exchanges();
  ASSERT_GE(done.size(), 2u);
  EXPECT_EQ(done[0].unit, 1u);
  EXPECT_FALSE(done[0].verdict);
  EXPECT_EQ(done[1].unit, 2u);
  EXPECT_TRUE(done[1].crc_matched);
}

// On an existing port (a pty's slave; the test is the host on the master): set up as a host
// sets up its end, the hello said again until answered, and the next unit after a verdict.
TEST_F(SimulatedDeviceTest, ServesAnExistingPort) {
  test::Pty line;
  line.LeaveForeignSettings();
  SimulatorOptions options;
  options.device.blocks = 8;
  options.on = line.path();
  options.save = runtime_ / "received.bin";
  SimulatedDevice device(options);
  const auto settings = line.Settings();
  EXPECT_EQ(settings.baud, 115200u);
  EXPECT_EQ(settings.data_bits, 8u);
  EXPECT_FALSE(settings.parity || settings.two_stop_bits || settings.xon_xoff);
  EXPECT_TRUE(settings.raw);
  std::thread run([&] { device.Run(); });
  const auto hellos = line.Read(2, std::chrono::milliseconds(1800));
  EXPECT_EQ(hellos, (std::vector<std::uint8_t>{10, 10})) << "an unanswered hello is not repeated";
  EXPECT_EQ(UpdateOn(line, {hellos.begin(), hellos.begin() + 1}), ExchangeOutcome::UpdateOk);
  EXPECT_EQ(UpdateOn(line), ExchangeOutcome::UpdateOk) << "no next unit on the same line";
  device.RequestStop();
  run.join();
  const auto done = device.exchanges();
  ASSERT_EQ(done.size(), 2u);
  EXPECT_TRUE(done[1].crc_matched);
  EXPECT_EQ(done[1].unit, 2u);
  EXPECT_EQ(LoadImageFile(runtime_ / "received.bin").bytes, image_.bytes);
}

// What ends a device on an existing port: --once at its verdict, a hang-up, the line gone.
TEST_F(SimulatedDeviceTest, AnExistingPortEnds) {
  enum class End { Once, HangUp, LineGone };
  for (const End end : {End::Once, End::HangUp, End::LineGone}) {
    test::Pty line;
    SimulatorOptions options;
    options.device.blocks = 8;
    options.on = line.path();
    options.once = end == End::Once;
    if (end == End::HangUp) options.device.hangup_after = 2;
    SimulatedDevice device(options);
    std::thread run([&] { device.Run(); });
    if (end == End::LineGone) {
      ASSERT_EQ(line.Read(1).size(), 1u);
      line.CloseMaster();
    } else {
      EXPECT_EQ(UpdateOn(line),
                end == End::Once ? ExchangeOutcome::UpdateOk : ExchangeOutcome::None)
          << static_cast<int>(end);
    }
    run.join();  // ends by itself
    ASSERT_EQ(device.exchanges().size(), 1u) << static_cast<int>(end);
    EXPECT_EQ(device.exchanges()[0].blocks, end == End::Once ? 8u : end == End::HangUp ? 2u : 0u);
  }
}

}  // namespace
}  // namespace pelkar
