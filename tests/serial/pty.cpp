#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <stdexcept>

namespace pelkar::test {

Pty::Pty() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    throw std::runtime_error("no pseudo-terminal");
  }
  path_ = ::ptsname(master_);
  termios t{};
  ::tcgetattr(master_, &t);
  ::cfmakeraw(&t);  // no echo of what the slave writes before it configures the port
  ::tcsetattr(master_, TCSANOW, &t);
}

Pty::~Pty() {
  CloseMaster();
}

void Pty::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void Pty::Write(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else {
      pollfd p{master_, POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
  }
}

std::vector<std::uint8_t> Pty::Read(std::size_t n, std::chrono::milliseconds within) {
  std::vector<std::uint8_t> out;
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
      std::uint8_t buf[512];
      const ssize_t got = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
      if (got > 0) out.insert(out.end(), buf, buf + got);
    }
  }
  return out;
}

}  // namespace pelkar::test
