#include "granted_ports.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace pelkar {

std::string GrantedPortName(const GrantedPort& port) {
  char text[40];
  if (port.usb_vendor && port.usb_product) {
    std::snprintf(text, sizeof text, "USB %04x:%04x #%u", unsigned{*port.usb_vendor},
                  unsigned{*port.usb_product}, unsigned{port.number});
  } else {
    std::snprintf(text, sizeof text, "Serial port #%u", unsigned{port.number});
  }
  return text;
}

GrantedPortList::GrantedPortList(std::function<std::vector<GrantedPort>()> granted)
    : granted_(std::move(granted)) {}

void GrantedPortList::Query() {
  ports_ = granted_();
  // Number 0 means "no port" to the window, and a menu holds at most 255 entries.
  std::erase_if(ports_, [](const GrantedPort& port) { return port.number == 0; });
  if (ports_.size() > 255) ports_.resize(255);
}

std::uint8_t GrantedPortList::Count() const {
  return static_cast<std::uint8_t>(ports_.size());
}

std::string GrantedPortList::Name(std::uint8_t index) const {
  return index < ports_.size() ? GrantedPortName(ports_[index]) : std::string();
}

std::uint8_t GrantedPortList::Number(std::uint8_t index) const {
  return index < ports_.size() ? ports_[index].number : 0;
}

}  // namespace pelkar
