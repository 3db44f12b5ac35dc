#include <poll.h>

#include <cerrno>
#include <system_error>

#include "channel_wait.h"

namespace pelkar::detail {

Woke WaitForObjects(std::span<const std::intptr_t> objects, const WaitInterrupt* stop,
                    int timeout_ms, std::vector<char>& woken) {
  std::vector<pollfd> fds;
  fds.reserve(objects.size() + 1);
  for (const std::intptr_t fd : objects)
    fds.push_back({static_cast<int>(fd), POLLIN, 0});
  if (stop != nullptr) fds.push_back({static_cast<int>(stop->WaitObject()), POLLIN, 0});
  woken.assign(objects.size(), 0);
  const int r = ::poll(fds.data(), fds.size(), timeout_ms);
  if (r < 0) {
    if (errno == EINTR) return Woke::kNothing;
    throw std::system_error(errno, std::generic_category(), "Cannot wait for the ports");
  }
  if (stop != nullptr && (fds.back().revents & POLLIN)) return Woke::kStop;
  bool any = false;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    woken[i] = fds[i].revents != 0;  // bytes, or a hang-up
    any = any || woken[i];
  }
  return any ? Woke::kObject : Woke::kNothing;
}

}  // namespace pelkar::detail
