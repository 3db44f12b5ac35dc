#include "serial/serial_comm.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/utf16_windows.h"
#include "serial/port_map.h"

namespace pelkar {
namespace {

constexpr DWORD kQueueSize = 2000;  // bytes, input and output queue each

HANDLE AsHandle(std::intptr_t native) {
  return reinterpret_cast<HANDLE>(native);
}

// The nearest errno value, so that callers tell failures apart alike on every system.
int ErrnoFor(DWORD error) {
  switch (error) {
    case ERROR_SUCCESS:
      return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:  // what opening a port that another program holds gives
    case ERROR_SHARING_VIOLATION:
      return EBUSY;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_INVALID_PARAMETER:
    case ERROR_NOT_SUPPORTED:
      return EINVAL;
    default:
      return EIO;
  }
}

// True while the system still answers for the port. A port whose driver has gone (adapter
// unplugged; under Wine the far end of a pseudo-terminal closed) fails this query.
bool PortAnswers(HANDLE port, DWORD* queued = nullptr) {
  DWORD errors = 0;
  COMSTAT status{};
  if (!::ClearCommError(port, &errors, &status)) return false;
  if (queued != nullptr) *queued = status.cbInQue;
  return true;
}

// One overlapped read or write, waited for to its end. Returns ERROR_SUCCESS or the system's
// error; count gets the bytes moved either way.
DWORD Transfer(HANDLE port, HANDLE event, bool write, std::uint8_t* data, DWORD size,
               DWORD& count) {
  OVERLAPPED io{};
  io.hEvent = event;
  const BOOL done = write ? ::WriteFile(port, data, size, nullptr, &io)
                          : ::ReadFile(port, data, size, nullptr, &io);
  DWORD error = done ? ERROR_SUCCESS : ::GetLastError();
  if (done || error == ERROR_IO_PENDING) {
    DWORD moved = 0;
    error = ::GetOverlappedResult(port, &io, &moved, TRUE) ? ERROR_SUCCESS : ::GetLastError();
  }
  count = static_cast<DWORD>(io.InternalHigh);
  // A read whose time ran out ends as a success on Windows and as ERROR_TIMEOUT under Wine;
  // what came is in the count either way.
  if (error == ERROR_TIMEOUT && !write) error = ERROR_SUCCESS;
  return error;
}

}  // namespace

// The port's handle, opened for overlapped I/O so that a wait for the next byte can be
// combined with other waits. Reads and writes still end before their call returns.
//
// A wait starts a one-byte read that ends when a byte arrives (or, with nothing coming, after
// the read time-out, when it is started again). The byte it takes is kept in `ahead` and
// handed out first. No read is left running between calls.
//
// What the open changed (the line settings and the time-outs) is put back on close.
struct SerialComm::Native {
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::optional<DCB> dcb_before;
  std::optional<COMMTIMEOUTS> timeouts_before;
  HANDLE transfer_done = nullptr;  // event of reads and writes
  HANDLE wait_done = nullptr;      // event of the waiting read
  OVERLAPPED wait{};
  bool waiting = false;
  bool cancelled = false;
  std::uint8_t ahead = 0;
  bool has_ahead = false;

  enum class Outcome { kPending, kByte, kNothing, kFailed };

  Native() = default;
  Native(const Native&) = delete;
  Native& operator=(const Native&) = delete;
  ~Native() {
    Settle();
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    if (transfer_done != nullptr) ::CloseHandle(transfer_done);
    if (wait_done != nullptr) ::CloseHandle(wait_done);
  }

  // Starts the waiting read; a read that fails at once is reported as kFailed with error.
  Outcome Arm(DWORD& error) {
    wait = OVERLAPPED{};
    wait.hEvent = wait_done;
    if (!::ReadFile(handle, &ahead, 1, nullptr, &wait)) {
      error = ::GetLastError();
      if (error != ERROR_IO_PENDING) return Outcome::kFailed;
    }
    waiting = true;  // also when it ended at once: Collect() tells how
    return Outcome::kPending;
  }

  // How the waiting read ended (kPending while it runs, unless block).
  Outcome Collect(bool block, DWORD& error) {
    DWORD count = 0;
    error = ::GetOverlappedResult(handle, &wait, &count, block ? TRUE : FALSE) ? ERROR_SUCCESS
                                                                               : ::GetLastError();
    if (error == ERROR_IO_INCOMPLETE) return Outcome::kPending;
    waiting = false;
    if (wait.InternalHigh == 1) {
      has_ahead = true;
      return Outcome::kByte;
    }
    if (error == ERROR_SUCCESS || error == ERROR_TIMEOUT ||
        (error == ERROR_OPERATION_ABORTED && cancelled)) {
      return Outcome::kNothing;
    }
    return Outcome::kFailed;
  }

  // Ends the waiting read; a byte it took already is kept.
  void Settle() {
    if (!waiting) return;
    cancelled = true;
    ::CancelIoEx(handle, &wait);
    DWORD error = 0;
    Collect(true, error);
    cancelled = false;
  }

  // Hands out the byte a wait took, if any; returns how many (0 or 1).
  std::size_t TakeAhead(std::span<std::uint8_t> out) {
    if (!has_ahead || out.empty()) return 0;
    out[0] = ahead;
    has_ahead = false;
    return 1;
  }
};

WaitInterrupt::WaitInterrupt() : native_{0, 0} {
  const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(),
                            "Cannot make a wait interrupt");
  }
  native_[0] = reinterpret_cast<std::intptr_t>(event);
}

WaitInterrupt::~WaitInterrupt() {
  ::CloseHandle(AsHandle(native_[0]));
}

void WaitInterrupt::Raise() noexcept {
  ::SetEvent(AsHandle(native_[0]));
}

void WaitInterrupt::Clear() noexcept {
  ::ResetEvent(AsHandle(native_[0]));
}

bool WaitInterrupt::Raised() const noexcept {
  return ::WaitForSingleObject(AsHandle(native_[0]), 0) == WAIT_OBJECT_0;
}

int WaitInterrupt::Descriptor() const noexcept {
  return -1;
}

SerialComm::SerialComm() = default;

SerialComm::~SerialComm() {
  ClosePort();
}

int SerialComm::Descriptor() const noexcept {
  return -1;
}

bool SerialComm::Fail(long system_error, std::string_view what) {
  const auto error = static_cast<DWORD>(system_error);
  errno_ = ErrnoFor(error);
  error_ = std::string(what) + (path_.empty() ? "" : " " + path_) + ": " + SystemMessage(error);
  if (errno_ == EBUSY) error_ += ". The port is in use by another program: close it";
  if (errno_ == ENOENT) error_ += ". No such port: check Device Manager for the port's number";
  return false;
}

bool SerialComm::OpenPath(const std::string& path, std::int32_t BaudRate) {
  ClosePort();
  // "COM12" alone names no device from COM10 up; the \\.\ form names them all.
  const auto number = PortForDevicePath(path);
  path_ = number ? *DevicePathForPort(*number) : path;
  lost_ = false;
  read_failures_ = {};
  errno_ = 0;
  error_.clear();
  if (BaudRate <= 0) {
    return Fail(ERROR_INVALID_PARAMETER, "Unsupported rate " + std::to_string(BaudRate) + " for");
  }
  const HANDLE handle = ::CreateFileW(Utf16(path_).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return Fail(static_cast<long>(::GetLastError()), "Cannot open");
  native_ = std::make_unique<Native>();
  native_->handle = handle;
  if (Configure(BaudRate)) return true;
  ClosePort();  // a failed open holds nothing
  return false;
}

bool SerialComm::Configure(std::int32_t BaudRate) {
  Native& n = *native_;
  const HANDLE handle = n.handle;
  n.transfer_done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  n.wait_done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (n.transfer_done == nullptr || n.wait_done == nullptr) {
    return Fail(static_cast<long>(::GetLastError()), "Cannot open");
  }

  ::PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  ::SetupComm(handle, kQueueSize, kQueueSize);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(handle, &dcb)) {
    return Fail(static_cast<long>(::GetLastError()), "Not a serial port:");
  }
  COMMTIMEOUTS timeouts_before{};
  if (!::GetCommTimeouts(handle, &timeouts_before)) {
    return Fail(static_cast<long>(::GetLastError()), "Not a serial port:");
  }
  n.dcb_before = dcb;
  n.timeouts_before = timeouts_before;
  // Everything else stays as the port had it: hardware flow control, DTR and RTS.
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = static_cast<DWORD>(BaudRate);
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutX = FALSE;  // an image holds XON and XOFF bytes
  dcb.fInX = FALSE;
  if (!::SetCommState(handle, &dcb)) {
    return Fail(static_cast<long>(::GetLastError()), "Cannot configure");
  }
  DCB back{};
  back.DCBlength = sizeof back;
  if (!::GetCommState(handle, &back) || back.BaudRate != dcb.BaudRate || back.ByteSize != 8 ||
      back.Parity != NOPARITY || back.StopBits != ONESTOPBIT || back.fOutX || back.fInX) {
    return Fail(ERROR_INVALID_PARAMETER,
                "The port refused " + std::to_string(BaudRate) + " baud 8N1:");
  }
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 0;          // no limit between two bytes
  timeouts.ReadTotalTimeoutMultiplier = 1;   // ms a byte asked for
  timeouts.ReadTotalTimeoutConstant = 1000;  // ms
  timeouts.WriteTotalTimeoutMultiplier = 0;  // writes are untimed
  timeouts.WriteTotalTimeoutConstant = 0;
  if (!::SetCommTimeouts(handle, &timeouts)) {
    return Fail(static_cast<long>(::GetLastError()), "Cannot set the time-outs of");
  }
  // What came while the line was at the old settings is not the device's answer.
  ::PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return true;
}

bool SerialComm::WritePort(std::span<const std::uint8_t> Be) {
  if (!native_) return Fail(ERROR_INVALID_HANDLE, "Write to a closed port");
  std::size_t done = 0;
  while (done < Be.size()) {
    const auto size = static_cast<DWORD>(std::min<std::size_t>(Be.size() - done, 1u << 30));
    DWORD count = 0;
    const DWORD error = Transfer(native_->handle, native_->transfer_done, true,
                                 const_cast<std::uint8_t*>(Be.data() + done), size, count);
    if (error != ERROR_SUCCESS) {
      if (PortAnswers(native_->handle)) return Fail(static_cast<long>(error), "Cannot write to");
      MarkLost(static_cast<long>(error));
      return false;
    }
    if (count == 0) return Fail(ERROR_WRITE_FAULT, "Cannot write to");
    done += count;
  }
  return true;
}

std::int32_t SerialComm::GetCountBytes() {
  if (!native_) return 0;
  DWORD queued = 0;
  if (!PortAnswers(native_->handle, &queued)) {
    MarkLost(static_cast<long>(::GetLastError()));
    return 0;
  }
  return static_cast<std::int32_t>(
      std::min<DWORD>(queued + (native_->has_ahead ? 1 : 0), static_cast<DWORD>(INT32_MAX)));
}

std::size_t SerialComm::ReadAvailable(std::span<std::uint8_t> out) {
  if (!native_ || out.empty()) return 0;
  std::size_t got = native_->TakeAhead(out);
  DWORD queued = 0;
  if (!PortAnswers(native_->handle, &queued)) {
    MarkLost(static_cast<long>(::GetLastError()));
    return got;
  }
  const auto want = static_cast<DWORD>(std::min<std::size_t>(queued, out.size() - got));
  if (want == 0) return got;
  DWORD count = 0;  // the bytes are queued, so the read ends at once
  const DWORD error =
      Transfer(native_->handle, native_->transfer_done, false, out.data() + got, want, count);
  if (error != ERROR_SUCCESS && !PortAnswers(native_->handle)) MarkLost(static_cast<long>(error));
  return got + count;
}

bool SerialComm::ReadPort(std::span<std::uint8_t> Ki) {
  if (!native_) return Fail(ERROR_INVALID_HANDLE, "Read from a closed port");
  std::size_t got = native_->TakeAhead(Ki);
  if (got < Ki.size()) {
    DWORD count = 0;
    const auto size = static_cast<DWORD>(std::min<std::size_t>(Ki.size() - got, 1u << 30));
    const DWORD error =
        Transfer(native_->handle, native_->transfer_done, false, Ki.data() + got, size, count);
    got += count;
    if (error != ERROR_SUCCESS) {
      if (PortAnswers(native_->handle)) return Fail(static_cast<long>(error), "Cannot read from");
      MarkLost(static_cast<long>(error));
      return false;
    }
  }
  // A read cut short by the time-out is no failure, unless the port went away meanwhile.
  return got == Ki.size() || !PortLost();
}

void SerialComm::ClosePort() {
  if (!native_) return;
  Native& n = *native_;
  n.Settle();
  // A lost port takes its settings with it; the calls then just fail.
  if (n.dcb_before) {
    LetOutputDrain();
    ::SetCommState(n.handle, &*n.dcb_before);
  }
  if (n.timeouts_before) ::SetCommTimeouts(n.handle, &*n.timeouts_before);
  native_.reset();  // closes the handle
}

std::size_t SerialComm::OutputQueued() {
  DWORD errors = 0;
  COMSTAT status{};
  if (!native_ || !::ClearCommError(native_->handle, &errors, &status)) return 0;
  return status.cbOutQue;
}

std::intptr_t SerialComm::BeginWait() {
  if (!native_) return -1;
  Native& n = *native_;
  if (!n.waiting && !n.has_ahead && !lost_) {
    DWORD error = ERROR_SUCCESS;
    if (n.Arm(error) == Native::Outcome::kFailed) {
      ReadFailed(static_cast<long>(error), PortAnswers(n.handle));
    }
  }
  // With no read running the wait is to end at once, so that EndWait() tells what is so.
  if (!n.waiting) ::SetEvent(n.wait_done);
  return reinterpret_cast<std::intptr_t>(n.wait_done);
}

bool SerialComm::EndWait(bool) {
  if (native_ && native_->waiting) {
    Native& n = *native_;
    DWORD error = ERROR_SUCCESS;
    Native::Outcome outcome = n.Collect(false, error);
    if (outcome == Native::Outcome::kPending) {
      n.Settle();  // a byte that came just now is kept
      outcome = n.has_ahead ? Native::Outcome::kByte : Native::Outcome::kNothing;
    }
    if (outcome == Native::Outcome::kByte) read_failures_.Succeeded();
    // Some drivers abort reads after a line error until it is cleared, which PortAnswers()
    // does. A read's own time-out (kNothing) only starts it again.
    if (outcome == Native::Outcome::kFailed) {
      ReadFailed(static_cast<long>(error), PortAnswers(n.handle));
    }
  }
  return Ready();
}

bool SerialComm::PortLost() {
  if (lost_ || !native_) return lost_;
  if (!PortAnswers(native_->handle)) MarkLost(static_cast<long>(::GetLastError()));
  return lost_;
}

std::string PermissionHint(const std::string& path) {
  return "Close the program that holds " + (path.empty() ? std::string("the port") : path) +
         ", or ask an administrator for access.";
}

}  // namespace pelkar
