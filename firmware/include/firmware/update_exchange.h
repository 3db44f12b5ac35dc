// The host side of the boot loader's update exchange, as a state machine with no I/O.
//
// The device leads: it sends its hello (10), the host answers 11; for every block request
// (12) the host sends the next 256-byte block of the image; after the last block the device
// asks for the checksum (13), the host sends it as 4 bytes, least significant first, and the
// device answers 14 (failed) or 15 (done). While a block or the checksum request is awaited,
// any other byte is dropped, one at a time.
//
// A driver opens the port, calls Start(), then feeds every received byte, one Feed() per
// byte, and sends what each call returns, until finished(). Feed() consumes exactly the one
// byte it is given; bytes that arrive after the end are not the exchange's. The machine has
// no clock: time-outs belong to the driver (awaited() says what it is waiting for).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "firmware/wire.h"

namespace pelkar {

enum class ExchangeState { Idle, AwaitHello, AwaitBlockRequest, AwaitCrcRequest, AwaitResult };

enum class ExchangeOutcome {
  None,               // not started, or still running
  UpdateOk,           // verdict 15
  UpdateFailed,       // verdict 14
  UnexpectedVerdict,  // a verdict byte other than 14 or 15
  IllegalCommand,     // the first byte was not the device's hello
  CannotOpenPort,     // the driver could not open the port
  Stopped,            // Stop() while running
};

enum class MessageIcon { None, Error, Information };

// What the user is told at the end of an exchange.
struct ExchangeMessage {
  std::string text;
  MessageIcon icon = MessageIcon::None;
};

class UpdateExchange {
 public:
  // image: the bytes to send, exactly as stored; crc: their checksum. Both are copied, so
  // nothing can change them under a running exchange. Throws std::invalid_argument for an
  // empty image or one that is not a whole number of 256-byte blocks.
  UpdateExchange(std::span<const std::uint8_t> image, std::int32_t crc);

  // Begins the exchange once the driver has tried to open the port. port_open false ends it
  // at once with CannotOpenPort.
  void Start(bool port_open);

  // One received byte. Returns the bytes to send in answer (empty: none); the span stays
  // valid until the next call. Ignored when the exchange is not running.
  std::span<const std::uint8_t> Feed(std::uint8_t byte);

  // Ends a running exchange (outcome Stopped); does nothing otherwise.
  void Stop();

  ExchangeState state() const noexcept { return state_; }
  bool running() const noexcept { return state_ != ExchangeState::Idle; }
  bool finished() const noexcept { return outcome_ != ExchangeOutcome::None; }
  ExchangeOutcome outcome() const noexcept { return outcome_; }

  // The byte awaited now (10, 12 or 13), or nothing when any byte will do (the verdict) or
  // nothing runs. awaited_what() names it for time-out messages ("a block request").
  std::optional<std::uint8_t> awaited() const noexcept;
  std::string_view awaited_what() const noexcept;

  // Progress: image bytes sent of image_size() (whole blocks), blocks sent of block_count(),
  // and every byte sent so far (11, blocks and checksum: at most 1 + L + 4).
  std::size_t image_size() const noexcept { return image_.size(); }
  std::size_t image_bytes_sent() const noexcept { return next_offset_; }
  std::size_t block_count() const noexcept { return image_.size() / kBlockSize; }
  std::size_t blocks_sent() const noexcept { return next_offset_ / kBlockSize; }
  std::size_t bytes_sent() const noexcept { return bytes_sent_; }
  std::int32_t crc() const noexcept { return crc_; }

  // The byte that ended the exchange with IllegalCommand or a verdict.
  std::optional<std::uint8_t> final_byte() const noexcept { return final_byte_; }

  // What the user is told for the outcome; nothing while running and after Stop.
  std::optional<ExchangeMessage> message() const;

 private:
  void Finish(ExchangeOutcome outcome, std::optional<std::uint8_t> byte = std::nullopt);

  std::vector<std::uint8_t> image_;
  std::int32_t crc_;
  ExchangeState state_ = ExchangeState::Idle;
  ExchangeOutcome outcome_ = ExchangeOutcome::None;
  std::size_t next_offset_ = 0;
  std::size_t bytes_sent_ = 0;
  std::optional<std::uint8_t> final_byte_;
  std::array<std::uint8_t, 4> small_{};  // the hello answer or the checksum, while sent
};

// The user's text for an outcome: "Update OK", "Update unsuccessful", "Illegal command",
// "Can't open port", "Unexpected answer from the device (0x10)"; nothing for None/Stopped.
std::optional<ExchangeMessage> MessageFor(ExchangeOutcome outcome,
                                          std::optional<std::uint8_t> byte = std::nullopt);

}  // namespace pelkar
