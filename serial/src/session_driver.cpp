#include "serial/session_driver.h"

namespace pelkar {

void SessionDriver::Service() {
  if (session_.done()) return;
  received_.clear();
  const bool lost = channel_.ReadWaiting(received_) == PortChannel::ReadResult::kLost;
  for (const std::uint8_t byte : received_) {
    if (session_.done()) return;  // what follows the end is not this session's
    if (tap_) tap_->Received(byte);
    const auto answer = session_.Feed(byte, now_());
    if (answer.empty()) continue;
    if (tap_) tap_->Sent(answer);
    if (!channel_.Write(answer)) {
      session_.Lost(now_());
      return;
    }
  }
  if (session_.done()) return;
  if (lost) {
    session_.Lost(now_());
  } else if (now_() >= session_.deadline()) {
    session_.Tick(now_());
  }
}

}  // namespace pelkar
