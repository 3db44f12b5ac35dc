// One serial channel as the update drivers see it: the machine's port (SerialChannel), a
// browser's, a network port, or a test's stand-in with the device model on its far end.
//
// Every channel keeps one contract, and tests/serial/channel_conformance_test.cpp checks it
// against each:
// - Open sets the rate asked for (the product asks 115200), 8 data bits, no parity, one stop
//   bit, raw (no echo, no line editing, no translation of any byte either way) and no software
//   flow control; hardware flow control stays as the port had it. It empties both queues
//   before the first read, so no byte from before the open is taken as the device's.
// - A failed open leaves nothing open: IsOpen() is false, nothing of the system's is held,
//   and a later open of the same port works.
// - Write sends all of its bytes, in order, or tells why not; nothing is dropped or changed.
// - A far end that goes away (adapter unplugged, the other end of a pseudo-terminal closed, a
//   connection dropped) is told as lost within a second: a wait ends with kReady and
//   ReadWaiting gives kLost.
// - Close restores what open changed, where the port still exists.
// - Not thread-safe: one caller at a time.
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
  // Opens and configures port `number` at `baud` as the contract above says. A channel still
  // open is closed first. False when it cannot.
  virtual bool Open(std::uint8_t number, std::int32_t baud) = 0;
  virtual bool IsOpen() const = 0;
  // Descriptor that becomes readable when bytes arrive or the port goes away, for a caller's
  // own poll() or QSocketNotifier; -1 when closed and where the system has none.
  virtual int Descriptor() const = 0;
  // Waits until bytes are waiting or the port has gone away (kReady), the deadline passes or
  // stop is raised, costing no CPU meanwhile. Not to be called while another call runs.
  virtual WaitResult WaitReadable(std::chrono::steady_clock::time_point deadline,
                                  const WaitInterrupt& stop) = 0;
  // Appends every byte waiting now to out (none is fine). kLost when the port has gone away.
  virtual ReadResult ReadWaiting(std::vector<std::uint8_t>& out) = 0;
  // Sends all of data; false when the port has gone away or refused the bytes.
  virtual bool Write(std::span<const std::uint8_t> data) = 0;
  // Closing a channel that is not open does nothing.
  virtual void Close() = 0;

  // What WaitForChannels asks of every channel, so channels of any kind share one wait. A
  // closed channel is never Ready() and has nothing to wait on.
  //
  // True when ReadWaiting would now give bytes or kLost (checked without waiting).
  virtual bool Ready() = 0;
  // Prepares a wait and returns the system object that wakes it: POSIX a descriptor that
  // poll() sees readable or hung up when Ready() may have become true; Windows an event
  // HANDLE (cast to std::intptr_t) signalled then. -1 when there is nothing to wait on.
  virtual std::intptr_t BeginWait() = 0;
  // The wait has ended (woken by this channel's object when `woken`): collects what it
  // found, leaves nothing running, and returns Ready(). Called once after every BeginWait().
  virtual bool EndWait(bool woken) = 0;
};

// Until any channel is Ready() (kReady), the deadline (kTimeout) or stop (kInterrupted),
// costing no CPU meanwhile; a raised stop wins over a ready channel. Null channels are skipped;
// stop may be null. On Windows at most 63 channels with an object to wait on
// (std::length_error beyond). std::system_error when the system cannot wait.
WaitResult WaitForChannels(std::span<PortChannel* const> channels,
                           std::chrono::steady_clock::time_point deadline,
                           const WaitInterrupt* stop);

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
                          const WaitInterrupt& stop) override;
  ReadResult ReadWaiting(std::vector<std::uint8_t>& out) override;
  bool Write(std::span<const std::uint8_t> data) override { return comm_.WritePort(data); }
  void Close() override { comm_.ClosePort(); }
  bool Ready() override { return comm_.Ready(); }
  std::intptr_t BeginWait() override { return comm_.BeginWait(); }
  bool EndWait(bool woken) override { return comm_.EndWait(woken); }
  SerialComm& comm() noexcept { return comm_; }

 private:
  SerialComm comm_;
};

}  // namespace pelkar
