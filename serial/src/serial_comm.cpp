#include "serial/serial_comm.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "serial/port_table.h"

namespace pelkar {
namespace {
speed_t SpeedFor(int32_t b) {
  switch (b) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B0;
  }
}
}  // namespace

SerialComm::~SerialComm() {
  ClosePort();
}

bool SerialComm::Fail(int e) {
  Err = e;
  if (e == EIO || e == ENXIO || e == ENODEV) Lost = true;
  return false;
}

bool SerialComm::OpenPort(uint8_t ComPort, int32_t BaudRate) {
  auto p = DevicePathForPort(ComPort);
  if (!p) return Fail(ENOENT);
  return OpenDevice(*p, BaudRate);
}

bool SerialComm::OpenDevice(const std::string& Path, int32_t BaudRate) {
  ClosePort();
  Lost = false;
  speed_t sp = SpeedFor(BaudRate);
  if (sp == B0) return Fail(EINVAL);
  int fd = ::open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(errno);
  termios t{};
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0 ||
      ::tcgetattr(fd, &t) != 0) {
    int e = errno == EWOULDBLOCK ? EBUSY : errno;
    ::close(fd);
    return Fail(e);
  }
  cfmakeraw(&t);
  t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB)) | CS8 | CLOCAL | CREAD;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 1;  // with O_NONBLOCK an empty queue then reads as EAGAIN, not 0
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, sp) != 0 || cfsetospeed(&t, sp) != 0 || ::tcsetattr(fd, TCSANOW, &t) != 0) {
    int e = errno;
    ::close(fd);
    return Fail(e);
  }
  ::tcflush(fd, TCIOFLUSH);
  Fd = fd;
  Err = 0;
  return true;
}

bool SerialComm::WritePort(std::span<const uint8_t> Be) {
  if (Fd < 0) return Fail(EBADF);
  size_t done = 0;
  while (done < Be.size()) {
    ssize_t n = ::write(Fd, Be.data() + done, Be.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{Fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
      if (p.revents & (POLLHUP | POLLERR)) return Fail(EIO);
    } else {
      return Fail(n < 0 ? errno : EIO);
    }
  }
  return true;
}

int32_t SerialComm::GetCountBytes() {
  if (Fd < 0) return Fail(EBADF), -1;
  int n = 0;
  if (::ioctl(Fd, FIONREAD, &n) != 0) return Fail(errno), -1;
  return n;
}

bool SerialComm::ReadPort(std::span<uint8_t> Ki) {
  ReadCount = 0;
  if (Fd < 0) return Fail(EBADF);
  using clock = std::chrono::steady_clock;
  const auto end = clock::now() + std::chrono::milliseconds(1000 + static_cast<long>(Ki.size()));
  while (ReadCount < Ki.size()) {
    ssize_t n = ::read(Fd, Ki.data() + ReadCount, Ki.size() - ReadCount);
    if (n > 0) {
      ReadCount += static_cast<size_t>(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EINTR)) return Fail(n == 0 ? EIO : errno);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
    if (left <= 0) break;
    pollfd p{Fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left) + 1);
    if ((p.revents & (POLLHUP | POLLERR)) && CheckLost()) return false;
  }
  return true;
}

bool SerialComm::CheckLost() {
  if (Fd < 0) return Lost;
  pollfd p{Fd, POLLIN, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))) {
    // Bytes still queued before a hang-up are left for ReadPort; lost once they are gone.
    int n = 0;
    if (::ioctl(Fd, FIONREAD, &n) != 0 || n == 0) Fail(EIO);
  }
  return Lost;
}

std::string SerialComm::LastError() const {
  return Err ? std::strerror(Err) : std::string();
}

void SerialComm::ClosePort() {
  if (Fd >= 0) ::close(Fd);
  Fd = -1;
}

}  // namespace pelkar
