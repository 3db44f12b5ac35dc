#include <windows.h>

#include <stdexcept>
#include <system_error>

#include "channel_wait.h"

namespace pelkar::detail {

Woke WaitForObjects(std::span<const std::intptr_t> objects, const WaitInterrupt* stop,
                    int timeout_ms, std::vector<char>& woken) {
  std::vector<HANDLE> events;
  if (stop != nullptr) events.push_back(reinterpret_cast<HANDLE>(stop->WaitObject()));
  const std::size_t first = events.size();
  for (const std::intptr_t event : objects)
    events.push_back(reinterpret_cast<HANDLE>(event));
  if (events.size() > MAXIMUM_WAIT_OBJECTS) {
    throw std::length_error("Too many ports to wait for at once");
  }
  woken.assign(objects.size(), 0);
  const auto timeout = static_cast<DWORD>(timeout_ms);
  if (events.empty()) {
    ::Sleep(timeout);
    return Woke::kNothing;
  }
  const DWORD r =
      ::WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, timeout);
  if (r == WAIT_FAILED) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "Cannot wait for the ports");
  }
  if (r == WAIT_TIMEOUT) return Woke::kNothing;
  if (stop != nullptr && r == WAIT_OBJECT_0) return Woke::kStop;
  // The wait names the first event set; the others may be set as well.
  for (std::size_t i = 0; i < objects.size(); ++i) {
    woken[i] = r == WAIT_OBJECT_0 + first + i ||
               ::WaitForSingleObject(events[first + i], 0) == WAIT_OBJECT_0;
  }
  return Woke::kObject;
}

}  // namespace pelkar::detail
