#include "port_argument.h"

#include <algorithm>
#include <cctype>

#include "firmware/files.h"
#include "output.h"
#include "serial/adapter.h"
#include "serial/port_map.h"

namespace pelkar::cli {
namespace {

std::optional<long> Number(const std::string& s) {
  if (s.empty() || s.size() > 9 || !std::all_of(s.begin(), s.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      })) {
    return std::nullopt;
  }
  return std::stol(s);
}

PortArgument Numbered(long number, const std::string& path) {
  return PortArgument{"COM" + std::to_string(number), path, static_cast<int>(number)};
}

// A link (/dev/serial/by-id/...) is named by the port it leads to, and opened as given.
PortArgument Labelled(const std::string& path) {
  for (const std::string& step : LinkSteps(path)) {
    if (auto port = PortForDevicePath(step)) return Numbered(*port, path);
  }
  return PortArgument{path, path, std::nullopt};
}

}  // namespace

std::optional<PortArgument> ResolvePort(const std::string& text) {
  std::optional<long> number = Number(text);
  if (!number && text.size() > 3 && (text.rfind("COM", 0) == 0 || text.rfind("com", 0) == 0)) {
    number = Number(text.substr(3));
  }
  if (number) {
    if (*number < 1 || *number > 255) {
      throw Failure{kUsage, "pelkar1 update: --port " + Printable(text) +
                                ": a port number runs from 1 to 255 (see `pelkar1 ports`)."};
    }
    auto path = DevicePathForPort(static_cast<std::uint8_t>(*number));
    if (!path) return std::nullopt;
    return Numbered(*number, *path);
  }
  const std::string path = DevicePathForName(text);
  if (auto port = PortForDevicePath(path)) return Numbered(*port, path);
  // A bare word that names no device may be an adapter's serial number: its by-id link keeps
  // the fixture's name whatever order the adapters were plugged in.
  if (text.find_first_of("/\\") == std::string::npos && !DeviceExists(path)) {
    for (const UsbAdapter& a : UsbAdapters()) {
      if (!a.serial.empty() && a.serial == text) return Labelled(a.by_id);
    }
  }
  return Labelled(path);
}

}  // namespace pelkar::cli
