#include "serial/virtual_port.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "serial/port_map.h"

namespace pelkar {
namespace {

// Creates the link when the name is free or its link points nowhere.
bool TryLink(const std::filesystem::path& link, const std::string& target) {
  if (::symlink(target.c_str(), link.c_str()) == 0) return true;
  if (errno != EEXIST) return false;
  std::error_code ec;
  if (!std::filesystem::is_symlink(link, ec) || std::filesystem::exists(link, ec)) return false;
  ::unlink(link.c_str());
  return ::symlink(target.c_str(), link.c_str()) == 0;
}

}  // namespace

VirtualPortLink::VirtualPortLink(const std::string& target, std::optional<std::uint8_t> port)
    : target_(target) {
  const auto folder = VirtualPortFolder();
  if (!folder) {
    throw std::runtime_error(
        "No usable folder for virtual ports (/run/user/<uid>/pelkar1 or /tmp/pelkar1-<uid>, "
        "a folder of this user's own)");
  }
  if (port && *port < kFirstVirtualPort) {
    throw std::runtime_error("Virtual ports are COM200 to COM255, not COM" + std::to_string(*port));
  }
  const int first = port ? *port : kFirstVirtualPort;
  const int last = port ? *port : 255;
  for (int n = first; n <= last; ++n) {
    const auto link = *folder / ("COM" + std::to_string(n));
    if (TryLink(link, target)) {
      port_ = static_cast<std::uint8_t>(n);
      link_ = link;
      return;
    }
  }
  throw std::runtime_error(port
                               ? "COM" + std::to_string(*port) + " is already in use"
                               : std::string("Every virtual port from COM200 to COM255 is in use"));
}

VirtualPortLink::~VirtualPortLink() {
  std::error_code ec;
  if (std::filesystem::read_symlink(link_, ec) == target_ && !ec) ::unlink(link_.c_str());
}

}  // namespace pelkar
