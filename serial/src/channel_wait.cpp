#include "channel_wait.h"

#include <algorithm>

#include "serial/port_channel.h"

namespace pelkar {

int detail::WaitTimeoutMs(WaitClock::time_point deadline) {
  const auto left = deadline - WaitClock::now();
  if (left <= WaitClock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<long long>(ms, 24LL * 3600 * 1000));
}

WaitResult WaitForChannels(std::span<PortChannel* const> channels,
                           std::chrono::steady_clock::time_point deadline,
                           const WaitInterrupt* stop) {
  return detail::WaitForAny(channels, deadline, stop);
}

WaitResult SerialChannel::WaitReadable(std::chrono::steady_clock::time_point deadline,
                                       const WaitInterrupt& stop) {
  PortChannel* self = this;
  return WaitForChannels(std::span(&self, 1), deadline, &stop);
}

}  // namespace pelkar
