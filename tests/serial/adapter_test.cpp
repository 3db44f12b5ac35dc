// Which adapter a port is, from udev properties given in place of the machine's; whether
// another program holds it, from /proc/locks text and a /proc-like tree; and what a slow
// latency timer costs.
#include "serial/adapter.h"

#include <gtest/gtest.h>

#include <fstream>

namespace pelkar {
namespace {

TEST(Adapter, FromUdevProperties) {
  using Props = std::map<std::string, std::string>;
  const Props ftdi = {
      {"ID_BUS", "usb"},
      {"ID_VENDOR_ID", "0403"},
      {"ID_MODEL_ID", "6001"},
      {"ID_VENDOR", "FTDI"},
      {"ID_VENDOR_ENC", "FTDI"},
      {"ID_MODEL", "FT232R_USB_UART"},
      {"ID_MODEL_ENC", "FT232R\\x20USB\\x20UART"},
      {"ID_SERIAL_SHORT", "A50285BI"},
      {"DEVLINKS",
       "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0 "
       "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"},
  };
  auto a = AdapterFromProperties(ftdi);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->vendor_id, "0403");
  EXPECT_EQ(a->product_id, "6001");
  EXPECT_EQ(a->manufacturer, "FTDI");
  EXPECT_EQ(a->product, "FT232R USB UART");
  EXPECT_EQ(a->serial, "A50285BI");
  EXPECT_EQ(a->by_id, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");

  // Without a udev database: sysfs attributes under the same names, no _ENC, no links.
  a = AdapterFromProperties({{"ID_BUS", "usb"},
                             {"ID_VENDOR_ID", "1a86"},
                             {"ID_MODEL_ID", "7523"},
                             {"ID_MODEL", "USB Serial"}});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->product, "USB Serial");
  EXPECT_EQ(a->manufacturer, "");
  EXPECT_EQ(a->serial, "");
  EXPECT_EQ(a->by_id, "");

  // A built-in UART or a pseudo-terminal is no USB adapter.
  EXPECT_FALSE(AdapterFromProperties({{"ID_PATH", "platform-serial8250"}}));
  EXPECT_FALSE(AdapterFromProperties({}));
}

TEST(Adapter, LocksHeldOnTheDeviceMakeItBusy) {
  const std::string locks =
      "1: POSIX  ADVISORY  WRITE 901 fd:01:393243 0 EOF\n"
      "2: FLOCK  ADVISORY  WRITE 4242 00:05:1234 0 EOF\n"
      "2: -> FLOCK  ADVISORY  WRITE 4343 00:05:777 0 EOF\n";
  EXPECT_TRUE(LockedIn(locks, 0, 5, 1234));
  EXPECT_TRUE(LockedIn(locks, 0xfd, 1, 393243));
  EXPECT_FALSE(LockedIn(locks, 0, 5, 12345));  // no prefix match
  EXPECT_FALSE(LockedIn(locks, 0, 6, 1234));
  EXPECT_FALSE(LockedIn(locks, 0, 5, 777));  // only waiting for the lock
  EXPECT_FALSE(LockedIn("", 0, 5, 1234));
}

TEST(Adapter, LatencyAdviceOnlyAboveTwoMilliseconds) {
  struct Case {
    unsigned ms;
    std::size_t blocks;
    const char* says;  // nullptr: no advice
  } cases[] = {
      {16, 160,
       "latency timer is 16 ms; each of the 161 requests of this update may wait that "
       "long, up to 2.6 s more in all. HOW"},
      {3, 9, "10 requests of this update may wait that long, up to 30 ms more"},
      {2, 160, nullptr},
      {0, 160, nullptr},
  };
  for (const auto& c : cases) {
    const auto advice = LatencyAdviceText("COM5", c.ms, c.blocks, "HOW");
    if (c.says == nullptr) {
      EXPECT_FALSE(advice) << c.ms << " ms: " << *advice;
      continue;
    }
    ASSERT_TRUE(advice) << c.ms;
    EXPECT_EQ(advice->rfind("COM5: ", 0), 0u) << *advice;
    EXPECT_NE(advice->find(c.says), std::string::npos) << *advice;
  }
}

}  // namespace
}  // namespace pelkar
