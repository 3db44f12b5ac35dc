#include "update_machine.h"

#include <algorithm>

namespace pelkar {

void UpdateMachine::Start(std::span<const std::uint8_t> image, std::int32_t crc) {
  image_.assign(image.begin(), image.end());
  crc_ = crc;
  offset_ = 0;
  last_ = 0;
  outcome_ = Outcome::kRunning;
  state_ = State::kAwaitHello;
}

void UpdateMachine::Feed(std::uint8_t byte, std::vector<std::uint8_t>& send) {
  last_ = byte;
  switch (state_) {
    case State::kIdle:
      return;
    case State::kAwaitHello:
      if (byte != kDeviceHello) {
        outcome_ = Outcome::kIllegalCommand;
        state_ = State::kIdle;
        return;
      }
      send.push_back(kHostHello);
      state_ = image_.empty() ? State::kAwaitCrcRequest : State::kAwaitBlockRequest;
      return;
    case State::kAwaitBlockRequest: {
      if (byte != kBlockRequest) return;  // anything else is dropped
      const std::size_t end = std::min(offset_ + kBlockSize, image_.size());
      send.insert(send.end(), image_.begin() + static_cast<std::ptrdiff_t>(offset_),
                  image_.begin() + static_cast<std::ptrdiff_t>(end));
      send.resize(send.size() + (kBlockSize - (end - offset_)), 0xFF);
      offset_ = end;
      if (offset_ >= image_.size()) state_ = State::kAwaitCrcRequest;
      return;
    }
    case State::kAwaitCrcRequest: {
      if (byte != kCrcRequest) return;
      const auto value = static_cast<std::uint32_t>(crc_);
      for (int shift = 0; shift < 32; shift += 8) {
        send.push_back(static_cast<std::uint8_t>(value >> shift));
      }
      state_ = State::kAwaitResult;
      return;
    }
    case State::kAwaitResult:
      outcome_ = byte == kUpdateDone     ? Outcome::kUpdateOk
                 : byte == kUpdateFailed ? Outcome::kUpdateFailed
                                         : Outcome::kUnknownVerdict;
      state_ = State::kIdle;
      return;
  }
}

}  // namespace pelkar
