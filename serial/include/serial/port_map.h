// The one mapping between a port number (COMn) and a device path.
//
// On Linux a fixed table:
//   COM1-COM32    /dev/ttyS0-31       COM97-COM128   /dev/ttyAMA0-31
//   COM33-COM64   /dev/ttyUSB0-31     COM200-COM255  virtual ports: links COM200.. in the
//   COM65-COM96   /dev/ttyACM0-31                    per-user folder (VirtualPortFolder)
// Other numbers, and devices outside these ranges, have no mapping.
//
// On Windows the number is the system's own: COM1-COM255 are \\.\COM1-\\.\COM255, and there
// are no virtual ports.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace pelkar {

constexpr std::uint8_t kFirstVirtualPort = 200;

// The device path of a port number, or nothing when the number maps to no device.
std::optional<std::string> DevicePathForPort(std::uint8_t port);

// The port number of a device path ("/dev/ttyUSB0" -> 33, "<folder>/COM201" -> 201; on
// Windows "\\.\COM12" or "COM12" -> 12, in any letter case), or nothing when the path is
// outside the table.
std::optional<std::uint8_t> PortForDevicePath(std::string_view path);

// The folder of virtual ports: $XDG_RUNTIME_DIR/pelkar1, else /tmp/pelkar1-<uid>; created
// 0700 when missing. Nothing when it cannot be created or is not a real folder owned by
// this user with no access for others (another user could plant links in it), and always
// nothing on Windows.
std::optional<std::filesystem::path> VirtualPortFolder();

}  // namespace pelkar
