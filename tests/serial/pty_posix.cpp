#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "pty.h"
#include "termios_settings.h"

namespace pelkar::test {

std::size_t OpenHandleCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

std::string NotAPort() {
  return "/dev/null";
}

bool RefusesASecondOpenInProcess() {
  return true;
}

struct Pty::Far {
  int master = -1;
};

Pty::Pty() : far_(std::make_unique<Far>()) {
  far_->master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (far_->master < 0 || ::grantpt(far_->master) != 0 || ::unlockpt(far_->master) != 0) {
    throw std::runtime_error("no pseudo-terminal");
  }
  path_ = ::ptsname(far_->master);
  termios t{};
  ::tcgetattr(far_->master, &t);
  ::cfmakeraw(&t);  // no echo of what the slave writes before it configures the port
  ::tcsetattr(far_->master, TCSANOW, &t);
}

Pty::~Pty() {
  CloseMaster();
}

int Pty::master() const {
  return far_->master;
}

void Pty::CloseMaster() {
  if (far_->master >= 0) ::close(far_->master);
  far_->master = -1;
}

void Pty::Write(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(far_->master, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else {
      pollfd p{far_->master, POLLOUT, 0};
      ::poll(&p, 1, 100);
    }
  }
}

std::vector<std::uint8_t> Pty::Read(std::size_t n, std::chrono::milliseconds within) {
  std::vector<std::uint8_t> out;
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
    pollfd p{far_->master, POLLIN, 0};
    if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
      std::uint8_t buf[512];
      const ssize_t got = ::read(far_->master, buf, std::min(sizeof buf, n - out.size()));
      if (got > 0) out.insert(out.end(), buf, buf + got);
    }
  }
  return out;
}

LineSettings Pty::Settings() {
  termios t{};
  if (::tcgetattr(far_->master, &t) != 0) throw std::runtime_error("no terminal settings");
  return SettingsOf(t);
}

void Pty::LeaveForeignSettings() {
  termios t{};
  ::tcgetattr(far_->master, &t);
  MakeForeign(t);
  ::tcsetattr(far_->master, TCSANOW, &t);
}

}  // namespace pelkar::test
