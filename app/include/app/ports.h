// What the window needs of port discovery and of the serial channel. Thin adapters put the
// serial library's classes behind these, so tests can stand in for the machine's ports.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/port_channel.h"

namespace pelkar {

// The discovered ports, in discovery order. After Query there is at least one entry (an
// empty name with port number 0 when no port was found).
class PortDiscovery {
 public:
  virtual ~PortDiscovery() = default;
  virtual void Query() = 0;
  virtual std::uint8_t Count() const = 0;
  virtual std::string Name(std::uint8_t index) const = 0;
  // The COM number of entry index; 0 for an index that has no entry.
  virtual std::uint8_t Number(std::uint8_t index) const = 0;
};

}  // namespace pelkar
