// The simulated device's side of the line, with no I/O: the device model behind a line that
// paces the host's bytes at the baud rate, holds them while flash is written, greets on the
// hello and next-unit timers, hangs up, and prints text after a verdict.
//
// It is given the bytes that came and the time, and answers with a step: the bytes to send,
// when to call Tick() next, and what the caller must do (hang up, end). Units are counted over
// every host the line serves.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/device_model.h"

namespace pelkar {

// How one exchange went, from the device's side.
struct SimulatedExchange {
  std::size_t blocks = 0;               // blocks received
  std::optional<std::uint8_t> verdict;  // what the device answered, if it got that far
  bool crc_matched = false;
  bool host_left = false;  // the host closed the port before the end
  std::size_t unit = 0;    // 1 for the first unit the device played
};

struct LineOptions {
  DeviceOptions device;
  // Greet only when reset, never because a host arrived or after the hello fallback.
  bool wait_reset = false;
  // A real line shows no host arriving or leaving: an unanswered hello is said again, the
  // next unit follows a verdict unasked, and `once` ends at the first verdict.
  bool real_line = false;
  bool once = false;
};

class DeviceLine {
 public:
  using Clock = std::chrono::steady_clock;
  using Time = Clock::time_point;

  enum class Action {
    kContinue,
    kHangUp,    // the port vanishes now, as an unplugged adapter: close it and end
    kEnd,       // the device is done: end
    kHostGone,  // this host is done; wait for the next one
    kNextHost,  // a new host has opened the port already: serve it at once
  };
  struct Step {
    std::vector<std::uint8_t> send;
    Time deadline = Time::max();  // call Tick() then, unless something comes first
    Action action = Action::kContinue;
    std::vector<std::string> log;
    std::vector<SimulatedExchange> ended;  // exchanges to record, in order
    bool verdict = false;                  // a verdict went out: received_image() is the unit's
  };

  explicit DeviceLine(LineOptions options);

  // A host is there (it opened the port); host_ready: it has emptied its queues already.
  Step Begin(Time now, bool host_ready);
  Step Feed(std::span<const std::uint8_t> bytes, Time now);
  Step Tick(Time now);
  // The host emptied its queues: it is ready, or, during an exchange, a new host came.
  Step Purged(Time now);
  // The reset button: the unit under way is abandoned and the next one greets.
  Step Reset(Time now);
  Step HostLeft(Time now);  // the host closed the port
  Step Lost(Time now);      // the port went away under the device
  Step Stop();

  const std::vector<std::uint8_t>& received_image() const noexcept {
    return device_.received_image();
  }

 private:
  struct Pending {
    std::uint8_t byte;
    Time done;  // when its last stop bit would have arrived
  };

  Step Run(Time now, Step step);
  void Greet(Time now, Step& step);
  void TakeByte(std::uint8_t byte, Time now, Step& step);
  void AfterVerdict(Time now, Step& step);
  Step End(Action action, Step step);
  Time Deadline() const;
  bool HangUpDue() const;

  LineOptions options_;
  Clock::duration byte_time_{};
  std::size_t units_ = 0;  // units begun, over every host

  // The exchange with the present host.
  DeviceModel device_;
  SimulatedExchange report_;
  bool reported_ = true;  // report_ is recorded already
  bool started_ = false;  // the host is there and ready: a unit greets
  Time hello_at_ = Time::max();
  Time next_unit_at_ = Time::max();
  Time hello_again_at_ = Time::max();
  Time line_free_{};
  Time hold_until_{};  // a flash write in progress
  std::deque<Pending> pending_;
  std::vector<std::uint8_t> to_send_;
  bool end_after_send_ = false;
};

}  // namespace pelkar
