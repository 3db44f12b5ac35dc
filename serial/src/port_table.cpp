#include "serial/port_table.h"

#include <unistd.h>

#include <charconv>
#include <cstdlib>

namespace pelkar {
namespace {
struct Range {
  std::string_view Prefix;
  int First;
};
constexpr Range kRanges[] = {
    {"/dev/ttyS", 1}, {"/dev/ttyUSB", 33}, {"/dev/ttyACM", 65}, {"/dev/ttyAMA", 97}};

std::optional<int> ParseIndex(std::string_view s, int max) {
  if (s.empty() || (s.size() > 1 && s[0] == '0')) return std::nullopt;
  int v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || p != s.data() + s.size() || v < 0 || v > max) return std::nullopt;
  return v;
}
}  // namespace

std::string VirtualPortFolder() {
  const char* xdg = std::getenv("XDG_RUNTIME_DIR");
  if (xdg != nullptr && *xdg != '\0') return std::string(xdg) + "/pelkar1";
  return "/tmp/pelkar1-" + std::to_string(getuid());
}

std::optional<std::string> DevicePathForPort(uint8_t ComPort) {
  if (ComPort >= 200) return VirtualPortFolder() + "/COM" + std::to_string(ComPort);
  for (const auto& r : kRanges)
    if (ComPort >= r.First && ComPort < r.First + 32)
      return std::string(r.Prefix) + std::to_string(ComPort - r.First);
  return std::nullopt;
}

std::optional<uint8_t> PortForDevicePath(std::string_view Path) {
  for (const auto& r : kRanges)
    if (Path.substr(0, r.Prefix.size()) == r.Prefix)
      if (auto i = ParseIndex(Path.substr(r.Prefix.size()), 31))
        return static_cast<uint8_t>(r.First + *i);
  const std::string dir = VirtualPortFolder() + "/COM";
  if (Path.substr(0, dir.size()) == dir)
    if (auto n = ParseIndex(Path.substr(dir.size()), 255); n && *n >= 200)
      return static_cast<uint8_t>(*n);
  return std::nullopt;
}

}  // namespace pelkar
