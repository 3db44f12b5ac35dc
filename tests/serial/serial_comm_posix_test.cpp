// What the serial channel does with a POSIX terminal beyond what every system shares.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <filesystem>
#include <fstream>

#include "held_open.h"
#include "pty.h"
#include "serial/adapter.h"
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

TEST(PortHolders, AreTheOtherProcessesWithTheDeviceOpen) {
  namespace fs = std::filesystem;
  const fs::path root =
      fs::temp_directory_path() / ("pelkar-holders-" + std::to_string(::getpid()));
  fs::remove_all(root);
  const fs::path dev = root / "ttyUSB0";
  const fs::path proc = root / "proc";
  fs::create_directories(proc);
  std::ofstream(dev) << "";
  std::ofstream(root / "other") << "";
  struct Process {
    const char* pid;
    const char* comm;    // nullptr: unreadable
    fs::path fd_target;  // empty: its descriptors are hidden from us
  } processes[] = {
      {"100", "cat\n", dev},     {"200", "bash\n", root / "other"},
      {"300", "pelkar1\n", dev},  // this process
      {"50", nullptr, dev},      {"400", "ModemManager\n", {}},
  };
  for (const auto& p : processes) {
    const fs::path dir = proc / p.pid;
    fs::create_directories(dir);
    if (p.comm != nullptr) std::ofstream(dir / "comm") << p.comm;
    if (p.fd_target.empty()) continue;
    fs::create_directories(dir / "fd");
    fs::create_symlink(p.fd_target, dir / "fd" / "3");
  }
  fs::create_directory_symlink(proc / "300", proc / "self");

  const auto holders = PortHoldersUnder(proc, dev.string(), 300);
  ASSERT_EQ(holders.size(), 2u);
  EXPECT_EQ(holders[0].pid, 50);
  EXPECT_EQ(holders[0].name, "");
  EXPECT_EQ(holders[1].pid, 100);
  EXPECT_EQ(holders[1].name, "cat");
  EXPECT_TRUE(PortHoldersUnder(proc, (root / "missing").string(), 300).empty());
  EXPECT_TRUE(PortHoldersUnder(root / "no-proc", dev.string(), 300).empty());
  fs::remove_all(root);
}

TEST(SerialCommPosix, RefusesAPortAnotherProcessHoldsAndNamesIt) {
  Pty pty;
  SerialComm port;
  {
    const test::HeldOpen other(pty.path());
    EXPECT_FALSE(port.OpenPath(pty.path(), 115200));
    EXPECT_FALSE(port.IsOpen()) << "the holder's port was opened (and its settings changed)";
    EXPECT_EQ(port.LastErrno(), EBUSY);
    const std::string pid = "pid " + std::to_string(other.pid());
    EXPECT_NE(port.LastError().find("is held by another program ("), std::string::npos)
        << port.LastError();
    EXPECT_NE(port.LastError().find(pid), std::string::npos) << port.LastError();
  }
  EXPECT_TRUE(port.OpenPath(pty.path(), 115200)) << port.LastError();
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
