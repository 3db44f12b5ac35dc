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

// The folder of virtual ports, the same for every process of this user whatever its
// environment (a shell, sudo, ssh, a service): /run/user/<uid>/pelkar1 when /run/user/<uid> is
// this user's folder, else /tmp/pelkar1-<uid>. Created 0700 when missing; access for others
// is taken away. Nothing when it cannot be made or is not a real folder owned by this user:
// a planted link or another user's folder could lead the links anywhere. Always nothing on
// Windows.
std::optional<std::filesystem::path> VirtualPortFolder();

// The same choice for user uid, with run_user and tmp in place of /run/user and /tmp.
std::optional<std::filesystem::path> VirtualPortFolderUnder(const std::filesystem::path& run_user,
                                                            const std::filesystem::path& tmp,
                                                            std::uint32_t uid);

// Points every virtual-port lookup of this process at folder, so tests running side by side
// never meet each other's devices or the user's; an empty path undoes it.
void SetVirtualPortFolderForTests(const std::filesystem::path& folder);

}  // namespace pelkar
