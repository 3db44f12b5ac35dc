#include "sim/simulated_device.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

#include "firmware/encoder.h"

namespace pelkar {
namespace {

using Clock = std::chrono::steady_clock;

timespec ToTimespec(Clock::duration d) {
  if (d < Clock::duration::zero()) d = Clock::duration::zero();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

void WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return;  // the host is gone; the caller sees the hang-up
    } else {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 50);
    }
  }
}

// The host's queue purge shows on the master, in packet mode, as this control byte.
constexpr std::uint8_t kFlushBits = TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE;
// The host's line speed.
constexpr std::int32_t kLineBaud = 115200;

LineOptions LineOptionsOf(const SimulatorOptions& o) {
  return {o.device, o.wait_reset, o.on.has_value(), o.once};
}

}  // namespace

SimulatedDevice::SimulatedDevice(SimulatorOptions options,
                                 std::function<void(const std::string&)> log)
    : options_(std::move(options)), log_(std::move(log)), line_(LineOptionsOf(options_)) {
  if (::pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0 ||
      ::pipe2(reset_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::runtime_error(std::string("Cannot make a pipe: ") + std::strerror(errno));
  }
  if (options_.on) {
    // The host's own settings (raw 8N1 at the line speed, no software flow control, both
    // queues purged) and its refusals: a port someone else holds is left alone.
    serial_ = std::make_unique<SerialComm>();
    if (!serial_->OpenPath(*options_.on, kLineBaud)) {
      const std::string why = serial_->LastError();
      serial_->ClosePort();
      throw std::runtime_error(why);
    }
    master_ = serial_->Descriptor();
    pty_path_ = *options_.on;
    return;
  }
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    throw std::runtime_error(std::string("Cannot make a pseudo-terminal: ") + std::strerror(errno));
  }
  pty_path_ = ::ptsname(master_);
  // Raw at once: with the default echo, what the device writes before the host configures
  // the port would come straight back to it.
  termios t{};
  ::tcgetattr(master_, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(master_, TCSANOW, &t);
  int on = 1;
  ::ioctl(master_, TIOCPKT, &on);
  ResetHangupState();
  link_ = std::make_unique<VirtualPortLink>(pty_path_, options_.com);
  port_ = link_->port();
  link_path_ = link_->link();
}

SimulatedDevice::~SimulatedDevice() {
  link_.reset();
  if (serial_) {
    serial_.reset();  // closes master_
  } else if (master_ >= 0) {
    ::close(master_);
  }
  for (int fd : {stop_pipe_[0], stop_pipe_[1], reset_pipe_[0], reset_pipe_[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

void SimulatedDevice::RequestStop() noexcept {
  const char c = 's';
  [[maybe_unused]] const ssize_t n = ::write(stop_pipe_[1], &c, 1);
}

void SimulatedDevice::RequestReset() noexcept {
  const int saved = errno;
  const char c = 'r';
  [[maybe_unused]] const ssize_t n = ::write(reset_pipe_[1], &c, 1);
  errno = saved;
}

std::vector<SimulatedExchange> SimulatedDevice::exchanges() const {
  std::lock_guard lock(mutex_);
  return exchanges_;
}

void SimulatedDevice::Log(const std::string& line) const {
  if (log_) log_(line);
}

// A pseudo-terminal whose slave was never opened shows no hang-up, so a host's arrival
// could not be told; opening and closing the slave once puts it into the hung-up state
// that the host's open then clears.
void SimulatedDevice::ResetHangupState() {
  const int slave = ::open(pty_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave >= 0) ::close(slave);
  std::uint8_t drain[256];
  while (::read(master_, drain, sizeof drain) > 0) {
  }
}

SimulatedDevice::Wait SimulatedDevice::WaitForHost() {
  for (;;) {
    pollfd p[2] = {{master_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    ::poll(p, 2, 50);
    if (p[1].revents & POLLIN) return Wait::Stopped;
    if (p[0].revents & POLLHUP) {
      ::poll(&p[1], 1, 20);  // hung up: nobody there yet; the state lasts, so do not spin
      continue;
    }
    return Wait::HostThere;
  }
}

std::size_t SimulatedDevice::Run() {
  if (serial_) {
    Log("Simulated device on " + pty_path_);
    Exchange();  // a real line shows no host leaving: one exchange until the end
    serial_.reset();
    master_ = -1;
    return Verdicts();
  }
  Log("Simulated device on " + pty_path_ + " as COM" + std::to_string(port()) + " (" +
      link_path().string() + ")");
  for (;;) {
    Log("Waiting for a host to open COM" + std::to_string(port()) + "...");
    if (!next_host_waiting_ && WaitForHost() == Wait::Stopped) break;
    if (!Exchange() || options_.once) break;
    if (!next_host_waiting_) ResetHangupState();
  }
  link_.reset();
  return Verdicts();
}

std::size_t SimulatedDevice::Verdicts() const {
  std::lock_guard lock(mutex_);
  std::size_t verdicts = 0;
  for (const auto& e : exchanges_)
    verdicts += e.verdict.has_value() ? 1 : 0;
  return verdicts;
}

bool SimulatedDevice::Exchange() {
  DeviceLine::Step step = line_.Begin(Clock::now(), std::exchange(next_host_waiting_, false));
  for (;;) {
    if (const auto keep_running = Apply(step)) return *keep_running;
    step = Await(step.deadline);
  }
}

std::optional<bool> SimulatedDevice::Apply(const DeviceLine::Step& step) {
  // Saved and recorded before the verdict goes out: a host may look as soon as it has it.
  if (step.verdict && options_.save) {
    try {
      WriteFileAtomically(*options_.save, line_.received_image());
    } catch (const std::exception& e) {
      Log(std::string("Cannot save the received image: ") + e.what());
    }
  }
  if (!step.ended.empty()) {
    std::lock_guard lock(mutex_);
    exchanges_.insert(exchanges_.end(), step.ended.begin(), step.ended.end());
  }
  if (!step.send.empty()) WriteAll(master_, step.send);
  for (const std::string& line : step.log)
    Log(line);
  switch (step.action) {
    case DeviceLine::Action::kContinue:
      return std::nullopt;
    case DeviceLine::Action::kHangUp:
      HangUp();
      return false;
    case DeviceLine::Action::kEnd:
      return false;
    case DeviceLine::Action::kNextHost:
      next_host_waiting_ = true;
      return true;
    case DeviceLine::Action::kHostGone:
      return true;
  }
  return false;
}

// The port vanishes, as an unplugged adapter does.
void SimulatedDevice::HangUp() {
  link_.reset();
  if (serial_) {
    serial_->ClosePort();
  } else {
    ::close(master_);
  }
  master_ = -1;
}

// Sleeps until the deadline, a stop or reset, or the port has something to tell.
DeviceLine::Step SimulatedDevice::Await(DeviceLine::Time deadline) {
  pollfd p[3] = {{master_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}, {reset_pipe_[0], POLLIN, 0}};
  timespec ts{};
  if (deadline != DeviceLine::Time::max()) ts = ToTimespec(deadline - Clock::now());
  ::ppoll(p, 3, deadline == DeviceLine::Time::max() ? nullptr : &ts, nullptr);
  const auto now = Clock::now();
  if (p[1].revents & POLLIN) return line_.Stop();
  if (p[2].revents & POLLIN) {
    char drain[16];
    while (::read(reset_pipe_[0], drain, sizeof drain) > 0) {
    }
    return line_.Reset(now);
  }
  if (serial_ && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) return ReadPort(now);
  if (p[0].revents & POLLIN) {
    std::uint8_t buf[4096];
    const ssize_t n = ::read(master_, buf, sizeof buf);
    if (n > 0 && buf[0] == TIOCPKT_DATA) {
      return line_.Feed(std::span(buf + 1, static_cast<std::size_t>(n - 1)), now);
    }
    if (n > 0 && (buf[0] & kFlushBits)) return line_.Purged(now);
  } else if (p[0].revents & POLLHUP) {
    return line_.HostLeft(now);
  }
  return line_.Tick(now);
}

// An existing port: plain bytes, and no host arriving or leaving, only the port going away.
DeviceLine::Step SimulatedDevice::ReadPort(DeviceLine::Time now) {
  std::uint8_t buf[4096];
  const ssize_t n = ::read(master_, buf, sizeof buf);
  if (n > 0) return line_.Feed(std::span(buf, static_cast<std::size_t>(n)), now);
  if (n == 0 || (errno != EAGAIN && errno != EINTR)) return line_.Lost(now);
  return line_.Tick(now);
}

}  // namespace pelkar
