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
#include <deque>
#include <stdexcept>

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
// A host that never purges gets the hello after this.
constexpr auto kHelloFallback = std::chrono::milliseconds(200);
// On a real line: how often an unanswered hello is said again, and the pause before the next
// unit greets after a verdict.
constexpr auto kHelloRepeat = std::chrono::seconds(1);
// The host's line speed.
constexpr std::int32_t kLineBaud = 115200;

}  // namespace

SimulatedDevice::SimulatedDevice(SimulatorOptions options,
                                 std::function<void(const std::string&)> log)
    : options_(std::move(options)), log_(std::move(log)) {
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

bool SimulatedDevice::StopRequested() {
  pollfd p{stop_pipe_[0], POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

// Counted from the hello on, so that 0 hangs up before the first block request.
bool SimulatedDevice::HangUpDue(const DeviceModel& device) const {
  return options_.hangup_after && device.greeted() &&
         device.blocks_received() >= *options_.hangup_after;
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

DeviceModel SimulatedDevice::NextUnit() {
  ++units_;
  DeviceOptions unit = options_.device;
  const auto& failing = options_.failing_units;
  if (std::find(failing.begin(), failing.end(), units_) != failing.end()) unit.fail = true;
  return DeviceModel(unit);
}

bool SimulatedDevice::UnitsLeft() const {
  return !options_.units || units_ < *options_.units;
}

bool SimulatedDevice::Exchange() {
  DeviceModel device(options_.device);
  SimulatedExchange report;
  bool reported = false;  // report is in exchanges_ already
  // When the next unit greets; max() while none is due. (No optional: g++ 12 at -O2 warns
  // falsely that its value may be used uninitialised.)
  constexpr auto kNoUnitDue = Clock::time_point::max();
  Clock::time_point next_unit_at = kNoUnitDue;
  // On a real line: when an unanswered hello is said again.
  Clock::time_point hello_again_at = kNoUnitDue;
  bool end_after_send = false;  // --once on a real line: the verdict is the end
  // A unit greets the host; once every unit has had its turn, the device stays silent.
  const auto greet = [&] {
    if (!UnitsLeft()) return;
    device = NextUnit();
    report = SimulatedExchange{};
    report.unit = units_;
    reported = false;
    WriteAll(master_, device.Start());
    Log("Unit " + std::to_string(units_) + ": hello sent");
    if (serial_ && !options_.wait_reset) hello_again_at = Clock::now() + kHelloRepeat;
  };
  const auto byte_time = options_.baud == 0
                             ? Clock::duration::zero()
                             : std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(10.0 / options_.baud));
  const auto flash = std::chrono::milliseconds(options_.flash_ms);

  struct Pending {
    std::uint8_t byte;
    Clock::time_point done;  // when its last stop bit would have arrived
  };
  std::deque<Pending> pending;
  Clock::time_point line_free = Clock::now();
  Clock::time_point hold_until = Clock::now();  // a flash write in progress
  std::vector<std::uint8_t> to_send;
  bool started = next_host_waiting_;
  if (started) {
    next_host_waiting_ = false;
    Log("Host connected");
    greet();
  }
  bool keep_running = true;
  const auto hello_at = Clock::now() + kHelloFallback;

  for (;;) {
    const auto now = Clock::now();
    if (!started && !options_.wait_reset && now >= hello_at) {
      started = true;
      Log("Host connected");
      greet();
    }
    if (hello_again_at != kNoUnitDue && now >= hello_again_at) {
      if (device.greeted()) {
        hello_again_at = kNoUnitDue;
      } else {
        WriteAll(master_, device.Start());
        hello_again_at = now + kHelloRepeat;
      }
    }
    if (next_unit_at != kNoUnitDue && now >= next_unit_at) {
      next_unit_at = kNoUnitDue;
      pending.clear();  // what the host sent between units reached no boot loader
      greet();
    }
    // Bytes whose time on the line is over reach the device, unless it is writing flash.
    while (started && !pending.empty() && pending.front().done <= now && hold_until <= now) {
      const std::size_t blocks_before = device.blocks_received();
      const auto answer = device.OnHostByte(pending.front().byte);
      pending.pop_front();
      const bool block_done = device.blocks_received() != blocks_before;
      report.blocks = device.blocks_received();
      if (HangUpDue(device)) {
        Log(report.blocks == 0 ? std::string("Hanging up after the hello")
                               : "Hanging up after block " + std::to_string(report.blocks));
        link_.reset();
        if (serial_) {
          serial_->ClosePort();
        } else {
          ::close(master_);
        }
        master_ = -1;
        std::lock_guard lock(mutex_);
        report.host_left = false;
        exchanges_.push_back(report);
        return false;
      }
      if (block_done && flash.count() > 0) hold_until = Clock::now() + flash;
      to_send.insert(to_send.end(), answer.begin(), answer.end());
      if (device.verdict_sent()) {
        report.verdict = device.verdict_sent();
        report.crc_matched = device.host_crc() == device.computed_crc();
        Log("Checksum " + std::string(report.crc_matched ? "matches" : "does not match") +
            "; answered " + std::to_string(*report.verdict));
        if (options_.save) {
          try {
            WriteFileAtomically(*options_.save, device.received_image());
          } catch (const std::exception& e) {
            Log(std::string("Cannot save the received image: ") + e.what());
          }
        }
        // A real line shows no host leaving: the next unit follows unasked.
        if (serial_ && options_.once) end_after_send = true;
        if ((options_.next_unit_ms || (serial_ && !options_.once)) && next_unit_at == kNoUnitDue) {
          {
            std::lock_guard lock(mutex_);
            exchanges_.push_back(report);
          }
          reported = true;
          if (!options_.text_after.empty()) {
            to_send.insert(to_send.end(), options_.text_after.begin(), options_.text_after.end());
            to_send.push_back('\n');
          }
          next_unit_at = Clock::now() + (options_.next_unit_ms
                                             ? std::chrono::milliseconds(*options_.next_unit_ms)
                                             : kHelloRepeat);
        }
      }
    }
    if (!to_send.empty() && hold_until <= Clock::now()) {
      WriteAll(master_, to_send);
      to_send.clear();
    }
    if (end_after_send && to_send.empty()) {
      keep_running = false;
      break;
    }

    // Sleep until the next byte is due, the flash write ends, or something arrives.
    Clock::time_point wake = Clock::time_point::max();
    if (!started && !options_.wait_reset) wake = hello_at;
    wake = std::min({wake, next_unit_at, hello_again_at});
    if (!pending.empty()) wake = std::min(wake, std::max(pending.front().done, hold_until));
    if (!to_send.empty()) wake = std::min(wake, hold_until);
    pollfd p[3] = {{master_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}, {reset_pipe_[0], POLLIN, 0}};
    timespec ts{};
    if (wake != Clock::time_point::max()) ts = ToTimespec(wake - Clock::now());
    ::ppoll(p, 3, wake == Clock::time_point::max() ? nullptr : &ts, nullptr);
    if (p[1].revents & POLLIN) {
      keep_running = false;
      break;
    }
    if (p[2].revents & POLLIN) {
      char drain[16];
      while (::read(reset_pipe_[0], drain, sizeof drain) > 0) {
      }
      Log("Reset");
      // A unit cut short by the reset is recorded as it stood.
      if (started && !reported && report.unit != 0) {
        std::lock_guard lock(mutex_);
        exchanges_.push_back(report);
      }
      reported = true;
      pending.clear();
      to_send.clear();
      hold_until = Clock::now();
      next_unit_at = kNoUnitDue;
      started = true;
      greet();
      continue;
    }
    if (serial_ && (p[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      std::uint8_t buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) {
        const auto arrived = Clock::now();
        for (ssize_t i = 0; i < n; ++i) {
          line_free = std::max(line_free, arrived) + byte_time;
          pending.push_back({buf[i], line_free});
        }
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        Log("The port was lost");
        keep_running = false;
        break;
      }
    } else if (p[0].revents & POLLIN) {
      std::uint8_t buf[4096];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0 && buf[0] == TIOCPKT_DATA) {
        const auto arrived = Clock::now();
        for (ssize_t i = 1; i < n; ++i) {
          line_free = std::max(line_free, arrived) + byte_time;
          pending.push_back({buf[i], line_free});
        }
      } else if (n > 0 && (buf[0] & kFlushBits)) {
        if (options_.wait_reset) continue;  // only a reset greets
        if (started) {
          // A purge during an exchange: the host closed and a new one opened before the
          // hang-up could be seen. The new host gets a fresh exchange.
          next_host_waiting_ = true;
          report.host_left = !report.verdict.has_value();
          break;
        }
        started = true;
        Log("Host connected");
        greet();
      }
    } else if (p[0].revents & POLLHUP) {
      report.host_left = !report.verdict.has_value();
      Log(report.verdict ? "Host closed the port" : "Host left before the end");
      break;
    }
  }
  std::lock_guard lock(mutex_);
  if (!reported) exchanges_.push_back(report);
  return keep_running;
}

}  // namespace pelkar
