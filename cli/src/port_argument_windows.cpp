#include <algorithm>
#include <cctype>

#include "port_argument.h"
#include "serial/port_map.h"

namespace pelkar::cli {

std::string DevicePathForName(const std::string& name) {
  // A bare device name ("CNCA0", a virtual port driver's) lives in the device namespace.
  return name.find_first_of("\\/") == std::string::npos ? "\\\\.\\" + name : name;
}

std::vector<std::string> LinkSteps(const std::string&) {
  return {};
}

bool DeviceExists(const std::string&) {
  return true;  // no serial numbers to look up instead
}

std::string DeviceIdentity(const std::string& path) {
  // COM3, com3 and \\.\COM3 are one port; every other device name ignores letter case too.
  if (const auto port = PortForDevicePath(path)) return "COM " + std::to_string(*port);
  std::string folded = path;
  std::replace(folded.begin(), folded.end(), '/', '\\');
  std::transform(folded.begin(), folded.end(), folded.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return "path " + folded;
}

}  // namespace pelkar::cli
