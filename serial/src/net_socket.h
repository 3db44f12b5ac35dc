// One non-blocking TCP connection as the system knows it (BSD sockets, or Winsock), for
// NetworkChannel.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "serial/serial_comm.h"

namespace pelkar {

class NetSocket {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Connected { kYes, kNo, kInterrupted };

  NetSocket() = default;
  NetSocket(const NetSocket&) = delete;
  NetSocket& operator=(const NetSocket&) = delete;
  ~NetSocket() { Close(); }

  // Tries every address host has until one accepts, by the deadline; *why says what went
  // wrong ("refused the connection", ...) when none did.
  Connected Connect(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                    const WaitInterrupt* stop, std::string* why);
  // Appends what has arrived, without waiting; false once the connection is closed or failed.
  bool Receive(std::vector<std::uint8_t>& out);
  // Sends all of data, waiting for room a bounded time; false when the connection is gone.
  bool Send(std::span<const std::uint8_t> data);
  // Until something arrives or the connection ends (kReady), the deadline or the stop.
  WaitResult Wait(Clock::time_point deadline, const WaitInterrupt* stop);
  // POSIX: the descriptor; Windows: the event its network events set.
  std::intptr_t WaitObject() const noexcept;
  // After a wait on WaitObject() ended: Windows resets the event for the next wait.
  void Rearm() noexcept;
  int Descriptor() const noexcept;
  // What a wait for the stop waits on: POSIX its descriptor, Windows its event.
  static std::intptr_t StopObject(const WaitInterrupt& stop) noexcept;
  bool IsOpen() const noexcept { return socket_ != kNone; }
  void Close() noexcept;

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t socket_ = kNone;
  std::intptr_t event_ = 0;  // Windows only
};

}  // namespace pelkar
