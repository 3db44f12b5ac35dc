#include "serial/serial_comm.h"

#include <cerrno>
#include <thread>

#include "channel_wait.h"
#include "serial/port_map.h"

namespace pelkar {

bool SerialComm::OpenPort(std::uint8_t ComPort, std::int32_t BaudRate) {
  ClosePort();
  auto path = DevicePathForPort(ComPort);
  if (!path) {
    path_.clear();
    errno_ = ENOENT;
    error_ = "COM" + std::to_string(ComPort) + " is not a port of this machine";
    return false;
  }
  return OpenPath(*path, BaudRate);
}

WaitResult SerialComm::WaitReadable(Clock::time_point deadline, const WaitInterrupt* interrupt) {
  SerialComm* self = this;
  return detail::WaitForAny(std::span<SerialComm* const>(&self, 1), deadline, interrupt);
}

bool SerialComm::Ready() {
  return native_ && (GetCountBytes() > 0 || PortLost());
}

void SerialComm::MarkLost(long system_error) {
  lost_ = true;
  Fail(system_error, "The port was lost:");
  errno_ = EIO;
}

void SerialComm::ReadFailed(long system_error, bool answers) {
  if (read_failures_.Failed(answers)) MarkLost(system_error);
}

bool SerialComm::LetOutputDrain() {
  // Output still queued goes out at the rate it was written at; a line that flow control
  // holds is not waited for long.
  const auto until = Clock::now() + std::chrono::seconds(1);
  while (OutputQueued() > 0) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace pelkar
