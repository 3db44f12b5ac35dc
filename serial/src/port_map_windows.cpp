#include <cctype>

#include "serial/port_map.h"

namespace pelkar {

std::optional<std::string> DevicePathForPort(std::uint8_t port) {
  if (port == 0) return std::nullopt;
  // The \\.\ form names every port, COM10 and up included.
  return "\\\\.\\COM" + std::to_string(port);
}

std::optional<std::uint8_t> PortForDevicePath(std::string_view path) {
  if (path.substr(0, 4) == "\\\\.\\") path.remove_prefix(4);
  if (path.size() < 4 || path.size() > 6) return std::nullopt;
  for (std::size_t i = 0; i < 3; ++i) {
    if (std::toupper(static_cast<unsigned char>(path[i])) != "COM"[i]) return std::nullopt;
  }
  const std::string_view digits = path.substr(3);
  if (digits[0] == '0') return std::nullopt;
  unsigned n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  if (n > 255) return std::nullopt;
  return static_cast<std::uint8_t>(n);
}

std::optional<std::filesystem::path> VirtualPortFolder() {
  return std::nullopt;
}

}  // namespace pelkar
