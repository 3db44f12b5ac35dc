// Runs an update session over a channel: reads what is waiting, feeds it to the session a byte
// at a time, writes each answer, tells the session of a lost port and of a deadline that has
// passed, and hands back what the session told. The window (every face) and every port of
// `pelkar1 update` drive their sessions with it, from the port's readiness; it never waits.
#pragma once

#include <vector>

#include "firmware/update_session.h"
#include "serial/port_channel.h"

namespace pelkar {

class SessionDriver {
 public:
  using Now = SessionClock::time_point (*)();

  // channel and session must outlive the driver; with trace the events include every byte
  // on the wire (WireBytes); now is the clock (a test's own).
  SessionDriver(PortChannel& channel, UpdateSession& session, bool trace = false,
                Now now = &SessionClock::now)
      : channel_(channel), session_(session), trace_(trace), now_(now) {}

  // The port is readable, or a deadline may have passed: does what is due and returns the
  // session's events in order. Returns at once.
  std::vector<SessionEvent> Service();
  // When Service is due next without any arrival.
  SessionClock::time_point deadline() const noexcept { return session_.deadline(); }
  bool done() const noexcept { return session_.done(); }

 private:
  void Take(SessionStep&& step, std::vector<SessionEvent>& events);

  PortChannel& channel_;
  UpdateSession& session_;
  bool trace_;
  Now now_;
  std::vector<std::uint8_t> received_;
};

}  // namespace pelkar
