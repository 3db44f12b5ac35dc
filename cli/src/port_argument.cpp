#include "port_argument.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "firmware/files.h"
#include "output.h"
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
    return PortArgument{"COM" + std::to_string(*number), *path};
  }
  std::string path = text.find('/') == std::string::npos ? "/dev/" + text : text;
  if (auto port = PortForDevicePath(path)) return PortArgument{"COM" + std::to_string(*port), path};
  return PortArgument{path, path};
}

std::string DeviceIdentity(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISCHR(st.st_mode)) return "device " + std::to_string(st.st_rdev);
    return "file " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }
  return "path " + std::filesystem::path(path).lexically_normal().string();
}

}  // namespace pelkar::cli
