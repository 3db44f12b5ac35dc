#include "serial/serial_comm.h"

#include <cerrno>

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
  return WaitForPorts(std::span(&self, 1), deadline, interrupt);
}

}  // namespace pelkar
