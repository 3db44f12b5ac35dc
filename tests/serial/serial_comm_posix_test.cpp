// What the serial channel does with a POSIX terminal beyond what every system shares.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include "pty.h"
#include "serial/serial_comm.h"

namespace pelkar {
namespace {

using test::Pty;

TEST(PermissionHint, NamesAGroupOnlyWhenJoiningItWouldHelp) {
  struct Case {
    DeviceAccess access;
    const char* says;
  } cases[] = {
      {{"/dev/ttyUSB0", 0660, "root", "dialout", false, false}, "sudo usermod -aG dialout $USER"},
      {{"/dev/ttyUSB0", 0660, "root", "dialout", false, true}, "log out and in again"},
      {{"/dev/ttyUSB0", 0600, "root", "dialout", false, false}, "Only 'root' may open"},
      {{"/dev/ttyUSB0", 0640, "root", "dialout", false, false}, "udev rule"},
      {{"/dev/ttyACM0", 0660, "root", "root", true, false}, "Only 'root' and the group 'root'"},
  };
  for (const auto& c : cases) {
    const std::string hint = PermissionHint(c.access);
    EXPECT_NE(hint.find(c.says), std::string::npos) << hint;
    if (std::string(c.says).find("usermod") == std::string::npos) {
      EXPECT_EQ(hint.find("usermod"), std::string::npos) << hint;
    }
  }
}

TEST(SerialCommPosix, LeavesNoTerminalProcessingAndNoModemLineUse) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200)) << port.LastError();
  termios t{};
  ASSERT_EQ(::tcgetattr(port.Descriptor(), &t), 0);
  EXPECT_EQ(::cfgetispeed(&t), B115200);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(t.c_iflag & IXANY, 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);

  // A pseudo-terminal has no modem lines; the channel never needs them.
  int lines = 0;
  EXPECT_NE(::ioctl(port.Descriptor(), TIOCMGET, &lines), 0);
  EXPECT_EQ(errno, ENOTTY);
}

TEST(SerialCommPosix, RefusesRatesAndDevicesItCannotUse) {
  Pty pty;
  SerialComm port;
  EXPECT_FALSE(port.OpenPath(pty.path(), 12345));
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.OpenPath("/dev/null", 115200)) << "not a serial port";
  EXPECT_FALSE(port.OpenPath("/nonexistent/ttyX", 115200));
  EXPECT_EQ(port.LastErrno(), ENOENT);
}

TEST(SerialCommPosix, HoldsThePortExclusivelyUntilClosed) {
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
}

TEST(SerialCommPosix, DescriptorsServeACallersOwnPoll) {
  Pty pty;
  SerialComm port;
  ASSERT_TRUE(port.OpenPath(pty.path(), 115200));
  pollfd p{port.Descriptor(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0);
  pty.Write({1});
  EXPECT_EQ(::poll(&p, 1, 2000), 1);
  port.ClosePort();
  EXPECT_EQ(port.Descriptor(), -1);

  WaitInterrupt stop;
  pollfd q{stop.Descriptor(), POLLIN, 0};
  EXPECT_EQ(::poll(&q, 1, 0), 0);
  stop.Raise();
  stop.Raise();
  EXPECT_EQ(::poll(&q, 1, 0), 1);
  stop.Clear();
  EXPECT_EQ(::poll(&q, 1, 0), 0);
}

}  // namespace
}  // namespace pelkar
