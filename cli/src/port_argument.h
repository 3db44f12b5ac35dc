// What a PORT argument names: a COM number ("33"), a name from `pelkar1 ports` ("COM33",
// "ttyUSB0"), a device path (also a /dev/serial/by-id link), or a USB adapter's serial
// number when no device has that name. On Windows a COM number is the system's own: "COM3", "3" and
// "\\.\COM3" are one port. "rfc2217://HOST:PORT" and "socket://HOST:PORT" name a port on a
// network serial server.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pelkar::cli {

struct PortArgument {
  std::string label;          // how results name it: "COM33", or the path when it has no number
  std::string path;           // what to open (UTF-8); a network port's URL, in one spelling
  std::optional<int> number;  // the COM number, when the port has one
};

// Nothing when a number names no port of this system. Throws Failure (a usage error) for a
// number outside 1..255 and for a malformed URL.
std::optional<PortArgument> ResolvePort(const std::string& text);

// The device path of a name that is no number: "ttyUSB0" -> "/dev/ttyUSB0" on POSIX systems,
// "CNCA0" -> "\\.\CNCA0" on Windows; a path stays as it is.
std::string DevicePathForName(const std::string& name);

// Where a link leads, step by step (a link to a virtual port's link to its pseudo-terminal):
// every path it names in turn, the last with no links left. Empty for no link, and always on
// Windows.
std::vector<std::string> LinkSteps(const std::string& path);

// True when something is at path.
bool DeviceExists(const std::string& path);

// What tells two spellings of one port apart from two ports: a network port's server and TCP
// port, whatever the scheme; else DeviceIdentity(path).
std::string PortIdentity(const PortArgument& port);

// What tells two spellings of one device apart from two devices: on POSIX systems the device
// number of the file a path leads to, else the path itself; on Windows the COM number, else
// the path in one letter case.
std::string DeviceIdentity(const std::string& path);

}  // namespace pelkar::cli
