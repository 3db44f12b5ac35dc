// SerialComm: one serial port, opened by number or path, raw 8N1 at a given rate.
//
// Reads wait at most 1000 ms plus 1 ms a byte in all; writes have no time-out but end at
// once when the port is lost. The port is held exclusively: on Linux with TIOCEXCL and a
// non-blocking flock, so that even root cannot open it twice; on Windows by sharing it with
// no one. Hardware flow control and the modem lines stay as the port had them; software flow
// control is always off, since an image holds 0x11 and 0x13 bytes. Not thread-safe; one owner
// at a time.
//
// Drivers wait for "a byte has arrived, a deadline, or a stop" with WaitReadable(), or over
// several channels of any kind with WaitForChannels() (serial/port_channel.h), which cost no
// CPU while nothing comes, on every system. On POSIX systems Descriptor() also serves poll() or
// a QSocketNotifier.
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
  // What a wait sees raised: POSIX the descriptor above, Windows an event HANDLE.
  std::intptr_t WaitObject() const noexcept { return native_[0]; }

 private:
  std::intptr_t native_[2];  // the two ends of a pipe, or an event
};

// Reads that fail while the port still answers: some drivers abort reads after a line error
// until it is cleared, so one failure is no loss, but a port that fails every read is as good
// as lost. Each port keeps its own count.
class ReadFailures {
 public:
  static constexpr int kInARow = 3;
  // A read failed; true when the port is to be taken as lost now (at once when it no longer
  // answers at all).
  bool Failed(bool answers) noexcept { return !answers || ++in_a_row_ >= kInARow; }
  void Succeeded() noexcept { in_a_row_ = 0; }

 private:
  int in_a_row_ = 0;
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
  // bit, raw, and empties both queues. A port still open on this channel is closed first.
  // False when there is no such port, it is busy or not allowed, or it refuses the settings or
  // the rate; LastErrno()/LastError() tell which. A failed open holds nothing and leaves the
  // port's settings as they were.
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
  // Puts back the settings the open changed (once output still queued has gone, waiting at
  // most a second for it) where the port still exists, and closes it; nothing happens when
  // none is open.
  void ClosePort();

  // Waits until a byte is waiting or the port is lost (kReady), the deadline passes
  // (kTimeout) or interrupt, when given, is raised (kInterrupted). A closed channel waits for
  // the deadline or the interrupt only. std::system_error when the system cannot wait.
  WaitResult WaitReadable(Clock::time_point deadline, const WaitInterrupt* interrupt = nullptr);
  // The steps of a wait, as PortChannel has them (serial/port_channel.h): bytes waiting or the
  // port lost, checked now; the object that wakes a wait (the descriptor; on Windows the event
  // of a one-byte read started here); the wait's end, which collects that read.
  bool Ready();
  std::intptr_t BeginWait();
  bool EndWait(bool woken);

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
  // A read failed: the port is lost when it no longer answers or fails too often in a row.
  void ReadFailed(long system_error, bool answers);
  // Sets the open port up for the rate; false (with the failure recorded) when it refuses.
  bool Configure(std::int32_t BaudRate);
  // Waits, at most a second, until the output queue is empty; true when it is.
  bool LetOutputDrain();
  std::size_t OutputQueued();

  std::unique_ptr<Native> native_;  // null while closed
  std::string path_;
  bool lost_ = false;
  ReadFailures read_failures_;
  int errno_ = 0;
  std::string error_;
};

// What to do when a device path refuses permission, from who may open it. On Linux it names the
// group to join only when that group can read and write the device and is not root.
std::string PermissionHint(const std::string& path);

// Who may open a device, as PermissionHint reads it from the system.
struct DeviceAccess {
  std::string path;
  unsigned mode = 0;  // permission bits, e.g. 0660
  std::string owner;  // the owning user's name
  std::string group;  // the owning group's name
  bool group_is_root = false;
  bool member = false;  // this user is listed in the group (perhaps since this login)
};
std::string PermissionHint(const DeviceAccess& access);

}  // namespace pelkar
