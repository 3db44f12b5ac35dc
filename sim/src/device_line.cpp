#include "sim/device_line.h"

#include <algorithm>

namespace pelkar {
namespace {

// A host that never purges gets the hello after this.
constexpr auto kHelloFallback = std::chrono::milliseconds(200);
// On a real line: how often an unanswered hello is said again, and the pause before the next
// unit greets after a verdict.
constexpr auto kHelloRepeat = std::chrono::seconds(1);

}  // namespace

DeviceLine::DeviceLine(LineOptions options)
    : options_(std::move(options)),
      byte_time_(options_.device.baud == 0
                     ? Clock::duration::zero()
                     : std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(10.0 / options_.device.baud))),
      device_(options_.device) {}

DeviceLine::Step DeviceLine::Begin(Time now, bool host_ready) {
  device_ = DeviceModel(options_.device);
  report_ = {};
  reported_ = false;
  started_ = false;
  next_unit_at_ = hello_again_at_ = Time::max();
  line_free_ = hold_until_ = now;
  pending_.clear();
  to_send_.clear();
  end_after_send_ = false;
  Step step;
  if (host_ready) {
    started_ = true;
    step.log.push_back("Host connected");
    Greet(now, step);
  }
  hello_at_ = now + kHelloFallback;
  return Run(now, std::move(step));
}

DeviceLine::Step DeviceLine::Feed(std::span<const std::uint8_t> bytes, Time now) {
  for (const std::uint8_t b : bytes) {
    line_free_ = std::max(line_free_, now) + byte_time_;
    pending_.push_back({b, line_free_});
  }
  return Run(now, Step{});
}

DeviceLine::Step DeviceLine::Tick(Time now) {
  return Run(now, Step{});
}

DeviceLine::Step DeviceLine::Purged(Time now) {
  if (options_.wait_reset) return Run(now, Step{});  // only a reset greets
  if (started_) {
    // The host closed and a new one opened before the hang-up could be seen. The new host
    // gets a fresh exchange.
    report_.host_left = !report_.verdict.has_value();
    return End(Action::kNextHost, Step{});
  }
  Step step;
  started_ = true;
  step.log.push_back("Host connected");
  Greet(now, step);
  return Run(now, std::move(step));
}

DeviceLine::Step DeviceLine::Reset(Time now) {
  Step step;
  step.log.push_back("Reset");
  // A unit cut short by the reset is recorded as it stood.
  if (started_ && !reported_ && report_.unit != 0) step.ended.push_back(report_);
  reported_ = true;
  pending_.clear();
  to_send_.clear();
  hold_until_ = now;
  next_unit_at_ = hello_again_at_ = Time::max();
  started_ = true;
  Greet(now, step);
  return Run(now, std::move(step));
}

DeviceLine::Step DeviceLine::HostLeft(Time) {
  report_.host_left = !report_.verdict.has_value();
  Step step;
  step.log.push_back(report_.verdict ? "Host closed the port" : "Host left before the end");
  return End(Action::kHostGone, std::move(step));
}

DeviceLine::Step DeviceLine::Lost(Time) {
  Step step;
  step.log.push_back("The port was lost");
  return End(Action::kEnd, std::move(step));
}

DeviceLine::Step DeviceLine::Stop() {
  return End(Action::kEnd, Step{});
}

DeviceLine::Step DeviceLine::End(Action action, Step step) {
  if (!reported_) step.ended.push_back(report_);
  reported_ = true;
  step.action = action;
  step.deadline = Time::max();
  return step;
}

// A unit greets the host; once every unit has had its turn, the device stays silent.
void DeviceLine::Greet(Time now, Step& step) {
  if (options_.device.units && units_ >= *options_.device.units) return;
  ++units_;
  DeviceOptions unit = options_.device;
  const auto& failing = unit.failing_units;
  if (std::find(failing.begin(), failing.end(), units_) != failing.end()) unit.fail = true;
  device_ = DeviceModel(unit);
  report_ = SimulatedExchange{};
  report_.unit = units_;
  reported_ = false;
  const auto hello = device_.Start();
  step.send.insert(step.send.end(), hello.begin(), hello.end());
  step.log.push_back("Unit " + std::to_string(units_) + ": hello sent");
  if (options_.real_line && !options_.wait_reset) hello_again_at_ = now + kHelloRepeat;
}

DeviceLine::Step DeviceLine::Run(Time now, Step step) {
  if (!started_ && !options_.wait_reset && now >= hello_at_) {
    started_ = true;
    step.log.push_back("Host connected");
    Greet(now, step);
  }
  if (now >= hello_again_at_) {
    hello_again_at_ = Time::max();
    if (!device_.greeted()) {
      const auto hello = device_.Start();
      step.send.insert(step.send.end(), hello.begin(), hello.end());
      hello_again_at_ = now + kHelloRepeat;
    }
  }
  if (now >= next_unit_at_) {
    next_unit_at_ = Time::max();
    pending_.clear();  // what the host sent between units reached no boot loader
    Greet(now, step);
  }
  // Bytes whose time on the line is over reach the device, unless it is writing flash.
  while (started_ && !pending_.empty() && pending_.front().done <= now && hold_until_ <= now) {
    const std::uint8_t byte = pending_.front().byte;
    pending_.pop_front();
    TakeByte(byte, now, step);
    if (step.action == Action::kHangUp) return step;
  }
  if (!to_send_.empty() && hold_until_ <= now) {
    step.send.insert(step.send.end(), to_send_.begin(), to_send_.end());
    to_send_.clear();
  }
  if (end_after_send_ && to_send_.empty()) return End(Action::kEnd, std::move(step));
  step.deadline = Deadline();
  return step;
}

void DeviceLine::TakeByte(std::uint8_t byte, Time now, Step& step) {
  const std::size_t blocks_before = device_.blocks_received();
  const auto answer = device_.OnHostByte(byte);
  report_.blocks = device_.blocks_received();
  if (HangUpDue()) {
    step.log.push_back(report_.blocks == 0
                           ? std::string("Hanging up after the hello")
                           : "Hanging up after block " + std::to_string(report_.blocks));
    report_.host_left = false;
    step.ended.push_back(report_);
    reported_ = true;
    step.action = Action::kHangUp;
    step.deadline = Time::max();
    return;
  }
  if (report_.blocks != blocks_before && options_.device.flash_ms > 0) {
    hold_until_ = now + std::chrono::milliseconds(options_.device.flash_ms);
  }
  to_send_.insert(to_send_.end(), answer.begin(), answer.end());
  if (device_.verdict_sent() && !report_.verdict) AfterVerdict(now, step);
}

void DeviceLine::AfterVerdict(Time now, Step& step) {
  report_.verdict = device_.verdict_sent();
  report_.crc_matched = device_.host_crc() == device_.computed_crc();
  step.log.push_back("Checksum " + std::string(report_.crc_matched ? "matches" : "does not match") +
                     "; answered " + std::to_string(*report_.verdict));
  step.verdict = true;
  const auto& o = options_.device;
  if (options_.real_line && options_.once) end_after_send_ = true;
  // A real line shows no host leaving: there the next unit follows unasked.
  if (!(o.next_unit_ms || (options_.real_line && !options_.once))) return;
  if (next_unit_at_ != Time::max()) return;
  step.ended.push_back(report_);
  reported_ = true;
  if (!o.text_after.empty()) {
    to_send_.insert(to_send_.end(), o.text_after.begin(), o.text_after.end());
    to_send_.push_back('\n');
  }
  next_unit_at_ =
      now + (o.next_unit_ms ? std::chrono::milliseconds(*o.next_unit_ms) : kHelloRepeat);
}

DeviceLine::Time DeviceLine::Deadline() const {
  Time wake = Time::max();
  if (!started_ && !options_.wait_reset) wake = hello_at_;
  wake = std::min({wake, next_unit_at_, hello_again_at_});
  if (!pending_.empty()) wake = std::min(wake, std::max(pending_.front().done, hold_until_));
  if (!to_send_.empty()) wake = std::min(wake, hold_until_);
  return wake;
}

// Counted from the hello on, so that 0 hangs up before the first block request.
bool DeviceLine::HangUpDue() const {
  const auto& after = options_.device.hangup_after;
  return after && device_.greeted() && device_.blocks_received() >= *after;
}

}  // namespace pelkar
