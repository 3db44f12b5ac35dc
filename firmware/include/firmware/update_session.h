// One port's update work around the exchange, with no I/O and no clock of its own: it is given
// the bytes received and the time, and answers with the bytes to send, the next deadline and
// events for its listener.
//
// It holds the time-outs (for the device's hello, and for every awaited byte once the device
// has spoken; none where not given, as in the window) and, with `repeat`, the rules that serve
// unit after unit on one port: between units only a hello opens an exchange, a hello that no
// block request follows within the byte time-out is taken as text, a second hello before any
// block request starts over, and only a unit that asked for a block counts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "firmware/update_exchange.h"

namespace pelkar {

using SessionClock = std::chrono::steady_clock;

struct SessionRules {
  std::optional<SessionClock::duration> hello_timeout;  // for the hello; none: wait for ever
  std::optional<SessionClock::duration> byte_timeout;   // for each awaited byte after it
  bool repeat = false;                                  // unit after unit on the port
};

enum class UnitResult {
  Ok,
  Failed,
  Timeout,
  PortLost,
  CannotOpen,
  ProtocolError,
  Interrupted,
  Stopped,  // the user's Stop: nothing to tell
};

// How a unit ended, or the port with no unit on it (cannot be opened, lost between units).
struct UnitEnd {
  UnitResult result = UnitResult::Stopped;
  bool unit = true;     // false: the port failed with no unit on it
  bool heard = false;   // the device had spoken (for a time-out: which one)
  std::string awaited;  // what a time-out waited for ("a block request")
  ExchangeOutcome outcome = ExchangeOutcome::None;
  std::optional<ExchangeMessage> message;  // the exchange's own text, when it has one
  std::optional<std::uint8_t> final_byte;  // the first byte or the verdict, when it ended so
  SessionClock::duration elapsed{};        // from the opening (with repeat: the unit's hello)
};

// Something worth a line that changes no result.
enum class SessionNotice {
  TakenAsText,  // a hello with no block request in time: text, not a unit
  NoUnit,       // no unit said hello within the hello time-out: the port is done
};

class UpdateSession;

class SessionListener {
 public:
  virtual ~SessionListener() = default;
  virtual void OnProgress(const UpdateSession&) {}   // blocks_sent() moved
  virtual void OnUnitBegun(const UpdateSession&) {}  // with repeat: a unit asked for a block
  virtual void OnUnitEnded(const UpdateSession&, const UnitEnd&) {}
  virtual void OnNotice(const UpdateSession&, SessionNotice) {}
};

class UpdateSession {
 public:
  using TimePoint = SessionClock::time_point;

  // image and crc as UpdateExchange takes them (copied once); listener may be null and must
  // outlive the session.
  UpdateSession(std::span<const std::uint8_t> image, std::int32_t crc, SessionRules rules,
                SessionListener* listener = nullptr);

  // The driver has tried to open the port. A port that did not open ends the session.
  void Start(TimePoint now, bool port_open);
  // One received byte; returns the bytes to send (valid until the next call).
  std::span<const std::uint8_t> Feed(std::uint8_t byte, TimePoint now);
  // Call once now has reached deadline(): ends a wait that has run out.
  void Tick(TimePoint now);
  // The port has gone away, or refused the bytes.
  void Lost(TimePoint now);
  // Stopped by the user (Stopped) or by an interrupt (Interrupted): a unit in progress ends
  // with that result, a wait between units ends with nothing told.
  void Stop(TimePoint now, UnitResult why);
  // No further unit: the session ends after the one in progress, or now when none is.
  void Retire();

  // When Tick is due; TimePoint::max() when nothing is timed.
  TimePoint deadline() const noexcept;
  // True once the port is to be closed: nothing more will be sent.
  bool done() const noexcept { return done_; }
  // A unit is in progress: without repeat from the start, with it once it asked for a block.
  bool in_unit() const noexcept { return in_unit_; }
  const UpdateExchange& exchange() const noexcept { return exchange_; }
  // When the unit in progress began (the opening; with repeat its hello).
  TimePoint started() const noexcept { return started_; }
  const SessionRules& rules() const noexcept { return rules_; }

  // Time from each block sent to the device's next request, of the last unit (milliseconds).
  std::optional<double> turnaround_median_ms() const;
  std::optional<double> turnaround_max_ms() const;

 private:
  void Rearm(TimePoint now);
  void End(UnitEnd end, TimePoint now);
  void Concluded(TimePoint now);

  SessionRules rules_;
  SessionListener* listener_;
  UpdateExchange exchange_;
  bool done_ = false;
  bool in_unit_ = false;
  bool heard_ = false;  // the device has spoken (with repeat: said hello)
  bool retired_ = false;
  TimePoint started_{};
  TimePoint waiting_since_{};  // with repeat: since the last unit, for the hello time-out
  TimePoint last_progress_{};  // the last byte the exchange took: noise does not count
  std::size_t last_blocks_ = SIZE_MAX;
  std::optional<TimePoint> block_sent_;
  std::vector<SessionClock::duration> turnarounds_;
};

}  // namespace pelkar
