// SerialComm: one serial port, opened by number or path, raw 8N1 at a given rate.
//
// Reads wait at most 1000 ms plus 1 ms a byte in all; writes have no time-out but end at
// once when the port is lost. The port is held exclusively: on Linux with TIOCEXCL and a
// non-blocking flock, so that even root cannot open it twice; on Windows by sharing it with
// no one. Hardware flow control and the modem lines stay as the port had them; software flow
// control is always off, since an image holds 0x11 and 0x13 bytes. Not thread-safe; one owner
// at a time.
//
// Drivers wait for "a byte has arrived, a deadline, or a stop" with WaitReadable() or
// WaitForPorts(), which cost no CPU while nothing comes, on every system. On POSIX systems
// Descriptor() also serves poll() or a QSocketNotifier.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace pelkar {

// Stops a wait for ports from elsewhere: another thread, a signal handler (POSIX) or a console
// control handler (Windows). Once raised it stays raised until Clear().
class WaitInterrupt {
 public:
  WaitInterrupt();  // std::system_error when the system cannot make one
  WaitInterrupt(const WaitInterrupt&) = delete;
  WaitInterrupt& operator=(const WaitInterrupt&) = delete;
  ~WaitInterrupt();

  void Raise() noexcept;  // async-signal-safe
  void Clear() noexcept;
  bool Raised() const noexcept;
  // A descriptor that is readable while raised, for a caller's own poll(); -1 on Windows.
  int Descriptor() const noexcept;

 private:
  friend class SerialComm;
  friend class NetSocket;
  std::intptr_t native_[2];  // the two ends of a pipe, or an event
};

enum class WaitResult {
  kReady,        // a port has bytes waiting, or was lost: ReadAvailable() and PortLost() tell
  kTimeout,      // the deadline passed and nothing came
  kInterrupted,  // the interrupt was raised
};

class SerialComm {
 public:
  using Clock = std::chrono::steady_clock;

  SerialComm();
  SerialComm(const SerialComm&) = delete;
  SerialComm& operator=(const SerialComm&) = delete;
  ~SerialComm();  // closes the port

  // Opens COM<ComPort> (see serial/port_map.h) at BaudRate, 8 data bits, no parity, one stop
  // bit, and empties both queues. A port still open on this channel is closed first. False
  // when there is no such port, it is busy or not allowed, or it refuses the settings or the
  // rate; LastErrno()/LastError() tell which.
  bool OpenPort(std::uint8_t ComPort, std::int32_t BaudRate);
  // The same for a device path (a /dev node, a virtual port link or a pseudo-terminal; on
  // Windows \\.\COMn, or COMn). Paths are UTF-8.
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

  // Waits until a byte is waiting or the port is lost (kReady), the deadline passes
  // (kTimeout) or interrupt, when given, is raised (kInterrupted). A closed channel waits for
  // the deadline or the interrupt only. std::system_error when the system cannot wait.
  WaitResult WaitReadable(Clock::time_point deadline, const WaitInterrupt* interrupt = nullptr);
  // The same over several channels: kReady when any of them has bytes waiting or is lost.
  // A lost port makes every wait end at once, so close it. On Windows at most 63 open
  // channels (std::length_error beyond).
  static WaitResult WaitForPorts(std::span<SerialComm* const> ports, Clock::time_point deadline,
                                 const WaitInterrupt* interrupt = nullptr);

  bool IsOpen() const noexcept { return native_ != nullptr; }
  // POSIX: the descriptor for readiness notification (poll, QSocketNotifier); -1 when closed,
  // and always on Windows.
  int Descriptor() const noexcept;
  const std::string& Path() const noexcept { return path_; }

  // True once the port has gone away under an open channel (adapter unplugged, the other
  // end of a pseudo-terminal closed). Checks the port without waiting when asked, so a
  // driver that saw a wake-up with nothing to read can call it.
  bool PortLost();
  // The last failure as an errno value (0: none; ENOENT no such port, EBUSY held by another
  // program, EACCES not allowed, EIO lost, EINVAL settings refused) and a readable account of
  // it: the path, the system's own words and what to do.
  int LastErrno() const noexcept { return errno_; }
  const std::string& LastError() const noexcept { return error_; }

 private:
  struct Native;  // the open port as the system knows it, and what waiting on it needs

  // Records a failure from the system's error code (errno; GetLastError() on Windows) and
  // returns false.
  bool Fail(long system_error, std::string_view what);
  void MarkLost(long system_error);

  std::unique_ptr<Native> native_;  // null while closed
  std::string path_;
  bool lost_ = false;
  int errno_ = 0;
  std::string error_;
};

// What to do when a device path refuses permission, from who may open it. On Linux it names the
// group to join only when that group can read and write the device and is not root.
std::string PermissionHint(const std::string& path);

// Who may open a device, as PermissionHint reads it from the system.
struct DeviceAccess {
  std::string path;
  unsigned mode = 0;       // permission bits, e.g. 0660
  std::string owner;       // the owning user's name
  std::string group;       // the owning group's name
  bool group_is_root = false;
  bool member = false;     // this user is listed in the group (perhaps since this login)
};
std::string PermissionHint(const DeviceAccess& access);

}  // namespace pelkar
