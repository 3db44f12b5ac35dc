#include "serial/virtual_port.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "serial/port_map.h"

namespace pelkar {
namespace {

namespace fs = std::filesystem;

std::string PortFileName(int n) {
  return "COM" + std::to_string(n);
}

fs::path LockPath(const fs::path& folder, int n) {
  return folder / (PortFileName(n) + ".lock");
}

std::runtime_error SystemError(const std::string& what, int err) {
  return std::runtime_error(what + ": " + std::strerror(err));
}

// A lock of the open file description: it goes with the last descriptor of its open, so a
// maker that dies lets it go, and two opens conflict also inside one process. Checking it
// (F_OFD_GETLK) never takes it, so listing ports cannot make a starting device miss a number.
struct flock WholeFile(short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return lock;
}

// The descriptor of the locked lock file of a number, or -1 when a live device holds it.
int TakeLock(const fs::path& lock) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw SystemError("Cannot make " + lock.string(), errno);
    struct flock whole = WholeFile(F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &whole) != 0) {
      const int err = errno;
      ::close(fd);
      if (err == EAGAIN || err == EACCES) return -1;
      throw SystemError("Cannot lock " + lock.string(), err);
    }
    // Its last holder removes the file on its way out: a lock taken on a removed file
    // guards nothing, so open the one that is there now.
    struct stat held {};
    struct stat named {};
    if (::fstat(fd, &held) == 0 && ::lstat(lock.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      return fd;
    }
    ::close(fd);
  }
  return -1;
}

// Records the target in the held lock file, then puts the link in place in one step, over
// whatever a device that has gone left there.
void Publish(int lock_fd, const fs::path& link, const std::string& target) {
  const auto size = static_cast<ssize_t>(target.size());
  if (::ftruncate(lock_fd, 0) != 0 || ::pwrite(lock_fd, target.data(), target.size(), 0) != size) {
    throw SystemError("Cannot write the lock of " + link.string(), errno);
  }
  // Built piecewise: g++ 12 at -O3 warns falsely (-Wrestrict) on "." + std::string.
  std::string name = ".";
  name += link.filename().string();
  name += ".new";
  const fs::path fresh = link.parent_path() / name;
  ::unlink(fresh.c_str());
  if (::symlink(target.c_str(), fresh.c_str()) != 0 || ::rename(fresh.c_str(), link.c_str()) != 0) {
    const int err = errno;
    ::unlink(fresh.c_str());
    throw SystemError("Cannot make the link " + link.string(), err);
  }
}

// The number of a path that names a virtual port: COM200..COM255 in the folder, however the
// folder is spelt.
std::optional<std::uint8_t> VirtualPortNumber(const std::string& path) {
  const fs::path p(path);
  const std::string name = p.filename().string();
  if (name.size() != 6 || name.rfind("COM", 0) != 0 ||
      !std::all_of(name.begin() + 3, name.end(),
                   [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    return std::nullopt;
  }
  const int n = std::stoi(name.substr(3));
  if (n < kFirstVirtualPort || n > 255) return std::nullopt;
  const auto folder = VirtualPortFolder();
  if (!folder) return std::nullopt;
  std::error_code ec;
  const fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
  if (!fs::equivalent(dir, *folder, ec) || ec) return std::nullopt;
  return static_cast<std::uint8_t>(n);
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
    const fs::path lock = LockPath(*folder, n);
    const int fd = TakeLock(lock);
    if (fd < 0) continue;
    const fs::path link = *folder / PortFileName(n);
    try {
      Publish(fd, link, target);
    } catch (...) {
      ::unlink(lock.c_str());
      ::close(fd);
      throw;
    }
    port_ = static_cast<std::uint8_t>(n);
    link_ = link;
    lock_ = lock;
    lock_fd_ = fd;
    return;
  }
  throw std::runtime_error(port
                               ? "COM" + std::to_string(*port) + " is already in use"
                               : std::string("Every virtual port from COM200 to COM255 is in use"));
}

VirtualPortLink::~VirtualPortLink() {
  std::error_code ec;
  if (fs::read_symlink(link_, ec) == target_ && !ec) ::unlink(link_.c_str());
  // Removed while still held, so nobody can mistake it for a lock a live device holds.
  ::unlink(lock_.c_str());
  ::close(lock_fd_);
}

std::optional<std::string> LiveVirtualPortTarget(std::uint8_t port) {
  if (port < kFirstVirtualPort) return std::nullopt;
  const auto folder = VirtualPortFolder();
  if (!folder) return std::nullopt;
  std::error_code ec;
  const std::string target = fs::read_symlink(*folder / PortFileName(port), ec).string();
  if (ec) return std::nullopt;
  const int fd = ::open(LockPath(*folder, port).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct flock probe = WholeFile(F_WRLCK);
  const bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  std::string recorded(target.size() + 1, '\0');  // one more: a longer record differs
  const ssize_t n = held ? ::pread(fd, recorded.data(), recorded.size(), 0) : -1;
  ::close(fd);
  if (n < 0) return std::nullopt;
  recorded.resize(static_cast<std::size_t>(n));
  if (recorded != target) return std::nullopt;  // the link is not the holder's
  return target;
}

bool StaleVirtualPort(const std::string& path, int fd) {
  const auto port = VirtualPortNumber(path);
  if (!port) return false;
  const auto target = LiveVirtualPortTarget(*port);
  if (!target) return true;
  if (fd < 0) return false;
  struct stat opened {};
  struct stat live {};
  return ::fstat(fd, &opened) != 0 || ::stat(target->c_str(), &live) != 0 ||
         opened.st_dev != live.st_dev || opened.st_ino != live.st_ino;
}

}  // namespace pelkar
