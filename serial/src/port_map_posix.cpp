#include "serial/port_map.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace pelkar {
namespace {

struct Range {
  std::uint8_t first;
  const char* prefix;
};
constexpr Range kRanges[] = {
    {1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}, {97, "/dev/ttyAMA"}};
constexpr int kPerRange = 32;

bool UsableFolder(const std::filesystem::path& dir) {
  struct stat st {};
  if (::lstat(dir.c_str(), &st) != 0) {
    if (::mkdir(dir.c_str(), 0700) != 0 || ::lstat(dir.c_str(), &st) != 0) return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) return false;
  if ((st.st_mode & 077) != 0 && ::chmod(dir.c_str(), 0700) != 0) return false;
  return true;
}

std::optional<unsigned> ParseIndex(std::string_view digits) {
  if (digits.empty() || digits.size() > 3) return std::nullopt;
  unsigned v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
  return v;
}

}  // namespace

std::optional<std::string> DevicePathForPort(std::uint8_t port) {
  for (const Range& r : kRanges) {
    if (port >= r.first && port < r.first + kPerRange) {
      return std::string(r.prefix) + std::to_string(port - r.first);
    }
  }
  if (port >= kFirstVirtualPort) {
    if (auto folder = VirtualPortFolder())
      return (*folder / ("COM" + std::to_string(port))).string();
  }
  return std::nullopt;
}

std::optional<std::uint8_t> PortForDevicePath(std::string_view path) {
  for (const Range& r : kRanges) {
    const std::string_view prefix(r.prefix);
    if (path.substr(0, prefix.size()) == prefix) {
      auto index = ParseIndex(path.substr(prefix.size()));
      if (index && *index < kPerRange) return static_cast<std::uint8_t>(r.first + *index);
      return std::nullopt;
    }
  }
  const std::filesystem::path p(path);
  const std::string name = p.filename().string();
  if (name.rfind("COM", 0) == 0) {
    auto folder = VirtualPortFolder();
    auto number = ParseIndex(std::string_view(name).substr(3));
    if (folder && number && *number >= kFirstVirtualPort && *number <= 255 &&
        p.parent_path() == *folder) {
      return static_cast<std::uint8_t>(*number);
    }
  }
  return std::nullopt;
}

std::optional<std::filesystem::path> VirtualPortFolder() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
    struct stat st {};
    if (::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid()) {
      const std::filesystem::path dir = std::filesystem::path(runtime) / "pelkar1";
      return UsableFolder(dir) ? std::optional(dir) : std::nullopt;
    }
  }
  const std::filesystem::path dir = "/tmp/pelkar1-" + std::to_string(::getuid());
  return UsableFolder(dir) ? std::optional(dir) : std::nullopt;
}

}  // namespace pelkar
