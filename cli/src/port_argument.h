// What a PORT argument names: a COM number ("33"), a name from `pelkar1 ports` ("COM33",
// "ttyUSB0") or a device path.
#pragma once

#include <optional>
#include <string>

namespace pelkar::cli {

struct PortArgument {
  std::string label;  // how results name it: "COM33", or the path when it has no number
  std::string path;   // what to open
};

// Nothing when a number names no port of the table. Throws Failure (a usage error) for a
// number outside 1..255.
std::optional<PortArgument> ResolvePort(const std::string& text);

// What tells two spellings of one device apart from two devices: the device number of the
// file a path leads to, else the path itself.
std::string DeviceIdentity(const std::string& path);

}  // namespace pelkar::cli
