// A simulated device serving on its own thread for as long as the object lives (POSIX tests).
#pragma once

#include <string>
#include <thread>
#include <utility>

#include "sim/simulated_device.h"

namespace pelkar::test {

class Device {
 public:
  explicit Device(SimulatorOptions options) : device_(std::move(options)) {
    thread_ = std::thread([this] { device_.Run(); });
  }
  ~Device() {
    device_.RequestStop();
    thread_.join();
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  std::string port() const { return std::to_string(device_.port()); }
  SimulatedDevice& get() { return device_; }

 private:
  SimulatedDevice device_;
  std::thread thread_;
};

}  // namespace pelkar::test
