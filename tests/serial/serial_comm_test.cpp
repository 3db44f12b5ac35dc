#include "serial/serial_comm.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace pelkar {
namespace {
struct Pty {
  int Master = -1;
  std::string Slave;
  Pty() {
    Master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(Master);
    unlockpt(Master);
    Slave = ptsname(Master);
  }
  ~Pty() {
    if (Master >= 0) close(Master);
  }
};
}  // namespace

TEST(SerialComm, RawWriteReadExclusiveLost) {
  Pty pty;
  SerialComm s;
  ASSERT_TRUE(s.OpenDevice(pty.Slave, 115200)) << s.LastError();
  SerialComm other;
  EXPECT_FALSE(other.OpenDevice(pty.Slave, 115200));
  const uint8_t out[] = {0x11, 0x13, 0x00, 0xFF};
  ASSERT_TRUE(s.WritePort(out));
  uint8_t got[4] = {};
  ASSERT_EQ(read(pty.Master, got, 4), 4);
  EXPECT_EQ(0, memcmp(out, got, 4));
  ASSERT_EQ(write(pty.Master, out, 2), 2);
  usleep(50000);
  EXPECT_EQ(s.GetCountBytes(), 2);
  uint8_t in[4] = {9, 9, 9, 9};
  ASSERT_TRUE(s.ReadPort(in));
  EXPECT_EQ(s.LastReadCount(), 2u);
  EXPECT_EQ(in[2], 9);
  close(pty.Master);
  pty.Master = -1;
  EXPECT_TRUE(s.CheckLost());
}
}  // namespace pelkar
