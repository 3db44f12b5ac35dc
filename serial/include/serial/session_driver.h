// Runs an update session over a channel: reads what is waiting, feeds it to the session a byte
// at a time, writes each answer, tells the session of a lost port and of a deadline that has
// passed. The window (every face) and every port of `pelkar1 update` drive their sessions with
// it, from the port's readiness; it never waits itself.
#pragma once

#include <cstdint>
#include <span>

#include "firmware/update_session.h"
#include "serial/port_channel.h"

namespace pelkar {

// Sees every byte on the wire, for a trace.
class WireTap {
 public:
  virtual ~WireTap() = default;
  virtual void Received(std::uint8_t byte) = 0;
  virtual void Sent(std::span<const std::uint8_t> bytes) = 0;
};

class SessionDriver {
 public:
  using Now = SessionClock::time_point (*)();

  // channel and session (and tap) must outlive the driver; now is the clock (a test's own).
  SessionDriver(PortChannel& channel, UpdateSession& session, WireTap* tap = nullptr,
                Now now = &SessionClock::now)
      : channel_(channel), session_(session), tap_(tap), now_(now) {}

  // The port is readable, or a deadline may have passed: does what is due. Returns at once.
  void Service();
  // When Service is due next without any arrival.
  SessionClock::time_point deadline() const noexcept { return session_.deadline(); }
  bool done() const noexcept { return session_.done(); }

 private:
  PortChannel& channel_;
  UpdateSession& session_;
  WireTap* tap_;
  Now now_;
  std::vector<std::uint8_t> received_;
};

}  // namespace pelkar
