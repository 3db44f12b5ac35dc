#include "firmware/update_exchange.h"

#include <cstdio>
#include <stdexcept>

#include "firmware/image.h"

namespace pelkar {

UpdateExchange::UpdateExchange(std::span<const std::uint8_t> image, std::int32_t checksum)
    : image_(image.begin(), image.end()), checksum_(checksum) {
  if (image_.empty() || image_.size() % kBlockSize != 0)
    throw std::invalid_argument("image must be a non-empty whole number of 256-byte blocks");
}

ExchangeStep UpdateExchange::Start() {
  if (state_ != ExchangeState::Idle || finished()) return {};
  state_ = ExchangeState::AwaitHello;
  return {};
}

ExchangeStep UpdateExchange::PortOpenFailed() {
  if (finished()) return {{}, true};
  return Finish(ExchangeOutcome::CannotOpenPort);
}

ExchangeStep UpdateExchange::Stop() {
  if (finished()) return {{}, true};
  return Finish(ExchangeOutcome::Stopped);
}

ExchangeStep UpdateExchange::Finish(ExchangeOutcome outcome) {
  state_ = ExchangeState::Idle;
  outcome_ = outcome;
  return {{}, true};
}

// Every transition of the exchange lives here.
ExchangeStep UpdateExchange::OnByte(std::uint8_t byte) {
  switch (state_) {
    case ExchangeState::Idle:
      return {{}, finished()};
    case ExchangeState::AwaitHello:
      if (byte != kHello) return Finish(ExchangeOutcome::IllegalCommand);
      state_ = ExchangeState::AwaitBlockRequest;
      return {{kHelloAck}, false};
    case ExchangeState::AwaitBlockRequest: {
      if (byte != kBlockRequest) return {};  // stray byte: dropped
      const auto off = blocksSent_ * kBlockSize;
      ExchangeStep step{{image_.begin() + static_cast<std::ptrdiff_t>(off),
                         image_.begin() + static_cast<std::ptrdiff_t>(off + kBlockSize)},
                        false};
      if (++blocksSent_ == blockCount()) state_ = ExchangeState::AwaitCrcRequest;
      return step;
    }
    case ExchangeState::AwaitCrcRequest: {
      if (byte != kCrcRequest) return {};
      state_ = ExchangeState::AwaitResult;
      const auto w = ChecksumWireBytes(checksum_);
      return {{w.begin(), w.end()}, false};
    }
    case ExchangeState::AwaitResult:
      verdict_ = byte;
      return Finish(byte == kOk       ? ExchangeOutcome::Ok
                    : byte == kFailed ? ExchangeOutcome::Unsuccessful
                                      : ExchangeOutcome::UnexpectedAnswer);
  }
  return {};
}

std::optional<std::uint8_t> UpdateExchange::awaitedByte() const noexcept {
  switch (state_) {
    case ExchangeState::AwaitHello:
      return kHello;
    case ExchangeState::AwaitBlockRequest:
      return kBlockRequest;
    case ExchangeState::AwaitCrcRequest:
      return kCrcRequest;
    default:
      return std::nullopt;
  }
}

OutcomeMessage UpdateExchange::Message(ExchangeOutcome outcome, std::uint8_t verdict) {
  switch (outcome) {
    case ExchangeOutcome::CannotOpenPort:
      return {"Can't open port", MessageIcon::None};
    case ExchangeOutcome::IllegalCommand:
      return {"Illegal command", MessageIcon::None};
    case ExchangeOutcome::Unsuccessful:
      return {"Update unsuccessful", MessageIcon::Error};
    case ExchangeOutcome::Ok:
      return {"Update OK", MessageIcon::Information};
    case ExchangeOutcome::UnexpectedAnswer: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "Unexpected answer from the device (0x%02X)", verdict);
      return {buf, MessageIcon::Error};
    }
    default:
      return {};
  }
}

}  // namespace pelkar
