#include "serial/session_driver.h"

#include <iterator>

namespace pelkar {

void SessionDriver::Take(SessionStep&& step, std::vector<SessionEvent>& events) {
  events.insert(events.end(), std::make_move_iterator(step.events.begin()),
                std::make_move_iterator(step.events.end()));
}

std::vector<SessionEvent> SessionDriver::Service() {
  std::vector<SessionEvent> events;
  if (session_.done()) return events;
  received_.clear();
  const bool lost = channel_.ReadWaiting(received_) == PortChannel::ReadResult::kLost;
  for (const std::uint8_t byte : received_) {
    if (session_.done()) return events;  // what follows the end is not this session's
    const auto at = now_();
    if (trace_) events.emplace_back(WireBytes{false, {byte}, at});
    SessionStep step = session_.Feed(byte, at);
    const auto answer = step.send;
    Take(std::move(step), events);
    if (answer.empty()) continue;
    if (trace_) events.emplace_back(WireBytes{true, {answer.begin(), answer.end()}, at});
    if (!channel_.Write(answer)) {
      Take(session_.Lost(now_()), events);
      return events;
    }
  }
  if (session_.done()) return events;
  if (lost) {
    Take(session_.Lost(now_()), events);
  } else if (now_() >= session_.deadline()) {
    Take(session_.Tick(now_()), events);
  }
  return events;
}

}  // namespace pelkar
