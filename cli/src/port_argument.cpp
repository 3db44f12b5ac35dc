#include "port_argument.h"

#include <algorithm>
#include <cctype>

#include "serial/port_map.h"

namespace pelkar::cli {
namespace {

std::optional<int> Number(const std::string& s) {
  if (s.empty() || s.size() > 3 || !std::all_of(s.begin(), s.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
      })) {
    return std::nullopt;
  }
  return std::stoi(s);
}

}  // namespace

std::optional<PortArgument> ResolvePort(const std::string& text) {
  std::optional<int> number = Number(text);
  if (!number && text.size() > 3 && (text.rfind("COM", 0) == 0 || text.rfind("com", 0) == 0)) {
    number = Number(text.substr(3));
  }
  if (number) {
    if (*number > 255) return std::nullopt;
    auto path = DevicePathForPort(static_cast<std::uint8_t>(*number));
    if (!path) return std::nullopt;
    return PortArgument{"COM" + std::to_string(*number), *path};
  }
  std::string path = text.find('/') == std::string::npos ? "/dev/" + text : text;
  if (auto port = PortForDevicePath(path)) return PortArgument{"COM" + std::to_string(*port), path};
  return PortArgument{path, path};
}

}  // namespace pelkar::cli
