// The host side of the boot loader's update exchange as a pure machine: feed it the bytes the
// device sends, it answers with the bytes to send, the progress and the outcome. No I/O.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace pelkar {

class UpdateMachine {
 public:
  enum class State { kIdle, kAwaitHello, kAwaitBlockRequest, kAwaitCrcRequest, kAwaitResult };
  enum class Outcome { kRunning, kUpdateOk, kUpdateFailed, kIllegalCommand, kUnknownVerdict };

  static constexpr std::uint8_t kDeviceHello = 10;   // device opens the exchange
  static constexpr std::uint8_t kHostHello = 11;     // host's answer
  static constexpr std::uint8_t kBlockRequest = 12;  // send the next 256-byte block
  static constexpr std::uint8_t kCrcRequest = 13;    // send the 4 checksum bytes
  static constexpr std::uint8_t kUpdateFailed = 14;  // verdict: failed
  static constexpr std::uint8_t kUpdateDone = 15;    // verdict: succeeded
  static constexpr std::size_t kBlockSize = 256;

  // A copy of image is sent; a last partial block is padded with 0xFF.
  void Start(std::span<const std::uint8_t> image, std::int32_t crc);
  // One received byte; appends what must be sent to `send`.
  void Feed(std::uint8_t byte, std::vector<std::uint8_t>& send);
  void Stop() { state_ = State::kIdle; }

  State state() const noexcept { return state_; }
  Outcome outcome() const noexcept { return outcome_; }
  std::uint8_t last_byte() const noexcept { return last_; }
  std::size_t bytes_sent() const noexcept { return offset_; }
  std::size_t length() const noexcept { return image_.size(); }

 private:
  State state_ = State::kIdle;
  Outcome outcome_ = Outcome::kRunning;
  std::vector<std::uint8_t> image_;
  std::int32_t crc_ = 0;
  std::size_t offset_ = 0;
  std::uint8_t last_ = 0;
};

}  // namespace pelkar
