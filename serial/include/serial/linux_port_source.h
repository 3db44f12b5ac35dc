// The machine's serial ports on Linux: tty devices from udev that sit on a device and map to
// a port number, plus the live virtual ports of this user's folder.
#pragma once

#include <string>
#include <vector>

#include "serial/port_name.h"

namespace pelkar {

class LinuxPortSource : public PortSource {
 public:
  // Display names read "<description> <device path> (COMn)", e.g.
  // "FT232R USB UART /dev/ttyUSB0 (COM33)" or "Simulated device /dev/pts/3 (COM200)".
  // Built-in ttyS ports with no UART behind them are left out. A part that cannot be read
  // (no udev, an unreadable folder) gives what the others found.
  std::vector<PortDevice> Devices() override;
};

// The live virtual ports of the folder: (port number, pseudo-terminal path) for every link
// COM200..COM255 whose device still runs (see serial/virtual_port.h), in number order.
std::vector<std::pair<std::uint8_t, std::string>> LiveVirtualPorts();

}  // namespace pelkar
