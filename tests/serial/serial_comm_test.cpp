// The serial channel against a real pseudo-terminal, the same on every system.
#include "serial/serial_comm.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "pty.h"

namespace pelkar {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using test::Pty;

long Ms(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// Bytes written to the master reach the slave's queue a moment later.
void WaitForCount(SerialComm& port, int count) {
  for (int i = 0; i < 200 && port.GetCountBytes() < count; ++i) {
    std::this_thread::sleep_for(2ms);
  }
}

TEST(SerialComm, OpensRaw8N1AtTheRateWithoutSoftwareFlowControl) {
  Pty pty;
  pty.LeaveForeignSettings();
  ASSERT_EQ(pty.Settings().baud, 9600u);
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200)) << port.LastError();
  const test::LineSettings s = pty.Settings();
  EXPECT_EQ(s.baud, 115200u);
  EXPECT_EQ(s.data_bits, 8u);
  EXPECT_FALSE(s.parity);
  EXPECT_FALSE(s.two_stop_bits);
  EXPECT_FALSE(s.xon_xoff);
  EXPECT_TRUE(s.raw);
}

TEST(SerialComm, MissingPortsDoNotOpen) {
  SerialComm port;
  EXPECT_FALSE(port.OpenPort(0, 115200));
  EXPECT_EQ(port.LastErrno(), ENOENT);
  EXPECT_FALSE(port.IsOpen());
  Bytes one(1);
  EXPECT_FALSE(port.ReadPort(one));
  EXPECT_FALSE(port.WritePort(one));
  EXPECT_EQ(port.GetCountBytes(), 0);
  port.ClosePort();
  port.ClosePort();  // closing twice, or after a failed open, does nothing
}

TEST(SerialComm, CountsWithoutConsumingAndReadsWhatWaits) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200));
  pty.Write({1, 2, 3, 4, 5});
  WaitForCount(port, 5);
  EXPECT_EQ(port.GetCountBytes(), 5);
  EXPECT_EQ(port.GetCountBytes(), 5);
  Bytes in(5, 0);
  const auto start = Clock::now();
  EXPECT_TRUE(port.ReadPort(in));
  EXPECT_LT(Ms(start), 500);
  EXPECT_EQ(in, (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(port.GetCountBytes(), 0);
}

TEST(SerialComm, ReadsEndAfterOneSecondPlusAMillisecondAByte) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200));
  Bytes one{0xAA};
  auto start = Clock::now();
  EXPECT_TRUE(port.ReadPort(one));
  EXPECT_GE(Ms(start), 1000);
  EXPECT_EQ(one[0], 0xAA);

  pty.Write({7, 8});
  Bytes four{0xEE, 0xEE, 0xEE, 0xEE};
  start = Clock::now();
  EXPECT_TRUE(port.ReadPort(four));
  EXPECT_GE(Ms(start), 1004);
  EXPECT_LT(Ms(start), 1500);
  EXPECT_EQ(four, (Bytes{7, 8, 0xEE, 0xEE}));
}

TEST(SerialComm, WritesWholeBlocksAndPassesFlowControlBytes) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200));
  Bytes block(256);
  for (std::size_t i = 0; i < block.size(); ++i)
    block[i] = static_cast<std::uint8_t>(i);
  ASSERT_TRUE(port.WritePort(block));
  EXPECT_EQ(pty.Read(256), block);

  const Bytes xon_xoff{0x11, 0x13, 0x11, 0x13};
  ASSERT_TRUE(port.WritePort(xon_xoff));
  EXPECT_EQ(pty.Read(4), xon_xoff);
  pty.Write({0x13, 0x11, 0x0A});
  WaitForCount(port, 3);
  Bytes in(3);
  ASSERT_TRUE(port.ReadPort(in));
  EXPECT_EQ(in, (Bytes{0x13, 0x11, 0x0A}));
  // A stray XOFF from the device must not stall the next write.
  ASSERT_TRUE(port.WritePort(block));
  EXPECT_EQ(pty.Read(256), block);
}

TEST(SerialComm, OpensAfreshAfterClose) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200)) << port.LastError();
  port.ClosePort();
  EXPECT_FALSE(port.IsOpen());
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200)) << port.LastError();
  // Opening again on the same channel closes the old port first.
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200)) << port.LastError();
  pty.Write({0x42});
  WaitForCount(port, 1);
  Bytes in(1);
  ASSERT_TRUE(port.ReadPort(in));
  EXPECT_EQ(in[0], 0x42);
  ASSERT_TRUE(port.WritePort(Bytes{0x43}));
  EXPECT_EQ(pty.Read(1), Bytes{0x43});
}

TEST(SerialComm, TellsAPortLostAtOnce) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200));
  EXPECT_FALSE(port.PortLost());
  pty.CloseMaster();
  EXPECT_TRUE(port.PortLost());
  EXPECT_EQ(port.LastErrno(), EIO);
  Bytes one{0};
  const auto start = Clock::now();
  EXPECT_FALSE(port.ReadPort(one));
  EXPECT_FALSE(port.WritePort(one));
  EXPECT_EQ(port.WaitReadable(Clock::now() + 2s), WaitResult::kReady);
  EXPECT_LT(Ms(start), 200);
}

// A waiting driver is woken by the first byte, and every byte still comes out once, in order,
// whichever way it is read.
TEST(SerialCommWait, EndsWhenAByteArrivesAndLosesNoByte) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200));
  std::thread device([&pty] {
    std::this_thread::sleep_for(150ms);
    pty.Write({1});
  });
  auto start = Clock::now();
  EXPECT_EQ(port.WaitReadable(start + 5s), WaitResult::kReady);
  device.join();
  EXPECT_GE(Ms(start), 100);
  EXPECT_LT(Ms(start), 1000);
  pty.Write({2, 3});
  WaitForCount(port, 3);
  EXPECT_EQ(port.GetCountBytes(), 3);
  Bytes in(3);
  ASSERT_TRUE(port.ReadPort(in));
  EXPECT_EQ(in, (Bytes{1, 2, 3}));

  // Longer than a read's own time-out, so a wait outlasts it.
  device = std::thread([&pty] {
    std::this_thread::sleep_for(1300ms);
    pty.Write({4, 5});
  });
  start = Clock::now();
  EXPECT_EQ(port.WaitReadable(start + 5s), WaitResult::kReady);
  device.join();
  EXPECT_GE(Ms(start), 1200);
  WaitForCount(port, 2);
  std::uint8_t buf[8];
  std::size_t n = port.ReadAvailable(buf);
  n += port.ReadAvailable(std::span(buf).subspan(n));
  EXPECT_EQ(Bytes(buf, buf + n), (Bytes{4, 5}));
  EXPECT_EQ(port.ReadAvailable(buf), 0u);
}

TEST(SerialCommWait, EndsAtTheDeadlineOrWhenInterrupted) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200));
  WaitInterrupt stop;
  auto start = Clock::now();
  EXPECT_EQ(port.WaitReadable(start + 300ms, &stop), WaitResult::kTimeout);
  EXPECT_GE(Ms(start), 300);
  EXPECT_LT(Ms(start), 900);

  std::thread user([&stop] {
    std::this_thread::sleep_for(150ms);
    stop.Raise();
  });
  start = Clock::now();
  EXPECT_EQ(port.WaitReadable(start + 5s, &stop), WaitResult::kInterrupted);
  user.join();
  EXPECT_LT(Ms(start), 1000);
  EXPECT_TRUE(stop.Raised());
  EXPECT_EQ(port.WaitReadable(Clock::now() + 5s, &stop), WaitResult::kInterrupted)
      << "stays raised";
  stop.Clear();
  EXPECT_FALSE(stop.Raised());
  EXPECT_EQ(port.WaitReadable(Clock::now() + 50ms, &stop), WaitResult::kTimeout);

  // Nothing to read arrived during all this, and the port still works.
  EXPECT_EQ(port.GetCountBytes(), 0);
  pty.Write({9});
  EXPECT_EQ(port.WaitReadable(Clock::now() + 5s), WaitResult::kReady);
  std::uint8_t byte = 0;
  EXPECT_EQ(port.ReadAvailable(std::span(&byte, 1)), 1u);
  EXPECT_EQ(byte, 9);
}

TEST(SerialCommWait, WaitsForSeveralPortsAtOnce) {
  Pty first_pty;
  Pty second_pty;
  SerialComm first;
  SerialComm second;
  SerialComm closed;
  ASSERT_TRUE(first.OpenPath(first_pty.path(), 115200));
  ASSERT_TRUE(second.OpenPath(second_pty.path(), 115200));
  SerialComm* ports[] = {&first, &closed, &second};
  EXPECT_EQ(SerialComm::WaitForPorts(ports, Clock::now() + 100ms), WaitResult::kTimeout);

  second_pty.Write({0x55});
  EXPECT_EQ(SerialComm::WaitForPorts(ports, Clock::now() + 5s), WaitResult::kReady);
  std::uint8_t byte = 0;
  EXPECT_EQ(first.ReadAvailable(std::span(&byte, 1)), 0u);
  EXPECT_EQ(second.ReadAvailable(std::span(&byte, 1)), 1u);
  EXPECT_EQ(byte, 0x55);

  first_pty.CloseMaster();
  const auto start = Clock::now();
  EXPECT_EQ(SerialComm::WaitForPorts(ports, start + 5s), WaitResult::kReady);
  EXPECT_LT(Ms(start), 1000);
  EXPECT_TRUE(first.PortLost());
  EXPECT_FALSE(second.PortLost());
}

}  // namespace
}  // namespace pelkar
