#include <sys/stat.h>

#include <filesystem>

#include "port_argument.h"

namespace pelkar::cli {

std::string DevicePathForName(const std::string& name) {
  return name.find('/') == std::string::npos ? "/dev/" + name : name;
}

std::vector<std::string> LinkSteps(const std::string& path) {
  namespace fs = std::filesystem;
  std::vector<std::string> steps;
  fs::path at(path);
  std::error_code ec;
  for (int hop = 0; hop < 8 && fs::is_symlink(at, ec); ++hop) {
    const fs::path target = fs::read_symlink(at, ec);
    if (ec) break;
    at = target.is_absolute() ? target : at.parent_path() / target;
    at = at.lexically_normal();
    steps.push_back(at.string());
  }
  if (!steps.empty()) {
    const fs::path end = fs::canonical(path, ec);
    if (!ec) steps.push_back(end.string());
  }
  return steps;
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
