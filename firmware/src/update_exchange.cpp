#include "firmware/update_exchange.h"

#include <cstdio>
#include <stdexcept>

#include "firmware/crc.h"

namespace pelkar {

UpdateExchange::UpdateExchange(std::span<const std::uint8_t> image, std::int32_t crc)
    : image_(image.begin(), image.end()), crc_(crc) {
  if (image_.empty() || image_.size() % kBlockSize != 0) {
    throw std::invalid_argument("an update needs a whole number of 256-byte blocks, not " +
                                std::to_string(image_.size()) + " bytes");
  }
}

void UpdateExchange::Start(bool port_open) {
  if (running()) return;
  outcome_ = ExchangeOutcome::None;
  final_byte_.reset();
  next_offset_ = 0;
  bytes_sent_ = 0;
  if (!port_open) {
    Finish(ExchangeOutcome::CannotOpenPort);
    return;
  }
  state_ = ExchangeState::AwaitHello;
}

std::span<const std::uint8_t> UpdateExchange::Feed(std::uint8_t byte) {
  switch (state_) {
    case ExchangeState::Idle:
      return {};
    case ExchangeState::AwaitHello:
      if (byte != wire::kDeviceHello) {
        Finish(ExchangeOutcome::IllegalCommand, byte);
        return {};
      }
      state_ = ExchangeState::AwaitBlockRequest;
      small_[0] = wire::kHostHello;
      bytes_sent_ += 1;
      return std::span(small_).first(1);
    case ExchangeState::AwaitBlockRequest: {
      if (byte != wire::kBlockRequest) return {};  // dropped, the 13 too until the last block
      const std::span<const std::uint8_t> block(image_.data() + next_offset_, kBlockSize);
      next_offset_ += kBlockSize;
      bytes_sent_ += kBlockSize;
      if (next_offset_ == image_.size()) state_ = ExchangeState::AwaitCrcRequest;
      return block;
    }
    case ExchangeState::AwaitCrcRequest:
      if (byte != wire::kCrcRequest) return {};
      state_ = ExchangeState::AwaitResult;
      small_ = CrcWireBytes(crc_);
      bytes_sent_ += small_.size();
      return small_;
    case ExchangeState::AwaitResult:
      Finish(byte == wire::kUpdateDone     ? ExchangeOutcome::UpdateOk
             : byte == wire::kUpdateFailed ? ExchangeOutcome::UpdateFailed
                                           : ExchangeOutcome::UnexpectedVerdict,
             byte);
      return {};
  }
  return {};
}

void UpdateExchange::Stop() {
  if (running()) Finish(ExchangeOutcome::Stopped);
}

void UpdateExchange::Finish(ExchangeOutcome outcome, std::optional<std::uint8_t> byte) {
  state_ = ExchangeState::Idle;
  outcome_ = outcome;
  final_byte_ = byte;
}

std::optional<std::uint8_t> UpdateExchange::awaited() const noexcept {
  switch (state_) {
    case ExchangeState::AwaitHello:
      return wire::kDeviceHello;
    case ExchangeState::AwaitBlockRequest:
      return wire::kBlockRequest;
    case ExchangeState::AwaitCrcRequest:
      return wire::kCrcRequest;
    default:
      return std::nullopt;
  }
}

std::string_view UpdateExchange::awaited_what() const noexcept {
  switch (state_) {
    case ExchangeState::AwaitHello:
      return "the device's hello";
    case ExchangeState::AwaitBlockRequest:
      return "a block request";
    case ExchangeState::AwaitCrcRequest:
      return "the checksum request";
    case ExchangeState::AwaitResult:
      return "the device's verdict";
    case ExchangeState::Idle:
      break;
  }
  return "nothing";
}

std::optional<ExchangeMessage> UpdateExchange::message() const {
  return MessageFor(outcome_, final_byte_);
}

std::optional<ExchangeMessage> MessageFor(ExchangeOutcome outcome,
                                          std::optional<std::uint8_t> byte) {
  switch (outcome) {
    case ExchangeOutcome::UpdateOk:
      return ExchangeMessage{"Update OK", MessageIcon::Information};
    case ExchangeOutcome::UpdateFailed:
      return ExchangeMessage{"Update unsuccessful", MessageIcon::Error};
    case ExchangeOutcome::IllegalCommand:
      return ExchangeMessage{"Illegal command", MessageIcon::None};
    case ExchangeOutcome::CannotOpenPort:
      return ExchangeMessage{"Can't open port", MessageIcon::None};
    case ExchangeOutcome::UnexpectedVerdict: {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", byte.value_or(0));
      return ExchangeMessage{std::string("Unexpected answer from the device (") + hex + ")",
                             MessageIcon::Error};
    }
    case ExchangeOutcome::None:
    case ExchangeOutcome::Stopped:
      break;
  }
  return std::nullopt;
}

}  // namespace pelkar
