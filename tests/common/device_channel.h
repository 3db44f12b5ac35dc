// A port with the device model on its far end, in this process, for the window's and the
// tool's update tests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <thread>
#include <vector>

#include "serial/port_channel.h"
#include "sim/device_model.h"

namespace pelkar::test {

// A port with the device model on its far end, in this process: what the host writes reaches
// the device at once, and its answers wait to be read.
class DeviceChannel final : public PortChannel {
 public:
  explicit DeviceChannel(DeviceOptions options = {}) : device(options) {}
  bool Open(std::uint8_t number, std::int32_t baud) override {
    opened_number = number;
    opened_baud = baud;
    open = present;
    if (open && greet_on_open) Hello();
    return open;
  }
  bool IsOpen() const override { return open; }
  int Descriptor() const override { return -1; }
  // Called from a face's watcher thread: it sees only the flag the window's thread keeps.
  WaitResult WaitReadable(std::chrono::steady_clock::time_point deadline,
                          const WaitInterrupt& stop) override {
    while (std::chrono::steady_clock::now() < deadline) {
      if (stop.Raised()) return WaitResult::kInterrupted;
      if (readable_) return WaitResult::kReady;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WaitResult::kTimeout;
  }
  ReadResult ReadWaiting(std::vector<std::uint8_t>& out) override {
    out.insert(out.end(), waiting.begin(), waiting.end());
    waiting.clear();
    Changed();
    return present ? ReadResult::kOk : ReadResult::kLost;
  }
  bool Write(std::span<const std::uint8_t> data) override {
    if (!present) return false;
    for (std::uint8_t b : data) {
      const auto answer = device.OnHostByte(b);
      waiting.insert(waiting.end(), answer.begin(), answer.end());
    }
    Changed();
    return true;
  }
  void Close() override { open = false; }
  // Readiness is a flag in this process: there is no system object to wait on.
  bool Ready() override { return open && readable_; }
  std::intptr_t BeginWait() override { return -1; }
  bool EndWait(bool) override { return Ready(); }
  // The device opens the exchange.
  void Hello() {
    const auto hello = device.Start();
    waiting.insert(waiting.end(), hello.begin(), hello.end());
    Changed();
  }
  void Unplug() {
    present = false;
    Changed();
  }
  // Call after changing waiting or present directly.
  void Changed() { readable_ = !waiting.empty() || !present; }

  DeviceModel device;
  std::vector<std::uint8_t> waiting;
  bool present = true;         // false: unplugged
  bool greet_on_open = false;  // the device says hello as soon as the host opens the port
  std::atomic<bool> readable_{false};
  bool open = false;
  std::uint8_t opened_number = 0;
  std::int32_t opened_baud = 0;
};

}  // namespace pelkar::test
