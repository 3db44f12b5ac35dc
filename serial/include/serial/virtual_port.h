// A virtual port: a link COMnnn (200..255) in this user's virtual-port folder that points at
// a pseudo-terminal, so the tools can open the pseudo-terminal by port number and discovery
// lists it. The simulated device creates one for as long as it runs.
//
// Beside each link lies COMnnn.lock, locked for the life of its maker and holding the link's
// target. A link counts only while that lock is held and names the same target: a maker that
// died (SIGKILL, SIGHUP) leaves a link to a pseudo-terminal number that the system soon gives
// to someone else, and that link must never lead there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace pelkar {

class VirtualPortLink {
 public:
  // Links target under the first free number from 200 up, or under `port` when given. A
  // number whose lock nobody holds is free, whatever link its last maker left. Throws
  // std::runtime_error when the folder is unusable, the number is held by a live device, or
  // no number is free.
  explicit VirtualPortLink(const std::string& target,
                           std::optional<std::uint8_t> port = std::nullopt);
  VirtualPortLink(const VirtualPortLink&) = delete;
  VirtualPortLink& operator=(const VirtualPortLink&) = delete;
  // Removes the link and its lock file, then lets the lock go.
  ~VirtualPortLink();

  std::uint8_t port() const noexcept { return port_; }
  const std::filesystem::path& link() const noexcept { return link_; }
  const std::string& target() const noexcept { return target_; }

 private:
  std::uint8_t port_ = 0;
  std::filesystem::path link_;
  std::filesystem::path lock_;
  std::string target_;
  int lock_fd_ = -1;
};

// The pseudo-terminal that virtual port `port` leads to while the device that made it runs;
// nothing for a free number and for a link whose maker has gone.
std::optional<std::string> LiveVirtualPortTarget(std::uint8_t port);

// True when path names a virtual port (COM200..COM255 in the folder) with no live device
// behind it: opening it would reach nothing, or another device. Given the descriptor opened
// on path, also true when that is not the live device's pseudo-terminal (it went and another
// came between the check and the open). False for every other path.
bool StaleVirtualPort(const std::string& path, int fd = -1);

}  // namespace pelkar
