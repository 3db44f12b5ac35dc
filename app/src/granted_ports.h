// The page's port list: the serial ports the browser has granted this page, each known by the
// number the page gave it when first seen, so that a port keeps its number while others come
// and go. Where the browser tells the USB adapter behind a port, the item names its vendor
// and product id.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/ports.h"

namespace pelkar {

struct GrantedPort {
  std::uint8_t number = 0;  // 1..255, the page's own
  std::optional<std::uint16_t> usb_vendor;
  std::optional<std::uint16_t> usb_product;
};

// "USB 0403:6001 #3"; "Serial port #3" when the browser does not tell the adapter.
std::string GrantedPortName(const GrantedPort& port);

class GrantedPortList final : public PortDiscovery {
 public:
  // granted: the ports granted now, in the order the menu shows them.
  explicit GrantedPortList(std::function<std::vector<GrantedPort>()> granted);

  void Query() override;
  std::uint8_t Count() const override;
  std::string Name(std::uint8_t index) const override;
  std::uint8_t Number(std::uint8_t index) const override;

 private:
  std::function<std::vector<GrantedPort>()> granted_;
  std::vector<GrantedPort> ports_;
};

}  // namespace pelkar
