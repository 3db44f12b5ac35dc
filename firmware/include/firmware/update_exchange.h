// The host side of the firmware update exchange as a pure state machine (no I/O, no clock).
//
// Wire protocol: device sends 10, host answers 11; for every 12 the host sends the next
// 256-byte block; on 13 (only after the last block) it sends the checksum as 4 bytes, least
// significant first; the device answers 15 (OK) or 14 (failed). A driver opens the port,
// calls Start(), writes Step::send, then feeds each received byte with OnByte() until
// finished(). Time-outs are the driver's business: awaitedByte() names what is expected.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelkar {

enum class ExchangeState { Idle, AwaitHello, AwaitBlockRequest, AwaitCrcRequest, AwaitResult };

enum class ExchangeOutcome {
  None,              // still running (or not started)
  CannotOpenPort,    // "Can't open port"
  IllegalCommand,    // first byte was not 10
  Unsuccessful,      // device answered 14
  Ok,                // device answered 15
  UnexpectedAnswer,  // any other verdict byte
  Stopped,           // user pressed Stop; no message
};

enum class MessageIcon { None, Error, Information };

// The user-facing text and icon of an outcome; empty text for None and Stopped.
struct OutcomeMessage {
  std::string text;
  MessageIcon icon = MessageIcon::None;
};

struct ExchangeStep {
  std::vector<std::uint8_t> send;  // bytes to write to the port, in order (may be empty)
  bool finished = false;           // the exchange has ended; see outcome()
};

class UpdateExchange {
 public:
  static constexpr std::uint8_t kHello = 10, kHelloAck = 11, kBlockRequest = 12, kCrcRequest = 13,
                                kFailed = 14, kOk = 15;

  // Copies the image and its checksum. Throws std::invalid_argument when the image is
  // empty or not a whole number of 256-byte blocks (the loader refuses anything else).
  UpdateExchange(std::span<const std::uint8_t> image, std::int32_t checksum);

  // Port opened: the machine waits for the hello byte. Returns nothing to send.
  ExchangeStep Start();
  // The port could not be opened: ends with CannotOpenPort.
  ExchangeStep PortOpenFailed();
  // Consumes exactly one received byte. Ignored when not running.
  ExchangeStep OnByte(std::uint8_t byte);
  // Ends the exchange in any state (outcome Stopped unless already finished).
  ExchangeStep Stop();

  ExchangeState state() const noexcept { return state_; }
  bool running() const noexcept { return state_ != ExchangeState::Idle; }
  bool finished() const noexcept { return outcome_ != ExchangeOutcome::None; }
  ExchangeOutcome outcome() const noexcept { return outcome_; }
  // The byte that advances the current state: 10, 12, 13, or nullopt (verdict: 14/15, or idle).
  std::optional<std::uint8_t> awaitedByte() const noexcept;
  // The verdict byte received, for UnexpectedAnswer/Ok/Unsuccessful.
  std::optional<std::uint8_t> verdictByte() const noexcept { return verdict_; }

  std::size_t imageSize() const noexcept { return image_.size(); }
  std::size_t bytesSent() const noexcept { return blocksSent_ * 256; }  // image bytes only
  std::size_t blocksSent() const noexcept { return blocksSent_; }
  std::size_t blockCount() const noexcept { return image_.size() / 256; }

  static OutcomeMessage Message(ExchangeOutcome outcome, std::uint8_t verdict = 0);
  OutcomeMessage message() const { return Message(outcome_, verdict_.value_or(0)); }

 private:
  ExchangeStep Finish(ExchangeOutcome outcome);

  std::vector<std::uint8_t> image_;
  std::int32_t checksum_;
  ExchangeState state_ = ExchangeState::Idle;
  ExchangeOutcome outcome_ = ExchangeOutcome::None;
  std::size_t blocksSent_ = 0;
  std::optional<std::uint8_t> verdict_;
};

}  // namespace pelkar
