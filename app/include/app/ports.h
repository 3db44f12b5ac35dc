// What the window needs of port discovery and of the serial channel. Thin adapters put the
// serial library's classes behind these, so tests can stand in for the machine's ports.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "serial/serial_comm.h"  // WaitInterrupt, WaitResult

namespace pelkar {

// The discovered ports, in discovery order. After Query there is at least one entry (an
// empty name with port number 0 when no port was found).
class PortDiscovery {
 public:
  virtual ~PortDiscovery() = default;
  virtual void Query() = 0;
  virtual std::uint8_t Count() const = 0;
  virtual std::string Name(std::uint8_t index) const = 0;
  // The COM number of entry index; 0 for an index that has no entry.
  virtual std::uint8_t Number(std::uint8_t index) const = 0;
};

// One serial channel, opened by port number. Non-blocking once open.
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

}  // namespace pelkar
