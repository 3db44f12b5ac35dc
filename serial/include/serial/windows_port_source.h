// The machine's serial ports on Windows: the device inventory (WMI's Plug and Play devices),
// and the registry's serial port map for when the inventory lists none (Wine, stripped-down
// installations, drivers that register no Plug and Play device).
#pragma once

#include <vector>

#include "serial/port_name.h"

namespace pelkar {

// Every Plug and Play device of root\cimv2's Win32_PnPEntity with its class identifier and
// name, in the service's order. Throws std::runtime_error when the service cannot be reached.
class WmiPortSource : public PortSource {
 public:
  std::vector<PortDevice> Devices() override;
};

// One device a value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, by port number (see
// RegistryPortDevice); none when the key is missing.
class RegistryPortSource : public PortSource {
 public:
  std::vector<PortDevice> Devices() override;
};

// The inventory's devices when they hold a port, else the registry's.
class WindowsPortSource : public PortSource {
 public:
  std::vector<PortDevice> Devices() override;
};

}  // namespace pelkar
