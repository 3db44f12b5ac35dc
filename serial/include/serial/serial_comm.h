// SerialComm: one serial port, opened by number or path, raw 8N1 at a given rate.
//
// Reads wait at most 1000 ms plus 1 ms a byte in all; writes have no time-out but end at
// once when the port is lost. The port is held exclusively (TIOCEXCL and a non-blocking
// flock, so that even root cannot open it twice). Hardware flow control and the modem
// lines stay as the port had them; software flow control is always off, since an image
// holds 0x11 and 0x13 bytes. Not thread-safe; one owner at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace pelkar {

class SerialComm {
 public:
  SerialComm() = default;
  SerialComm(const SerialComm&) = delete;
  SerialComm& operator=(const SerialComm&) = delete;
  ~SerialComm();  // closes the port

  // Opens COM<ComPort> (see serial/port_map.h) at BaudRate, 8 data bits, no parity, one stop
  // bit, and empties both queues. A port still open on this channel is closed first. False
  // when there is no such port, it is busy or not allowed, or it refuses the settings or the
  // rate; LastErrno()/LastError() tell which.
  bool OpenPort(std::uint8_t ComPort, std::int32_t BaudRate);
  // The same for a device path (a /dev node, a virtual port link or a pseudo-terminal).
  bool OpenPath(const std::string& path, std::int32_t BaudRate);

  // Sends every byte of Be; a short write is continued. False when the port fails or is
  // lost (PortLost()).
  bool WritePort(std::span<const std::uint8_t> Be);
  // Bytes waiting to be read, without consuming them; 0 when closed or on failure.
  std::int32_t GetCountBytes();
  // Fills Ki from index 0 until all of it has come or 1000 + Ki.size() ms have passed;
  // elements no byte reached keep their contents. True also when the time runs out; false
  // when closed, when the read fails or when the port is lost.
  bool ReadPort(std::span<std::uint8_t> Ki);
  // Reads what is waiting now, up to out.size() bytes, without waiting; returns the count
  // (0: nothing waiting, or the port failed: see PortLost()).
  std::size_t ReadAvailable(std::span<std::uint8_t> out);
  // Closes the port; nothing happens when none is open.
  void ClosePort();

  bool IsOpen() const noexcept { return fd_ >= 0; }
  // The descriptor for readiness notification (poll, QSocketNotifier); -1 when closed.
  int Descriptor() const noexcept { return fd_; }
  const std::string& Path() const noexcept { return path_; }

  // True once the port has gone away under an open channel (adapter unplugged, the other
  // end of a pseudo-terminal closed): hang-up, EIO, or end of file. Checks the descriptor
  // without waiting when asked, so a driver that saw POLLHUP/POLLERR can call it.
  bool PortLost();
  // errno of the last failure (0: none) and a readable account of it, with the path and,
  // for a refused permission, what to do about it.
  int LastErrno() const noexcept { return errno_; }
  const std::string& LastError() const noexcept { return error_; }

 private:
  bool Fail(int err, std::string_view what);
  void MarkLost(int err);

  int fd_ = -1;
  std::string path_;
  bool lost_ = false;
  int errno_ = 0;
  std::string error_;
};

// What to do when a device path refuses permission: names the group that owns the device
// ("Add yourself to the group 'dialout' that owns /dev/ttyUSB0: sudo usermod -aG dialout
// $USER, then log in again.").
std::string PermissionHint(const std::string& path);

}  // namespace pelkar
