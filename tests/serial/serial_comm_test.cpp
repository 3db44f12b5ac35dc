#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <chrono>
#include <thread>

#include "pty.h"
#include "serial/serial_comm.h"

namespace pelkar {
namespace {

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
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

TEST(SerialComm, OpensRaw8N1AtTheRateWithoutSoftwareFlowControl) {
  Pty pty;
  termios before{};
  ::tcgetattr(pty.master(), &before);
  before.c_iflag |= IXON | IXOFF;
  before.c_cflag |= PARENB | CSTOPB;
  ::tcsetattr(pty.master(), TCSANOW, &before);

  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200)) << port.LastError();
  termios t{};
  ASSERT_EQ(::tcgetattr(port.Descriptor(), &t), 0);
  EXPECT_EQ(::cfgetospeed(&t), B115200);
  EXPECT_EQ(::cfgetispeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  // A pseudo-terminal has no modem lines; the channel never needs them.
  int lines = 0;
  EXPECT_NE(::ioctl(port.Descriptor(), TIOCMGET, &lines), 0);
  EXPECT_EQ(errno, ENOTTY);
}

TEST(SerialComm, RefusesARateItDoesNotKnow) {
  Pty pty;
  SerialComm port;
  EXPECT_FALSE(port.OpenPath(pty.path(), 12345));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.OpenPath("/dev/null", 115200)) << "not a serial port";
  EXPECT_FALSE(port.OpenPath("/nonexistent/ttyX", 115200));
  EXPECT_EQ(port.LastErrno(), ENOENT);
  EXPECT_FALSE(port.OpenPort(0, 115200));
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

TEST(SerialComm, HoldsThePortExclusivelyUntilClosed) {
  Pty pty;
  SerialComm first;
  SerialComm second;
  ASSERT_TRUE(first.OpenPath(pty.path(), 115200));
  EXPECT_FALSE(second.OpenPath(pty.path(), 115200)) << "a second opener got in (we run as root)";
  EXPECT_NE(second.LastError().find("another program holds the port"), std::string::npos)
      << second.LastError();
  second.ClosePort();
  first.ClosePort();
  EXPECT_TRUE(second.OpenPath(pty.path(), 115200)) << second.LastError();
  // Opening again on the same channel closes the old port first.
  EXPECT_TRUE(second.OpenPath(pty.path(), 115200)) << second.LastError();
}

TEST(SerialComm, TellsAPortLostAtOnce) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200));
  EXPECT_FALSE(port.PortLost());
  pty.CloseMaster();
  EXPECT_TRUE(port.PortLost());
  Bytes one{0};
  const auto start = Clock::now();
  EXPECT_FALSE(port.ReadPort(one));
  EXPECT_FALSE(port.WritePort(one));
  EXPECT_LT(Ms(start), 200);
}

}  // namespace
}  // namespace pelkar
