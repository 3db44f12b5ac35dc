// One port's update work around the exchange, with no I/O and no clock of its own: it is given
// the bytes received and the time, and answers each call with a step: the bytes to send and
// the events, plain values that carry everything a reporter or a face needs to tell them.
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
#include <variant>
#include <vector>

#include "firmware/unit_result.h"
#include "firmware/update_exchange.h"

namespace pelkar {

using SessionClock = std::chrono::steady_clock;

struct SessionRules {
  std::optional<SessionClock::duration> hello_timeout;  // for the hello; none: wait for ever
  std::optional<SessionClock::duration> byte_timeout;   // for each awaited byte after it
  bool repeat = false;                                  // unit after unit on the port
};

// How far the unit in progress has come.
struct Progress {
  std::size_t blocks_sent = 0;
  std::size_t block_count = 0;
  std::size_t image_bytes_sent = 0;
  std::size_t image_size = 0;
  SessionClock::time_point since{};  // the unit's start (with repeat its hello), for a rate
};

// With repeat: a unit asked for its first block, so it counts.
struct UnitBegun {};

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
  Progress progress;                       // how far it came; bytes_sent counts 11 and the sum
  std::size_t bytes_sent = 0;
  // From each block sent to the device's next request (milliseconds); none without one.
  std::optional<double> block_ms_median;
  std::optional<double> block_ms_max;
};

// Something worth a line that changes no result.
enum class SessionNotice {
  TakenAsText,  // a hello with no block request in time: text, not a unit
  NoUnit,       // no unit said hello within the hello time-out: the port is done
};

// Bytes on the wire, for a trace; the session's driver adds them when asked to.
struct WireBytes {
  bool sent = false;  // false: received
  std::vector<std::uint8_t> bytes;
  SessionClock::time_point at{};
};

using SessionEvent = std::variant<Progress, UnitBegun, UnitEnd, SessionNotice, WireBytes>;

// What one call answers: the bytes to send now (valid until the next call) and the events, in
// the order they happened.
struct SessionStep {
  std::span<const std::uint8_t> send;
  std::vector<SessionEvent> events;
};

class UpdateSession {
 public:
  using TimePoint = SessionClock::time_point;

  // image and crc as UpdateExchange takes them (copied once).
  UpdateSession(std::span<const std::uint8_t> image, std::int32_t crc, SessionRules rules);

  // The driver has tried to open the port. A port that did not open ends the session.
  SessionStep Start(TimePoint now, bool port_open);
  // One received byte.
  SessionStep Feed(std::uint8_t byte, TimePoint now);
  // Call once now has reached deadline(): ends a wait that has run out.
  SessionStep Tick(TimePoint now);
  // The port has gone away, or refused the bytes.
  SessionStep Lost(TimePoint now);
  // Stopped by the user (Stopped) or by an interrupt (Interrupted): a unit in progress ends
  // with that result, a wait between units ends with nothing told.
  SessionStep Stop(TimePoint now, UnitResult why);
  // No further unit: the session ends after the one in progress, or now when none is.
  void Retire();

  // When Tick is due; TimePoint::max() when nothing is timed.
  TimePoint deadline() const noexcept;
  // True once the port is to be closed: nothing more will be sent.
  bool done() const noexcept { return done_; }
  // A unit is in progress: without repeat from the start, with it once it asked for a block.
  bool in_unit() const noexcept { return in_unit_; }

 private:
  SessionStep Told(std::span<const std::uint8_t> send = {});
  Progress ProgressNow() const;
  void Rearm(TimePoint now);
  void End(UnitEnd end, TimePoint now);
  void Concluded(TimePoint now);

  SessionRules rules_;
  UpdateExchange exchange_;
  std::vector<SessionEvent> events_;  // of the call in progress
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
