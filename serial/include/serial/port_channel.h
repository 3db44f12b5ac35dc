// One serial channel as the update drivers see it: the machine's port (SerialChannel), a
// browser's, or a test's stand-in with the device model on its far end.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "serial/serial_comm.h"  // WaitInterrupt, WaitResult

namespace pelkar {

// Opened by port number. Non-blocking once open.
class PortChannel {
 public:
  enum class ReadResult { kOk, kLost };

  virtual ~PortChannel() = default;
  // Opens and configures port `number` at `baud`, 8N1, queues purged. False when it cannot.
  virtual bool Open(std::uint8_t number, std::int32_t baud) = 0;
  virtual bool IsOpen() const = 0;
  // Descriptor that becomes readable when bytes arrive or the port goes away; -1 when closed
  // and on Windows.
  virtual int Descriptor() const = 0;
  // Waits until bytes are waiting or the port has gone away (kReady), the deadline passes or
  // stop is raised, costing no CPU meanwhile. Not to be called while another call runs.
  virtual WaitResult WaitReadable(std::chrono::steady_clock::time_point deadline,
                                  const WaitInterrupt& stop) = 0;
  // Appends every byte waiting now to out (none is fine). kLost when the port has gone away
  // (adapter unplugged, the other end of a pseudo-terminal closed).
  virtual ReadResult ReadWaiting(std::vector<std::uint8_t>& out) = 0;
  // Sends all of data; false when the port has gone away or refused the bytes.
  virtual bool Write(std::span<const std::uint8_t> data) = 0;
  // Closing a channel that is not open does nothing.
  virtual void Close() = 0;
};

// The machine's port behind PortChannel, also opened by path, with SerialComm's account of a
// failure.
class SerialChannel final : public PortChannel {
 public:
  bool Open(std::uint8_t number, std::int32_t baud) override {
    return comm_.OpenPort(number, baud);
  }
  bool OpenPath(const std::string& path, std::int32_t baud) { return comm_.OpenPath(path, baud); }
  bool IsOpen() const override { return comm_.IsOpen(); }
  int Descriptor() const override { return comm_.Descriptor(); }
  WaitResult WaitReadable(std::chrono::steady_clock::time_point deadline,
                          const WaitInterrupt& stop) override {
    return comm_.WaitReadable(deadline, &stop);
  }
  ReadResult ReadWaiting(std::vector<std::uint8_t>& out) override;
  bool Write(std::span<const std::uint8_t> data) override { return comm_.WritePort(data); }
  void Close() override { comm_.ClosePort(); }
  SerialComm& comm() noexcept { return comm_; }

 private:
  SerialComm comm_;
};

}  // namespace pelkar
