// The one wait over channels of every kind: WaitForChannels, and SerialComm::WaitReadable for
// a port alone. The loop is the same on every system; only the system's wait for its objects
// (poll over descriptors, WaitForMultipleObjects over events) is the system's own.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "serial/serial_comm.h"

namespace pelkar::detail {

using WaitClock = std::chrono::steady_clock;

// Milliseconds from now to deadline, rounded up so that a wait never ends early; at most a day.
int WaitTimeoutMs(WaitClock::time_point deadline);

enum class Woke { kNothing, kObject, kStop };

// The system's wait: until one of objects or stop's object wakes, or timeout_ms pass (or a
// signal arrives: kNothing). woken[i] tells whether objects[i] woke. std::system_error when
// the system cannot wait; std::length_error when it cannot wait for that many.
Woke WaitForObjects(std::span<const std::intptr_t> objects, const WaitInterrupt* stop,
                    int timeout_ms, std::vector<char>& woken);

// Channel has Ready(), BeginWait() and EndWait(bool) as PortChannel describes them.
template <class Channel>
WaitResult WaitForAny(std::span<Channel* const> channels, WaitClock::time_point deadline,
                      const WaitInterrupt* stop) {
  std::vector<Channel*> begun;
  std::vector<std::intptr_t> objects;
  std::vector<std::size_t> owner;  // objects[i] is begun[owner[i]]'s
  std::vector<char> woken;
  std::vector<char> channel_woken;
  for (;;) {
    if (stop != nullptr && stop->Raised()) return WaitResult::kInterrupted;
    for (Channel* c : channels) {
      if (c != nullptr && c->Ready()) return WaitResult::kReady;
    }
    const int timeout = WaitTimeoutMs(deadline);
    begun.clear();
    objects.clear();
    owner.clear();
    for (Channel* c : channels) {
      if (c == nullptr) continue;
      begun.push_back(c);
      if (const std::intptr_t object = c->BeginWait(); object != -1) {
        objects.push_back(object);
        owner.push_back(begun.size() - 1);
      }
    }
    Woke woke = Woke::kNothing;
    try {
      woke = WaitForObjects(objects, stop, timeout, woken);
    } catch (...) {
      for (Channel* c : begun)
        c->EndWait(false);  // nothing is left running, whatever ends the wait
      throw;
    }
    channel_woken.assign(begun.size(), 0);
    for (std::size_t i = 0; i < objects.size(); ++i)
      channel_woken[owner[i]] = channel_woken[owner[i]] || woken[i];
    bool ready = false;
    for (std::size_t i = 0; i < begun.size(); ++i) {
      if (begun[i]->EndWait(channel_woken[i] != 0)) ready = true;
    }
    if (woke == Woke::kStop) return WaitResult::kInterrupted;
    if (ready) return WaitResult::kReady;
    // A system wait may end a little before its time: go round for the rest.
    if (timeout == 0 || WaitClock::now() >= deadline) return WaitResult::kTimeout;
  }
}

}  // namespace pelkar::detail
