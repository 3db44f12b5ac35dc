// The device side of the update exchange: a model of the boot loader with no I/O, for the
// simulated device and for tests that wire host and device back to back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "firmware/wire.h"

namespace pelkar {

// What the simulated device does, and does wrong: the unit itself (DeviceModel) and its line
// (DeviceLine).
struct DeviceOptions {
  std::size_t blocks = 160;                 // block requests before the checksum request
  bool fail = false;                        // answer 14 whatever the checksum
  bool noise = false;                       // stray bytes before every request
  bool bad_hello = false;                   // open with 0x00 instead of the hello
  std::optional<std::uint8_t> verdict;      // answer this byte instead of 14 or 15
  std::optional<std::size_t> silent_after;  // say nothing more after this many blocks
  std::uint32_t baud = 0;                   // pace host bytes as an 8N1 line; 0: no pacing
  std::uint32_t flash_ms = 0;               // pause after each block, as a flash write
  std::optional<std::size_t> hangup_after;  // the port vanishes after this many blocks
                                            // (0: once the host answered the hello)
  // A fixture with a fresh unit: after a verdict, the next unit greets the same host on the
  // same port after this pause, instead of waiting for the host to close it.
  std::optional<std::uint32_t> next_unit_ms;
  std::string text_after;                  // a line (0x0A added) a unit prints after its verdict
  std::vector<std::size_t> failing_units;  // units (1 = the first) that answer 14
  std::optional<std::size_t> units;        // units in all; silence after the last
};

class DeviceModel {
 public:
  explicit DeviceModel(DeviceOptions options = {});

  // What the device sends when the host is there: its hello (10), or 0x00 then 10 with
  // bad_hello, since only the first byte counts.
  std::vector<std::uint8_t> Start();

  // One byte from the host; returns what the device sends in answer (often nothing).
  std::vector<std::uint8_t> OnHostByte(std::uint8_t byte);

  // True once the host has answered the hello.
  bool greeted() const noexcept {
    return phase_ != Phase::AwaitStart && phase_ != Phase::AwaitHostHello;
  }
  // True once the verdict is sent, or when the device went silent.
  bool finished() const noexcept { return phase_ == Phase::Done || phase_ == Phase::Silent; }
  bool silent() const noexcept { return phase_ == Phase::Silent; }

  // After a block completes: the block just received (0-based) is blocks_received() - 1.
  std::size_t blocks_received() const noexcept { return received_.size() / kBlockSize; }
  const std::vector<std::uint8_t>& received_image() const noexcept { return received_; }

  // After the checksum: the one the host sent, the one computed over what came, and the
  // verdict sent.
  std::optional<std::int32_t> host_crc() const noexcept { return host_crc_; }
  std::optional<std::int32_t> computed_crc() const noexcept { return computed_crc_; }
  std::optional<std::uint8_t> verdict_sent() const noexcept { return verdict_sent_; }

 private:
  enum class Phase { AwaitStart, AwaitHostHello, ReceiveBlock, ReceiveCrc, Done, Silent };

  std::vector<std::uint8_t> Request(std::uint8_t request);

  DeviceOptions options_;
  Phase phase_ = Phase::AwaitStart;
  std::vector<std::uint8_t> received_;
  std::vector<std::uint8_t> crc_bytes_;
  std::size_t noise_counter_ = 0;
  std::optional<std::int32_t> host_crc_;
  std::optional<std::int32_t> computed_crc_;
  std::optional<std::uint8_t> verdict_sent_;
};

}  // namespace pelkar
