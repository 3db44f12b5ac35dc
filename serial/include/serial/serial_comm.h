#pragma once
// One serial port, raw 8N1, exclusive. Not thread-safe; one owner.
#include <cstdint>
#include <span>
#include <string>

namespace pelkar {

class SerialComm {
 public:
  SerialComm() = default;
  ~SerialComm();  // closes the port
  SerialComm(const SerialComm&) = delete;
  SerialComm& operator=(const SerialComm&) = delete;

  // Opens the port of the fixed number table; false on unknown number or OS error.
  bool OpenPort(uint8_t ComPort, int32_t BaudRate);
  // Opens a device path exclusively (TIOCEXCL + flock), raw 8N1 with CLOCAL, no IXON/IXOFF,
  // queues purged. False on failure; LastErrno()/LastError() tell why (EACCES, EBUSY, ...).
  bool OpenDevice(const std::string& Path, int32_t BaudRate);
  // Writes every byte (untimed, waits while the driver is full). False on OS error or lost port.
  bool WritePort(std::span<const uint8_t> Be);
  // Bytes waiting (FIONREAD), not consumed; -1 when closed or on error.
  int32_t GetCountBytes();
  // Reads up to Ki.size() bytes within 1000 ms + 1 ms a byte. A time-out is not an error:
  // returns true with what arrived (LastReadCount()); bytes not received stay unchanged.
  // False only on OS error or lost port (see PortLost()).
  bool ReadPort(std::span<uint8_t> Ki);
  void ClosePort();

  bool IsOpen() const { return Fd >= 0; }
  int Descriptor() const { return Fd; }  // for poll()/QSocketNotifier; -1 when closed
  size_t LastReadCount() const { return ReadCount; }
  bool PortLost() const { return Lost; }
  // Non-consuming check after poll() reported POLLHUP/POLLERR; sets PortLost().
  bool CheckLost();
  int LastErrno() const { return Err; }
  std::string LastError() const;

 private:
  bool Fail(int e);
  int Fd = -1;
  int Err = 0;
  bool Lost = false;
  size_t ReadCount = 0;
};

}  // namespace pelkar
