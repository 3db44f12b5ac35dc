#include "serial/port_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace pelkar {
namespace {

struct Range {
  std::uint8_t first;
  const char* prefix;
};
constexpr Range kRanges[] = {
    {1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}, {97, "/dev/ttyAMA"}};
constexpr int kPerRange = 32;

// Makes dir when missing; true when it is a real folder (never a link to one) owned by uid,
// private to it.
bool PrivateFolder(const std::filesystem::path& dir, std::uint32_t uid) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return false;
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool usable = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid;
  if (usable && (st.st_mode & 077) != 0) usable = ::fchmod(fd, 0700) == 0;
  ::close(fd);
  return usable;
}

std::mutex test_folder_mutex;
std::filesystem::path test_folder;

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

std::optional<std::filesystem::path> VirtualPortFolderUnder(const std::filesystem::path& run_user,
                                                            const std::filesystem::path& tmp,
                                                            std::uint32_t uid) {
  const std::filesystem::path home = run_user / std::to_string(uid);
  struct stat st {};
  const bool own_run_dir =
      ::lstat(home.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid;
  const std::filesystem::path dir =
      own_run_dir ? home / "pelkar1" : tmp / ("pelkar1-" + std::to_string(uid));
  if (!PrivateFolder(dir, uid)) return std::nullopt;
  return dir;
}

std::optional<std::filesystem::path> VirtualPortFolder() {
  std::filesystem::path folder;
  {
    std::lock_guard lock(test_folder_mutex);
    folder = test_folder;
  }
  if (folder.empty()) return VirtualPortFolderUnder("/run/user", "/tmp", ::getuid());
  if (!PrivateFolder(folder, ::getuid())) return std::nullopt;
  return folder;
}

void SetVirtualPortFolderForTests(const std::filesystem::path& folder) {
  std::lock_guard lock(test_folder_mutex);
  test_folder = folder;
}

}  // namespace pelkar
