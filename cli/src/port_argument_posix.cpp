#include <sys/stat.h>

#include <filesystem>

#include "port_argument.h"

namespace pelkar::cli {

std::string DevicePathForName(const std::string& name) {
  return name.find('/') == std::string::npos ? "/dev/" + name : name;
}

std::string CanonicalDevicePath(const std::string& path) {
  std::error_code ec;
  const auto p = std::filesystem::canonical(path, ec);
  return ec ? path : p.string();
}

bool DeviceExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
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
