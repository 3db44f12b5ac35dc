// The page's port list: what the browser granted, in its order, named by the adapter.
#include "granted_ports.h"

#include <gtest/gtest.h>

namespace pelkar {
namespace {

GrantedPort Usb(std::uint8_t number, std::uint16_t vendor, std::uint16_t product) {
  GrantedPort port;
  port.number = number;
  port.usb_vendor = vendor;
  port.usb_product = product;
  return port;
}

TEST(GrantedPorts, NamesTellTheAdapterWhereTheBrowserKnowsIt) {
  EXPECT_EQ(GrantedPortName(Usb(1, 0x0403, 0x6001)), "USB 0403:6001 #1");
  EXPECT_EQ(GrantedPortName(Usb(255, 0xFFFF, 0x000A)), "USB ffff:000a #255");
  GrantedPort bluetooth;
  bluetooth.number = 7;
  EXPECT_EQ(GrantedPortName(bluetooth), "Serial port #7");
  bluetooth.usb_vendor = 0x0403;  // half an identity is none
  EXPECT_EQ(GrantedPortName(bluetooth), "Serial port #7");
}

TEST(GrantedPorts, EachQueryTakesWhatIsGrantedNow) {
  std::vector<GrantedPort> granted;
  GrantedPortList list([&] { return granted; });
  list.Query();
  EXPECT_EQ(list.Count(), 0);  // Form1 then shows its one empty item
  EXPECT_EQ(list.Name(0), "");
  EXPECT_EQ(list.Number(0), 0);

  granted = {Usb(3, 0x2341, 0x0043), GrantedPort{}, Usb(1, 0x0403, 0x6001)};
  EXPECT_EQ(list.Count(), 0);  // nothing changes before the next query
  list.Query();
  ASSERT_EQ(list.Count(), 2);  // number 0 stands for "no port": never an entry
  EXPECT_EQ(list.Name(0), "USB 2341:0043 #3");
  EXPECT_EQ(list.Number(0), 3);
  EXPECT_EQ(list.Number(1), 1);
  EXPECT_EQ(list.Number(2), 0);
}

}  // namespace
}  // namespace pelkar
