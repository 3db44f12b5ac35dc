#include "serial/port_table.h"

#include <gtest/gtest.h>

namespace pelkar {
TEST(PortTable, BothWays) {
  setenv("XDG_RUNTIME_DIR", "/tmp/xdgtest", 1);
  const std::pair<int, const char*> cases[] = {{1, "/dev/ttyS0"},
                                               {32, "/dev/ttyS31"},
                                               {33, "/dev/ttyUSB0"},
                                               {64, "/dev/ttyUSB31"},
                                               {65, "/dev/ttyACM0"},
                                               {97, "/dev/ttyAMA0"},
                                               {128, "/dev/ttyAMA31"},
                                               {200, "/tmp/xdgtest/pelkar1/COM200"},
                                               {255, "/tmp/xdgtest/pelkar1/COM255"}};
  for (auto [n, p] : cases) {
    EXPECT_EQ(DevicePathForPort(static_cast<uint8_t>(n)), p) << n;
    EXPECT_EQ(PortForDevicePath(p), n) << p;
  }
  for (int n : {0, 129, 199})
    EXPECT_FALSE(DevicePathForPort(static_cast<uint8_t>(n))) << n;
  for (const char* p : {"/dev/ttyS32", "/dev/ttyUSB", "/dev/ttyUSB01", "/dev/ttyUSB0x", "/dev/tty0",
                        "/tmp/xdgtest/pelkar1/COM199"})
    EXPECT_FALSE(PortForDevicePath(p)) << p;
}
}  // namespace pelkar
