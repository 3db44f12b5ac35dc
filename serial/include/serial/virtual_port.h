// A virtual port: a link COMnnn (200..255) in this user's virtual-port folder that points at
// a pseudo-terminal, so the tools can open the pseudo-terminal by port number and discovery
// lists it. The simulated device creates one for as long as it runs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace pelkar {

class VirtualPortLink {
 public:
  // Links target under the first free number from 200 up, or under `port` when given. A
  // link whose target is gone is taken over. Throws std::runtime_error when the folder is
  // unusable, the number is taken by a live link, or no number is free.
  explicit VirtualPortLink(const std::string& target,
                           std::optional<std::uint8_t> port = std::nullopt);
  VirtualPortLink(const VirtualPortLink&) = delete;
  VirtualPortLink& operator=(const VirtualPortLink&) = delete;
  // Removes the link, unless it was replaced by another one meanwhile.
  ~VirtualPortLink();

  std::uint8_t port() const noexcept { return port_; }
  const std::filesystem::path& link() const noexcept { return link_; }
  const std::string& target() const noexcept { return target_; }

 private:
  std::uint8_t port_ = 0;
  std::filesystem::path link_;
  std::string target_;
};

}  // namespace pelkar
