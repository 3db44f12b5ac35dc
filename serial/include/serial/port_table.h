#pragma once
// The one fixed mapping between a port number and a device path, used by
// discovery and by opening a port alike.
//   COM1-32 = /dev/ttyS0-31, COM33-64 = /dev/ttyUSB0-31, COM65-96 = /dev/ttyACM0-31,
//   COM97-128 = /dev/ttyAMA0-31, COM200-255 = links COMnnn in the virtual-port folder.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pelkar {

// Folder of the per-user virtual ports: $XDG_RUNTIME_DIR/pelkar1 when that variable is set,
// else /tmp/pelkar1-<uid>. Only computes the path; creates nothing.
std::string VirtualPortFolder();

// Device path for a port number; nullopt for numbers outside the table (0, 129-199).
std::optional<std::string> DevicePathForPort(uint8_t ComPort);

// Port number for a device path; nullopt when the path is not in the table.
std::optional<uint8_t> PortForDevicePath(std::string_view Path);

}  // namespace pelkar
