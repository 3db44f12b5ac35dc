#include "serial/serial_comm.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <vector>

#include "serial/adapter.h"
#include "serial/port_map.h"
#include "serial/virtual_port.h"

namespace pelkar {
namespace {

// A USB gadget's own port (/dev/ttyGS*) carries bytes, not a line: its driver keeps the speed it
// started with, whatever is asked, and has no device in sysfs. A UART's driver always has one,
// and takes the speed asked or tells the one it took.
bool KeepsItsOwnSpeed(const std::string& path, speed_t before, const termios& back) {
  if (::cfgetospeed(&back) != before || ::cfgetispeed(&back) != before) return false;
  std::error_code ec;
  const auto name = std::filesystem::canonical(path, ec).filename();
  if (ec) return false;
  return !std::filesystem::exists(std::filesystem::path("/sys/class/tty") / name / "device", ec) &&
         std::filesystem::exists(std::filesystem::path("/sys/class/tty") / name, ec);
}

std::optional<speed_t> SpeedFor(std::int32_t baud) {
  switch (baud) {
    case 1200:
      return B1200;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
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
    case 460800:
      return B460800;
    case 500000:
      return B500000;
    case 576000:
      return B576000;
    case 921600:
      return B921600;
    case 1000000:
      return B1000000;
    default:
      return std::nullopt;
  }
}

bool IsLostErrno(int err) {
  return err == EIO || err == ENXIO || err == ENODEV || err == EBADF;
}

}  // namespace

// What the open changed is put back on close: the terminal's settings, the exclusive mode
// and the low-latency flag.
struct SerialComm::Native {
  int fd = -1;
  std::optional<termios> termios_before;
  bool exclusive = false;
  // What TIOCGSERIAL gave before the open asked for low latency.
  std::optional<serial_struct> serial_before;
};

WaitInterrupt::WaitInterrupt() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "Cannot make a wait interrupt");
  }
  native_[0] = fds[0];
  native_[1] = fds[1];
}

WaitInterrupt::~WaitInterrupt() {
  ::close(static_cast<int>(native_[0]));
  ::close(static_cast<int>(native_[1]));
}

void WaitInterrupt::Raise() noexcept {
  const int saved = errno;  // a signal handler must leave errno as it found it
  const char one = 1;
  [[maybe_unused]] const ssize_t n = ::write(static_cast<int>(native_[1]), &one, 1);
  errno = saved;  // a full pipe is raised already
}

void WaitInterrupt::Clear() noexcept {
  char buf[64];
  while (::read(static_cast<int>(native_[0]), buf, sizeof buf) > 0) {
  }
}

bool WaitInterrupt::Raised() const noexcept {
  pollfd p{Descriptor(), POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

int WaitInterrupt::Descriptor() const noexcept {
  return static_cast<int>(native_[0]);
}

SerialComm::SerialComm() = default;

SerialComm::~SerialComm() {
  ClosePort();
}

int SerialComm::Descriptor() const noexcept {
  return native_ ? native_->fd : -1;
}

bool SerialComm::Fail(long system_error, std::string_view what) {
  const int err = static_cast<int>(system_error);
  errno_ = err;
  error_ = std::string(what) + (path_.empty() ? "" : " " + path_) + ": " + std::strerror(err);
  if (err == EACCES || err == EPERM) error_ += ". " + PermissionHint(path_);
  if (err == EBUSY || err == EWOULDBLOCK) error_ += " (another program holds the port)";
  return false;
}

bool SerialComm::OpenPath(const std::string& path, std::int32_t BaudRate) {
  ClosePort();
  path_ = path;
  lost_ = false;
  read_failures_ = {};
  errno_ = 0;
  error_.clear();
  const auto speed = SpeedFor(BaudRate);
  if (!speed) return Fail(EINVAL, "Unsupported rate " + std::to_string(BaudRate) + " for");
  // A virtual port whose device has gone may lead to another device by now.
  if (StaleVirtualPort(path)) return Fail(ENOENT, "No simulated device runs on");
  // A device someone else has open is left alone: even our settings would change theirs.
  if (const auto holders = PortHolders(path); !holders.empty()) {
    Fail(EBUSY, "Cannot open");
    error_ = HeldPortMessage(path, holders);
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(errno, "Cannot open");
  if (StaleVirtualPort(path, fd)) {
    ::close(fd);
    return Fail(ENOENT, "No simulated device runs on");
  }
  native_ = std::make_unique<Native>();
  native_->fd = fd;
  if (Configure(BaudRate)) return true;
  ClosePort();  // a failed open holds nothing
  return false;
}

bool SerialComm::Configure(std::int32_t BaudRate) {
  const int fd = native_->fd;
  const speed_t speed = *SpeedFor(BaudRate);
  termios t{};
  if (::tcgetattr(fd, &t) != 0) {
    return Fail(errno, errno == ENOTTY ? "Not a serial port:" : "Cannot read the settings of");
  }
  const speed_t speed_before = ::cfgetospeed(&t);
  // Taken before anything changes, so that a port another channel holds keeps its settings.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return Fail(errno, "Cannot take");
  if (::ioctl(fd, TIOCEXCL) != 0) return Fail(errno, "Not a serial port:");
  native_->exclusive = true;

  // Raw at once: until then the line discipline echoes what the device sends (CR LF for each
  // 0x0A) back to it.
  native_->termios_before = t;
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
  t.c_cflag |= CS8 | CLOCAL | CREAD;  // CRTSCTS and HUPCL stay as they were
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0 ||
      ::tcsetattr(fd, TCSANOW, &t) != 0) {
    return Fail(errno, "Cannot configure");
  }

  termios back{};
  if (::tcgetattr(fd, &back) != 0) return Fail(errno, "Cannot read the settings of");
  const bool speed_taken = (::cfgetospeed(&back) == speed && ::cfgetispeed(&back) == speed) ||
                           KeepsItsOwnSpeed(path_, speed_before, back);
  if (!speed_taken || (back.c_cflag & (CSIZE | PARENB | CSTOPB)) != CS8 ||
      (back.c_iflag & (IXON | IXOFF)) != 0) {
    return Fail(EINVAL, "The port refused " + std::to_string(BaudRate) + " baud 8N1:");
  }
  // An FTDI adapter otherwise holds each lone received byte up to its latency timer (16 ms).
  // The usb-serial core refuses a user's call that changes close_delay or closing_wait, so
  // what TIOCGSERIAL gave goes back with the one flag changed. Drivers that refuse it (ptys,
  // cdc-acm, ch341) are no error.
  serial_struct info{};
  if (::ioctl(fd, TIOCGSERIAL, &info) == 0 && (info.flags & ASYNC_LOW_LATENCY) == 0) {
    serial_struct low = info;
    low.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &low) == 0) native_->serial_before = info;
  }
  ::tcflush(fd, TCIOFLUSH);
  return true;
}

bool SerialComm::WritePort(std::span<const std::uint8_t> Be) {
  if (!native_) return Fail(EBADF, "Write to a closed port");
  std::size_t done = 0;
  while (done < Be.size()) {
    const ssize_t n = ::write(native_->fd, Be.data() + done, Be.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      if (IsLostErrno(errno))
        MarkLost(errno);
      else
        Fail(errno, "Cannot write to");
      return false;
    }
    // The output queue is full: wait until it drains, with no time-out, but not past a
    // hang-up.
    pollfd p{native_->fd, POLLOUT, 0};
    if (::poll(&p, 1, -1) < 0 && errno != EINTR) return Fail(errno, "Cannot write to");
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) {
      MarkLost(EIO);
      return false;
    }
  }
  return true;
}

std::int32_t SerialComm::GetCountBytes() {
  if (!native_) return 0;
  int count = 0;
  if (::ioctl(native_->fd, FIONREAD, &count) != 0) {
    if (IsLostErrno(errno)) MarkLost(errno);
    return 0;
  }
  return count;
}

std::size_t SerialComm::ReadAvailable(std::span<std::uint8_t> out) {
  if (!native_ || out.empty()) return 0;
  for (;;) {
    const ssize_t n = ::read(native_->fd, out.data(), out.size());
    if (n > 0) return static_cast<std::size_t>(n);
    if (n == 0) {
      // With VMIN = VTIME = 0 nothing waiting also reads as 0; a hung-up port tells itself
      // by POLLHUP.
      PortLost();
      return 0;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && IsLostErrno(errno)) MarkLost(errno);
    return 0;
  }
}

bool SerialComm::ReadPort(std::span<std::uint8_t> Ki) {
  if (!native_) return Fail(EBADF, "Read from a closed port");
  const auto deadline = Clock::now() + std::chrono::milliseconds(1000 + Ki.size());
  std::size_t got = 0;
  while (got < Ki.size()) {
    got += ReadAvailable(Ki.subspan(got));
    if (lost_) return false;
    if (got == Ki.size()) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{native_->fd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left) + 1);
    if (r < 0 && errno != EINTR) return Fail(errno, "Cannot read from");
    if (r > 0 && !(p.revents & POLLIN) && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      MarkLost(EIO);
      return false;
    }
  }
  return true;
}

std::intptr_t SerialComm::BeginWait() {
  return native_ ? native_->fd : -1;
}

bool SerialComm::EndWait(bool) {
  return Ready();
}

std::size_t SerialComm::OutputQueued() {
  int queued = 0;
  if (!native_ || ::ioctl(native_->fd, TIOCOUTQ, &queued) != 0) return 0;
  return queued > 0 ? static_cast<std::size_t>(queued) : 0;
}

bool SerialComm::PortLost() {
  if (lost_ || !native_) return lost_;
  pollfd p{native_->fd, POLLIN, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) MarkLost(EIO);
  return lost_;
}

void SerialComm::ClosePort() {
  if (!native_) return;
  const Native& n = *native_;
  // A lost adapter takes its settings with it; the calls then just fail.
  if (n.termios_before) {
    // TCSADRAIN also lets the last bytes leave the UART; it could wait forever on a line that
    // flow control holds.
    ::tcsetattr(n.fd, LetOutputDrain() ? TCSADRAIN : TCSANOW, &*n.termios_before);
  }
  if (n.serial_before) ::ioctl(n.fd, TIOCSSERIAL, &*n.serial_before);
  if (n.exclusive) ::ioctl(n.fd, TIOCNXCL);
  ::close(n.fd);  // also drops the flock
  native_.reset();
}

std::string PermissionHint(const std::string& path) {
  DeviceAccess access;
  access.path = path;
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) {
    access.mode = 0660;  // the usual serial device: root:dialout
    access.group = "dialout";
    return PermissionHint(access);
  }
  access.mode = st.st_mode & 07777;
  access.group_is_root = st.st_gid == 0;
  if (const struct passwd* pw = ::getpwuid(st.st_uid)) access.owner = pw->pw_name;
  if (const struct group* g = ::getgrgid(st.st_gid)) {
    access.group = g->gr_name;
    const struct passwd* me = ::getpwuid(::getuid());
    for (char** m = g->gr_mem; me != nullptr && m != nullptr && *m != nullptr; ++m) {
      if (std::string_view(*m) == me->pw_name) access.member = true;
    }
    if (me != nullptr && me->pw_gid == st.st_gid) access.member = true;
  }
  return PermissionHint(access);
}

}  // namespace pelkar
