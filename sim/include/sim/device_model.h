// The device (boot loader) side of the update exchange as a pure model: no I/O, no clock.
// A runner calls Start(), writes what it returns, then passes every received byte to
// OnHostBytes() and writes what that returns, until finished().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace pelkar {

struct DeviceOptions {
  std::size_t blocks = 160;                // blocks requested before the checksum request
  bool fail = false;                       // answer 14 whatever the checksum
  bool noise = false;                      // stray bytes (incl. an early 13) before requests
  bool badHello = false;                   // open with a byte other than 10
  std::optional<std::uint8_t> verdict;     // answer this byte instead of 14/15
  std::optional<std::size_t> silentAfter;  // stop answering after K block requests
};

class DeviceModel {
 public:
  explicit DeviceModel(DeviceOptions options = {});

  // The opening bytes (the hello, or a wrong byte with badHello).
  std::vector<std::uint8_t> Start();
  // Bytes from the host; returns the device's answer (possibly empty).
  std::vector<std::uint8_t> OnHostBytes(std::span<const std::uint8_t> bytes);

  bool finished() const noexcept { return finished_; }  // verdict sent, or gone silent/bad hello
  bool silent() const noexcept { return silent_; }
  const std::vector<std::uint8_t>& received() const noexcept { return image_; }  // image bytes
  std::optional<bool> checksumMatched() const noexcept { return matched_; }
  std::size_t blocksRequested() const noexcept { return requested_; }

 private:
  enum class Phase { Idle, AwaitAck, Receiving, AwaitChecksum, Done };
  void Request(std::vector<std::uint8_t>& out);

  DeviceOptions opt_;
  Phase phase_ = Phase::Idle;
  std::vector<std::uint8_t> image_;
  std::vector<std::uint8_t> crc_;
  std::size_t requested_ = 0;
  std::size_t pending_ = 0;  // bytes still expected of the current block
  bool finished_ = false;
  bool silent_ = false;
  std::optional<bool> matched_;
};

}  // namespace pelkar
